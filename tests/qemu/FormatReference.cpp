// Prints the shared format cases with the host's vsnprintf, in the line form of
// "RuntimeProbe.efi format" (index|text with control bytes escaped|length), so that a QEMU test
// can compare the UEFI runtime's formatting with the host C library's.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "FormatCases.h"

namespace {

int Index;

void PrintEscaped(const char* p) {
    for (; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == '\\') {
            std::printf("\\\\");
        } else if (c < 0x20 || c >= 0x7F) {
            std::printf("\\x%.2X", c);
        } else {
            std::putchar(c);
        }
    }
}

void PrintCase(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
void PrintCase(const char* pFormat, ...) {
    char Text[256];
    va_list Args;
    va_start(Args, pFormat);
    int Length = std::vsnprintf(Text, sizeof(Text), pFormat, Args);
    va_end(Args);
    std::printf("%d|", Index++);
    PrintEscaped(Text);
    std::printf("|%d\n", Length);
}

} // namespace

int main() {
#define PRINT_CASE(...) PrintCase(__VA_ARGS__);
    FWTOOLS_FORMAT_CASES(PRINT_CASE)
#undef PRINT_CASE
    return 0;
}
