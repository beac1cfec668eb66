// Start-up of a host tool on the simulated machine.
//
// The linker redirects the C runtime's call of main to __wrap_main and every call of exit to
// __wrap_exit. Before the tool's main runs, the machine's memory is mapped at its physical
// addresses, and main runs on a stack below 4 GiB with a heap that stays in the low brk area,
// so every address the tool hands to the firmware fits in a 32-bit register, as under UEFI.
// At the end the full 32-bit exit status is recorded in the machine, since a Linux exit status
// keeps only its low 8 bits.
//
// fopen and fclose are redirected too (__wrap_fopen, __wrap_fclose): the files the tool opens are
// tracked, and a file still open when the tool ends is logged as a violation (a Linux process
// closes and flushes its files at exit, the UEFI runtime need not). With FWSIM_FAIL_CLOSE set to
// a file name, closing that file reports an I/O error, as a full or removed medium would; with
// FWSIM_FAIL_RENAME set to a file name, renaming a file to that name fails with an I/O error and
// changes nothing (rename is redirected too, __wrap_rename).
//
// The bytes the tool reads from standard input (fgetc, getc, getchar) reach it unchanged; what it
// read is logged at the end as one "stdin" event, escaped where it is not UTF-8.
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <nlohmann/json.hpp>

#include "Simulator/Session.h"

extern "C" int __real_main(int argc, char** argv);
extern "C" FILE* __real_fopen(const char* pName, const char* pMode);
extern "C" int __real_fclose(FILE* pFile);
extern "C" int __real_rename(const char* pOld, const char* pNew);
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" int __real_fgetc(FILE* pStream);
extern "C" int __real_getc(FILE* pStream);
extern "C" int __real_getchar(void);

namespace {

constexpr size_t kStackSize = 8u << 20;

struct MainCall {
    int argc;
    char** argv;
};

void* RunMain(void* pArgument) {
    const MainCall* pCall = static_cast<const MainCall*>(pArgument);
    exit(__real_main(pCall->argc, pCall->argv));
}

struct OpenFile {
    FILE* pFile;
    char Name[256];
};
OpenFile OpenFiles[32];
pthread_mutex_t OpenFilesLock = PTHREAD_MUTEX_INITIALIZER;

// What the tool has read from standard input, and whether it met the end.
struct InputRecord {
    std::string Bytes;
    bool Ended = false;
};

InputRecord& Input() {
    static InputRecord Record;
    return Record;
}

int RecordInput(FILE* pStream, int Character) {
    if (pStream == stdin) {
        if (Character == EOF) {
            Input().Ended = true;
        } else {
            Input().Bytes += (char)Character;
        }
    }
    return Character;
}

[[noreturn]] void Fatal(const std::string& Message) {
    fprintf(stderr, "fwsim: %s\n", Message.c_str());
    __real_exit(125);
}

} // namespace

extern "C" int __wrap_main(int argc, char** argv) {
    // One heap arena in the brk area, never mmap: allocations stay below 4 GiB.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);

    std::string Error;
    if (!sim::StartSession(argc, argv, Error)) {
        Fatal(Error);
    }
    void* pProbe = malloc(16);
    if ((uintptr_t)pProbe > 0xFFFF0000u) {
        Fatal("the heap does not lie below 4 GiB (build the host tools without PIE)");
    }
    free(pProbe);

    void* pStack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_STACK, -1, 0);
    if (pStack == MAP_FAILED) {
        Fatal("cannot allocate a stack below 4 GiB");
    }
    pthread_attr_t Attributes;
    pthread_attr_init(&Attributes);
    pthread_attr_setstack(&Attributes, pStack, kStackSize);
    MainCall Call = {argc, argv};
    pthread_t Thread;
    if (pthread_create(&Thread, &Attributes, RunMain, &Call) != 0) {
        Fatal("cannot start the tool's thread");
    }
    pthread_join(Thread, nullptr);
    return 0; // not reached: RunMain ends the process through exit
}

// Assertion reports in the format the UEFI runtime prints: the expression, the source file's
// name, the function's name and the line; then the program stops with status 1.
extern "C" [[noreturn]] void __assert_fail(const char* pExpression, const char* pFile,
                                           unsigned int Line, const char* pFunction) noexcept {
    const char* pBase = strrchr(pFile, '/');
    pBase = pBase != nullptr ? pBase + 1 : pFile;
    // The C++ library passes the full signature: keep the name before the parameter list.
    std::string Function = pFunction;
    const size_t Open = Function.find('(');
    if (Open != std::string::npos) {
        Function.erase(Open);
    }
    const size_t Space = Function.find_last_of(" :*&");
    if (Space != std::string::npos) {
        Function.erase(0, Space + 1);
    }
    fflush(stdout);
    fprintf(stderr, "Assertion failed: (%s), file %s, function %s, line %d.\n", pExpression, pBase,
            Function.c_str(), (int)Line);
    exit(1);
}

extern "C" FILE* __wrap_fopen(const char* pName, const char* pMode) {
    FILE* pFile = __real_fopen(pName, pMode);
    if (pFile != nullptr) {
        pthread_mutex_lock(&OpenFilesLock);
        for (OpenFile& Entry : OpenFiles) {
            if (Entry.pFile == nullptr) {
                Entry.pFile = pFile;
                snprintf(Entry.Name, sizeof Entry.Name, "%s", pName);
                break;
            }
        }
        pthread_mutex_unlock(&OpenFilesLock);
    }
    return pFile;
}

extern "C" int __wrap_fclose(FILE* pFile) {
    bool FailClose = false;
    const char* pFailing = getenv("FWSIM_FAIL_CLOSE");
    pthread_mutex_lock(&OpenFilesLock);
    for (OpenFile& Entry : OpenFiles) {
        if (pFile != nullptr && Entry.pFile == pFile) {
            const char* pBase = strrchr(Entry.Name, '/');
            pBase = pBase != nullptr ? pBase + 1 : Entry.Name;
            FailClose = pFailing != nullptr && strcmp(pFailing, pBase) == 0;
            Entry.pFile = nullptr;
        }
    }
    pthread_mutex_unlock(&OpenFilesLock);
    const int Result = __real_fclose(pFile);
    if (FailClose) {
        errno = EIO;
        return EOF;
    }
    return Result;
}

extern "C" int __wrap_rename(const char* pOld, const char* pNew) {
    const char* pFailing = getenv("FWSIM_FAIL_RENAME");
    const char* pBase = strrchr(pNew, '/');
    pBase = pBase != nullptr ? pBase + 1 : pNew;
    if (pFailing != nullptr && strcmp(pFailing, pBase) == 0) {
        errno = EIO;
        return -1;
    }
    return __real_rename(pOld, pNew);
}

extern "C" int __wrap_fgetc(FILE* pStream) {
    return RecordInput(pStream, __real_fgetc(pStream));
}

extern "C" int __wrap_getc(FILE* pStream) {
    return RecordInput(pStream, __real_getc(pStream));
}

extern "C" int __wrap_getchar(void) {
    return RecordInput(stdin, __real_getchar());
}

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (sim::SessionActive() && (!Input().Bytes.empty() || Input().Ended)) {
        sim::LogEvent(
            {{"event", "stdin"}, {"read", sim::LogText(Input().Bytes)}, {"end", Input().Ended}});
    }
    for (const OpenFile& Entry : OpenFiles) {
        if (Entry.pFile != nullptr && sim::SessionActive()) {
            sim::LogEvent({{"event", "violation"},
                           {"violation", std::string("file left open at exit: ") + Entry.Name}});
        }
    }
    sim::FinishSession((uint32_t)status);
    __real_exit(status);
}
