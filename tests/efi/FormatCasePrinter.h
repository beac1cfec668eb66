// Prints the shared format cases, one line each: index|text|length, the text with "\\" doubled and
// bytes outside 0x20-0x7E as \xHH. Included by RuntimeProbe.efi (the UEFI runtime's vsnprintf)
// and by format_cases_host (the host C library's), whose outputs a QEMU test compares.
#ifndef TESTS_EFI_FORMATCASEPRINTER_H
#define TESTS_EFI_FORMATCASEPRINTER_H

#include "FormatCases.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

inline void PrintEscapedText(const char* p) {
    for (; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == '\\') {
            printf("\\\\");
        } else if (c < 0x20 || c >= 0x7F) {
            printf("\\x%.2X", c);
        } else {
            putchar(c);
        }
    }
}

inline void PrintFormatCase(int Index, const char* pFormat, ...)
    __attribute__((format(printf, 2, 3)));
inline void PrintFormatCase(int Index, const char* pFormat, ...) {
    char Text[256];
    va_list Args;
    va_start(Args, pFormat);
    int Length = vsnprintf(Text, sizeof(Text), pFormat, Args);
    va_end(Args);
    printf("%d|", Index);
    PrintEscapedText(Text);
    printf("|%d\n", Length);
}

inline void PrintFormatCases(void) {
    int Index = 0;
#define FWTOOLS_PRINT_FORMAT_CASE(...) PrintFormatCase(Index++, __VA_ARGS__);
    FWTOOLS_FORMAT_CASES(FWTOOLS_PRINT_FORMAT_CASE)
#undef FWTOOLS_PRINT_FORMAT_CASE
}

#endif
