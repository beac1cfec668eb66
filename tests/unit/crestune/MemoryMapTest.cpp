// Which physical ranges the walks may read: no range that wraps or passes the physical address
// limit, and only memory that the memory map describes (or the legacy BIOS area).
#include <gtest/gtest.h>

#include "Platform/Platform.h"

namespace {

const uint64_t kTop = ~0ULL;

TEST(MemoryMapTest, RangesCoveredByTheMap) {
    const PhysMemoryRange Map[] = {
        {0x2000, 0x1000, true},  // joins the next entry
        {0x1000, 0x1000, true},  // out of order
        {0x3000, 0x1000, false}, // device registers
        {0x100000, 0x10000, true},
        {kTop - 0xFFF, 0x1000, true}, // the last page of the address space
    };
    struct Case {
        const char* Name;
        uint64_t Address;
        uint64_t Length;
        bool Covered;
    };
    const Case Cases[] = {
        {"inside one entry", 0x1010, 0x10, true},
        {"across two adjacent entries", 0x1FF0, 0x20, true},
        {"from memory into device registers", 0x2FF0, 0x20, false},
        {"device registers", 0x3000, 1, false},
        {"a gap", 0x5000, 4, false},
        {"the legacy area without an entry", 0xE0000, 0x20000, true},
        {"the legacy area into the entry above", 0xFFFF0, 0x20, true},
        {"past the entry above the legacy area", 0xFFFF0, 0x10011, false},
        {"below the legacy area", 0xDFFFF, 2, false},
        {"nothing", 0x5000, 0, true},
        {"the last page up to its last byte", kTop - 0xFFF, 0xFFF, true},
        {"up to 2^64, which no end can name", kTop - 0xFFF, 0x1000, false},
        {"wrapping past 2^64", kTop - 1, 4, false},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(PhysRangeInMap(Map, sizeof Map / sizeof Map[0], C.Address, C.Length), C.Covered)
            << C.Name;
    }
}

TEST(MemoryMapTest, RangesBeyondThePhysicalAddressSpace) {
    const PhysMemReader Everything = {nullptr, nullptr, nullptr};
    struct Case {
        uint64_t Address;
        uint64_t Length;
        bool Readable;
    };
    const Case Cases[] = {
        {PHYS_ADDRESS_LIMIT - 4, 4, true},
        {PHYS_ADDRESS_LIMIT - 4, 5, false},
        {0, PHYS_ADDRESS_LIMIT, true},
        {1, PHYS_ADDRESS_LIMIT, false},
        {kTop - 1, 0x100000, false}, // 2^64 - 2 + 1 MiB wraps to 0xFFFFE
        {0x1000, kTop, false},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(PhysRangeReadable(&Everything, C.Address, C.Length), C.Readable)
            << std::hex << C.Address << " + " << C.Length;
    }
}

} // namespace
