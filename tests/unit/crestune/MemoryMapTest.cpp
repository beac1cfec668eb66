// Which physical ranges the walks may read: no range that wraps or passes the physical address
// limit, and only memory that the memory map describes (or the legacy BIOS area).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Applications/Common/FirmwareTables.h"
#include "Platform/Platform.h"
#include "tests/unit/MemoryImageReader.h"

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

// The SMBIOS3 table a machine's entry point declares, as FindSmbiosTable takes it.
bool Smbios3Table(const nlohmann::json& Bytes, SmbiosTable* pTable) {
    nlohmann::json D = {
        {"memory",
         {{{"base", "0xE0000"}, {"size", "0x20000"}},
          {{"base", "0x10000000"}, {"size", "0x2000"}, {"fill", "0x00"}},
          {{"base", "0x10002000"}, {"size", "0x1000"}, {"fill", "0x00"}, {"type", "mmio"}}}},
        {"smbios", {{"entry3", "0x10000100"}, {"table", "0x10000200"}}},
        {"configuration_table", {{{"guid", "smbios3"}, {"address", "0x10000100"}}}},
        {"bytes", Bytes}};
    ImageReader Memory(sim::BuildMemoryImage(D));
    return FindSmbiosTable(&Memory.Reader, &Memory.Config, pTable);
}

// An SMBIOS3 entry point at 0x10000100 with a good checksum (byte 5) for this maximum size and
// table address.
nlohmann::json Smbios3Entry(uint32_t MaxSize, uint64_t Table) {
    uint8_t Entry[0x18] = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, 2, 0, 1};
    for (int Index = 0; Index < 4; Index++) {
        Entry[0x0C + Index] = (uint8_t)(MaxSize >> (8 * Index));
    }
    for (int Index = 0; Index < 8; Index++) {
        Entry[0x10 + Index] = (uint8_t)(Table >> (8 * Index));
    }
    uint8_t Sum = 0;
    for (uint8_t Byte : Entry) {
        Sum = (uint8_t)(Sum + Byte);
    }
    Entry[5] = (uint8_t)(0x100 - Sum);
    std::string Hex;
    for (uint8_t Byte : Entry) {
        char Text[3];
        snprintf(Text, sizeof Text, "%02X", Byte);
        Hex += Text;
    }
    return {{{"address", "0x10000100"}, {"hex", Hex}}};
}

TEST(MemoryMapTest, Smbios3TableWithinMemory) {
    struct Case {
        const char* Name;
        uint32_t MaxSize;
        uint64_t Table;
        bool Found;
        uint64_t Length; // the length walked
    };
    const Case Cases[] = {
        {"within memory", 0x100, 0x10000200, true, 0x100},
        {"maximum size past memory: walked as far as memory reaches", 0x100000, 0x10000200, true,
         0x1E00},
        {"starting in device registers", 0x100, 0x10002000, false, 0},
        {"starting in no memory", 0x100, 0x20000000, false, 0},
        {"wrapping past 2^64", 0x100000, kTop - 1, false, 0},
        {"beyond the physical address space", 0x100, PHYS_ADDRESS_LIMIT, false, 0},
    };
    for (const Case& C : Cases) {
        SmbiosTable Table = {0, 0, 0};
        EXPECT_EQ(Smbios3Table(Smbios3Entry(C.MaxSize, C.Table), &Table), C.Found) << C.Name;
        if (C.Found) {
            EXPECT_EQ(Table.Address, C.Table) << C.Name;
            EXPECT_EQ(Table.Length, C.Length) << C.Name;
        }
    }
}

} // namespace
