// The platform primitives on a real machine, from a UEFI shell application.
#include "Platform/Platform.h"
#include "Runtime/Uefi/RuntimeUefi.h"

#include <stdlib.h>
#include <string.h>

#include "Runtime/Portable/RtText.h"

namespace {

// Physical memory is identity mapped under UEFI: reads are plain loads from the address.
void ReadPhysical(const PhysMemReader*, uint64_t Address, void* pDest, size_t Count) {
    const volatile uint8_t* pSource = (const volatile uint8_t*)(uintptr_t)Address;
    uint8_t* pOut = (uint8_t*)pDest;
    for (size_t i = 0; i < Count; i++) {
        pOut[i] = pSource[i];
    }
}

// The firmware's memory map as readable and unreadable ranges, read at the first question and
// kept for the run: the regions that matter (memory, device registers) do not change while a
// shell application runs, only the allocations within memory do.
struct MemoryMap {
    bool Loaded;
    PhysMemoryRange* pRanges;
    size_t Count;
};

MemoryMap Map;

// Device registers and memory the firmware found faulty are never read; every other type,
// reserved and ACPI memory included, is memory.
bool IsReadableType(UINT32 Type) {
    return Type != EfiMemoryMappedIO && Type != EfiMemoryMappedIOPortSpace &&
           Type != EfiUnusableMemory;
}

// Reads the memory map into Map. On failure the map stays empty: then only the legacy BIOS area
// is read.
void LoadMemoryMap(void) {
    Map.Loaded = true;
    EFI_BOOT_SERVICES* pBoot = RtBootServices();
    UINTN Size = 0;
    UINTN Key = 0;
    UINTN DescriptorSize = 0;
    UINT32 Version = 0;
    EFI_STATUS Status = pBoot->GetMemoryMap(&Size, NULL, &Key, &DescriptorSize, &Version);
    // The allocation of the buffer may itself add descriptors: room for a few more each try.
    for (int Attempt = 0; Attempt < 4 && Status == EFI_BUFFER_TOO_SMALL; Attempt++) {
        Size += 8 * (DescriptorSize != 0 ? DescriptorSize : sizeof(EFI_MEMORY_DESCRIPTOR));
        uint8_t* pBuffer = (uint8_t*)malloc(Size);
        if (pBuffer == NULL) {
            return;
        }
        Status = pBoot->GetMemoryMap(&Size, (EFI_MEMORY_DESCRIPTOR*)pBuffer, &Key, &DescriptorSize,
                                     &Version);
        if (Status == EFI_SUCCESS && DescriptorSize >= sizeof(EFI_MEMORY_DESCRIPTOR)) {
            const size_t Count = Size / DescriptorSize;
            Map.pRanges = (PhysMemoryRange*)malloc(Count * sizeof(PhysMemoryRange));
            for (size_t Index = 0; Map.pRanges != NULL && Index < Count; Index++) {
                const EFI_MEMORY_DESCRIPTOR* pEntry =
                    (const EFI_MEMORY_DESCRIPTOR*)(pBuffer + Index * DescriptorSize);
                Map.pRanges[Index].Base = pEntry->PhysicalStart;
                Map.pRanges[Index].Length = pEntry->NumberOfPages > (~0ULL >> EFI_PAGE_SHIFT)
                                                ? ~0ULL - pEntry->PhysicalStart
                                                : pEntry->NumberOfPages << EFI_PAGE_SHIFT;
                Map.pRanges[Index].Readable = IsReadableType(pEntry->Type);
            }
            Map.Count = Map.pRanges != NULL ? Count : 0;
        }
        free(pBuffer);
    }
}

bool DescribedByMap(const PhysMemReader*, uint64_t Address, uint64_t Length) {
    if (!Map.Loaded) {
        LoadMemoryMap();
    }
    return PhysRangeInMap(Map.pRanges, Map.Count, Address, Length);
}

const PhysMemReader PhysicalMemory = {ReadPhysical, NULL, DescribedByMap};

bool SameGuid(const EFI_GUID* pEfiGuid, const PlatformGuid* pGuid) {
    if (pEfiGuid->Data1 != pGuid->Data1 || pEfiGuid->Data2 != pGuid->Data2 ||
        pEfiGuid->Data3 != pGuid->Data3) {
        return false;
    }
    for (int Index = 0; Index < 8; Index++) {
        if (pEfiGuid->Data4[Index] != pGuid->Data4[Index]) {
            return false;
        }
    }
    return true;
}

bool FindConfigTable(const ConfigTableLookup*, const PlatformGuid* pGuid, uint64_t* pAddress) {
    const EFI_SYSTEM_TABLE* pSystem = RtSystemTable();
    if (pSystem == NULL || pSystem->ConfigurationTable == NULL) {
        return false;
    }
    for (UINTN Index = 0; Index < pSystem->NumberOfTableEntries; Index++) {
        const EFI_CONFIGURATION_TABLE* pEntry = &pSystem->ConfigurationTable[Index];
        if (SameGuid(&pEntry->VendorGuid, pGuid)) {
            *pAddress = (uint64_t)(uintptr_t)pEntry->VendorTable;
            return true;
        }
    }
    return false;
}

const ConfigTableLookup ConfigTable = {FindConfigTable, NULL};

} // namespace

