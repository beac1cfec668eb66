// Text conversions of the UEFI runtime (see RtText.h).
#include "RtText.h"

#include <errno.h>
#include <limits.h>

size_t RtWideLength(const uint16_t* pWide) {
    size_t Length = 0;
    while (pWide[Length] != 0) {
        Length++;
    }
    return Length;
}

void RtNarrow(const uint16_t* pWide, char* pNarrow) {
    size_t i = 0;
    for (; pWide[i] != 0; i++) {
        pNarrow[i] = pWide[i] <= 0xFF ? (char)(unsigned char)pWide[i] : (char)RT_NARROW_SUBSTITUTE;
    }
    pNarrow[i] = '\0';
}

size_t RtPathNameOffset(const char* pPath) {
    size_t Offset = 0;
    for (size_t i = 0; pPath[i] != '\0'; i++) {
        if (pPath[i] == '\\' || pPath[i] == '/' || pPath[i] == ':') {
            Offset = i + 1;
        }
    }
    return Offset;
}

void RtWiden(const char* pNarrow, uint16_t* pWide) {
    size_t i = 0;
    for (; pNarrow[i] != '\0'; i++) {
        pWide[i] = (uint16_t)(unsigned char)pNarrow[i];
    }
    pWide[i] = 0;
}

size_t RtWidenForConsole(const char* p, size_t Count, uint16_t* pWide, size_t WideCapacity) {
    size_t In = 0;
    size_t Out = 0;
    if (WideCapacity == 0) {
        return 0;
    }
    while (In < Count) {
        unsigned char c = (unsigned char)p[In];
        size_t Need = c == '\n' ? 2 : 1;
        if (Out + Need + 1 > WideCapacity) {
            break;
        }
        if (c == '\n') {
            pWide[Out++] = '\r';
        }
        pWide[Out++] = c;
        In++;
    }
    pWide[Out] = 0;
    return In;
}

int RtTranslateKey(RtKeyState* pState, uint16_t Unicode, uint16_t ScanCode, unsigned char* pOut) {
    int LastWasCr = pState->LastWasCr;
    pState->LastWasCr = 0;
    if (Unicode == 0) {
        pOut[0] = 0;
        if (ScanCode == 0) {
            return 1;
        }
        pOut[1] = (unsigned char)ScanCode;
        return 2;
    }
    if (Unicode == '\r') {
        pState->LastWasCr = 1;
        pOut[0] = '\n';
        return 1;
    }
    if (Unicode == '\n' && LastWasCr) {
        return 0;
    }
    pOut[0] = Unicode <= 0xFF ? (unsigned char)Unicode : (unsigned char)RT_NARROW_SUBSTITUTE;
    return 1;
}

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

int IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Parses the magnitude. Returns false when no digits were found (*ppEnd = s then).
bool ParseMagnitude(const char* s, char** ppEnd, int Base, bool* pNegative, bool* pOverflow,
                    unsigned long* pValue) {
    const char* p = s;
    *pNegative = false;
    *pOverflow = false;
    *pValue = 0;
    if (Base < 0 || Base == 1 || Base > 36) {
        errno = EINVAL;
        if (ppEnd != NULL) {
            *ppEnd = (char*)s;
        }
        return false;
    }
    while (IsSpace(*p)) {
        p++;
    }
    if (*p == '+' || *p == '-') {
        *pNegative = *p == '-';
        p++;
    }
    if ((Base == 0 || Base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        DigitValue(p[2]) < 16) {
        p += 2;
        Base = 16;
    } else if (Base == 0) {
        Base = p[0] == '0' ? 8 : 10;
    }
    const char* pDigits = p;
    unsigned long Value = 0;
    for (; DigitValue(*p) < Base; p++) {
        unsigned long Digit = (unsigned long)DigitValue(*p);
        if (Value > (ULONG_MAX - Digit) / (unsigned long)Base) {
            *pOverflow = true;
        } else {
            Value = Value * (unsigned long)Base + Digit;
        }
    }
    if (p == pDigits) {
        if (ppEnd != NULL) {
            *ppEnd = (char*)s;
        }
        *pNegative = false;
        return false;
    }
    if (ppEnd != NULL) {
        *ppEnd = (char*)p;
    }
    *pValue = Value;
    return true;
}

} // namespace

long RtStrToL(const char* s, char** ppEnd, int Base) {
    bool Negative;
    bool Overflow;
    unsigned long Magnitude;
    if (!ParseMagnitude(s, ppEnd, Base, &Negative, &Overflow, &Magnitude)) {
        return 0;
    }
    unsigned long Limit = Negative ? (unsigned long)LONG_MAX + 1 : (unsigned long)LONG_MAX;
    if (Overflow || Magnitude > Limit) {
        errno = ERANGE;
        return Negative ? LONG_MIN : LONG_MAX;
    }
    if (Negative) {
        return Magnitude == (unsigned long)LONG_MAX + 1 ? LONG_MIN : -(long)Magnitude;
    }
    return (long)Magnitude;
}

unsigned long RtStrToUL(const char* s, char** ppEnd, int Base) {
    bool Negative;
    bool Overflow;
    unsigned long Magnitude;
    if (!ParseMagnitude(s, ppEnd, Base, &Negative, &Overflow, &Magnitude)) {
        return 0;
    }
    if (Overflow) {
        errno = ERANGE;
        return ULONG_MAX;
    }
    return Negative ? 0UL - Magnitude : Magnitude;
}

const char* RtErrorText(int Error) {
    switch (Error) {
    case 0:
        return "Success";
    case ENOENT:
        return "No such file or directory";
    case EIO:
        return "Input/output error";
    case EBADF:
        return "Bad file descriptor";
    case ENOMEM:
        return "Cannot allocate memory";
    case EACCES:
        return "Permission denied";
    case EEXIST:
        return "File exists";
    case EXDEV:
        return "Invalid cross-device link";
    case EISDIR:
        return "Is a directory";
    case EINVAL:
        return "Invalid argument";
    case ENOSPC:
        return "No space left on device";
    case ESPIPE:
        return "Illegal seek";
    case ERANGE:
        return "Numerical result out of range";
    default:
        return "Unknown error";
    }
}
