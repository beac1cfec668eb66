// The copy of an SMBIOS structure, with its strings, out of the firmware's table.
#include <stdio.h>
#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/EfiFunc.h"

bool GetSmbStrucLength(const PhysMemReader* pMemory, UINT8 Type, const ConfigTableLookup* pConfig,
                       UINT32* pLength) {
    SmbiosTable Table;
    UINT64 Structure = 0;
    return FindSmbiosTable(pMemory, pConfig, &Table) && Table.MaxCount != 0 &&
           FindSmbiosStructure(pMemory, &Table, Type, &Structure, pLength);
}

bool GetSmbStrucAddr(const PhysMemReader* pMemory, UINT8 Type, void* pBuffer, UINT32 BufferSize,
                     const ConfigTableLookup* pConfig) {
    if (Run.VerboseMode) {
        printf("Calling GetSmbiosStructure...\n");
    }
    SmbiosTable Table;
    if (!FindSmbiosTable(pMemory, pConfig, &Table) || Table.MaxCount == 0) {
        return false;
    }
    UINT64 Structure = 0;
    UINT32 TotalLength = 0;
    if (!FindSmbiosStructure(pMemory, &Table, Type, &Structure, &TotalLength)) {
        return false;
    }
    if (TotalLength > BufferSize) {
        printf("The length of input buffer is too small.\n");
        return false;
    }
    memset(pBuffer, 0, BufferSize);
    pMemory->Read(pMemory, Structure, pBuffer, TotalLength);
    return true;
}
