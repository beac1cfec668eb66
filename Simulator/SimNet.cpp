// The network on the simulated machine: the card from the machine's "network" description
// ({"address": "10.0.2.15", "boot_uri": "http://..."}; an empty address is a DHCP server that
// never answers, no "network" no card) and HTTP over a socket to the loopback address only. It
// has no TLS: an https:// URL is refused as by a firmware that holds no CA certificate.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include <string>
#include <nlohmann/json.hpp>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

namespace {

const nlohmann::json* Network(void) {
    const nlohmann::json& Machine = sim::SessionMachine();
    const auto Found = Machine.find("network");
    return Found != Machine.end() && Found->is_object() ? &*Found : nullptr;
}

void CopyText(const std::string& Text, char* pBuffer, size_t Size) {
    const size_t Length = Text.size() < Size - 1 ? Text.size() : Size - 1;
    memcpy(pBuffer, Text.data(), Length);
    pBuffer[Length] = '\0';
}

uint64_t NowMs(void) {
    timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return (uint64_t)Now.tv_sec * 1000u + (uint64_t)Now.tv_nsec / 1000000u;
}

// Splits http://HOST[:PORT]/PATH; only loopback hosts are reached.
bool SplitUrl(const std::string& Url, sockaddr_in* pAddress, std::string* pHostPort,
              std::string* pPath) {
    const std::string Scheme = "http://";
    if (Url.compare(0, Scheme.size(), Scheme) != 0) {
        return false;
    }
    const size_t Slash = Url.find('/', Scheme.size());
    if (Slash == std::string::npos) {
        return false;
    }
    *pHostPort = Url.substr(Scheme.size(), Slash - Scheme.size());
    *pPath = Url.substr(Slash);
    std::string Host = *pHostPort;
    unsigned long Port = 80;
    const size_t Colon = Host.find(':');
    if (Colon != std::string::npos) {
        Port = strtoul(Host.c_str() + Colon + 1, nullptr, 10);
        Host.resize(Colon);
    }
    if (Host == "localhost") {
        Host = "127.0.0.1";
    }
    memset(pAddress, 0, sizeof *pAddress);
    pAddress->sin_family = AF_INET;
    pAddress->sin_port = htons((uint16_t)Port);
    return Port > 0 && Port <= 65535 &&
           inet_pton(AF_INET, Host.c_str(), &pAddress->sin_addr) == 1 &&
           (ntohl(pAddress->sin_addr.s_addr) >> 24) == 127;
}

// Waits until the socket is ready for Events or the deadline passes.
bool WaitReady(int Socket, short Events, uint64_t Deadline) {
    const uint64_t Now = NowMs();
    if (Now >= Deadline) {
        return false;
    }
    pollfd Poll = {Socket, Events, 0};
    return poll(&Poll, 1, (int)(Deadline - Now)) == 1;
}

// Sends the request and reads the whole answer (the server closes the connection).
PlatformNetStatus Converse(int Socket, const sockaddr_in& Address, const std::string& Request,
                           size_t Limit, uint64_t Deadline, std::string* pAnswer) {
    if (connect(Socket, (const sockaddr*)&Address, sizeof Address) != 0) {
        if (errno != EINPROGRESS) {
            return PLATFORM_NET_NO_CONNECT;
        }
        int Error = 0;
        socklen_t Size = sizeof Error;
        if (!WaitReady(Socket, POLLOUT, Deadline)) {
            return PLATFORM_NET_TIMEOUT;
        }
        if (getsockopt(Socket, SOL_SOCKET, SO_ERROR, &Error, &Size) != 0 || Error != 0) {
            return PLATFORM_NET_NO_CONNECT;
        }
    }
    for (size_t Sent = 0; Sent < Request.size();) {
        if (!WaitReady(Socket, POLLOUT, Deadline)) {
            return PLATFORM_NET_TIMEOUT;
        }
        const ssize_t Count =
            send(Socket, Request.data() + Sent, Request.size() - Sent, MSG_NOSIGNAL);
        if (Count < 0 && errno != EAGAIN) {
            // The server may answer (413) and close before it has read the whole body.
            break;
        }
        Sent += Count > 0 ? (size_t)Count : 0;
    }
    char Buffer[16384];
    for (;;) {
        if (!WaitReady(Socket, POLLIN, Deadline)) {
            return PLATFORM_NET_TIMEOUT;
        }
        const ssize_t Count = recv(Socket, Buffer, sizeof Buffer, 0);
        if (Count == 0) {
            return PLATFORM_NET_OK;
        }
        if (Count < 0) {
            return errno == EAGAIN ? PLATFORM_NET_OK : PLATFORM_NET_FAILED;
        }
        if (pAnswer->size() + (size_t)Count > Limit) {
            return PLATFORM_NET_TOO_LARGE;
        }
        pAnswer->append(Buffer, (size_t)Count);
    }
}

// The status code and body of a whole answer; false when it is not an HTTP answer or its body
// is shorter than its Content-Length says.
bool ParseAnswer(const std::string& Answer, unsigned* pCode, std::string* pBody) {
    const size_t HeaderEnd = Answer.find("\r\n\r\n");
    if (Answer.compare(0, 5, "HTTP/") != 0 || HeaderEnd == std::string::npos ||
        Answer.size() < 12) {
        return false;
    }
    const size_t Space = Answer.find(' ');
    if (Space == std::string::npos || Space + 4 > HeaderEnd) {
        return false;
    }
    *pCode = (unsigned)strtoul(Answer.c_str() + Space + 1, nullptr, 10);
    *pBody = Answer.substr(HeaderEnd + 4);
    std::string Headers = Answer.substr(0, HeaderEnd);
    for (char& Character : Headers) {
        Character = (char)tolower((unsigned char)Character);
    }
    if (Headers.find("\r\ntransfer-encoding:") != std::string::npos) {
        return false;
    }
    const size_t Length = Headers.find("\r\ncontent-length:");
    return Length == std::string::npos ||
           strtoull(Headers.c_str() + Length + 17, nullptr, 10) == pBody->size();
}

} // namespace