const PhysMemReader* PlatformMemory(void) {
    return &PhysicalMemory;
}

void PlatformWritePhysical(uint64_t Address, const void* pSource, size_t Count) {
    volatile uint8_t* pTarget = (volatile uint8_t*)(uintptr_t)Address;
    const uint8_t* pIn = (const uint8_t*)pSource;
    for (size_t i = 0; i < Count; i++) {
        pTarget[i] = pIn[i];
    }
}

const ConfigTableLookup* PlatformConfigTable(void) {
    return &ConfigTable;
}

void PlatformFirmwareVendor(char* pBuffer, size_t Size) {
    if (Size == 0) {
        return;
    }
    const EFI_SYSTEM_TABLE* pSystem = RtSystemTable();
    const CHAR16* pName = pSystem != NULL ? pSystem->FirmwareVendor : NULL;
    size_t Length = 0;
    while (pName != NULL && pName[Length] != 0 && Length + 1 < Size) {
        pBuffer[Length] = pName[Length] > 0xFF ? '?' : (char)pName[Length];
        Length++;
    }
    pBuffer[Length] = '\0';
}

void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput) {
    uint32_t Eax = pInput[1];
    uint32_t Ebx = pInput[2];
    uint32_t Ecx = pInput[3];
    uint32_t Edx = pInput[4];
    uint32_t Edi = pInput[5];
    uint32_t Esi = pInput[6];
    // The SMI handler may read and write memory through the buffer addresses in the registers,
    // hence the memory clobber. The writes to 0xEB and 0xED give the SMI time to be taken.
    __asm__ volatile("outb %%al, %%dx\n\t"
                     "outb %%al, $0xEB\n\t"
                     "outb %%al, $0xED\n\t"
                     "outb %%al, $0xEB\n\t"
                     "outb %%al, $0xED"
                     : "+a"(Eax), "+b"(Ebx), "+c"(Ecx), "+d"(Edx), "+D"(Edi), "+S"(Esi)
                     :
                     : "memory", "cc");
    pOutput[0] = Eax;
    pOutput[1] = Ebx;
    pOutput[2] = Ecx;
    pOutput[3] = Edx;
    pOutput[4] = Edi;
    pOutput[5] = Esi;
}

int PlatformRunShellCommand(const char* pCommandLine) {
    return system(pCommandLine);
}

int PlatformRunShellCommandStatus(const char* pCommandLine, bool* pKnown, uint64_t* pStatus) {
    return RtSystemStatus(pCommandLine, pKnown, pStatus);
}

bool PlatformReadVariable(const char* pName, const PlatformGuid* pVendor, void* pData,
                          size_t* pSize) {
    CHAR16 Name[64];
    const size_t Length = strlen(pName);
    if (Length >= sizeof Name / sizeof Name[0]) {
        return false;
    }
    RtWiden(pName, (uint16_t*)Name);
    EFI_GUID Guid;
    memcpy(&Guid, pVendor, sizeof Guid);
    UINTN Size = *pSize;
    UINT32 Attributes = 0;
    const EFI_STATUS Status =
        RtSystemTable()->RuntimeServices->GetVariable(Name, &Guid, &Attributes, &Size, pData);
    if (Status == EFI_BUFFER_TOO_SMALL) {
        *pSize = Size;
    }
    if (Status != EFI_SUCCESS) {
        return false;
    }
    *pSize = Size;
    return true;
}

bool PlatformSetShellVariable(const char* pName, const char* pValue) {
    EFI_SHELL_PROTOCOL* pShell = RtShell();
    if (pShell == NULL) {
        return false;
    }
    CHAR16* pWideName = (CHAR16*)malloc((strlen(pName) + 1) * sizeof(CHAR16));
    CHAR16* pWideValue = (CHAR16*)malloc((strlen(pValue) + 1) * sizeof(CHAR16));
    bool Done = false;
    if (pWideName != NULL && pWideValue != NULL) {
        RtWiden(pName, (uint16_t*)pWideName);
        RtWiden(pValue, (uint16_t*)pWideValue);
        // The shell deletes a variable that is set to an empty value.
        Done = pShell->SetEnv(pWideName, pWideValue, TRUE) == EFI_SUCCESS;
    }
    free(pWideName);
    free(pWideValue);
    return Done;
}

void PlatformStall(uint32_t Microseconds) {
    RtBootServices()->Stall(Microseconds);
}

bool PlatformIsDevice(const char*) {
    return false;
}
