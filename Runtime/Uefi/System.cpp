// system(): runs a command line in the UEFI shell. Through EFI_SHELL_PROTOCOL.Execute the result
// is 0 when the shell ran the line (the command's own status is not read) and 1 when Execute
// failed; through the older shell environment's Execute it is always 0; without either, 1.
// RtSystemStatus also hands back the command's own status where Execute reports one, and tells
// a program the shell could not start from a line it could not run.
#include "RuntimeUefi.h"
#include "Runtime/Portable/RtText.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The first member of the older shell's EFI_SHELL_ENVIRONMENT2; nothing else of it is used.
struct ShellEnvironment2 {
    EFI_STATUS(EFIAPI* Execute)
    (EFI_HANDLE* pParentImageHandle, CHAR16* pCommandLine, BOOLEAN DebugOutput);
};

ShellEnvironment2* FindShellEnvironment2(void) {
    EFI_GUID Guid = {0x47c7b221, 0xc42a, 0x11d2, {0x8e, 0x57, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};
    void* pInterface = NULL;
    if (RtBootServices()->LocateProtocol(&Guid, NULL, &pInterface) != EFI_SUCCESS) {
        return NULL;
    }
    return (ShellEnvironment2*)pInterface;
}

} // namespace

int system(const char* pCommandLine) {
    bool Known = false;
    uint64_t Status = 0;
    return RtSystemStatus(pCommandLine, &Known, &Status) == 0 ? 0 : 1;
}

int RtSystemStatus(const char* pCommandLine, bool* pKnown, uint64_t* pStatus) {
    *pKnown = false;
    *pStatus = 0;
    EFI_SHELL_PROTOCOL* pShell = RtShell();
    ShellEnvironment2* pOldShell = pShell == NULL ? FindShellEnvironment2() : NULL;
    if (pCommandLine == NULL) {
        return pShell != NULL || pOldShell != NULL;
    }
    if (pShell == NULL && pOldShell == NULL) {
        return 1;
    }
    CHAR16* pWide = (CHAR16*)malloc((strlen(pCommandLine) + 1) * sizeof(CHAR16));
    if (pWide == NULL) {
        return 1;
    }
    RtWiden(pCommandLine, (uint16_t*)pWide);
    fflush(stdout);
    int Result;
    if (pShell != NULL) {
        EFI_STATUS CommandStatus = EFI_SUCCESS;
        EFI_STATUS Status = pShell->Execute(RtImageHandlePointer(), pWide, NULL, &CommandStatus);
        // A shell that runs the line in its own instance fails Execute and sets the command's
        // status (its reason, without the error bit) when it could not load the program; it
        // sets none when it could not run the line at all.
        Result = Status == EFI_SUCCESS ? 0 : CommandStatus != EFI_SUCCESS ? 2 : 1;
        *pKnown = Result != 1;
        *pStatus = (uint64_t)CommandStatus;
    } else {
        pOldShell->Execute(RtImageHandlePointer(), pWide, FALSE);
        Result = 0;
    }
    free(pWide);
    return Result;
}
