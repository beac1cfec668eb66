// The SMBIOS structure lookup over memory images built from machine descriptions.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/SmbiosCopy.h"
#include "tests/unit/MemoryImageReader.h"

using nlohmann::json;

namespace {

json Machine(const json& Smbios) {
    return {{"memory", {{{"base", "0xE0000"}, {"size", "0x20000"}}}}, {"smbios", Smbios}};
}

struct Lookup {
    bool Found;
    std::string Output;
    std::vector<uint8_t> Bytes;
};

Lookup Find(const json& Description, uint8_t Type, uint32_t Size = 128) {
    ResetRunState();
    ImageReader Memory(sim::BuildMemoryImage(Description));
    std::vector<uint8_t> Buffer(Size, 0xEE);
    testing::internal::CaptureStdout();
    const bool Found = GetSmbStrucAddr(&Memory.Reader, Type, Buffer.data(), Size);
    return {Found, testing::internal::GetCapturedStdout(), Buffer};
}

const json kType1 = {{"type", 1}, {"strings", {"Corvane", "Desk"}}};

TEST(SmbiosTest, CopiesTheStructureWithItsStringsAndZerosTheRest) {
    const Lookup L =
        Find(Machine({{"entry", "0xF5000"},
                      {"table", "0xF5040"},
                      {"structures", {kType1, {{"type", 0}, {"bios_version", "S03KT39A"}}}}}),
             0);
    ASSERT_TRUE(L.Found);
    EXPECT_EQ(L.Bytes[0], 0);
    EXPECT_EQ(L.Bytes[1], 24);
    const std::string Strings(L.Bytes.begin() + 24, L.Bytes.begin() + 24 + 28);
    EXPECT_EQ(Strings, std::string("Corvane\0S03KT39A\0"
                                   "10/01/2026\0\0",
                                   28));
    for (size_t Index = 24 + 28; Index < L.Bytes.size(); Index++) {
        ASSERT_EQ(L.Bytes[Index], 0) << Index;
    }
}

TEST(SmbiosTest, LastCountedStructureIsFound) {
    const Lookup L = Find(Machine({{"entry", "0xF5000"},
                                   {"table", "0xF5040"},
                                   {"end_of_table", false},
                                   {"structures", {kType1, kType1, {{"type", 0}}}}}),
                          0);
    EXPECT_TRUE(L.Found);
}

TEST(SmbiosTest, Failures) {
    struct Case {
        const char* Name;
        json Smbios;
        const char* Output;
    };
    const std::vector<Case> Cases = {
        {"no type 0", {{"entry", "0xF5000"}, {"table", "0xF5040"}, {"structures", {kType1}}}, ""},
        {"count 0", {{"entry", "0xF5000"}, {"table", "0xF5040"}, {"count", 0}}, ""},
        {"count short of type 0",
         {{"entry", "0xF5000"},
          {"table", "0xF5040"},
          {"count", 1},
          {"structures", {kType1, {{"type", 0}}}}},
         ""},
        {"bad checksum only",
         {{"entry", "0xF5000"}, {"table", "0xF5040"}, {"checksum", "bad"}},
         ""},
        {"entry below the scanned area", {{"entry", "0xE8000"}, {"table", "0xF5040"}}, ""},
        {"too large for the buffer",
         {{"entry", "0xF5000"},
          {"table", "0xF5040"},
          {"structures", {{{"type", 0}, {"vendor", std::string(100, 'v')}}}}},
         "The length of input buffer is too small.\n"},
    };
    for (const Case& C : Cases) {
        const Lookup L = Find(Machine(C.Smbios), 0);
        EXPECT_FALSE(L.Found) << C.Name;
        EXPECT_EQ(L.Output, C.Output) << C.Name;
    }
}

TEST(SmbiosTest, BufferMustHoldTheWholeStructure) {
    const json D = Machine({{"entry", "0xF5000"},
                            {"table", "0xF5040"},
                            {"structures", {kType1, {{"type", 0}, {"bios_version", "S03KT39A"}}}}});
    ImageReader Memory(sim::BuildMemoryImage(D));
    uint32_t Length = 0;
    ASSERT_TRUE(GetSmbStrucLength(&Memory.Reader, 0, NULL, &Length));
    EXPECT_EQ(Length, 24u + 29u); // formatted area, three strings, closing zero
    const Lookup Exact = Find(D, 0, Length);
    EXPECT_TRUE(Exact.Found);
    EXPECT_EQ(Exact.Bytes[Length - 1], 0);
    EXPECT_EQ(Exact.Bytes[Length - 2], 0);
    const Lookup Short = Find(D, 0, Length - 1);
    EXPECT_FALSE(Short.Found);
    EXPECT_EQ(Short.Output, "The length of input buffer is too small.\n");
    EXPECT_EQ(Short.Bytes, std::vector<uint8_t>(Length - 1, 0xEE)) << "nothing copied";
}

TEST(SmbiosTest, BadChecksumIsPassedOverForALaterEntryPoint) {
    json D = Machine({{"entry", "0xF5000"}, {"table", "0xF5040"}, {"checksum", "bad"}});
    D["bytes"] = {{{"address", "0xF4FF0"}, {"ascii", "_SM_"}}}; // anchor without a sum
    EXPECT_FALSE(Find(D, 0).Found);
    D["smbios"]["checksum"] = "good";
    EXPECT_TRUE(Find(D, 0).Found);
}

TEST(SmbiosTest, WalkStopsAtTheDeclaredTableLength) {
    // A string set without its closing zeros runs into 0xFF padding: no read past the table.
    json D = Machine({{"entry", "0xF5000"}, {"table", "0xF5040"}, {"structures", {kType1}}});
    D["bytes"] = {{{"address", "0xF504E"}, {"hex", "4141"}}};
    const Lookup L = Find(D, 0);
    EXPECT_FALSE(L.Found);
}

} // namespace
