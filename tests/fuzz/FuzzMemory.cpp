// A physical memory image and configuration table made from the fuzzer's bytes.
#include "FuzzMemory.h"

#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "FuzzSupport.h"

namespace {

uint32_t Little32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// A 32-bit address of the input as a physical address (see FuzzMemory.h).
uint64_t Widened(uint32_t Address) {
    return Address >= 0xFF000000u ? 0xFFFFFFFF00000000ULL | Address : Address;
}

void ReadImage(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
    FuzzMemory* pMemory = (FuzzMemory*)pSelf->pContext;
    const unsigned __int128 End = (unsigned __int128)Address + Count;
    FUZZ_CHECK(End <= PHYS_ADDRESS_LIMIT,
               "read of %zu bytes at 0x%llX wraps or lies beyond the "
               "physical address space",
               Count, (unsigned long long)Address);
    pMemory->Reads.push_back({Address, End});
    for (size_t Index = 0; Index < Count; Index++) {
        ((uint8_t*)pDest)[Index] = pMemory->Byte(Address + Index);
    }
}

const PlatformGuid* const kGuids[FUZZ_CONFIG_ENTRIES] = {&kAcpi20TableGuid, &kAcpi10TableGuid,
                                                         &kSmbios3TableGuid, &kSmbiosTableGuid};

bool FindEntry(const ConfigTableLookup* pSelf, const PlatformGuid* pGuid, uint64_t* pAddress) {
    const FuzzMemory* pMemory = (const FuzzMemory*)pSelf->pContext;
    for (int Index = 0; Index < FUZZ_CONFIG_ENTRIES; Index++) {
        if (pMemory->HasEntry[Index] && memcmp(pGuid, kGuids[Index], sizeof *pGuid) == 0) {
            *pAddress = pMemory->Entry[Index];
            return true;
        }
    }
    return false;
}

} // namespace

bool FuzzMemory::Parse(const uint8_t* pData, size_t Size) {
    const size_t kHeader = 1 + 4 * FUZZ_CONFIG_ENTRIES;
    if (Size < kHeader) {
        return false;
    }
    for (int Index = 0; Index < FUZZ_CONFIG_ENTRIES; Index++) {
        HasEntry[Index] = (pData[0] >> Index) & 1;
        Entry[Index] = Widened(Little32(pData + 1 + 4 * Index));
    }
    Segments.clear();
    Reads.clear();
    size_t At = kHeader;
    while (At + 6 <= Size) {
        const uint64_t Address = Widened(Little32(pData + At));
        size_t Length = (size_t)(pData[At + 4] | (pData[At + 5] << 8));
        At += 6;
        if (Length > Size - At) {
            Length = Size - At;
        }
        Segments.push_back({Address, pData + At, Length});
        At += Length;
    }
    memset(Legacy, 0, sizeof Legacy);
    for (const FuzzSegment& Segment : Segments) {
        for (size_t Index = 0; Index < Segment.Length; Index++) {
            const uint64_t Place = Segment.Address + Index;
            if (Place >= kLegacyStart && Place - kLegacyStart < kLegacySize) {
                Legacy[Place - kLegacyStart] = Segment.pBytes[Index];
            }
        }
    }
    Reads.reserve(16384);
    Reader.Read = ReadImage;
    Reader.pContext = this;
    Config.Find = FindEntry;
    Config.pContext = this;
    return true;
}

uint8_t FuzzMemory::Byte(uint64_t Address) const {
    if (Address >= kLegacyStart && Address - kLegacyStart < kLegacySize) {
        return Legacy[Address - kLegacyStart];
    }
    for (size_t Index = Segments.size(); Index-- > 0;) {
        const FuzzSegment& Segment = Segments[Index];
        if (Address >= Segment.Address && Address - Segment.Address < Segment.Length) {
            return Segment.pBytes[Address - Segment.Address];
        }
    }
    return 0;
}

uint16_t FuzzMemory::Word16(uint64_t Address) const {
    return (uint16_t)(Byte(Address) | (Byte(Address + 1) << 8));
}

uint32_t FuzzMemory::Word32(uint64_t Address) const {
    return (uint32_t)Word16(Address) | ((uint32_t)Word16(Address + 2) << 16);
}

uint64_t FuzzMemory::Word64(uint64_t Address) const {
    return (uint64_t)Word32(Address) | ((uint64_t)Word32(Address + 4) << 32);
}

bool RangeAllowed(const FuzzRange& Read, const std::vector<FuzzRange>& Allowed) {
    for (const FuzzRange& Range : Allowed) {
        if (Read.Start >= Range.Start && Read.End <= Range.End) {
            return true;
        }
    }
    return false;
}

void AllowRange(std::vector<FuzzRange>* pAllowed, uint64_t Start, uint64_t Length) {
    pAllowed->push_back({Start, (unsigned __int128)Start + Length});
}
