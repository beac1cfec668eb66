// The network on the simulated machine: the card from the machine's "network" description
// ({"address": "10.0.2.15", "boot_uri": "http://..."}; an empty address is a DHCP server that
// never answers, no "network" no card) and TCP over a socket to the loopback address only
// (127.x.x.x or "localhost"; any other host is one that cannot be reached). Net reads HTTP over
// it with the same code as on the firmware, within the same limit. It has no TLS: an https
// exchange is refused as by a firmware that holds no CA certificate.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

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

// Waits until the socket is ready for Events or the deadline passes.
bool WaitReady(int Socket, short Events, uint64_t Deadline) {
    const uint64_t Now = NowMs();
    if (Now >= Deadline) {
        return false;
    }
    pollfd Poll = {Socket, Events, 0};
    return poll(&Poll, 1, (int)(Deadline - Now)) == 1;
}

// A non-blocking socket connected to the address by the deadline.
PlatformNetStatus Connect(const sockaddr_in* pAddress, uint64_t Deadline, int* pSocket) {
    const int Socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Socket < 0) {
        return PLATFORM_NET_FAILED;
    }
    PlatformNetStatus Status = PLATFORM_NET_NO_CONNECT;
    int Error = 0;
    socklen_t Size = sizeof Error;
    if (connect(Socket, (const sockaddr*)pAddress, sizeof *pAddress) == 0) {
        Status = PLATFORM_NET_OK;
    } else if (errno == EINPROGRESS) {
        if (!WaitReady(Socket, POLLOUT, Deadline)) {
            Status = PLATFORM_NET_TIMEOUT;
        } else if (getsockopt(Socket, SOL_SOCKET, SO_ERROR, &Error, &Size) == 0 && Error == 0) {
            Status = PLATFORM_NET_OK;
        }
    }
    if (Status != PLATFORM_NET_OK) {
        close(Socket);
        return Status;
    }
    *pSocket = Socket;
    return PLATFORM_NET_OK;
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

struct PlatformTcp {
    int Socket;
    uint64_t Deadline;
};

PlatformNetStatus PlatformTcpOpen(const char* pHost, uint16_t Port, uint32_t TimeoutMs,
                                  PlatformTcp** ppTcp) {
    *ppTcp = nullptr;
    const uint64_t Deadline = NowMs() + TimeoutMs;
    sockaddr_in Address;
    memset(&Address, 0, sizeof Address);
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    const bool Loopback = inet_pton(AF_INET, strcmp(pHost, "localhost") == 0 ? "127.0.0.1" : pHost,
                                    &Address.sin_addr) == 1 &&
                          (ntohl(Address.sin_addr.s_addr) >> 24) == 127;
    int Socket = -1;
    PlatformNetStatus Status = Network() == nullptr ? PLATFORM_NET_NO_CARD
                               : !Loopback          ? PLATFORM_NET_NO_CONNECT
                                                    : Connect(&Address, Deadline, &Socket);
    sim::LogEvent(
        {{"event", "tcp"}, {"host", sim::LogText(pHost)}, {"port", Port}, {"result", (int)Status}});
    if (Status == PLATFORM_NET_OK) {
        *ppTcp = new PlatformTcp{Socket, Deadline};
    }
    return Status;
}

PlatformNetStatus PlatformTcpSend(PlatformTcp* pTcp, const void* pData, size_t Length) {
    for (size_t Sent = 0; Sent < Length;) {
        if (!WaitReady(pTcp->Socket, POLLOUT, pTcp->Deadline)) {
            return PLATFORM_NET_TIMEOUT;
        }
        const ssize_t Count =
            send(pTcp->Socket, (const char*)pData + Sent, Length - Sent, MSG_NOSIGNAL);
        if (Count < 0 && errno != EAGAIN) {
            return PLATFORM_NET_FAILED;
        }
        Sent += Count > 0 ? (size_t)Count : 0;
    }
    return PLATFORM_NET_OK;
}

PlatformNetStatus PlatformTcpReceive(PlatformTcp* pTcp, void* pBuffer, size_t Size,
                                     size_t* pReceived) {
    *pReceived = 0;
    for (;;) {
        if (!WaitReady(pTcp->Socket, POLLIN, pTcp->Deadline)) {
            return PLATFORM_NET_TIMEOUT;
        }
        const ssize_t Count = recv(pTcp->Socket, pBuffer, Size, 0);
        if (Count >= 0) {
            *pReceived = (size_t)Count;
            return PLATFORM_NET_OK;
        }
        if (errno != EAGAIN) {
            return PLATFORM_NET_FAILED;
        }
    }
}

void PlatformTcpClose(PlatformTcp* pTcp) {
    if (pTcp != nullptr) {
        close(pTcp->Socket);
        delete pTcp;
    }
}

PlatformNetStatus PlatformHttps(PlatformHttpExchange* pExchange) {
    pExchange->HttpStatus = 0;
    pExchange->ResponseLength = 0;
    const PlatformNetStatus Status =
        Network() == nullptr ? PLATFORM_NET_NO_CARD : PLATFORM_NET_NO_CA;
    sim::LogEvent(
        {{"event", "https"}, {"url", sim::LogText(pExchange->pUrl)}, {"result", (int)Status}});
    return Status;
}
