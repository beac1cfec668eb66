// The pure part of Unit: which serial numbers and UUIDs name a machine, their text forms, the
// SMBIOS fields, and the line.
#include <stdio.h>
#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Unit/Unit.h"

namespace {

// Serial numbers that firmware and board makers leave in place of a real one.
const char* const kPlaceholderSerials[] = {
    "To Be Filled By O.E.M.",
    "To Be Filled By O.E.M",
    "To Be Filled By OEM",
    "Default string",
    "Default",
    "System Serial Number",
    "Chassis Serial Number",
    "Base Board Serial Number",
    "Serial Number",
    "SerialNumber",
    "Not Specified",
    "Not Applicable",
    "Not Available",
    "Not Present",
    "None",
    "N/A",
    "NA",
    "Unknown",
    "Invalid",
    "Empty",
    "OEM",
    "O.E.M.",
    "0123456789",
    "123456789",
    "1234567890",
    "xxxxxxxxxx",
};

bool IsBlank(char Character) {
    return Character == ' ' || Character == '\t';
}

bool IsAlphanumeric(char Character) {
    return (Character >= '0' && Character <= '9') || (Character >= 'A' && Character <= 'Z') ||
           (Character >= 'a' && Character <= 'z');
}

// The text without its surrounding blanks: its start and length.
const char* Trim(const char* pText, size_t* pLength) {
    while (IsBlank(*pText)) {
        pText++;
    }
    size_t Length = strlen(pText);
    while (Length > 0 && IsBlank(pText[Length - 1])) {
        Length--;
    }
    *pLength = Length;
    return pText;
}

bool AllBytesAre(const uint8_t* pBytes, size_t Count, uint8_t Value) {
    for (size_t Index = 0; Index < Count; Index++) {
        if (pBytes[Index] != Value) {
            return false;
        }
    }
    return true;
}

// Type 1 (System Information) and type 0 (BIOS Information) offsets.
const uint8_t kType1Manufacturer = 4;
const uint8_t kType1Product = 5;
const uint8_t kType1Serial = 7;
const uint8_t kType1Uuid = 8;
const uint8_t kType0Version = 5;

// String StringNumberOffset names, or an empty text when the structure has none.
void ReadString(const PhysMemReader* pMemory, uint64_t Address, uint32_t TotalLength,
                uint8_t StringNumberOffset, char* pText) {
    pText[0] = '\0';
    const uint8_t Length = PhysRead8(pMemory, Address + 1);
    if (StringNumberOffset >= Length) {
        return;
    }
    const uint8_t Number = PhysRead8(pMemory, Address + StringNumberOffset);
    if (!GetSmbiosString(pMemory, Address, TotalLength, Number, pText, UNIT_TEXT_SIZE)) {
        pText[0] = '\0';
    }
}

} // namespace

bool IsUsableSerial(const char* pSerial) {
    size_t Length = 0;
    const char* pText = Trim(pSerial, &Length);
    bool AllZeros = true;
    bool Alphanumeric = false;
    for (size_t Index = 0; Index < Length; Index++) {
        AllZeros = AllZeros && pText[Index] == '0';
        Alphanumeric = Alphanumeric || IsAlphanumeric(pText[Index]);
    }
    if (Length == 0 || AllZeros || !Alphanumeric) {
        return false;
    }
    for (const char* pPlaceholder : kPlaceholderSerials) {
        if (strlen(pPlaceholder) == Length && strncasecmp(pText, pPlaceholder, Length) == 0) {
            return false;
        }
    }
    return true;
}

bool IsUsableUuid(const uint8_t* pUuid) {
    return !AllBytesAre(pUuid, 16, 0x00) && !AllBytesAre(pUuid, 16, 0xFF);
}

