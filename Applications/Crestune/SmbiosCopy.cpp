// The copy of an SMBIOS structure, with its strings, out of the firmware's table.
#include <stdio.h>
#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/SmbiosCopy.h"

bool GetSmbStrucLength(const PhysMemReader* pMemory, uint8_t Type, const ConfigTableLookup* pConfig,
                       uint32_t* pLength) {
    SmbiosTable Table;
    uint64_t Structure = 0;
    return FindSmbiosTable(pMemory, pConfig, &Table) && Table.MaxCount != 0 &&
           FindSmbiosStructure(pMemory, &Table, Type, &Structure, pLength);
}

bool GetSmbStrucAddr(const PhysMemReader* pMemory, uint8_t Type, void* pBuffer, uint32_t BufferSize,
                     const ConfigTableLookup* pConfig) {
    if (Run.VerboseMode) {
        printf("Calling GetSmbiosStructure...\n");
    }
    SmbiosTable Table;
    if (!FindSmbiosTable(pMemory, pConfig, &Table) || Table.MaxCount == 0) {
        return false;
    }
    uint64_t Structure = 0;
    uint32_t TotalLength = 0;
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
