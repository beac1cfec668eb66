// Unit's db report: which certificates the firmware's signature database (the variable db of
// the image security database GUID) holds under one owner GUID, by SHA-256 fingerprint.
//
// db is a sequence of EFI_SIGNATURE_LISTs: a 28-byte header (the signature type GUID, the
// list's size, its header's size, each entry's size), the list's header, then entries of the
// entry size, each an owner GUID and the signature data (for the X.509 type: a DER
// certificate). Its bytes are taken as untrusted: every list must lie within the variable and
// agree with its own sizes, or nothing of db is reported.
#ifndef APPLICATIONS_UNIT_SIGNATUREDB_H
#define APPLICATIONS_UNIT_SIGNATUREDB_H

#include <stddef.h>
#include <stdint.h>

#include "Double/Sha256.h"
#include "Platform/Platform.h"

// The largest db read (larger ones are reported as such, not walked).
#define UNIT_DB_SIZE 0x10000u
// The most entries a db may hold, in all its lists together.
#define UNIT_DB_MAX_ENTRIES 1024u
// Fingerprints shown on the line; more certificates of the owner are counted.
#define UNIT_DB_SHOWN 4u

enum SignatureDbResult {
    DB_READ,
    DB_ABSENT,         // the variable does not exist or cannot be read
    DB_TOO_LARGE,      // larger than UNIT_DB_SIZE
    DB_NO_MEMORY,      // no buffer for it
    DB_CUT_SHORT,      // a list's header or the list itself runs past the variable's end
    DB_SIZES_DISAGREE, // a list's sizes contradict each other or its type
    DB_TOO_MANY,       // more than UNIT_DB_MAX_ENTRIES entries
};

struct SignatureDbReport {
    SignatureDbResult Result;
    uint32_t FaultOffset;                                    // the list at fault: its offset in db
    uint32_t Certificates;                                   // X.509 entries of the owner
    uint8_t Fingerprints[UNIT_DB_SHOWN][SHA256_DIGEST_SIZE]; // of the first ones, in db order
    uint32_t OwnerOthers; // entries of the owner of other types (hashes, ...)
    uint32_t OtherOwners; // entries of any other owner
};

// Walks Size bytes of db and counts the owner's entries.
void WalkSignatureDb(const uint8_t* pDb, size_t Size, const PlatformGuid* pOwner,
                     SignatureDbReport* pReport);

// A GUID in its text form, 8-4-4-4-12 hex digits (either case), into its stored layout.
bool ParseGuidText(const char* pText, PlatformGuid* pGuid);

// The db line (without its line feed):
//     db owner GUID: N certificate(s)[, SHA-256 FP ...[ and M more]]; other entries: O of this
//     owner, P of other owners
//     db owner GUID: not read (WHY)
// GUID and the fingerprints in uppercase hex.
void FormatDbLine(const PlatformGuid* pOwner, const SignatureDbReport* pReport, char* pLine,
                  size_t Size);

// Reads db through the platform and prints the line.
void PrintSignatureDb(const PlatformGuid* pOwner);

#endif
