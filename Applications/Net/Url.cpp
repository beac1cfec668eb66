// The server's URL and the paths asked of it.
#include <string.h>

#include "Applications/Net/Net.h"

namespace {

bool IsHostCharacter(char Character) {
    return (Character >= 'a' && Character <= 'z') || (Character >= 'A' && Character <= 'Z') ||
           (Character >= '0' && Character <= '9') || Character == '.' || Character == '-';
}

bool IsPathCharacter(char Character) {
    return IsHostCharacter(Character) || Character == '_' || Character == '/';
}

// The schemes Net speaks, with their own ports.
const struct {
    const char* pPrefix;
    uint16_t Port;
} kSchemes[] = {{"http://", 80}, {"https://", 443}};

} // namespace

bool SplitServerUrl(const char* pUrl, char* pHost, size_t HostSize, uint16_t* pPort,
                    const char** ppAuthority, size_t* pAuthorityLength, const char** ppPath) {
    const char* pAt = NULL;
    for (const auto& Scheme : kSchemes) {
        if (strncmp(pUrl, Scheme.pPrefix, strlen(Scheme.pPrefix)) == 0) {
            pAt = pUrl + strlen(Scheme.pPrefix);
            *pPort = Scheme.Port;
        }
    }
    if (pAt == NULL) {
        return false;
    }
    const char* pHostStart = pAt;
    while (IsHostCharacter(*pAt)) {
        pAt++;
    }
    const size_t HostLength = (size_t)(pAt - pHostStart);
    if (HostLength == 0 || HostLength >= HostSize) {
        return false;
    }
    if (*pAt == ':') {
        pAt++;
        unsigned long Port = 0;
        const char* pDigits = pAt;
        while (*pAt >= '0' && *pAt <= '9' && pAt - pDigits < 5) {
            Port = Port * 10 + (unsigned long)(*pAt - '0');
            pAt++;
        }
        if (pAt == pDigits || Port == 0 || Port > 65535) {
            return false;
        }
        *pPort = (uint16_t)Port;
    }
    if (*pAt != '/') {
        return false;
    }
    for (const char* pRest = pAt; *pRest != '\0'; pRest++) {
        const unsigned char Character = (unsigned char)*pRest;
        if (Character < 0x21 || Character > 0x7E) {
            return false;
        }
    }
    memcpy(pHost, pHostStart, HostLength);
    pHost[HostLength] = '\0';
    *ppAuthority = pHostStart;
    *pAuthorityLength = (size_t)(pAt - pHostStart);
    *ppPath = pAt;
    return true;
}

bool IsServerUrl(const char* pUrl) {
    char Host[NET_URL_MAX];
    uint16_t Port;
    const char* pAuthority;
    size_t AuthorityLength;
    const char* pPath;
    return strlen(pUrl) < NET_URL_MAX &&
           SplitServerUrl(pUrl, Host, sizeof Host, &Port, &pAuthority, &AuthorityLength, &pPath);
}

bool ServerBase(const char* pUrl, char* pBase, size_t Size) {
    if (!IsServerUrl(pUrl)) {
        return false;
    }
    size_t End = 0;
    while (pUrl[End] != '\0' && pUrl[End] != '?' && pUrl[End] != '#') {
        End++;
    }
    while (End > 0 && pUrl[End - 1] != '/') {
        End--;
    }
    if (End + 1 > Size) {
        return false;
    }
    memcpy(pBase, pUrl, End);
    pBase[End] = '\0';
    return true;
}

bool IsPlainServerPath(const char* pPath) {
    const size_t Length = strlen(pPath);
    if (Length == 0 || Length > NET_PATH_MAX || pPath[0] == '/') {
        return false;
    }
    size_t SegmentStart = 0;
    for (size_t Index = 0; Index <= Length; Index++) {
        if (Index < Length && !IsPathCharacter(pPath[Index])) {
            return false;
        }
        if (Index == Length || pPath[Index] == '/') {
            const size_t SegmentLength = Index - SegmentStart;
            const char* pSegment = pPath + SegmentStart;
            if (SegmentLength == 0 || (SegmentLength == 1 && pSegment[0] == '.') ||
                (SegmentLength == 2 && pSegment[0] == '.' && pSegment[1] == '.')) {
                return false;
            }
            SegmentStart = Index + 1;
        }
    }
    return true;
}
