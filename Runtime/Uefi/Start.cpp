// Start-up of a UEFI shell application: finds the shell's protocols, turns the shell's UCS-2
// arguments into narrow strings, runs main and hands its status back to the shell, sign-extended
// to 64 bits. exit() unwinds to efi_main, which closes the streams and releases the heap.
#include "RuntimeUefi.h"
#include "Runtime/Portable/RtText.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv);

int errno;

namespace {

EFI_HANDLE ImageHandle;
EFI_SYSTEM_TABLE* SystemTable;
EFI_SHELL_PROTOCOL* Shell;
EFI_SHELL_PARAMETERS_PROTOCOL* ShellParameters;

// __builtin_setjmp buffer of efi_main; exit() jumps back to it.
void* ExitJump[5];
int ExitStatus;
bool Aborted;

char EmptyName[1];
char* FallbackArgv[2] = {EmptyName, NULL};

// Builds argv from the shell's parameters in one heap block: the pointer array, then the strings.
char** BuildArguments(int* pArgc) {
    *pArgc = 1;
    if (ShellParameters == NULL || ShellParameters->Argc == 0) {
        return FallbackArgv;
    }
    size_t Count = ShellParameters->Argc;
    size_t Bytes = (Count + 1) * sizeof(char*);
    for (size_t i = 0; i < Count; i++) {
        Bytes += RtWideLength((const uint16_t*)ShellParameters->Argv[i]) + 1;
    }
    char** ppArgv = (char**)malloc(Bytes);
    if (ppArgv == NULL) {
        return FallbackArgv;
    }
    char* pText = (char*)(ppArgv + Count + 1);
    for (size_t i = 0; i < Count; i++) {
        ppArgv[i] = pText;
        RtNarrow((const uint16_t*)ShellParameters->Argv[i], pText);
        pText += strlen(pText) + 1;
    }
    ppArgv[Count] = NULL;
    *pArgc = (int)Count;
    return ppArgv;
}

__attribute__((noinline)) void RunMain(void) {
    int argc;
    char** argv = BuildArguments(&argc);
    exit(main(argc, argv));
}

} // namespace

EFI_HANDLE RtImageHandle(void) {
    return ImageHandle;
}
EFI_HANDLE* RtImageHandlePointer(void) {
    return &ImageHandle;
}
EFI_SYSTEM_TABLE* RtSystemTable(void) {
    return SystemTable;
}
EFI_BOOT_SERVICES* RtBootServices(void) {
    return SystemTable->BootServices;
}
EFI_SHELL_PROTOCOL* RtShell(void) {
    return Shell;
}
EFI_SHELL_PARAMETERS_PROTOCOL* RtShellParameters(void) {
    return ShellParameters;
}

int RtErrnoFromStatus(EFI_STATUS Status) {
    switch (Status) {
    case EFI_SUCCESS:
        return 0;
    case EFI_NOT_FOUND:
        return ENOENT;
    case EFI_ACCESS_DENIED:
    case EFI_WRITE_PROTECTED:
    case EFI_SECURITY_VIOLATION:
        return EACCES;
    case EFI_VOLUME_FULL:
        return ENOSPC;
    case EFI_OUT_OF_RESOURCES:
        return ENOMEM;
    case EFI_INVALID_PARAMETER:
    case EFI_UNSUPPORTED:
        return EINVAL;
    default:
        return EIO;
    }
}

extern "C" EFI_STATUS efi_main(EFI_HANDLE Image, EFI_SYSTEM_TABLE* pSystemTable) {
    ImageHandle = Image;
    SystemTable = pSystemTable;
    EFI_GUID ShellGuid = EFI_SHELL_PROTOCOL_GUID;
    EFI_GUID ParametersGuid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
    void* pInterface = NULL;
    if (RtBootServices()->LocateProtocol(&ShellGuid, NULL, &pInterface) == EFI_SUCCESS) {
        Shell = (EFI_SHELL_PROTOCOL*)pInterface;
    }
    pInterface = NULL;
    if (RtBootServices()->HandleProtocol(Image, &ParametersGuid, &pInterface) == EFI_SUCCESS) {
        ShellParameters = (EFI_SHELL_PARAMETERS_PROTOCOL*)pInterface;
    }
    RtStdioStart();
    if (__builtin_setjmp(ExitJump) == 0) {
        RunMain();
    }
    RtStdioShutdown();
    RtMemoryShutdown();
    if (Aborted) {
        return EFI_ABORTED;
    }
    return (EFI_STATUS)(INT64)ExitStatus;
}

void exit(int Status) {
    ExitStatus = Status;
    __builtin_longjmp(ExitJump, 1);
}

void abort(void) {
    Aborted = true;
    __builtin_longjmp(ExitJump, 1);
}

extern "C" void __rt_assert_fail(const char* pExpression, const char* pFile, const char* pFunction,
                                 int Line) {
    fflush(stdout);
    fprintf(stderr, "Assertion failed: (%s), file %s, function %s, line %d.\n", pExpression, pFile,
            pFunction, Line);
    exit(1);
}
