// Support for the fuzz targets (FuzzSupport.h).
#include "FuzzSupport.h"

#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

extern "C" [[noreturn]] void __real_exit(int Status);

namespace {

thread_local jmp_buf* pExitTarget = nullptr;
thread_local int ExitStatus = 0;

struct LowStackCall {
    void (*pBody)(void*);
    void* pContext;
    int Status;
    bool Exited;
};

void* RunCall(void* pArgument) {
    LowStackCall* pCall = (LowStackCall*)pArgument;
    pCall->Exited = RunUntilExit(pCall->pBody, pCall->pContext, &pCall->Status);
    return nullptr;
}

} // namespace

extern "C" [[noreturn]] void __wrap_exit(int Status) {
    if (pExitTarget != nullptr) {
        ExitStatus = Status;
        longjmp(*pExitTarget, 1);
    }
    __real_exit(Status);
}

void SplitCommandLine(const uint8_t* pData, size_t Size, const char* pProgram,
                      FuzzCommandLine* pLine) {
    size_t Used = 0;
    pLine->argc = 0;
    const size_t ProgramLength = strlen(pProgram);
    memcpy(pLine->Text, pProgram, ProgramLength + 1);
    pLine->argv[pLine->argc++] = pLine->Text;
    Used = ProgramLength + 1;
    size_t Start = 0;
    for (size_t Index = 0; Index <= Size && pLine->argc <= FuzzCommandLine::kMaxWords; Index++) {
        if (Index < Size && pData[Index] != '\n') {
            continue;
        }
        const size_t Length = Index - Start;
        if (Used + Length + 1 > sizeof pLine->Text) {
            break;
        }
        char* pWord = pLine->Text + Used;
        memcpy(pWord, pData + Start, Length);
        pWord[Length] = '\0';
        Used += Length + 1;
        pLine->argv[pLine->argc++] = pWord;
        Start = Index + 1;
    }
    pLine->argv[pLine->argc] = nullptr;
}

bool RunUntilExit(void (*pBody)(void*), void* pContext, int* pStatus) {
    jmp_buf Target;
    jmp_buf* pOuter = pExitTarget;
    if (setjmp(Target) != 0) {
        pExitTarget = pOuter;
        *pStatus = ExitStatus;
        return true;
    }
    pExitTarget = &Target;
    pBody(pContext);
    pExitTarget = pOuter;
    return false;
}

// One worker thread on a stack below 4 GiB runs every call in turn (starting a thread for each
// input would cost more than most inputs do).
namespace {

sem_t WorkPosted;
sem_t WorkDone;
LowStackCall* pPosted = nullptr;

void* Worker(void*) {
    for (;;) {
        while (sem_wait(&WorkPosted) != 0) {
        }
        RunCall(pPosted);
        sem_post(&WorkDone);
    }
    return nullptr;
}

} // namespace

bool RunOnLowStackUntilExit(void (*pBody)(void*), void* pContext, int* pStatus) {
    static const size_t kStackSize = 1u << 20;
    static bool Started = false;
    if (!Started) {
        void* pStack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_STACK, -1, 0);
        if (pStack == MAP_FAILED) {
            fprintf(stderr, "cannot map a stack below 4 GiB\n");
            abort();
        }
        sem_init(&WorkPosted, 0, 0);
        sem_init(&WorkDone, 0, 0);
        pthread_attr_t Attributes;
        pthread_attr_init(&Attributes);
        pthread_attr_setstack(&Attributes, pStack, kStackSize);
        pthread_t Thread;
        if (pthread_create(&Thread, &Attributes, Worker, nullptr) != 0) {
            fprintf(stderr, "cannot start the low-stack thread\n");
            abort();
        }
        pthread_attr_destroy(&Attributes);
        Started = true;
    }
    LowStackCall Call = {pBody, pContext, 0, false};
    pPosted = &Call;
    sem_post(&WorkPosted);
    while (sem_wait(&WorkDone) != 0) {
    }
    *pStatus = Call.Status;
    return Call.Exited;
}

void FuzzFail(const char* pFile, int Line, const char* pCondition, const char* pFormat, ...) {
    fflush(stdout);
    fprintf(stderr, "%s:%d: invariant broken: %s\n  ", pFile, Line, pCondition);
    va_list Args;
    va_start(Args, pFormat);
    vfprintf(stderr, pFormat, Args);
    va_end(Args);
    fprintf(stderr, "\n");
    abort();
}
