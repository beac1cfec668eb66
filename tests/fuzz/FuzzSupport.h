// Support for the fuzz targets: command lines cut from the fuzzer's bytes, a way for a tool's
// exit to return to the fuzzer, and a stack below 4 GiB for code that hands stack addresses to
// the firmware.
#ifndef TESTS_FUZZ_FUZZSUPPORT_H
#define TESTS_FUZZ_FUZZSUPPORT_H

#include <stddef.h>
#include <stdint.h>

// Up to kMaxWords words cut from Data at every line feed, each NUL-terminated, after a fixed
// argv[0]. The words live in the object, which must outlive their use.
struct FuzzCommandLine {
    static const int kMaxWords = 24;
    int argc;
    char* argv[kMaxWords + 2];
    char Text[4096];
};
void SplitCommandLine(const uint8_t* pData, size_t Size, const char* pProgram,
                      FuzzCommandLine* pLine);

// Runs pBody(pContext). When the body calls exit(), the call returns to here instead of ending
// the process (the target is linked with -Wl,--wrap=exit). Returns true when the body exited,
// with the status in *pStatus; false when it returned.
bool RunUntilExit(void (*pBody)(void*), void* pContext, int* pStatus);

// As RunUntilExit, on a thread whose stack lies below 4 GiB, so that the addresses of stack
// buffers fit a 32-bit register as they do under UEFI.
bool RunOnLowStackUntilExit(void (*pBody)(void*), void* pContext, int* pStatus);

// Ends the run with a report when an invariant does not hold.
#define FUZZ_CHECK(Condition, ...)                                                                 \
    do {                                                                                           \
        if (!(Condition)) {                                                                        \
            FuzzFail(__FILE__, __LINE__, #Condition, __VA_ARGS__);                                 \
        }                                                                                          \
    } while (0)
[[noreturn]] void FuzzFail(const char* pFile, int Line, const char* pCondition, const char* pFormat,
                           ...) __attribute__((format(printf, 4, 5)));

#endif
