// A machine's physical memory and UEFI configuration table made from the fuzzer's bytes, with a
// reader that records every read, for the targets that walk firmware tables.
//
// Layout of the bytes: a flag byte, then four 32-bit little-endian addresses for the
// configuration table entries ACPI 2.0, ACPI 1.0, SMBIOS3 and SMBIOS (entry I exists when flag
// bit I is set), then segments until the end: a 32-bit address, a 16-bit length and that many
// bytes. A later segment covers an earlier one; memory no segment covers reads as zeros. A 32-bit
// address from 0xFF000000 up stands for the last 16 MiB below 2^64 (0xFFFFFFFFFF000000 up), so
// that entries and segments can lie where a range wraps past 2^64.
//
// Every target that reads through this memory checks that no read wraps past 2^64 or reaches
// beyond PHYS_ADDRESS_LIMIT.
#ifndef TESTS_FUZZ_FUZZMEMORY_H
#define TESTS_FUZZ_FUZZMEMORY_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "Platform/Platform.h"

enum FuzzConfigEntry { FUZZ_ACPI20, FUZZ_ACPI10, FUZZ_SMBIOS3, FUZZ_SMBIOS, FUZZ_CONFIG_ENTRIES };

struct FuzzSegment {
    uint64_t Address;
    const uint8_t* pBytes;
    size_t Length;
};

// A range of addresses [Start, End); End may lie past 2^64 - 1.
struct FuzzRange {
    uint64_t Start;
    unsigned __int128 End;
};

struct FuzzMemory {
    bool HasEntry[FUZZ_CONFIG_ENTRIES];
    uint64_t Entry[FUZZ_CONFIG_ENTRIES];
    std::vector<FuzzSegment> Segments;
    // Every read through Reader, in order.
    std::vector<FuzzRange> Reads;
    PhysMemReader Reader;
    ConfigTableLookup Config;
    // The legacy BIOS area 0xE0000-0xFFFFF as the segments fill it, for fast scans.
    static const uint64_t kLegacyStart = 0xE0000;
    static const size_t kLegacySize = 0x20000;
    uint8_t Legacy[kLegacySize];

    // Parses the bytes (which must outlive the object); false when they are too short.
    bool Parse(const uint8_t* pData, size_t Size);
    // What the image holds at the address, without recording a read.
    uint8_t Byte(uint64_t Address) const;
    uint16_t Word16(uint64_t Address) const;
    uint32_t Word32(uint64_t Address) const;
    uint64_t Word64(uint64_t Address) const;
};

// Whether the range lies inside one of the allowed ranges.
bool RangeAllowed(const FuzzRange& Read, const std::vector<FuzzRange>& Allowed);
// Adds [Start, Start + Length).
void AllowRange(std::vector<FuzzRange>* pAllowed, uint64_t Start, uint64_t Length);

#endif
