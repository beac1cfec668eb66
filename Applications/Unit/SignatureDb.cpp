// The walk over db's signature lists, the db line, and reading db through the platform.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Applications/Unit/SignatureDb.h"
#include "Applications/Unit/Unit.h"

namespace {

// EFI_IMAGE_SECURITY_DATABASE_GUID: the vendor GUID of db, dbx, ...
const PlatformGuid kImageSecurityDatabaseGuid = {
    0xD719B2CB, 0x3D3A, 0x4596, {0xA3, 0xBC, 0xDA, 0xD0, 0x0E, 0x67, 0x65, 0x6F}};
// EFI_CERT_X509_GUID: a list of DER certificates.
const PlatformGuid kCertX509Guid = {
    0xA5C059A1, 0x94E4, 0x4AA7, {0x87, 0xB5, 0xAB, 0x15, 0x5C, 0x2B, 0xF0, 0x72}};

// EFI_SIGNATURE_LIST: type GUID, list size, header size, entry size.
const uint32_t kListHeaderSize = 28;
// EFI_SIGNATURE_DATA begins with its owner GUID.
const uint32_t kOwnerSize = 16;

uint32_t Read32(const uint8_t* pBytes) {
    return (uint32_t)pBytes[0] | (uint32_t)pBytes[1] << 8 | (uint32_t)pBytes[2] << 16 |
           (uint32_t)pBytes[3] << 24;
}

void Fault(SignatureDbReport* pReport, SignatureDbResult Result, size_t Offset) {
    pReport->Result = Result;
    pReport->FaultOffset = (uint32_t)Offset;
}

void FormatHex(const uint8_t* pBytes, size_t Count, char* pText) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t Index = 0; Index < Count; Index++) {
        pText[2 * Index] = kDigits[pBytes[Index] >> 4];
        pText[2 * Index + 1] = kDigits[pBytes[Index] & 0x0F];
    }
    pText[2 * Count] = '\0';
}

// The value of a hex digit, -1 for any other character.
int HexDigit(char Character) {
    const int Code = (unsigned char)Character;
    return !isxdigit(Code) ? -1 : isdigit(Code) ? Code - '0' : toupper(Code) - 'A' + 10;
}

} // namespace

void WalkSignatureDb(const uint8_t* pDb, size_t Size, const PlatformGuid* pOwner,
                     SignatureDbReport* pReport) {
    memset(pReport, 0, sizeof *pReport);
    pReport->Result = DB_READ;
    uint32_t Entries = 0;
    size_t Offset = 0;
    while (Offset < Size) {
        const uint8_t* pList = pDb + Offset;
        const size_t Left = Size - Offset;
        if (Left < kListHeaderSize || Read32(pList + 16) > Left) {
            Fault(pReport, DB_CUT_SHORT, Offset);
            return;
        }
        const uint32_t ListSize = Read32(pList + 16);
        const uint32_t HeaderSize = Read32(pList + 20);
        const uint32_t EntrySize = Read32(pList + 24);
        const bool X509 = memcmp(pList, &kCertX509Guid, sizeof kCertX509Guid) == 0;
        // An X.509 list has no header of its own and at least one byte of certificate per
        // entry; every list holds whole entries after its header.
        if ((uint64_t)kListHeaderSize + HeaderSize > ListSize ||
            EntrySize < kOwnerSize + (X509 ? 1 : 0) || (X509 && HeaderSize != 0) ||
            (ListSize - kListHeaderSize - HeaderSize) % EntrySize != 0) {
            Fault(pReport, DB_SIZES_DISAGREE, Offset);
            return;
        }
        const uint32_t Count = (ListSize - kListHeaderSize - HeaderSize) / EntrySize;
        if (Count > UNIT_DB_MAX_ENTRIES - Entries) {
            Fault(pReport, DB_TOO_MANY, Offset);
            return;
        }
        Entries += Count;
        const uint8_t* pEntry = pList + kListHeaderSize + HeaderSize;
        for (uint32_t Index = 0; Index < Count; Index++, pEntry += EntrySize) {
            if (memcmp(pEntry, pOwner, kOwnerSize) != 0) {
                pReport->OtherOwners++;
            } else if (!X509) {
                pReport->OwnerOthers++;
            } else {
                if (pReport->Certificates < UNIT_DB_SHOWN) {
                    Sha256(pEntry + kOwnerSize, EntrySize - kOwnerSize,
                           pReport->Fingerprints[pReport->Certificates]);
                }
                pReport->Certificates++;
            }
        }
        Offset += ListSize;
    }
}

