// String and memory functions of the UEFI runtime.
#ifndef RUNTIME_STRING_H
#define RUNTIME_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void* memcpy(void* pDest, const void* pSrc, size_t n);
void* memmove(void* pDest, const void* pSrc, size_t n);
void* memset(void* pDest, int c, size_t n);
int memcmp(const void* pA, const void* pB, size_t n);
void* memchr(const void* p, int c, size_t n);
size_t strlen(const char* s);
size_t strnlen(const char* s, size_t n);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t n);
char* strcpy(char* pDest, const char* pSrc);
char* strncpy(char* pDest, const char* pSrc, size_t n);
char* strcat(char* pDest, const char* pSrc);
char* strncat(char* pDest, const char* pSrc, size_t n);
char* strchr(const char* s, int c);
char* strrchr(const char* s, int c);
char* strstr(const char* pHaystack, const char* pNeedle);
char* strerror(int Error);
int strcasecmp(const char* a, const char* b);
int strncasecmp(const char* a, const char* b, size_t n);

#ifdef __cplusplus
}
#endif

#endif
