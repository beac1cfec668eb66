// Whether the firmware would start a program file. A file of its own: only a tool that asks
// carries it in its image.
#include "Platform/Platform.h"
#include "Runtime/Uefi/RuntimeUefi.h"

#include <stdlib.h>
#include <string.h>

#include "Runtime/Portable/RtText.h"

bool PlatformImageLoads(const char* pFileName) {
    EFI_SHELL_PROTOCOL* pShell = RtShell();
    CHAR16* pWideName = (CHAR16*)malloc((strlen(pFileName) + 1) * sizeof(CHAR16));
    if (pShell == NULL || pWideName == NULL) {
        free(pWideName);
        return true;
    }
    RtWiden(pFileName, (uint16_t*)pWideName);
    EFI_DEVICE_PATH* pPath = pShell->GetDevicePathFromFilePath(pWideName);
    free(pWideName);
    if (pPath == NULL) {
        return true;
    }
    EFI_BOOT_SERVICES* pServices = RtBootServices();
    EFI_HANDLE Image = NULL;
    const EFI_STATUS Status = pServices->LoadImage(FALSE, RtImageHandle(), pPath, NULL, 0, &Image);
    // A refusal under Secure Boot still leaves a loaded image behind.
    if ((Status == EFI_SUCCESS || Status == EFI_SECURITY_VIOLATION) && Image != NULL) {
        pServices->UnloadImage(Image);
    }
    pServices->FreePool(pPath);
    return Status == EFI_SUCCESS;
}
