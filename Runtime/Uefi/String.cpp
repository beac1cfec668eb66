// String, memory, character and number functions of the UEFI runtime.
#include "RuntimeUefi.h"
#include "Runtime/Portable/RtText.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

void* memcpy(void* pDest, const void* pSrc, size_t n) {
    void* pResult = pDest;
    __asm__ volatile("rep movsb" : "+D"(pDest), "+S"(pSrc), "+c"(n) : : "memory");
    return pResult;
}

void* memmove(void* pDest, const void* pSrc, size_t n) {
    unsigned char* d = (unsigned char*)pDest;
    const unsigned char* s = (const unsigned char*)pSrc;
    if (d <= s || d >= s + n) {
        return memcpy(pDest, pSrc, n);
    }
    while (n > 0) {
        n--;
        d[n] = s[n];
    }
    return pDest;
}

void* memset(void* pDest, int c, size_t n) {
    void* p = pDest;
    __asm__ volatile("rep stosb" : "+D"(p), "+c"(n) : "a"(c) : "memory");
    return pDest;
}

int memcmp(const void* pA, const void* pB, size_t n) {
    const unsigned char* a = (const unsigned char*)pA;
    const unsigned char* b = (const unsigned char*)pB;
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

void* memchr(const void* p, int c, size_t n) {
    const unsigned char* s = (const unsigned char*)p;
    for (size_t i = 0; i < n; i++) {
        if (s[i] == (unsigned char)c) {
            return (void*)(s + i);
        }
    }
    return NULL;
}

size_t strlen(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') {
        n++;
    }
    return n;
}

size_t strnlen(const char* s, size_t Max) {
    size_t n = 0;
    while (n < Max && s[n] != '\0') {
        n++;
    }
    return n;
}

int strcmp(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return (unsigned char)*a - (unsigned char)*b;
}

int strncmp(const char* a, const char* b, size_t n) {
    for (; n > 0; n--, a++, b++) {
        if (*a != *b || *a == '\0') {
            return (unsigned char)*a - (unsigned char)*b;
        }
    }
    return 0;
}

int strcasecmp(const char* a, const char* b) {
    while (*a != '\0' && tolower((unsigned char)*a) == tolower((unsigned char)*b)) {
        a++;
        b++;
    }
    return tolower((unsigned char)*a) - tolower((unsigned char)*b);
}

int strncasecmp(const char* a, const char* b, size_t n) {
    for (; n > 0; n--, a++, b++) {
        int ca = tolower((unsigned char)*a);
        int cb = tolower((unsigned char)*b);
        if (ca != cb || ca == '\0') {
            return ca - cb;
        }
    }
    return 0;
}

char* strcpy(char* pDest, const char* pSrc) {
    char* d = pDest;
    while ((*d++ = *pSrc++) != '\0') {
    }
    return pDest;
}

char* strncpy(char* pDest, const char* pSrc, size_t n) {
    size_t i = 0;
    for (; i < n && pSrc[i] != '\0'; i++) {
        pDest[i] = pSrc[i];
    }
    for (; i < n; i++) {
        pDest[i] = '\0';
    }
    return pDest;
}

char* strcat(char* pDest, const char* pSrc) {
    strcpy(pDest + strlen(pDest), pSrc);
    return pDest;
}

char* strncat(char* pDest, const char* pSrc, size_t n) {
    char* d = pDest + strlen(pDest);
    size_t i = 0;
    for (; i < n && pSrc[i] != '\0'; i++) {
        d[i] = pSrc[i];
    }
    d[i] = '\0';
    return pDest;
}

char* strchr(const char* s, int c) {
    for (;; s++) {
        if (*s == (char)c) {
            return (char*)s;
        }
        if (*s == '\0') {
            return NULL;
        }
    }
}

char* strrchr(const char* s, int c) {
    const char* pLast = NULL;
    for (;; s++) {
        if (*s == (char)c) {
            pLast = s;
        }
        if (*s == '\0') {
            return (char*)pLast;
        }
    }
}

char* strstr(const char* pHaystack, const char* pNeedle) {
    size_t Length = strlen(pNeedle);
    for (; *pHaystack != '\0' || Length == 0; pHaystack++) {
        if (strncmp(pHaystack, pNeedle, Length) == 0) {
            return (char*)pHaystack;
        }
    }
    return NULL;
}

char* strerror(int Error) {
    return (char*)RtErrorText(Error);
}

int isdigit(int c) {
    return c >= '0' && c <= '9';
}
int isxdigit(int c) {
    return isdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int isspace(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
int isupper(int c) {
    return c >= 'A' && c <= 'Z';
}
int islower(int c) {
    return c >= 'a' && c <= 'z';
}
int isalpha(int c) {
    return isupper(c) || islower(c);
}
int isalnum(int c) {
    return isalpha(c) || isdigit(c);
}
int isprint(int c) {
    return c >= 0x20 && c <= 0x7E;
}
int isgraph(int c) {
    return c > 0x20 && c <= 0x7E;
}
int iscntrl(int c) {
    return (c >= 0 && c < 0x20) || c == 0x7F;
}
int ispunct(int c) {
    return isgraph(c) && !isalnum(c);
}
int toupper(int c) {
    return islower(c) ? c - 'a' + 'A' : c;
}
int tolower(int c) {
    return isupper(c) ? c - 'A' + 'a' : c;
}

long strtol(const char* s, char** ppEnd, int Base) {
    return RtStrToL(s, ppEnd, Base);
}
unsigned long strtoul(const char* s, char** ppEnd, int Base) {
    return RtStrToUL(s, ppEnd, Base);
}
int atoi(const char* s) {
    return (int)RtStrToL(s, NULL, 10);
}
long atol(const char* s) {
    return RtStrToL(s, NULL, 10);
}
int abs(int Value) {
    return Value < 0 ? -Value : Value;
}
long labs(long Value) {
    return Value < 0 ? -Value : Value;
}
