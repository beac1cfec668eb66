// Unit: names the machine a deployment stick runs on.
//
// It reads the SMBIOS system information (type 1: manufacturer, product name, serial number,
// UUID) and the BIOS version (type 0), and the Secure Boot state from the SecureBoot and
// SetupMode variables, prints them on one line and hands the unit id (the serial number where it
// is usable, else the UUID) to the shell as the volatile variable unitid. It only reads.
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

// The one line the program prints (without its line feed).
void FormatUnitLine(const UnitInfo* pInfo, const char* pId, char* pLine, size_t Size);

// The whole run: the line on standard output, the shell variable; returns the exit status.
uint32_t RunUnit(int argc, char** argv);

#endif
