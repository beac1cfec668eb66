// The runtime's formatted output core: printf-style formatting delivered through a callback.
// Portable: the UEFI runtime builds its printf family on it, and host unit tests compare its
// output with the host C library's snprintf.
#ifndef RUNTIME_PORTABLE_RTFORMAT_H
#define RUNTIME_PORTABLE_RTFORMAT_H

#include <stdarg.h>
#include <stddef.h>

// Receives Count formatted characters starting at p (not NUL-terminated).
typedef void RtFormatSink(void* pContext, const char* p, int Count);

// Formats pFormat with Args and hands the text to pSink in pieces. Returns the number of
// characters produced. No floating-point conversions. A format with %n, or with a hexadecimal,
// octal or binary conversion whose precision is '*' or above 256, is refused: nothing is
// produced and the result is -1.
int RtFormat(RtFormatSink* pSink, void* pContext, const char* pFormat, va_list Args);

// vsnprintf: writes at most Size - 1 characters and a NUL (nothing when Size is 0); returns the
// length of the whole formatted text.
int RtFormatToBuffer(char* pBuffer, size_t Size, const char* pFormat, va_list Args);

#endif