PlatformNetStatus PlatformNetUp(uint32_t TimeoutMs, char* pAddress, size_t Size) {
    const nlohmann::json* pNetwork = Network();
    const std::string Address = pNetwork != nullptr ? pNetwork->value("address", "") : "";
    sim::LogEvent({{"event", "net_up"}, {"timeout_ms", TimeoutMs}, {"address", Address}});
    if (pNetwork == nullptr) {
        return PLATFORM_NET_NO_CARD;
    }
    if (Address.empty()) {
        return PLATFORM_NET_TIMEOUT;
    }
    CopyText(Address, pAddress, Size);
    return PLATFORM_NET_OK;
}

bool PlatformBootUri(char* pUri, size_t Size) {
    const nlohmann::json* pNetwork = Network();
    const std::string Uri = pNetwork != nullptr ? pNetwork->value("boot_uri", "") : "";
    if (Uri.empty() || Uri.size() >= Size) {
        return false;
    }
    CopyText(Uri, pUri, Size);
    return true;
}

bool PlatformClock(char* pStamp) {
    // The machine's "clock" (YYYYMMDDhhmmss) when it has one, else the host's time in UTC.
    const std::string Clock = sim::SessionMachine().value("clock", "");
    if (!Clock.empty()) {
        CopyText(Clock, pStamp, 15);
        return Clock.size() == 14;
    }
    const time_t Now = time(nullptr);
    tm Parts;
    return gmtime_r(&Now, &Parts) != nullptr && strftime(pStamp, 15, "%Y%m%d%H%M%S", &Parts) == 14;
}

PlatformNetStatus PlatformHttp(PlatformHttpExchange* pExchange) {
    const std::string Method = pExchange->Put ? "PUT" : "GET";
    sockaddr_in Address;
    std::string HostPort;
    std::string Path;
    PlatformNetStatus Status = PLATFORM_NET_NO_CONNECT;
    std::string Body;
    pExchange->HttpStatus = 0;
    pExchange->ResponseLength = 0;
    if (Network() == nullptr) {
        Status = PLATFORM_NET_NO_CARD;
    } else if (strncmp(pExchange->pUrl, "https://", 8) == 0) {
        // The simulated firmware has no TLS, so it holds no CA to check a server with.
        Status = PLATFORM_NET_NO_CA;
    } else if (SplitUrl(pExchange->pUrl, &Address, &HostPort, &Path)) {
        std::string Request =
            Method + " " + Path + " HTTP/1.1\r\nHost: " + HostPort + "\r\nConnection: close\r\n";
        if (pExchange->Put) {
            Request += "Content-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(pExchange->BodyLength) + "\r\n\r\n";
            Request.append((const char*)pExchange->pBody, pExchange->BodyLength);
        } else {
            Request += "\r\n";
        }
        const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        std::string Answer;
        Status = Socket < 0
                     ? PLATFORM_NET_FAILED
                     : Converse(Socket, Address, Request, pExchange->ResponseCapacity + 65536,
                                NowMs() + pExchange->TimeoutMs, &Answer);
        if (Socket >= 0) {
            close(Socket);
        }
        if (Status == PLATFORM_NET_OK && !ParseAnswer(Answer, &pExchange->HttpStatus, &Body)) {
            Status = PLATFORM_NET_FAILED;
        }
        if (Status == PLATFORM_NET_OK && !pExchange->Put) {
            if (Body.size() > pExchange->ResponseCapacity) {
                Status = PLATFORM_NET_TOO_LARGE;
            } else {
                memcpy(pExchange->pResponse, Body.data(), Body.size());
                pExchange->ResponseLength = Body.size();
            }
        }
    }
    sim::LogEvent({{"event", "http"},
                   {"method", Method},
                   {"url", sim::LogText(pExchange->pUrl)},
                   {"result", (int)Status},
                   {"status", pExchange->HttpStatus}});
    return Status;
}
