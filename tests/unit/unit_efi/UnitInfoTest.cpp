// Unit's judgement of serial numbers and UUIDs, its text forms, and the SMBIOS fields it reads
// from memory images built from machine descriptions.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "Applications/Unit/Unit.h"
#include "tests/unit/MemoryImageReader.h"

using nlohmann::json;

namespace {

TEST(UnitSerialTest, PlaceholdersBlanksAndZerosAreNotUsable) {
    const struct {
        const char* Serial;
        bool Usable;
    } Cases[] = {
        {"PF3ABC12", true},
        {"  SN 0042  ", true},
        {"0", false},
        {"0000000000", false},
        {"00001", true},
        {"", false},
        {"   \t ", false},
        {"To Be Filled By O.E.M.", false},
        {"  to be filled by o.e.m.  ", false},
        {"TO BE FILLED BY OEM", false},
        {"Default string", false},
        {"DEFAULT STRING ", false},
        {"System Serial Number", false},
        {"Not Specified", false},
        {"None", false},
        {"N/A", false},
        {"0123456789", false},
        {"-.-", false},
        {"Default string 2", true},
        {"System Serial Numbers", true},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(IsUsableSerial(Case.Serial), Case.Usable) << "[" << Case.Serial << "]";
    }
}

TEST(UnitUuidTest, AllZerosAndAllOnesAreNotUsable) {
    uint8_t Uuid[16];
    memset(Uuid, 0, sizeof Uuid);
    EXPECT_FALSE(IsUsableUuid(Uuid));
    memset(Uuid, 0xFF, sizeof Uuid);
    EXPECT_FALSE(IsUsableUuid(Uuid));
    Uuid[15] = 0xFE;
    EXPECT_TRUE(IsUsableUuid(Uuid));
    memset(Uuid, 0, sizeof Uuid);
    Uuid[0] = 1;
    EXPECT_TRUE(IsUsableUuid(Uuid));
}

TEST(UnitUuidTest, CanonicalTextInBothByteOrders) {
    const uint8_t Stored[16] = {0x44, 0x45, 0x4C, 0x4C, 0x36, 0x00, 0x10, 0x30,
                                0x80, 0x50, 0xB4, 0xC0, 0x4F, 0x4A, 0x4E, 0x3a};
    char Text[UNIT_UUID_TEXT_SIZE];
    FormatUuid(Stored, true, Text);
    EXPECT_STREQ(Text, "4C4C4544-0036-3010-8050-B4C04F4A4E3A");
    FormatUuid(Stored, false, Text);
    EXPECT_STREQ(Text, "44454C4C-3600-1030-8050-B4C04F4A4E3A");
}

TEST(UnitIdTest, OnlyNameCharactersAtMost64) {
    const struct {
        const char* Text;
        const char* Id;
    } Cases[] = {
        {"PF3ABC12", "PF3ABC12"},
        {"  a b  ", "a_b"},
        {"x/y\\z:*?\"<>|%^#", "x_y_z__________"},
        {"v1.2_r-3", "v1.2_r-3"},
        {"\xC3\xA9t\xE9", "__t_"},
        {"0123456789012345678901234567890123456789012345678901234567890123456789",
         "0123456789012345678901234567890123456789012345678901234567890123"},
    };
    for (const auto& Case : Cases) {
        char Id[UNIT_ID_MAX + 1];
        memset(Id, 'Z', sizeof Id);
        SanitiseUnitId(Case.Text, Id);
        EXPECT_STREQ(Id, Case.Id) << Case.Text;
    }
}

// Serial numbers whose cleaned ids would meet under FAT's rules (case, a replaced character, a
// cut at 64) get ids that differ; the others keep their ids.
TEST(UnitIdTest, SerialsThatCleaningChangedEndInTheHashOfTheirBytes) {
    const std::string A64(64, 'A');
    const struct {
        std::string Serial;
        std::string Id;
    } Cases[] = {
        {"AB_1", "AB_1"},
        {"  PF3  ", "PF3"},
        {"ABC1", "ABC1"},
        {A64, A64},
        {"AB/1", "AB_1-85BD218A"},
        {"AB 1", "AB_1-85C9ED7D"},
        {"abc1", "abc1-9934264E"},
        {A64 + "B", std::string(55, 'A') + "-D912B445"},
        {A64 + "C", std::string(55, 'A') + "-D812B2B2"},
    };
    for (const auto& Case : Cases) {
        char Id[UNIT_ID_MAX + 1];
        SerialUnitId(Case.Serial.c_str(), Id);
        EXPECT_EQ(std::string(Id), Case.Id) << Case.Serial;
    }
}

// A done record matches only the unit (raw serial number and UUID) and stick it was written for.
TEST(UnitRecordTest, OnlyTheSameSerialUuidAndStickMatch) {
    UnitInfo Ab1 = {};
    strcpy(Ab1.Serial, "AB/1");
    Ab1.HasUuid = true;
    Ab1.UuidLittleEndian = true;
    memset(Ab1.Uuid, 0x42, sizeof Ab1.Uuid);
    UnitInfo Ab_1 = Ab1;
    strcpy(Ab_1.Serial, "AB_1");
    UnitInfo OtherUuid = Ab1;
    OtherUuid.Uuid[15] = 0x43;
    char Text[UNIT_RECORD_SIZE];
    FormatUnitRecord(&Ab1, "AB_1-85BD218A", "3fa9c2d1", 4, Text, sizeof Text);
    const std::string Record = Text;
    std::string CrLf = Record;
    for (size_t At = CrLf.find('\n'); At != std::string::npos; At = CrLf.find('\n', At + 2)) {
        CrLf.insert(At, "\r");
    }
    std::string LeadingZero = Record;
    LeadingZero.replace(LeadingZero.find("run 4"), 5, "run 04");
    const struct {
        std::string Text;
        const UnitInfo* pInfo;
        const char* Stick;
        UnitRecordMatch Match;
    } Cases[] = {
        {Record, &Ab1, "3fa9c2d1", RECORD_OURS},
        {CrLf, &Ab1, "3fa9c2d1", RECORD_OURS},
        {Record, &Ab_1, "3fa9c2d1", RECORD_OTHER_UNIT},
        {Record, &OtherUuid, "3fa9c2d1", RECORD_OTHER_UNIT},
        {Record, &Ab1, "3fa9c2d2", RECORD_OTHER_STICK},
        {Record.substr(0, Record.size() - 1), &Ab1, "3fa9c2d1", RECORD_UNREADABLE},
        {Record + "run 5\n", &Ab1, "3fa9c2d1", RECORD_UNREADABLE},
        {LeadingZero, &Ab1, "3fa9c2d1", RECORD_UNREADABLE},
    };
    for (const auto& Case : Cases) {
        uint32_t Run = 0;
        EXPECT_EQ(MatchUnitRecord(Case.Text.c_str(), Case.pInfo, "AB_1-85BD218A", Case.Stick, &Run),
                  Case.Match)
            << Case.Text << Case.pInfo->Serial;
        EXPECT_EQ(Run, Case.Match == RECORD_OURS ? 4u : 0u) << Case.Text;
    }
}

TEST(UnitLineTest, QuotesBackslashesAndUnprintableBytesBecomeQuestionMarks) {
    char Quoted[16];
    QuoteText("a\"b\\c\x01\x7F\xFFz ~", Quoted, sizeof Quoted);
    EXPECT_STREQ(Quoted, "a?b?c???z ~");
    QuoteText("0123456789abcdefXYZ", Quoted, sizeof Quoted);
    EXPECT_STREQ(Quoted, "0123456789abcde");
}

TEST(UnitSecureBootTest, SetupModeWinsAndAbsentIsUnknown) {
    const struct {
        int SecureBoot;
        int SetupMode;
        const char* Text;
    } Cases[] = {
        {1, 0, "on"},  {0, 0, "off"},       {0, 1, "setup mode"}, {-1, 1, "setup mode"},
        {1, -1, "on"}, {-1, -1, "unknown"}, {-1, 0, "unknown"},   {2, 0, "unknown"},
    };
    for (const auto& Case : Cases) {
        EXPECT_STREQ(SecureBootText(JudgeSecureBoot(Case.SecureBoot, Case.SetupMode)), Case.Text)
            << Case.SecureBoot << " " << Case.SetupMode;
    }
}

json Legacy(const json& Structures, int Major = 2, int Minor = 8) {
    return {{"memory", {{{"base", "0xE0000"}, {"size", "0x20000"}}}},
            {"smbios",
             {{"entry", "0xF5000"},
              {"table", "0xF5040"},
              {"major", Major},
              {"minor", Minor},
              {"structures", Structures}}}};
}

struct Read {
    UnitInfo Info;
    char Id[UNIT_ID_MAX + 1];
    std::string Line;
};

Read ReadMachine(const json& Description) {
    ImageReader Memory(sim::BuildMemoryImage(Description));
    Read R;
    memset(&R.Info, 0, sizeof R.Info);
    ReadUnitSmbios(&Memory.Reader, &Memory.Config, &R.Info);
    ChooseUnitId(&R.Info, R.Id);
    char Line[1024];
    FormatUnitLine(&R.Info, R.Id, Line, sizeof Line);
    R.Line = Line;
    return R;
}

const char* const kUuid = "4C4C4544-0036-3010-8050-B4C04F4A4E32";

TEST(UnitSmbiosTest, LinesOfTheIdRules) {
    const json Type0 = {{"type", 0}, {"bios_version", "M1KT52AUS"}};
    const struct {
        json Description;
        const char* Line;
    } Cases[] = {
        {Legacy({Type0,
                 {{"type", 1}, {"manufacturer", "Corvane"}, {"serial", "PF3"}, {"uuid", kUuid}}}),
         "unit PF3: manufacturer \"Corvane\", product \"Desk\", serial \"PF3\", uuid "
         "4C4C4544-0036-3010-8050-B4C04F4A4E32, BIOS \"M1KT52AUS\", Secure Boot unknown"},
        {Legacy({{{"type", 1}, {"serial", "Default string"}, {"uuid", kUuid}}, Type0}),
         "unit 4C4C4544-0036-3010-8050-B4C04F4A4E32: manufacturer \"Corvane\", product \"Desk\", "
         "serial \"Default string\", uuid 4C4C4544-0036-3010-8050-B4C04F4A4E32, BIOS "
         "\"M1KT52AUS\", Secure Boot unknown"},
        // Before SMBIOS 2.6 the UUID's bytes are taken as stored.
        {Legacy(json::array({{{"type", 1}, {"uuid", kUuid}}}), 2, 5),
         "unit 44454C4C-3600-1030-8050-B4C04F4A4E32: manufacturer \"Corvane\", product \"Desk\", "
         "serial \"\", uuid 44454C4C-3600-1030-8050-B4C04F4A4E32, BIOS \"\", Secure Boot "
         "unknown"},
        {Legacy(
             {{{"type", 1}, {"serial", "0000"}, {"uuid", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"}},
              Type0}),
         "unit none (no usable serial number or UUID): manufacturer \"Corvane\", product \"Desk\", "
         "serial \"0000\", uuid FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF, BIOS \"M1KT52AUS\", Secure "
         "Boot unknown"},
        // A type 1 structure without a UUID (SMBIOS 2.0 length) and a hostile name.
        {Legacy(json::array(
             {{{"formatted", "0108000001020003"}, {"strings", {"A\"B\\C", "P\x01", "S/1"}}}})),
         "unit S_1-6F21B532: manufacturer \"A?B?C\", product \"P?\", serial \"S/1\", uuid none, "
         "BIOS \"\", "
         "Secure Boot unknown"},
        {Legacy(json::array({Type0})),
         "unit none (no usable serial number or UUID): manufacturer \"\", product \"\", serial "
         "\"\", uuid none, BIOS \"M1KT52AUS\", Secure Boot unknown"},
        {json::parse(R"({"memory": [{"base": "0xE0000", "size": "0x20000"}]})"),
         "unit none (no SMBIOS tables): manufacturer \"\", product \"\", serial \"\", uuid none, "
         "BIOS \"\", Secure Boot unknown"},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(ReadMachine(Case.Description).Line, Case.Line) << Case.Description.dump();
    }
}

TEST(UnitSmbiosTest, ConfigurationTableSmbios3KeepsLittleEndianFields) {
    json Description = {
        {"memory",
         {{{"base", "0xE0000"}, {"size", "0x20000"}},
          {{"base", "0x7E800000"}, {"size", "0x10000"}, {"fill", 0}}}},
        {"smbios",
         {{"entry3", "0x7E801000"},
          {"table", "0x7E801040"},
          {"structures", {{{"type", 1}, {"serial", " "}, {"uuid", kUuid}}}}}},
        {"configuration_table", {{{"guid", "smbios3"}, {"address", "0x7E801000"}}}}};
    const Read R = ReadMachine(Description);
    EXPECT_STREQ(R.Id, kUuid);
}

} // namespace
