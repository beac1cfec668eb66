// The unit id of a serial number that cleaning changed, and the done record: which unit
// finished which stick, with the raw serial number and the UUID that name the unit exactly.
#include <stdio.h>
#include <string.h>

#include "Applications/Unit/Unit.h"

namespace {

const char kRecordHead[] = "unit-record 1";
const char kDigits[] = "0123456789ABCDEF";

// The text after "Key " on the line, or NULL when the line is another.
const char* ValueOf(const char* pLine, const char* pKey) {
    const size_t Length = strlen(pKey);
    return strncmp(pLine, pKey, Length) == 0 && pLine[Length] == ' ' ? pLine + Length + 1 : NULL;
}

bool IsDecimal(const char* pText, size_t MaxDigits) {
    const size_t Length = strlen(pText);
    if (Length == 0 || Length > MaxDigits || (Length > 1 && pText[0] == '0')) {
        return false;
    }
    for (size_t Index = 0; Index < Length; Index++) {
        if (pText[Index] < '0' || pText[Index] > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

uint32_t UnitSerialHash(const char* pSerial) {
    uint32_t Hash = 2166136261u;
    for (const char* p = pSerial; *p != '\0'; p++) {
        Hash = (Hash ^ (uint8_t)*p) * 16777619u;
    }
    return Hash;
}

void SerialUnitId(const char* pSerial, char* pId) {
    SanitiseUnitId(pSerial, pId);
    size_t Start = 0;
    while (pSerial[Start] == ' ' || pSerial[Start] == '\t') {
        Start++;
    }
    // Changed: a character replaced, a lowercase letter (FAT ignores case), or the text cut.
    bool Changed = false;
    size_t Index = 0;
    for (; pId[Index] != '\0'; Index++) {
        Changed = Changed || pId[Index] != pSerial[Start + Index] ||
                  (pId[Index] >= 'a' && pId[Index] <= 'z');
    }
    const char* pRest = pSerial + Start + Index;
    while (*pRest == ' ' || *pRest == '\t') {
        pRest++;
    }
    Changed = Changed || *pRest != '\0';
    if (!Changed) {
        return;
    }
    // The cleaned text, cut so that '-' and the 8 hex digits of the raw bytes' hash fit.
    size_t Kept = strlen(pId);
    if (Kept > UNIT_ID_MAX - UNIT_ID_HASH_LENGTH) {
        Kept = UNIT_ID_MAX - UNIT_ID_HASH_LENGTH;
    }
    snprintf(pId + Kept, UNIT_ID_HASH_LENGTH + 1, "-%08X", UnitSerialHash(pSerial));
}

bool IsValidStickId(const char* pStick) {
    const size_t Length = strlen(pStick);
    if (Length == 0 || Length > UNIT_STICK_ID_MAX) {
        return false;
    }
    for (size_t Index = 0; Index < Length; Index++) {
        const char c = pStick[Index];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

bool ParseRecordRun(const char* pText, uint32_t* pRun) {
    if (!IsDecimal(pText, 6)) {
        return false;
    }
    uint32_t Run = 0;
    for (const char* p = pText; *p != '\0'; p++) {
        Run = Run * 10 + (uint32_t)(*p - '0');
    }
    *pRun = Run;
    return Run != 0;
}

void FormatUnitRecord(const UnitInfo* pInfo, const char* pId, const char* pStick, uint32_t Run,
                      char* pText, size_t Size) {
    char Serial[2 * UNIT_TEXT_SIZE + 1];
    size_t Out = 0;
    for (const char* p = pInfo->Serial; *p != '\0' && Out + 2 < sizeof Serial; p++) {
        Serial[Out++] = kDigits[(uint8_t)*p >> 4];
        Serial[Out++] = kDigits[(uint8_t)*p & 0x0F];
    }
    Serial[Out] = '\0';
    char Uuid[UNIT_UUID_TEXT_SIZE] = "none";
    if (pInfo->HasUuid) {
        FormatUuid(pInfo->Uuid, pInfo->UuidLittleEndian, Uuid);
    }
    snprintf(pText, Size, "%s\nstick %s\nrun %u\nunit %s\nserial %s\nuuid %s\n", kRecordHead,
             pStick, (unsigned)Run, pId, Serial, Uuid);
}

UnitRecordMatch MatchUnitRecord(const char* pText, const UnitInfo* pInfo, const char* pId,
                                const char* pStick, uint32_t* pRun) {
    // Lines in a fixed order; a line feed ends each (a carriage return before it is allowed).
    static const char* const kKeys[] = {NULL, "stick", "run", "unit", "serial", "uuid"};
    const size_t Count = sizeof kKeys / sizeof kKeys[0];
    char Lines[Count][2 * UNIT_TEXT_SIZE + 16];
    const char* p = pText;
    for (size_t Line = 0; Line < Count; Line++) {
        const char* pEnd = strchr(p, '\n');
        if (pEnd == NULL) {
            return RECORD_UNREADABLE;
        }
        size_t Length = (size_t)(pEnd - p);
        if (Length > 0 && p[Length - 1] == '\r') {
            Length--;
        }
        if (Length >= sizeof Lines[Line]) {
            return RECORD_UNREADABLE;
        }
        memcpy(Lines[Line], p, Length);
        Lines[Line][Length] = '\0';
        p = pEnd + 1;
    }
    if (*p != '\0' || strcmp(Lines[0], kRecordHead) != 0) {
        return RECORD_UNREADABLE;
    }
    const char* pValues[Count] = {};
    for (size_t Line = 1; Line < Count; Line++) {
        pValues[Line] = ValueOf(Lines[Line], kKeys[Line]);
        if (pValues[Line] == NULL) {
            return RECORD_UNREADABLE;
        }
    }
    uint32_t Run = 0;
    if (!ParseRecordRun(pValues[2], &Run)) {
        return RECORD_UNREADABLE;
    }
    if (strcmp(pValues[1], pStick) != 0) {
        return RECORD_OTHER_STICK;
    }
    // This unit's record for that run, compared whole: serial number and UUID exactly.
    static char Expected[UNIT_RECORD_SIZE];
    FormatUnitRecord(pInfo, pId, pStick, Run, Expected, sizeof Expected);
    char Ours[2 * UNIT_TEXT_SIZE + 16];
    const char* q = Expected;
    for (size_t Line = 0; Line < Count; Line++) {
        const char* pEnd = strchr(q, '\n');
        const size_t Length = (size_t)(pEnd - q);
        memcpy(Ours, q, Length);
        Ours[Length] = '\0';
        q = pEnd + 1;
        // The unit id is not compared: it follows from the serial number and the UUID.
        if (Line != 3 && strcmp(Ours, Lines[Line]) != 0) {
            return RECORD_OTHER_UNIT;
        }
    }
    *pRun = Run;
    return RECORD_OURS;
}

void DescribeRecordUnit(const char* pText, char* pShown, size_t Size) {
    // "serial "..." uuid ..." of the record, the serial number decoded and quoted.
    char Serial[UNIT_TEXT_SIZE] = "";
    const char* pUuid = "?";
    char Uuid[UNIT_UUID_TEXT_SIZE] = "?";
    const char* pHex = strstr(pText, "\nserial ");
    if (pHex != NULL) {
        pHex += 8;
        size_t Out = 0;
        while (Out + 1 < sizeof Serial && pHex[0] != '\0' && pHex[1] != '\0') {
            const char* pHigh = strchr(kDigits, pHex[0]);
            const char* pLow = strchr(kDigits, pHex[1]);
            if (pHigh == NULL || pLow == NULL) {
                break;
            }
            Serial[Out++] = (char)(((pHigh - kDigits) << 4) | (pLow - kDigits));
            pHex += 2;
        }
        Serial[Out] = '\0';
    }
    const char* pFound = strstr(pText, "\nuuid ");
    if (pFound != NULL) {
        size_t Length = 0;
        while (pFound[6 + Length] != '\0' && pFound[6 + Length] != '\r' &&
               pFound[6 + Length] != '\n') {
            Length++;
        }
        if (Length < sizeof Uuid) {
            memcpy(Uuid, pFound + 6, Length);
            Uuid[Length] = '\0';
        }
        pUuid = Uuid;
    }
    char Quoted[UNIT_TEXT_SIZE];
    QuoteText(Serial, Quoted, sizeof Quoted);
    char QuotedUuid[UNIT_UUID_TEXT_SIZE];
    QuoteText(pUuid, QuotedUuid, sizeof QuotedUuid);
    snprintf(pShown, Size, "serial \"%s\", uuid %s", Quoted, QuotedUuid);
}
