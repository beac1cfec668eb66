// Whether a file holds a program the shell can start, from its headers alone. A file of its
// own: only a tool that asks carries it in its image.
#include "Platform/Platform.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

uint32_t ReadLittle(const unsigned char* pBytes, size_t Size) {
    uint32_t Value = 0;
    for (size_t Index = Size; Index > 0; Index--) {
        Value = (Value << 8) | pBytes[Index - 1];
    }
    return Value;
}

} // namespace

// A PE32+ image for x64 with the EFI application subsystem: what the shell starts as a program.
bool PlatformIsProgramFile(const char* pFileName) {
    const size_t kMachine = 4, kOptionalSize = 20, kOptional = 24, kSubsystem = kOptional + 68;
    static unsigned char Head[4096];
    FILE* pFile = fopen(pFileName, "rb");
    if (pFile == NULL) {
        return true;
    }
    const size_t Size = fread(Head, 1, sizeof Head, pFile);
    fclose(pFile);
    if (Size < 0x40 || memcmp(Head, "MZ", 2) != 0) {
        return false;
    }
    const uint32_t Pe = ReadLittle(Head + 0x3C, 4);
    if ((size_t)Pe + kSubsystem + 2 > Size) {
        return false;
    }
    const unsigned char* pPe = Head + Pe;
    return memcmp(pPe, "PE\0\0", 4) == 0 && ReadLittle(pPe + kMachine, 2) == 0x8664 &&
           ReadLittle(pPe + kOptionalSize, 2) >= kSubsystem - kOptional + 2 &&
           ReadLittle(pPe + kOptional, 2) == 0x20B && ReadLittle(pPe + kSubsystem, 2) == 10;
}
