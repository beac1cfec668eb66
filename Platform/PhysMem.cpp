// Fixed-width reads through a physical memory reader (little-endian, as on x86).
#include "Platform.h"

uint8_t PhysRead8(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Value = 0;
    pReader->Read(pReader, Address, &Value, 1);
    return Value;
}

uint16_t PhysRead16(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Bytes[2] = {0, 0};
    pReader->Read(pReader, Address, Bytes, 2);
    return (uint16_t)(Bytes[0] | (Bytes[1] << 8));
}

uint32_t PhysRead32(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Bytes[4] = {0, 0, 0, 0};
    pReader->Read(pReader, Address, Bytes, 4);
    return (uint32_t)Bytes[0] | ((uint32_t)Bytes[1] << 8) | ((uint32_t)Bytes[2] << 16) |
           ((uint32_t)Bytes[3] << 24);
}

uint64_t PhysRead64(const PhysMemReader* pReader, uint64_t Address) {
    return (uint64_t)PhysRead32(pReader, Address) |
           ((uint64_t)PhysRead32(pReader, Address + 4) << 32);
}

bool PhysRangeReadable(const PhysMemReader* pReader, uint64_t Address, uint64_t Length) {
    if (Length > PHYS_ADDRESS_LIMIT || Address > PHYS_ADDRESS_LIMIT - Length) {
        return false; // wraps past 2^64 or lies beyond any physical address
    }
    return pReader->Describes == NULL || pReader->Describes(pReader, Address, Length);
}

bool PhysRangeInMap(const PhysMemoryRange* pMap, size_t Count, uint64_t Address, uint64_t Length) {
    if (Address + Length < Address) {
        return false;
    }
    const uint64_t End = Address + Length;
    uint64_t Covered = Address;
    // Each step moves Covered to the end of a readable entry (or of the legacy area) that holds
    // it, so the loop ends after at most Count + 1 steps.
    while (Covered < End) {
        uint64_t Next = Covered;
        if (Covered >= PHYS_LEGACY_AREA_START && Covered < PHYS_LEGACY_AREA_END) {
            Next = PHYS_LEGACY_AREA_END;
        }
        for (size_t Index = 0; Index < Count && Next == Covered; Index++) {
            const PhysMemoryRange* pRange = &pMap[Index];
            if (pRange->Readable && Covered >= pRange->Base &&
                Covered - pRange->Base < pRange->Length) {
                Next = pRange->Base + pRange->Length < pRange->Base ? ~0ULL
                                                                    : pRange->Base + pRange->Length;
            }
        }
        if (Next == Covered) {
            return false;
        }
        Covered = Next;
    }
    return true;
}

const PlatformGuid kPlatformGlobalVariableGuid = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
