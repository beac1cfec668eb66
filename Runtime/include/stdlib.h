// General utilities of the UEFI runtime.
#ifndef RUNTIME_STDLIB_H
#define RUNTIME_STDLIB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1

// Memory always lies at or below 0xFFFF0000 (the firmware takes buffers by 32-bit address).
void* malloc(size_t Size);
void* calloc(size_t Count, size_t Size);
void* realloc(void* p, size_t Size);
void free(void* p);

// Flushes and closes all streams, releases the heap and returns Status to the shell.
__attribute__((noreturn)) void exit(int Status);
__attribute__((noreturn)) void abort(void);

// Runs a command line in the UEFI shell: 0 when the shell ran it, 1 when it could not.
int system(const char* pCommandLine);

long strtol(const char* s, char** ppEnd, int Base);
unsigned long strtoul(const char* s, char** ppEnd, int Base);
int atoi(const char* s);
long atol(const char* s);
int abs(int Value);
long labs(long Value);

#ifdef __cplusplus
}
#endif

#endif
