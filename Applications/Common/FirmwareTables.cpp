// Bounded walks over the firmware's ACPI and SMBIOS tables.
#include "Applications/Common/FirmwareTables.h"

#include <string.h>

const PlatformGuid kAcpi20TableGuid = {
    0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
const PlatformGuid kAcpi10TableGuid = {
    0xEB9D2D30, 0x2D88, 0x11D3, {0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
const PlatformGuid kSmbiosTableGuid = {
    0xEB9D2D31, 0x2D88, 0x11D3, {0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
const PlatformGuid kSmbios3TableGuid = {
    0xF2FD1544, 0x9794, 0x4A2C, {0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94}};

namespace {

// --- ACPI ---

const uint64_t kRsdpScanStart = 0xE0000;
const uint64_t kRsdpScanLast = 0xFFFF0;
const uint32_t kRsdpSignatureLow = 0x20445352;  // "RSD "
const uint32_t kRsdpSignatureHigh = 0x20525450; // "PTR "
const uint32_t kRsdpChecksumLength = 20;
const uint32_t kRsdpRevisionOffset = 15;
const uint32_t kRsdpRsdtOffset = 16;
const uint32_t kRsdpLengthOffset = 20;
const uint32_t kRsdpXsdtOffset = 24;
const uint32_t kRsdp2Length = 36;
// An RSDP of revision 2 or later is 36 bytes; a longer one is allowed up to this many.
const uint32_t kRsdpMaxLength = 1024;
const uint32_t kSdtLengthOffset = 4;
// The signature and Length of a description table, read before its Length is known.
const uint32_t kSdtPrefixLength = 8;

// The scan of the legacy area reads there without asking: that area is always readable.
bool IsRsdpSignature(const PhysMemReader* pMemory, uint64_t Address) {
    return PhysRead32(pMemory, Address) == kRsdpSignatureLow &&
           PhysRead32(pMemory, Address + 4) == kRsdpSignatureHigh;
}

uint8_t ByteSum(const PhysMemReader* pMemory, uint64_t Address, uint32_t Length) {
    uint8_t Sum = 0;
    for (uint32_t Index = 0; Index < Length; Index++) {
        Sum = (uint8_t)(Sum + PhysRead8(pMemory, Address + Index));
    }
    return Sum;
}

// --- SMBIOS ---

const uint64_t kSmbiosScanStart = 0xF0000;
const uint64_t kSmbiosScanLast = 0xFFFE0;
const uint32_t kSmbiosAnchor = 0x5F4D535F; // "_SM_"
const uint32_t kSmbiosLengthOffset = 5;
const uint32_t kSmbiosVersionOffset = 6;
const uint8_t kSmbiosMinLength = 0x1F;
const uint32_t kSmbiosDmiOffset = 0x10;
const uint32_t kSmbiosTableLengthOffset = 0x16;
const uint32_t kSmbiosTableAddressOffset = 0x18;
const uint32_t kSmbiosCountOffset = 0x1C;
const uint32_t kSmbios3LengthOffset = 6;
const uint32_t kSmbios3VersionOffset = 7;
const uint8_t kSmbios3MinLength = 0x18;
const uint32_t kSmbios3MaxSizeOffset = 0x0C;
const uint32_t kSmbios3TableAddressOffset = 0x10;

bool HasText(const PhysMemReader* pMemory, uint64_t Address, const char* pText) {
    for (size_t Index = 0; pText[Index] != '\0'; Index++) {
        if (PhysRead8(pMemory, Address + Index) != (uint8_t)pText[Index]) {
            return false;
        }
    }
    return true;
}

// The offset past the string set that starts at Offset (the first two consecutive zero bytes,
// stepped past), without reading at or beyond End. 0 when the table ends first.
uint64_t SkipStringSet(const PhysMemReader* pMemory, uint64_t Offset, uint64_t End) {
    while (Offset + 1 < End) {
        if (PhysRead8(pMemory, Offset) == 0 && PhysRead8(pMemory, Offset + 1) == 0) {
            return Offset + 2;
        }
        Offset++;
    }
    return 0;
}

bool FindLegacySmbiosTable(const PhysMemReader* pMemory, SmbiosTable* pTable) {
    for (uint64_t Address = kSmbiosScanStart; Address <= kSmbiosScanLast; Address += 16) {
        if (PhysRead32(pMemory, Address) == kSmbiosAnchor &&
            CheckSmbiosEntry(pMemory, Address, pTable)) {
            return true;
        }
    }
    return false;
}

// An entry point's version: the major byte, then the minor byte, as major * 256 + minor.
uint16_t ReadVersion(const PhysMemReader* pMemory, uint64_t Address) {
    const uint16_t Bytes = PhysRead16(pMemory, Address);
    return (uint16_t)(Bytes << 8 | Bytes >> 8);
}

} // namespace

bool FindLegacyRsdp(const PhysMemReader* pMemory, uint64_t* pAddress) {
    for (uint64_t Address = kRsdpScanStart; Address <= kRsdpScanLast; Address += 16) {
        if (IsRsdpSignature(pMemory, Address)) {
            *pAddress = Address;
            return true;
        }
    }
    return false;
}

AcpiPortResult FindFadtPort(const PhysMemReader* pMemory, uint64_t RootAddress,
                            uint32_t RootSignature, uint32_t EntrySize, uint16_t* pPort) {
    if (!PhysRangeReadable(pMemory, RootAddress, kSdtPrefixLength) ||
        PhysRead32(pMemory, RootAddress) != RootSignature) {
        return ACPI_NO_FADT;
    }
    const uint32_t Length = PhysRead32(pMemory, RootAddress + kSdtLengthOffset);
    const uint32_t EntryCount =
        Length > SDT_HEADER_SIZE ? (Length - SDT_HEADER_SIZE) / EntrySize : 0;
    if (EntryCount > MAX_ROOT_TABLE_ENTRIES) {
        return ACPI_NO_FADT; // no real root table is that long: nothing in it is trusted
    }
    if (EntryCount > 0 && !PhysRangeReadable(pMemory, RootAddress, Length)) {
        return ACPI_NO_FADT; // the table does not lie in memory
    }
    for (uint32_t Index = 0; Index < EntryCount; Index++) {
        const uint64_t Entry = RootAddress + SDT_HEADER_SIZE + (uint64_t)EntrySize * Index;
        const uint64_t Table =
            EntrySize == 8 ? PhysRead64(pMemory, Entry) : (uint64_t)PhysRead32(pMemory, Entry);
        if (Table == 0) {
            continue; // firmware leaves unused entries at 0
        }
        if (!PhysRangeReadable(pMemory, Table, kSdtPrefixLength) ||
            PhysRead32(pMemory, Table) != ACPI_SIGNATURE_FADT) {
            continue;
        }
        // Only the bytes up to SMI_CMD are read, and only they must lie in memory: a Length
        // that runs further does not cost a legacy machine its port.
        const uint32_t FadtLength = PhysRead32(pMemory, Table + kSdtLengthOffset);
        if (FadtLength < FADT_MIN_LENGTH || !PhysRangeReadable(pMemory, Table, FADT_MIN_LENGTH)) {
            continue;
        }
        const uint16_t Port = PhysRead16(pMemory, Table + FADT_SMI_CMD_OFFSET);
        if (Port == 0) {
            return ACPI_PORT_ZERO;
        }
        *pPort = Port;
        return ACPI_PORT_FOUND;
    }
    return ACPI_NO_FADT;
}

AcpiPortResult FindPortThroughRsdp(const PhysMemReader* pMemory, uint64_t RsdpAddress,
                                   uint16_t* pPort) {
    if (!PhysRangeReadable(pMemory, RsdpAddress, kRsdpChecksumLength) ||
        !IsRsdpSignature(pMemory, RsdpAddress) ||
        ByteSum(pMemory, RsdpAddress, kRsdpChecksumLength) != 0) {
        return ACPI_NO_RSDP;
    }
    const uint8_t Revision = PhysRead8(pMemory, RsdpAddress + kRsdpRevisionOffset);
    if (Revision >= 2) {
        const uint32_t Length = PhysRead32(pMemory, RsdpAddress + kRsdpLengthOffset);
        if (Length < kRsdp2Length || Length > kRsdpMaxLength ||
            !PhysRangeReadable(pMemory, RsdpAddress, Length) ||
            ByteSum(pMemory, RsdpAddress, Length) != 0) {
            return ACPI_NO_RSDP;
        }
        const uint64_t Xsdt = PhysRead64(pMemory, RsdpAddress + kRsdpXsdtOffset);
        if (Xsdt != 0 && PhysRangeReadable(pMemory, Xsdt, kSdtPrefixLength) &&
            PhysRead32(pMemory, Xsdt) == ACPI_SIGNATURE_XSDT) {
            const AcpiPortResult Result =
                FindFadtPort(pMemory, Xsdt, ACPI_SIGNATURE_XSDT, 8, pPort);
            if (Result != ACPI_NO_FADT) {
                return Result;
            }
            // An XSDT without a usable FADT: the RSDT the RSDP also names may list one.
        }
    }
    const uint64_t Rsdt = PhysRead32(pMemory, RsdpAddress + kRsdpRsdtOffset);
    return FindFadtPort(pMemory, Rsdt, ACPI_SIGNATURE_RSDT, 4, pPort);
}

AcpiPortResult FindPortThroughConfigTable(const PhysMemReader* pMemory,
                                          const ConfigTableLookup* pConfig, uint16_t* pPort) {
    const PlatformGuid* const Guids[] = {&kAcpi20TableGuid, &kAcpi10TableGuid};
    AcpiPortResult Result = ACPI_NO_RSDP;
    for (const PlatformGuid* pGuid : Guids) {
        uint64_t Rsdp = 0;
        if (!pConfig->Find(pConfig, pGuid, &Rsdp) || Rsdp == 0) {
            continue;
        }
        const AcpiPortResult This = FindPortThroughRsdp(pMemory, Rsdp, pPort);
        if (This == ACPI_PORT_FOUND || This == ACPI_PORT_ZERO) {
            return This;
        }
        if (This == ACPI_NO_FADT) {
            Result = ACPI_NO_FADT;
        }
    }
    return Result;
}

bool CheckSmbiosEntry(const PhysMemReader* pMemory, uint64_t Address, SmbiosTable* pTable) {
    if (!PhysRangeReadable(pMemory, Address, kSmbiosMinLength)) {
        return false;
    }
    const uint8_t Length = PhysRead8(pMemory, Address + kSmbiosLengthOffset);
    if (PhysRead32(pMemory, Address) != kSmbiosAnchor || Length < kSmbiosMinLength ||
        !PhysRangeReadable(pMemory, Address, Length) || ByteSum(pMemory, Address, Length) != 0 ||
        !HasText(pMemory, Address + kSmbiosDmiOffset, "_DMI_")) {
        return false;
    }
    SmbiosTable Table;
    Table.Address = PhysRead32(pMemory, Address + kSmbiosTableAddressOffset);
    Table.Length = PhysRead16(pMemory, Address + kSmbiosTableLengthOffset);
    Table.MaxCount = PhysRead16(pMemory, Address + kSmbiosCountOffset);
    Table.Version = ReadVersion(pMemory, Address + kSmbiosVersionOffset);
    // A table that does not lie in memory counts as no table.
    if (!PhysRangeReadable(pMemory, Table.Address, Table.Length)) {
        return false;
    }
    *pTable = Table;
    return true;
}

bool CheckSmbios3Entry(const PhysMemReader* pMemory, uint64_t Address, SmbiosTable* pTable) {
    if (!PhysRangeReadable(pMemory, Address, kSmbios3MinLength)) {
        return false;
    }
    const uint8_t Length = PhysRead8(pMemory, Address + kSmbios3LengthOffset);
    if (!HasText(pMemory, Address, "_SM3_") || Length < kSmbios3MinLength ||
        !PhysRangeReadable(pMemory, Address, Length) || ByteSum(pMemory, Address, Length) != 0) {
        return false;
    }
    const uint32_t MaxSize = PhysRead32(pMemory, Address + kSmbios3MaxSizeOffset);
    SmbiosTable Table;
    Table.Address = PhysRead64(pMemory, Address + kSmbios3TableAddressOffset);
    Table.Length = MaxSize < SMBIOS3_MAX_WALK ? MaxSize : SMBIOS3_MAX_WALK;
    Table.MaxCount = 0xFFFFFFFFu;
    Table.Version = ReadVersion(pMemory, Address + kSmbios3VersionOffset);
    // The maximum size bounds the table without being its size, and memory may end before it:
    // the walk goes only as far as memory reaches (the longest readable start, found by
    // halving). A table that wraps past 2^64 or lies beyond any physical address has no such
    // start and counts as no table.
    if (!PhysRangeReadable(pMemory, Table.Address, Table.Length)) {
        uint64_t Readable = 0;
        uint64_t Unreadable = Table.Length;
        while (Unreadable - Readable > 1) {
            const uint64_t Middle = Readable + (Unreadable - Readable) / 2;
            if (PhysRangeReadable(pMemory, Table.Address, Middle)) {
                Readable = Middle;
            } else {
                Unreadable = Middle;
            }
        }
        if (Readable < SMBIOS_HEADER_SIZE) {
            return false; // not even one structure lies in memory
        }
        Table.Length = Readable;
    }
    *pTable = Table;
    return true;
}

bool FindSmbiosTable(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                     SmbiosTable* pTable) {
    if (FindLegacySmbiosTable(pMemory, pTable)) {
        return true;
    }
    if (pConfig == NULL) {
        return false;
    }
    uint64_t Entry = 0;
    if (pConfig->Find(pConfig, &kSmbios3TableGuid, &Entry) && Entry != 0 &&
        CheckSmbios3Entry(pMemory, Entry, pTable)) {
        return true;
    }
    return pConfig->Find(pConfig, &kSmbiosTableGuid, &Entry) && Entry != 0 &&
           CheckSmbiosEntry(pMemory, Entry, pTable);
}

bool FindSmbiosStructure(const PhysMemReader* pMemory, const SmbiosTable* pTable, uint8_t Type,
                         uint64_t* pAddress, uint32_t* pTotalLength) {
    if (!PhysRangeReadable(pMemory, pTable->Address, pTable->Length)) {
        return false;
    }
    const uint64_t End = pTable->Address + pTable->Length;
    uint64_t Structure = pTable->Address;
    for (uint32_t Index = 0; Index < pTable->MaxCount; Index++) {
        if (Structure + SMBIOS_HEADER_SIZE > End) {
            return false;
        }
        const uint8_t StructureType = PhysRead8(pMemory, Structure);
        const uint8_t Length = PhysRead8(pMemory, Structure + 1);
        if (Length < SMBIOS_HEADER_SIZE) {
            return false; // a malformed structure: nothing after it can be trusted
        }
        const uint64_t Next = SkipStringSet(pMemory, Structure + Length, End);
        if (Next == 0) {
            return false;
        }
        if (StructureType == Type) {
            *pAddress = Structure;
            *pTotalLength = (uint32_t)(Next - Structure);
            return true;
        }
        if (StructureType == SMBIOS_END_OF_TABLE_TYPE) {
            return false;
        }
        Structure = Next;
    }
    return false;
}

bool GetSmbiosString(const PhysMemReader* pMemory, uint64_t Address, uint32_t TotalLength,
                     uint8_t StringNumber, char* pText, size_t Size) {
    if (StringNumber == 0 || Size == 0 || TotalLength < SMBIOS_HEADER_SIZE ||
        !PhysRangeReadable(pMemory, Address, TotalLength)) {
        return false;
    }
    const uint8_t Length = PhysRead8(pMemory, Address + 1);
    if (Length >= TotalLength) {
        return false;
    }
    uint64_t Offset = Address + Length;
    const uint64_t End = Address + TotalLength;
    for (uint8_t Number = 1; Number < StringNumber; Number++) {
        if (PhysRead8(pMemory, Offset) == 0) {
            return false; // the set ended before the string
        }
        while (Offset < End && PhysRead8(pMemory, Offset) != 0) {
            Offset++;
        }
        Offset++;
        if (Offset >= End) {
            return false;
        }
    }
    if (PhysRead8(pMemory, Offset) == 0) {
        return false;
    }
    size_t Count = 0;
    while (Offset + Count < End && Count + 1 < Size) {
        const uint8_t Character = PhysRead8(pMemory, Offset + Count);
        if (Character == 0) {
            break;
        }
        pText[Count++] = (char)Character;
    }
    pText[Count] = '\0';
    return true;
}

namespace {

struct CopiedBytes {
    const uint8_t* pBytes;
    uint32_t Length;
};

// Reads a copy as memory at addresses 0 to Length - 1; bytes beyond it read as zeros.
void ReadCopy(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
    const CopiedBytes* pCopy = (const CopiedBytes*)pSelf->pContext;
    for (size_t Index = 0; Index < Count; Index++) {
        ((uint8_t*)pDest)[Index] =
            Address + Index < pCopy->Length ? pCopy->pBytes[Address + Index] : 0;
    }
}

} // namespace

bool GetSmbiosStringFromCopy(const uint8_t* pStructure, uint32_t TotalLength, uint8_t StringNumber,
                             char* pText, size_t Size) {
    const CopiedBytes Copy = {pStructure, TotalLength};
    const PhysMemReader Reader = {ReadCopy, &Copy, NULL};
    return GetSmbiosString(&Reader, 0, TotalLength, StringNumber, pText, Size);
}
