// Formatting core over the public-domain stb_sprintf (integer-only build, callback output).
#include "RtFormat.h"

#include <string.h>

// stb negates negative values in signed arithmetic (-INT_MIN): this file is compiled with
// -fwrapv (cmake/Efi.cmake, tests/CMakeLists.txt) so that it wraps as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wcast-qual"
#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_STATIC
#define STB_SPRINTF_NOFLOAT
#define STB_SPRINTF_NOUNALIGNED
#define STB_SPRINTF_DECORATE(name) RtStb_##name
#ifdef FWTOOLS_UEFI
// The UEFI build uses general registers only; stb still consumes a (never passed) double
// argument for the float conversions, which needs SSE enabled for this code.
#pragma GCC target("sse2")
#include <stb_sprintf.h> // the UEFI build sees only the stb directory of the system headers
#else
#include <stb/stb_sprintf.h>
#endif
#pragma GCC diagnostic pop

namespace {

struct SinkState {
    RtFormatSink* pSink;
    void* pContext;
    char Chunk[STB_SPRINTF_MIN];
};

char* ForwardChunk(const char* pText, void* pUser, int Count) {
    SinkState* pState = (SinkState*)pUser;
    if (Count > 0) {
        pState->pSink(pState->pContext, pText, Count);
    }
    return pState->Chunk;
}

struct BufferState {
    char* pBuffer;
    size_t Size;
    size_t Used;
};

void StoreInBuffer(void* pContext, const char* p, int Count) {
    BufferState* pState = (BufferState*)pContext;
    if (pState->Size == 0) {
        return;
    }
    size_t Room = pState->Size - 1 - pState->Used;
    size_t Take = (size_t)Count < Room ? (size_t)Count : Room;
    memcpy(pState->pBuffer + pState->Used, p, Take);
    pState->Used += Take;
}

// stb_sprintf builds hexadecimal, octal and binary digits in a fixed stack buffer and overruns it
// when the precision asks for more than about 500 digits. Such formats, and %n (which writes
// through a pointer argument), are refused. Returns false for a format that must not run.
bool FormatIsSafe(const char* pFormat) {
    const int MAX_RADIX_PRECISION = 256;
    for (const char* p = pFormat; *p != '\0'; p++) {
        if (*p != '%') {
            continue;
        }
        p++;
        while (*p != '\0' && strchr("-+ #0'_$", *p) != NULL) {
            p++;
        }
        while ((*p >= '0' && *p <= '9') || *p == '*') {
            p++;
        }
        int Precision = -1;
        if (*p == '.') {
            p++;
            if (*p == '*') {
                Precision = MAX_RADIX_PRECISION + 1; // not known here: treat as too large
                p++;
            } else {
                Precision = 0;
                for (; *p >= '0' && *p <= '9'; p++) {
                    if (Precision <= MAX_RADIX_PRECISION) {
                        Precision = Precision * 10 + (*p - '0');
                    }
                }
            }
        }
        while (*p != '\0' && strchr("hljztLqI0123456789", *p) != NULL) {
            p++;
        }
        if (*p == '\0') {
            break;
        }
        if (*p == 'n') {
            return false;
        }
        if (strchr("xXobBp", *p) != NULL && Precision > MAX_RADIX_PRECISION) {
            return false;
        }
    }
    return true;
}

} // namespace

int RtFormat(RtFormatSink* pSink, void* pContext, const char* pFormat, va_list Args) {
    if (!FormatIsSafe(pFormat)) {
        return -1;
    }
    SinkState State;
    State.pSink = pSink;
    State.pContext = pContext;
    return RtStb_vsprintfcb(ForwardChunk, &State, State.Chunk, pFormat, Args);
}

int RtFormatToBuffer(char* pBuffer, size_t Size, const char* pFormat, va_list Args) {
    BufferState State = {pBuffer, Size, 0};
    int Length = RtFormat(StoreInBuffer, &State, pFormat, Args);
    if (Size > 0) {
        pBuffer[Length < 0 ? 0 : State.Used] = '\0';
    }
    return Length;
}
