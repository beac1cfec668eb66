// Unit: names the machine a deployment stick runs on.
//
// It reads the SMBIOS system information (type 1: manufacturer, product name, serial number,
// UUID) and the BIOS version (type 0), and the Secure Boot state from the SecureBoot and
// SetupMode variables, prints them on one line and hands the unit id (the serial number where it
// is usable, else the UUID) to the shell as the volatile variable unitid; with /owner GUID a
// second line names the certificates db holds under that owner (SignatureDb.h). With /record
// and /check it writes and checks a unit's done record (UnitRecord.cpp); it writes nothing else.
#ifndef APPLICATIONS_UNIT_UNIT_H
#define APPLICATIONS_UNIT_UNIT_H

#include <stddef.h>
#include <stdint.h>

#include "Platform/Platform.h"

// Longest SMBIOS string kept for the line (longer ones are cut).
#define UNIT_TEXT_SIZE 129u
// Longest unit id handed to the script.
#define UNIT_ID_MAX 64u
// A UUID in its canonical text form, 8-4-4-4-12 hex digits, and its terminator.
#define UNIT_UUID_TEXT_SIZE 37u

#define UNIT_EXIT_OK 0u
#define UNIT_EXIT_USAGE 0xC0000001u
// /record: the record cannot be written; /check: there is no record (it cannot be opened).
#define UNIT_EXIT_NO_RECORD 0xC0000003u
// /check: the record is not one Unit wrote (another format, cut short, too long).
#define UNIT_EXIT_BAD_RECORD 0xC0000008u
// /check: the record names another unit (serial number or UUID) or another stick.
#define UNIT_EXIT_OTHER_UNIT 0xC0000010u
// /record and /check: this machine has no unit id, so no record can name it.
#define UNIT_EXIT_NO_UNIT 0xC0000011u

// A unit id made from a serial number that cleaning changed ends in '-' and 8 hex digits.
#define UNIT_ID_HASH_LENGTH 9u
// Longest stick id a record holds.
#define UNIT_STICK_ID_MAX 32u
// Largest done record.
#define UNIT_RECORD_SIZE 1024u

enum SecureBootState { SECURE_BOOT_UNKNOWN, SECURE_BOOT_OFF, SECURE_BOOT_ON, SECURE_BOOT_SETUP };

// What the firmware tells about the machine.
struct UnitInfo {
    bool HasSmbios;     // a structure table was found
    bool HasSystemInfo; // a type 1 structure was found
    bool HasUuid;       // the type 1 structure holds a UUID (SMBIOS 2.1 and later)
    // The UUID's first three fields are stored little-endian (SMBIOS 2.6 and later); before,
    // its 16 bytes are taken in the order they are stored.
    bool UuidLittleEndian;
    uint8_t Uuid[16];
    char Manufacturer[UNIT_TEXT_SIZE];
    char Product[UNIT_TEXT_SIZE];
    char Serial[UNIT_TEXT_SIZE];
    char BiosVersion[UNIT_TEXT_SIZE];
    SecureBootState SecureBoot;
};

// Whether a serial number names one machine: not empty or blank, not all zeros, holding a letter
// or digit, and none of the placeholders firmware leaves unfilled ("To Be Filled By O.E.M.",
// "Default string", "System Serial Number", ...), compared without case and surrounding blanks.
bool IsUsableSerial(const char* pSerial);

// Whether a UUID names one machine: neither all zeros (not present) nor all 0xFF (not set).
bool IsUsableUuid(const uint8_t* pUuid);

// The canonical text of a UUID, uppercase: with LittleEndianFields the first three fields are
// read as little-endian numbers (SMBIOS 2.6 and later), else the bytes are written in order.
void FormatUuid(const uint8_t* pUuid, bool LittleEndianFields, char* pText);

// The id the script may use in file names: every character outside [A-Za-z0-9._-] becomes '_',
// surrounding blanks are dropped, at most UNIT_ID_MAX characters. pId holds UNIT_ID_MAX + 1.
void SanitiseUnitId(const char* pText, char* pId);

// A text fit to stand between double quotes on the line: '"', '\' and bytes outside 0x20-0x7E
// become '?'. Cut to Size - 1 characters.
void QuoteText(const char* pText, char* pQuoted, size_t Size);

// The Secure Boot state from the two variables' values (-1: the variable is absent).
SecureBootState JudgeSecureBoot(int SecureBoot, int SetupMode);
const char* SecureBootText(SecureBootState State);

// Reads the SMBIOS fields through the shared table walk (legacy area first, then the
// configuration table).
void ReadUnitSmbios(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                    UnitInfo* pInfo);

// The unit id, or an empty text when neither the serial number nor the UUID is usable.
void ChooseUnitId(const UnitInfo* pInfo, char* pId);

// FNV-1a (32 bits) of the bytes of a text.
uint32_t UnitSerialHash(const char* pSerial);

// The unit id of a usable serial number: SanitiseUnitId's text where that is the serial number
// as it stands (surrounding blanks aside); where cleaning changed it (a character replaced, a
// lowercase letter, cut at UNIT_ID_MAX), the cleaned text cut so that '-' and the 8 uppercase
// hex digits of UnitSerialHash of the raw serial number fit: "AB/1" gives "AB_1-XXXXXXXX".
// Ids of serial numbers that differ stay apart under FAT's rules (case, length).
void SerialUnitId(const char* pSerial, char* pId);

// The done record: which unit finished which stick in which run. Text lines:
//     unit-record 1 / stick STICKID / run N / unit ID / serial HEX / uuid UUID
// (HEX: the raw serial number's bytes, two uppercase hex digits each; UUID: canonical or none).
void FormatUnitRecord(const UnitInfo* pInfo, const char* pId, const char* pStick, uint32_t Run,
                      char* pText, size_t Size);

enum UnitRecordMatch { RECORD_OURS, RECORD_UNREADABLE, RECORD_OTHER_UNIT, RECORD_OTHER_STICK };

// Whether the record's text is this unit's record of this stick: its stick id, serial number
// and UUID equal; then *pRun is its run number.
UnitRecordMatch MatchUnitRecord(const char* pText, const UnitInfo* pInfo, const char* pId,
                                const char* pStick, uint32_t* pRun);

// "serial "...", uuid ..." of the unit a record names, fit for a line.
void DescribeRecordUnit(const char* pText, char* pShown, size_t Size);

// A stick id as a record holds it: 1 to UNIT_STICK_ID_MAX letters and digits.
bool IsValidStickId(const char* pStick);

// A run number: 1 to 999999, decimal, no leading zero.
bool ParseRecordRun(const char* pText, uint32_t* pRun);

// The one line the program prints (without its line feed).
void FormatUnitLine(const UnitInfo* pInfo, const char* pId, char* pLine, size_t Size);

// The whole run: the line on standard output, the shell variable; returns the exit status.
uint32_t RunUnit(int argc, char** argv);

#endif
