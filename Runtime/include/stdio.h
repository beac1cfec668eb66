// Standard input and output of the UEFI runtime: console streams and buffered files over the
// UEFI shell's file functions (names resolve in the shell's current directory).
#ifndef RUNTIME_STDIO_H
#define RUNTIME_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#include "../Portable/RtStreamPut.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RtStream FILE;

#define EOF (-1)
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#define BUFSIZ 4096

extern FILE* stdin;
extern FILE* stdout;
extern FILE* stderr;

int printf(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
int vprintf(const char* pFormat, va_list Args) __attribute__((format(printf, 1, 0)));
int fprintf(FILE* pStream, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
int vfprintf(FILE* pStream, const char* pFormat, va_list Args)
    __attribute__((format(printf, 2, 0)));
int sprintf(char* pBuffer, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
int snprintf(char* pBuffer, size_t Size, const char* pFormat, ...)
    __attribute__((format(printf, 3, 4)));
int vsnprintf(char* pBuffer, size_t Size, const char* pFormat, va_list Args)
    __attribute__((format(printf, 3, 0)));
int vsprintf(char* pBuffer, const char* pFormat, va_list Args)
    __attribute__((format(printf, 2, 0)));

int putchar(int c);
int puts(const char* s);
int fputs(const char* s, FILE* pStream);
int __rt_fputc_slow(int c, FILE* pStream);
// fputc and putc are inline: a byte that fits the buffer costs no call.
__attribute__((always_inline)) inline int fputc(int c, FILE* pStream) {
    struct RtStreamPut* pPut = (struct RtStreamPut*)(void*)pStream;
    if (pPut->Pos < pPut->PutLimit) {
        pPut->pBuffer[pPut->Pos++] = (unsigned char)c;
        return (unsigned char)c;
    }
    return __rt_fputc_slow(c, pStream);
}
__attribute__((always_inline)) inline int putc(int c, FILE* pStream) {
    return fputc(c, pStream);
}
int fgetc(FILE* pStream);
int getc(FILE* pStream);
int getchar(void);
char* fgets(char* pBuffer, int Size, FILE* pStream);
int fflush(FILE* pStream);
void perror(const char* s);

FILE* fopen(const char* pName, const char* pMode);
int fclose(FILE* pStream);
size_t fread(void* pBuffer, size_t Size, size_t Count, FILE* pStream);
size_t fwrite(const void* pBuffer, size_t Size, size_t Count, FILE* pStream);
int fseek(FILE* pStream, long Offset, int Whence);
long ftell(FILE* pStream);
void rewind(FILE* pStream);
void clearerr(FILE* pStream);
int feof(FILE* pStream);
int ferror(FILE* pStream);
int remove(const char* pName);
// Renames within one directory (the UEFI file system renames nothing across directories);
// an existing file of the new name is replaced.
int rename(const char* pOldName, const char* pNewName);

#ifdef __cplusplus
}
#endif

#endif