bool ParseGuidText(const char* pText, PlatformGuid* pGuid) {
    uint8_t Bytes[16];
    size_t Count = 0;
    for (size_t At = 0; At < 36; At++) {
        if (At == 8 || At == 13 || At == 18 || At == 23) {
            if (pText[At] != '-') {
                return false;
            }
            continue;
        }
        const int High = HexDigit(pText[At]);
        const int Low = High < 0 ? -1 : HexDigit(pText[++At]);
        if (Low < 0) {
            return false;
        }
        Bytes[Count++] = (uint8_t)(High << 4 | Low);
    }
    if (pText[36] != '\0') {
        return false;
    }
    // The text names the first three fields as numbers; they are stored little-endian.
    pGuid->Data1 =
        (uint32_t)Bytes[0] << 24 | (uint32_t)Bytes[1] << 16 | (uint32_t)Bytes[2] << 8 | Bytes[3];
    pGuid->Data2 = (uint16_t)(Bytes[4] << 8 | Bytes[5]);
    pGuid->Data3 = (uint16_t)(Bytes[6] << 8 | Bytes[7]);
    memcpy(pGuid->Data4, Bytes + 8, 8);
    return true;
}

void FormatDbLine(const PlatformGuid* pOwner, const SignatureDbReport* pReport, char* pLine,
                  size_t Size) {
    uint8_t Stored[16];
    memcpy(Stored, pOwner, sizeof Stored);
    char Owner[UNIT_UUID_TEXT_SIZE];
    FormatUuid(Stored, true, Owner);
    char Why[96] = "";
    const unsigned At = (unsigned)pReport->FaultOffset;
    switch (pReport->Result) {
    case DB_READ:
        break;
    case DB_ABSENT:
        snprintf(Why, sizeof Why, "db does not exist or cannot be read");
        break;
    case DB_TOO_LARGE:
        snprintf(Why, sizeof Why, "db is larger than %u bytes", UNIT_DB_SIZE);
        break;
    case DB_NO_MEMORY:
        snprintf(Why, sizeof Why, "no memory for it");
        break;
    case DB_CUT_SHORT:
        snprintf(Why, sizeof Why, "the signature list at byte %u is cut short", At);
        break;
    case DB_SIZES_DISAGREE:
        snprintf(Why, sizeof Why, "the sizes of the signature list at byte %u disagree", At);
        break;
    case DB_TOO_MANY:
        snprintf(Why, sizeof Why, "more than %u entries", UNIT_DB_MAX_ENTRIES);
        break;
    }
    if (Why[0] != '\0') {
        snprintf(pLine, Size, "db owner %s: not read (%s)", Owner, Why);
        return;
    }
    const uint32_t Count = pReport->Certificates;
    const uint32_t Shown = Count < UNIT_DB_SHOWN ? Count : UNIT_DB_SHOWN;
    // ", SHA-256 ", the fingerprints shown with a blank before each but the first, " and N more".
    char Fingerprints[UNIT_DB_SHOWN * (2 * SHA256_DIGEST_SIZE + 1) + 64] = "";
    size_t Used = 0;
    for (uint32_t Index = 0; Index < Shown; Index++) {
        char Hex[2 * SHA256_DIGEST_SIZE + 1];
        FormatHex(pReport->Fingerprints[Index], SHA256_DIGEST_SIZE, Hex);
        Used += (size_t)snprintf(Fingerprints + Used, sizeof Fingerprints - Used, "%s%s",
                                 Index == 0 ? ", SHA-256 " : " ", Hex);
    }
    if (Count > Shown) {
        snprintf(Fingerprints + Used, sizeof Fingerprints - Used, " and %u more",
                 (unsigned)(Count - Shown));
    }
    snprintf(pLine, Size,
             "db owner %s: %u certificate%s%s; other entries: %u of this owner, %u of other "
             "owners",
             Owner, (unsigned)Count, Count == 1 ? "" : "s", Fingerprints,
             (unsigned)pReport->OwnerOthers, (unsigned)pReport->OtherOwners);
}

void PrintSignatureDb(const PlatformGuid* pOwner) {
    // From the heap: a static buffer would be part of the image's file.
    uint8_t* pDb = (uint8_t*)malloc(UNIT_DB_SIZE);
    static SignatureDbReport Report;
    memset(&Report, 0, sizeof Report);
    size_t Size = UNIT_DB_SIZE;
    if (pDb == NULL) {
        Report.Result = DB_NO_MEMORY;
    } else if (PlatformReadVariable("db", &kImageSecurityDatabaseGuid, pDb, &Size)) {
        WalkSignatureDb(pDb, Size, pOwner, &Report);
    } else {
        Report.Result = Size > UNIT_DB_SIZE ? DB_TOO_LARGE : DB_ABSENT;
    }
    free(pDb);
    static char Line[512];
    FormatDbLine(pOwner, &Report, Line, sizeof Line);
    printf("%s\n", Line);
}
