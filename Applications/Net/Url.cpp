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

// The length of the URL's scheme and "://" (http or https), or 0 for any other.
size_t SchemeLength(const char* pUrl) {
    return strncmp(pUrl, "http://", 7) == 0 ? 7 : strncmp(pUrl, "https://", 8) == 0 ? 8 : 0;
}

} // namespace

bool IsServerUrl(const char* pUrl) {
    if (SchemeLength(pUrl) == 0 || strlen(pUrl) >= NET_URL_MAX) {
        return false;
    }
    const char* pAt = pUrl + SchemeLength(pUrl);
    const char* pHost = pAt;
    while (IsHostCharacter(*pAt)) {
        pAt++;
    }
    if (pAt == pHost) {
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
    }
    return *pAt == '/';
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
