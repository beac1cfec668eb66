// Internal interface of the UEFI runtime for the platform code and the runtime's own files:
// the firmware handles found at start-up.
#ifndef RUNTIME_UEFI_RUNTIMEUEFI_H
#define RUNTIME_UEFI_RUNTIMEUEFI_H

extern "C" {
#include <efi.h>
}

struct RtStream;

// The application's image handle, the system table and the boot services.
EFI_HANDLE RtImageHandle(void);
EFI_HANDLE* RtImageHandlePointer(void);
EFI_SYSTEM_TABLE* RtSystemTable(void);
EFI_BOOT_SERVICES* RtBootServices(void);
// The UEFI shell's protocols; NULL when the application was not started by a UEFI 2.x shell.
EFI_SHELL_PROTOCOL* RtShell(void);
EFI_SHELL_PARAMETERS_PROTOCOL* RtShellParameters(void);

// system() that also reports the command's own status: *pKnown is set when the shell ran the
// line through EFI_SHELL_PROTOCOL.Execute, and *pStatus is then the StatusCode it returned.
// Returns 0 when the shell ran the line, 1 when it could not, 2 when it could not start the
// program the line names (PlatformCommandResult).
int RtSystemStatus(const char* pCommandLine, bool* pKnown, uint64_t* pStatus);

// errno for a failed firmware status.
int RtErrnoFromStatus(EFI_STATUS Status);

// Start-up and shutdown of the parts of the runtime (called by efi_main).
void RtStdioStart(void);
void RtStdioShutdown(void);
void RtMemoryShutdown(void);

#endif
