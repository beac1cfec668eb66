// Bounded walks over the firmware's ACPI and SMBIOS tables, shared by both tools.
//
// Tables are found in the legacy BIOS area first (0xE0000-0xFFFFF), exactly where machines with
// a legacy BIOS keep them; only when that finds nothing are the entries of the UEFI
// configuration table consulted. Every read stays within what the table declares and within
// sanity limits; a table is trusted only after its signature and length have been checked.
#ifndef APPLICATIONS_COMMON_FIRMWARETABLES_H
#define APPLICATIONS_COMMON_FIRMWARETABLES_H

#include <stddef.h>
#include <stdint.h>

#include "Platform/Platform.h"

// Configuration table GUIDs.
extern const PlatformGuid kAcpi20TableGuid;
extern const PlatformGuid kAcpi10TableGuid;
extern const PlatformGuid kSmbiosTableGuid;
extern const PlatformGuid kSmbios3TableGuid;

// --- ACPI: the SMI command port of the FADT ---------------------------------------------------

enum AcpiPortResult {
    ACPI_PORT_FOUND,
    ACPI_NO_RSDP,  // no RSDP (legacy: no anchor in 0xE0000-0xFFFF0)
    ACPI_NO_FADT,  // no usable root table, or no FADT long enough among its entries
    ACPI_PORT_ZERO // the FADT names SMI_CMD 0: the platform has no SMI command port
};

#define SDT_HEADER_SIZE 36u
// A root table lists at most this many tables; one that claims more is not walked.
#define MAX_ROOT_TABLE_ENTRIES 256u
// The FADT's SMI_CMD field lies at 48; a table must reach past it to count.
#define FADT_SMI_CMD_OFFSET 48u
#define FADT_MIN_LENGTH 52u

// Signatures as 32-bit little-endian words.
#define ACPI_SIGNATURE_RSDT 0x54445352u // "RSDT"
#define ACPI_SIGNATURE_XSDT 0x54445358u // "XSDT"
#define ACPI_SIGNATURE_FADT 0x50434146u // "FACP"

// Scans 0xE0000-0xFFFF0 in 16-byte steps for "RSD PTR "; the lowest wins. No checksum.
bool FindLegacyRsdp(const PhysMemReader* pMemory, uint64_t* pAddress);

// Walks the root table at RootAddress (signature RootSignature, entries of EntrySize bytes, 4
// for the RSDT and 8 for the XSDT) to the first FADT and reads its port. Entries of 0 are
// skipped.
AcpiPortResult FindFadtPort(const PhysMemReader* pMemory, uint64_t RootAddress,
                            uint32_t RootSignature, uint32_t EntrySize, uint16_t* pPort);

// Checks the RSDP at the address (signature, 20-byte checksum; from revision 2 on its length
// and extended checksum) and walks its XSDT when it has a usable one, else its RSDT.
AcpiPortResult FindPortThroughRsdp(const PhysMemReader* pMemory, uint64_t RsdpAddress,
                                   uint16_t* pPort);

// The configuration table's RSDP: the ACPI 2.0 entry, else the ACPI 1.0 entry.
AcpiPortResult FindPortThroughConfigTable(const PhysMemReader* pMemory,
                                          const ConfigTableLookup* pConfig, uint16_t* pPort);

// --- SMBIOS -----------------------------------------------------------------------------------

// The structure table an entry point declares.
struct SmbiosTable {
    uint64_t Address;
    uint64_t Length;   // the table's length or, from an SMBIOS3 entry, its maximum size
    uint32_t MaxCount; // the structure count; no count for SMBIOS3 (0xFFFFFFFF)
    uint16_t Version;  // of the entry point that declares the table: major * 256 + minor
};

#define SMBIOS_HEADER_SIZE 4u
#define SMBIOS_END_OF_TABLE_TYPE 127u
// An SMBIOS3 table is walked at most this far, whatever maximum size it declares.
#define SMBIOS3_MAX_WALK 0x100000u

// Checks an SMBIOS 2.x entry point ("_SM_", length byte at least 0x1F, checksum over that
// length, "_DMI_" at 0x10) and reads the table it declares.
bool CheckSmbiosEntry(const PhysMemReader* pMemory, uint64_t Address, SmbiosTable* pTable);
// Checks an SMBIOS 3 entry point ("_SM3_", length byte at least 0x18, checksum over that
// length) and reads the table it declares.
bool CheckSmbios3Entry(const PhysMemReader* pMemory, uint64_t Address, SmbiosTable* pTable);

// Finds the structure table: the first sound "_SM_" entry point on a 16-byte boundary in
// 0xF0000-0xFFFE0; when there is none and pConfig is given, the configuration table's SMBIOS3
// entry, else its SMBIOS entry.
bool FindSmbiosTable(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                     SmbiosTable* pTable);

// Finds the first structure of the type. The walk stays within the table, stops at the end of
// table structure (type 127) and at a structure shorter than its header. *pTotalLength is the
// formatted area and the string set with its closing zeros.
bool FindSmbiosStructure(const PhysMemReader* pMemory, const SmbiosTable* pTable, uint8_t Type,
                         uint64_t* pAddress, uint32_t* pTotalLength);

// Copies string StringNumber (1-based) of the structure at Address (TotalLength bytes) into
// pText, cut to Size - 1 characters and terminated. False when the structure has no such string.
bool GetSmbiosString(const PhysMemReader* pMemory, uint64_t Address, uint32_t TotalLength,
                     uint8_t StringNumber, char* pText, size_t Size);

// GetSmbiosString over a structure already copied into memory: pStructure holds TotalLength
// bytes from the structure's start.
bool GetSmbiosStringFromCopy(const uint8_t* pStructure, uint32_t TotalLength, uint8_t StringNumber,
                             char* pText, size_t Size);

#endif
