// The copy of an SMBIOS structure, with its strings, out of the firmware's table.
#ifndef APPLICATIONS_CRESTUNE_SMBIOSCOPY_H
#define APPLICATIONS_CRESTUNE_SMBIOSCOPY_H

#include <stddef.h>
#include <stdint.h>

// Copies the first SMBIOS structure of the type, with its strings, into the buffer; the SMBIOS
// 2.x entry point is searched in the legacy BIOS area and, when there is none and pConfig is
// given, the configuration table's SMBIOS3 or SMBIOS entry point is used.
struct PhysMemReader;
struct ConfigTableLookup;
bool GetSmbStrucAddr(const PhysMemReader* pMemory, uint8_t Type, void* pBuffer, uint32_t BufferSize,
                     const ConfigTableLookup* pConfig = NULL);
// The total length (formatted area and strings) of the first SMBIOS structure of the type, found
// as GetSmbStrucAddr finds it; false when there is none. Prints nothing.
bool GetSmbStrucLength(const PhysMemReader* pMemory, uint8_t Type, const ConfigTableLookup* pConfig,
                       uint32_t* pLength);

#endif