void FormatUuid(const uint8_t* pUuid, bool LittleEndianFields, char* pText) {
    // The byte order of the text: with little-endian fields the first three are reversed.
    static const uint8_t kSwapped[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static const char kDigits[] = "0123456789ABCDEF";
    size_t Out = 0;
    for (size_t Index = 0; Index < 16; Index++) {
        if (Index == 4 || Index == 6 || Index == 8 || Index == 10) {
            pText[Out++] = '-';
        }
        const uint8_t Byte = pUuid[LittleEndianFields ? kSwapped[Index] : Index];
        pText[Out++] = kDigits[Byte >> 4];
        pText[Out++] = kDigits[Byte & 0x0F];
    }
    pText[Out] = '\0';
}

void SanitiseUnitId(const char* pText, char* pId) {
    size_t Length = 0;
    const char* pStart = Trim(pText, &Length);
    if (Length > UNIT_ID_MAX) {
        Length = UNIT_ID_MAX;
    }
    for (size_t Index = 0; Index < Length; Index++) {
        const char Character = pStart[Index];
        const bool Kept =
            IsAlphanumeric(Character) || Character == '.' || Character == '_' || Character == '-';
        pId[Index] = Kept ? Character : '_';
    }
    pId[Length] = '\0';
}

void QuoteText(const char* pText, char* pQuoted, size_t Size) {
    if (Size == 0) {
        return;
    }
    size_t Index = 0;
    for (; pText[Index] != '\0' && Index + 1 < Size; Index++) {
        const unsigned char Character = (unsigned char)pText[Index];
        const bool Plain =
            Character >= 0x20 && Character <= 0x7E && Character != '"' && Character != '\\';
        pQuoted[Index] = Plain ? (char)Character : '?';
    }
    pQuoted[Index] = '\0';
}

SecureBootState JudgeSecureBoot(int SecureBoot, int SetupMode) {
    if (SetupMode == 1) {
        return SECURE_BOOT_SETUP;
    }
    if (SecureBoot == 1) {
        return SECURE_BOOT_ON;
    }
    if (SecureBoot == 0) {
        return SECURE_BOOT_OFF;
    }
    return SECURE_BOOT_UNKNOWN;
}

const char* SecureBootText(SecureBootState State) {
    switch (State) {
    case SECURE_BOOT_ON:
        return "on";
    case SECURE_BOOT_OFF:
        return "off";
    case SECURE_BOOT_SETUP:
        return "setup mode";
    default:
        return "unknown";
    }
}

void ReadUnitSmbios(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                    UnitInfo* pInfo) {
    SmbiosTable Table;
    if (!FindSmbiosTable(pMemory, pConfig, &Table)) {
        return;
    }
    pInfo->HasSmbios = true;
    uint64_t Address = 0;
    uint32_t TotalLength = 0;
    if (FindSmbiosStructure(pMemory, &Table, 0, &Address, &TotalLength)) {
        ReadString(pMemory, Address, TotalLength, kType0Version, pInfo->BiosVersion);
    }
    if (!FindSmbiosStructure(pMemory, &Table, 1, &Address, &TotalLength)) {
        return;
    }
    pInfo->HasSystemInfo = true;
    ReadString(pMemory, Address, TotalLength, kType1Manufacturer, pInfo->Manufacturer);
    ReadString(pMemory, Address, TotalLength, kType1Product, pInfo->Product);
    ReadString(pMemory, Address, TotalLength, kType1Serial, pInfo->Serial);
    if (PhysRead8(pMemory, Address + 1) >= kType1Uuid + 16) {
        pInfo->HasUuid = true;
        pMemory->Read(pMemory, Address + kType1Uuid, pInfo->Uuid, 16);
        // Before SMBIOS 2.6 the byte order was not fixed; the bytes are shown as stored.
        pInfo->UuidLittleEndian = Table.Version >= 0x0206;
    }
}

void ChooseUnitId(const UnitInfo* pInfo, char* pId) {
    pId[0] = '\0';
    if (IsUsableSerial(pInfo->Serial)) {
        SerialUnitId(pInfo->Serial, pId);
    } else if (pInfo->HasUuid && IsUsableUuid(pInfo->Uuid)) {
        char Uuid[UNIT_UUID_TEXT_SIZE];
        FormatUuid(pInfo->Uuid, pInfo->UuidLittleEndian, Uuid);
        SanitiseUnitId(Uuid, pId);
    }
}

void FormatUnitLine(const UnitInfo* pInfo, const char* pId, char* pLine, size_t Size) {
    char Manufacturer[UNIT_TEXT_SIZE];
    char Product[UNIT_TEXT_SIZE];
    char Serial[UNIT_TEXT_SIZE];
    char Version[UNIT_TEXT_SIZE];
    char Uuid[UNIT_UUID_TEXT_SIZE] = "none";
    QuoteText(pInfo->Manufacturer, Manufacturer, sizeof Manufacturer);
    QuoteText(pInfo->Product, Product, sizeof Product);
    QuoteText(pInfo->Serial, Serial, sizeof Serial);
    QuoteText(pInfo->BiosVersion, Version, sizeof Version);
    if (pInfo->HasUuid) {
        FormatUuid(pInfo->Uuid, pInfo->UuidLittleEndian, Uuid);
    }
    char Head[UNIT_ID_MAX + 64];
    if (pId[0] != '\0') {
        snprintf(Head, sizeof Head, "unit %s", pId);
    } else if (!pInfo->HasSmbios) {
        snprintf(Head, sizeof Head, "unit none (no SMBIOS tables)");
    } else {
        snprintf(Head, sizeof Head, "unit none (no usable serial number or UUID)");
    }
    snprintf(pLine, Size,
             "%s: manufacturer \"%s\", product \"%s\", serial \"%s\", uuid %s, BIOS \"%s\", "
             "Secure Boot %s",
             Head, Manufacturer, Product, Serial, Uuid, Version, SecureBootText(pInfo->SecureBoot));
}
