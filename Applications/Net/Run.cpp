// The run of Net: one verb, one line for its outcome, one exit status.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Applications/Net/Net.h"

namespace {

void Usage(void) {
    printf("Usage: Net up [SECONDS]     brings IPv4 up by DHCP, waiting at most SECONDS (%u),\n"
           "                            and sets %%%s%% to the firmware clock, YYYYMMDDhhmmss\n"
           "       Net get PATH FILE    fetches PATH from the server into FILE\n"
           "       Net put FILE PATH    sends FILE to PATH on the server\n"
           "The server: the first line of %s, else the URI the machine booted from.\n",
           NET_UP_SECONDS, NET_STAMP_VARIABLE, NET_SERVER_FILE);
}

// Seconds of a limit: 1 to NET_UP_SECONDS_MAX, digits only.
bool ParseSeconds(const char* pText, uint32_t* pSeconds) {
    uint32_t Value = 0;
    for (const char* pAt = pText; *pAt != '\0'; pAt++) {
        if (*pAt < '0' || *pAt > '9' || Value > NET_UP_SECONDS_MAX) {
            return false;
        }
        Value = Value * 10 + (uint32_t)(*pAt - '0');
    }
    if (pText[0] == '\0' || Value == 0 || Value > NET_UP_SECONDS_MAX) {
        return false;
    }
    *pSeconds = Value;
    return true;
}

// Brings IPv4 up. `up` prints the card's address and sets the stamp; a GET or PUT is silent
// about an address it finds.
uint32_t BringUp(uint32_t Seconds, bool Up) {
    char Address[32];
    switch (PlatformNetUp(Seconds * 1000u, Address, sizeof Address)) {
    case PLATFORM_NET_OK: {
        if (!Up) {
            return NET_EXIT_OK;
        }
        printf("net: address %s\n", Address);
        char Clock[15];
        if (!(PlatformClock(Clock) && PlatformSetShellVariable(NET_STAMP_VARIABLE, Clock))) {
            printf("net: cannot set %%%s%% from the firmware clock\n", NET_STAMP_VARIABLE);
            return NET_EXIT_NO_CLOCK;
        }
        return NET_EXIT_OK;
    }
    case PLATFORM_NET_NO_CARD:
        printf("net: no network card with IPv4 configuration\n");
        return NET_EXIT_NO_CARD;
    default:
        printf("net: no address from DHCP within %u s\n", (unsigned)Seconds);
        return NET_EXIT_NO_ADDRESS;
    }
}

// The server's base URL from NET_SERVER_FILE, else from the boot URI.
uint32_t FindServer(char* pBase, size_t Size) {
    FILE* pFile = fopen(NET_SERVER_FILE, "r");
    if (pFile != NULL) {
        static char Line[NET_URL_MAX + 2];
        const bool Read = fgets(Line, sizeof Line, pFile) != NULL;
        fclose(pFile);
        size_t End = 0;
        while (Read && Line[End] != '\0' && Line[End] != '\r' && Line[End] != '\n') {
            End++;
        }
        Line[End] = '\0';
        if (!ServerBase(Line, pBase, Size)) {
            printf("net: %s does not hold an http(s)://HOST[:PORT]/ URL on its first line\n",
                   NET_SERVER_FILE);
            return NET_EXIT_NO_SERVER;
        }
        return NET_EXIT_OK;
    }
    static char Uri[NET_URL_MAX + 1];
    if (!PlatformBootUri(Uri, sizeof Uri)) {
        printf("net: no server: no %s and the machine did not boot from a URI\n", NET_SERVER_FILE);
        return NET_EXIT_NO_SERVER;
    }
    if (!ServerBase(Uri, pBase, Size)) {
        printf("net: no server: the boot URI is not an http(s)://HOST[:PORT]/ URL\n");
        return NET_EXIT_NO_SERVER;
    }
    return NET_EXIT_OK;
}

// The exchange with the server for PATH: the answer in *pAnswer (started by the caller), the URL
// asked in pUrl. A failure's line names the method and the URL.
uint32_t Exchange(const char* pPath, bool Put, const void* pBody, size_t BodyLength,
                  NetAnswer* pAnswer, char* pUrl, size_t UrlSize) {
    const char* pMethod = Put ? "PUT" : "GET";
    if (!IsPlainServerPath(pPath)) {
        printf("net: server path \"%s\" is not a plain relative path\n", pPath);
        return NET_EXIT_BAD_PATH;
    }
    static char Base[NET_URL_MAX];
    uint32_t Status = FindServer(Base, sizeof Base);
    if (Status != NET_EXIT_OK) {
        return Status;
    }
    snprintf(pUrl, UrlSize, "%s%s", Base, pPath);
    Status = BringUp(NET_UP_SECONDS, false);
    if (Status != NET_EXIT_OK) {
        return Status;
    }
    switch (NetHttp(pUrl, Put, pBody, BodyLength, pAnswer)) {
    case PLATFORM_NET_OK:
        break;
    case PLATFORM_NET_NO_CARD:
        printf("net: %s %s: no network card with TCP\n", pMethod, pUrl);
        return NET_EXIT_NO_CARD;
    case PLATFORM_NET_TIMEOUT:
        printf("net: %s %s: no whole answer within %u s\n", pMethod, pUrl, NET_HTTP_SECONDS);
        return NET_EXIT_UNREACHABLE;
    case PLATFORM_NET_NO_CONNECT:
        printf("net: %s %s: the server cannot be reached\n", pMethod, pUrl);
        return NET_EXIT_UNREACHABLE;
    case PLATFORM_NET_NO_CA:
        printf("net: %s %s: the firmware holds no CA certificate (TlsCaCertificate) to check "
               "the server with\n",
               pMethod, pUrl);
        return NET_EXIT_TLS;
    case PLATFORM_NET_TLS_FAILED:
        printf("net: %s %s: the TLS handshake failed: the server's certificate is not signed by "
               "the CA the firmware holds, or does not name the host\n",
               pMethod, pUrl);
        return NET_EXIT_TLS;
    default:
        printf("net: %s %s: the connection failed\n", pMethod, pUrl);
        return NET_EXIT_UNREACHABLE;
    }
    if (pAnswer->State == NET_ANSWER_BAD) {
        printf("net: %s %s: the answer is refused: %s\n", pMethod, pUrl, pAnswer->pProblem);
        return NET_EXIT_BAD_ANSWER;
    }
    if (pAnswer->State == NET_ANSWER_TOO_LARGE) {
        printf("net: %s %s: the answer exceeds %u bytes\n", pMethod, pUrl, NET_BODY_MAX);
        return NET_EXIT_TOO_LARGE;
    }
    const unsigned Code = pAnswer->Status;
    if (Put ? (Code == 200 || Code == 201 || Code == 204) : Code == 200) {
        return NET_EXIT_OK;
    }
    printf("net: %s %s: the server answered %u\n", pMethod, pUrl, Code);
    if (!Put && Code == 404) {
        return NET_EXIT_NOT_FOUND;
    }
    return Code == 413 ? NET_EXIT_TOO_LARGE : NET_EXIT_REFUSED;
}

// The answer of the one exchange of a run, and the URL it asked.
NetAnswer Answer;
char Url[NET_URL_MAX + NET_PATH_MAX + 1];

// GET: FILE holds the answer's body after a success and does not exist after a failure, so that
// an earlier file is never taken for the server's answer.
uint32_t Get(const char* pPath, const char* pFile) {
    remove(pFile);
    char* pBody = (char*)malloc(NET_BODY_MAX);
    if (pBody == NULL) {
        printf("net: out of memory\n");
        return NET_EXIT_FILE;
    }
    NetAnswerStart(&Answer, pBody, NET_BODY_MAX);
    uint32_t Status = Exchange(pPath, false, NULL, 0, &Answer, Url, sizeof Url);
    if (Status == NET_EXIT_OK) {
        FILE* pOut = fopen(pFile, "wb");
        bool Written =
            pOut != NULL && fwrite(pBody, 1, Answer.BodyLength, pOut) == Answer.BodyLength;
        Written = pOut != NULL && fclose(pOut) == 0 && Written;
        if (Written) {
            printf("net: GET %s: %u bytes into %s\n", Url, (unsigned)Answer.BodyLength, pFile);
        } else {
            remove(pFile);
            printf("net: cannot write %s\n", pFile);
            Status = NET_EXIT_FILE;
        }
    }
    free(pBody);
    return Status;
}

uint32_t Put(const char* pFile, const char* pPath) {
    FILE* pIn = fopen(pFile, "rb");
    if (pIn == NULL) {
        printf("net: cannot read %s\n", pFile);
        return NET_EXIT_FILE;
    }
    // One byte more than the limit tells a file at the limit from a longer one.
    char* pBody = (char*)malloc(NET_BODY_MAX + 1);
    const size_t Length = pBody != NULL ? fread(pBody, 1, NET_BODY_MAX + 1, pIn) : 0;
    const bool Failed = pBody == NULL || ferror(pIn);
    fclose(pIn);
    uint32_t Status = NET_EXIT_OK;
    if (Failed) {
        printf("net: cannot read %s\n", pFile);
        Status = NET_EXIT_FILE;
    } else if (Length > NET_BODY_MAX) {
        printf("net: %s exceeds %u bytes\n", pFile, NET_BODY_MAX);
        Status = NET_EXIT_TOO_LARGE;
    } else {
        NetAnswerStart(&Answer, NULL, 0);
        Status = Exchange(pPath, true, pBody, Length, &Answer, Url, sizeof Url);
        if (Status == NET_EXIT_OK) {
            printf("net: PUT %s: %u, %u bytes from %s\n", Url, Answer.Status, (unsigned)Length,
                   pFile);
        }
    }
    free(pBody);
    return Status;
}

} // namespace

uint32_t RunNet(int argc, char** argv) {
    // A script's unset parameters (%2, %3) arrive as empty words at the end.
    while (argc > 1 && argv[argc - 1][0] == '\0') {
        argc--;
    }
    if (argc == 2 && strcmp(argv[1], "up") == 0) {
        return BringUp(NET_UP_SECONDS, true);
    }
    uint32_t Seconds = 0;
    if (argc == 3 && strcmp(argv[1], "up") == 0 && ParseSeconds(argv[2], &Seconds)) {
        return BringUp(Seconds, true);
    }
    if (argc == 4 && strcmp(argv[1], "get") == 0) {
        return Get(argv[2], argv[3]);
    }
    if (argc == 4 && strcmp(argv[1], "put") == 0) {
        return Put(argv[2], argv[3]);
    }
    Usage();
    return NET_EXIT_USAGE;
}
