// Fuzz target: the runtime's formatting core against the host C library.
//
// The input is read as one conversion of the kinds the tools print (%d %i %u %x %X %c %s %%
// with the flags - and 0, a width, a precision and the lengths z, l, ll) after a short plain
// text, its argument, and a buffer size.
//
// Invariant: for these formats RtFormatToBuffer writes exactly what the host's vsnprintf
// writes, returns the same length, never writes past the given size and always terminates the
// text when the size is not 0.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "FuzzSupport.h"
#include "Runtime/Portable/RtFormat.h"

namespace {

struct Reader {
    const uint8_t* p;
    size_t Left;
    uint8_t Byte() {
        if (Left == 0) {
            return 0;
        }
        Left--;
        return *p++;
    }
    uint64_t Word() {
        uint64_t Value = 0;
        for (int Index = 0; Index < 8; Index++) {
            Value = (Value << 8) | Byte();
        }
        return Value;
    }
};

int Ours(char* pBuffer, size_t Size, const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    const int Length = RtFormatToBuffer(pBuffer, Size, pFormat, Args);
    va_end(Args);
    return Length;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
int Host(char* pBuffer, size_t Size, const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    const int Length = vsnprintf(pBuffer, Size, pFormat, Args);
    va_end(Args);
    return Length;
}
#pragma GCC diagnostic pop

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    Reader In = {pData, Size};
    // One conversion per call, so that every argument has its exact type.
    char Format[64];
    char Text[40];
    size_t Used = 0;
    const uint8_t Kind = In.Byte();
    const uint8_t Flags = In.Byte();
    const uint8_t Width = In.Byte();
    const uint8_t Precision = In.Byte();
    const uint8_t Prefix = In.Byte() % 8;
    for (uint8_t Index = 0; Index < Prefix; Index++) {
        const char c = (char)In.Byte();
        Format[Used++] = (c == '%' || c == '\0') ? 'x' : c;
    }
    Format[Used++] = '%';
    if (Flags & 1) {
        Format[Used++] = '-';
    }
    // 0 only for numbers and without a precision: elsewhere the C library ignores it or leaves
    // it undefined, and the core pads with zeros (the tools never write such formats).
    static const char kConversions[] = "diuxXcs%";
    const char Conversion = kConversions[Kind % 8];
    if ((Flags & 2) && !(Precision & 0x80) && strchr("diuxX", Conversion) != NULL) {
        Format[Used++] = '0';
    }
    if (Width & 0x80) {
        Used += (size_t)snprintf(Format + Used, 8, "%d", Width & 0x1F);
    }
    if (Precision & 0x80) {
        // Not .0: the core prints a digit for zero there (FormatTest), the C library none.
        Used += (size_t)snprintf(Format + Used, 8, ".%d",
                                 (Precision & 0x1F) != 0 ? Precision & 0x1F : 1);
    }
    // No h or hh: the tools never print a short, and the core does not narrow such arguments.
    static const char* const kLengths[] = {"", "z", "l", "ll"};
    const char* pLength = strchr("diuxX", Conversion) ? kLengths[(Kind >> 3) % 4] : "";
    Used += (size_t)snprintf(Format + Used, 8, "%s%c", pLength, Conversion);
    Format[Used] = '\0';
    const uint64_t Value = In.Word();
    size_t TextLength = 0;
    for (; TextLength < sizeof Text - 1 && In.Left > 0; TextLength++) {
        const char c = (char)In.Byte();
        if (c == '\0') {
            break;
        }
        Text[TextLength] = c;
    }
    Text[TextLength] = '\0';
    const size_t BufferSize = In.Byte() % 80;

    char Want[128];
    char Got[128];
    memset(Want, 0x5A, sizeof Want);
    memset(Got, 0x5A, sizeof Got);
    int WantLength = 0;
    int GotLength = 0;
    const bool Signed = Conversion == 'd' || Conversion == 'i';
    const int LengthKind = (Kind >> 3) % 4;
#define BOTH(...)                                                                                  \
    do {                                                                                           \
        WantLength = Host(Want, BufferSize, Format, __VA_ARGS__);                                  \
        GotLength = Ours(Got, BufferSize, Format, __VA_ARGS__);                                    \
    } while (0)
    if (Conversion == 's') {
        BOTH(Text);
    } else if (Conversion == 'c') {
        BOTH((int)(uint8_t)(Value ? Value : 'A'));
    } else if (Conversion == '%') {
        BOTH(0);
    } else if (LengthKind == 1) {
        if (Signed) {
            BOTH((long)Value);
        } else {
            BOTH((size_t)Value);
        }
    } else if (LengthKind == 2 || LengthKind == 3) {
        if (Signed) {
            BOTH((long long)Value);
        } else {
            BOTH((unsigned long long)Value);
        }
    } else if (Signed) {
        BOTH((int)(uint32_t)Value);
    } else {
        BOTH((unsigned)(uint32_t)Value);
    }
#undef BOTH
    FUZZ_CHECK(GotLength == WantLength, "format [%s]: length %d, host %d", Format, GotLength,
               WantLength);
    FUZZ_CHECK(Got[BufferSize] == 0x5A || BufferSize == sizeof Got, "format [%s]: written past %zu",
               Format, BufferSize);
    if (BufferSize > 0) {
        FUZZ_CHECK(memcmp(Got, Want, BufferSize) == 0, "format [%s] size %zu: [%.*s], host [%.*s]",
                   Format, BufferSize, (int)BufferSize, Got, (int)BufferSize, Want);
    }
    return 0;
}
