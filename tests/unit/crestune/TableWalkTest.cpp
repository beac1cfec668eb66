// Port discovery and the SMBIOS lookup on machines whose tables lie in the UEFI configuration
// table, and on legacy machines with hostile tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/SmbiosCopy.h"
#include "tests/unit/MemoryImageReader.h"

using nlohmann::json;

namespace {

// The legacy area (with a page above it) and a region above 1 MiB.
const char* kMemory = R"([{"base": "0xE0000", "size": "0x21000"},
                          {"base": "0x10000000", "size": "0x10000", "fill": "0x00"}])";

// Tables above 1 MiB: RSDP at 0x10000000, RSDT 0x10000040, XSDT 0x10000100, tables from
// 0x10001000.
json UefiAcpi(const std::string& Patch) {
    json Acpi = {{"rsdp", "0x10000000"}, {"rsdt", "0x10000040"}};
    Acpi.merge_patch(json::parse(Patch));
    return Acpi;
}

const char* kLegacyAcpi = R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
    {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB2"}]})";

struct PortCase {
    const char* Name;
    const char* Legacy;  // "acpi" of the legacy area, or ""
    const char* Config;  // merged over UefiAcpi, or "" for no tables above 1 MiB
    const char* Entries; // "configuration_table"
    const char* Bytes;   // "bytes" patches
    int Port;            // -1: discovery fails
    bool ThroughConfig;
    const char* Output;
};

const char* kRsdpMissing = "Can't find RSDP structure anchor string.\n";
const char* kFadtMissing = "Can't find FADT structure anchor string.\n";
const char* kPortZero = "The FADT names no SMI command port.\n";
const char* kAcpi20 = R"([{"guid": "acpi20", "address": "0x10000000"}])";
const char* kFadtB2InRsdtB3InXsdt = R"({"xsdt": "0x10000100", "tables": [
    {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB2", "in": "rsdt"},
    {"address": "0x10002000", "signature": "FACP", "smi_cmd": "0xB3", "in": "xsdt"}]})";

const PortCase kPortCases[] = {
    {"XsdtChosenFromRevision2", "", kFadtB2InRsdtB3InXsdt, kAcpi20, "[]", 0xB3, true, ""},
    {"RsdtWhenXsdtAddressIsZero", "", R"({"rsdp_revision": 2, "tables": [
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB2"}]})",
     kAcpi20, "[]", 0xB2, true, ""},
    {"RsdtWhenXsdtLacksItsSignature", "", kFadtB2InRsdtB3InXsdt, kAcpi20,
     R"([{"address": "0x10000100", "ascii": "XSDX"}])", 0xB2, true, ""},
    {"RsdtOfRevision0", "", R"({"rsdp_revision": 0, "xsdt": "0x10000100", "tables": [
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB2", "in": "rsdt"},
        {"address": "0x10002000", "signature": "FACP", "smi_cmd": "0xB3", "in": "xsdt"}]})",
     R"([{"guid": "acpi10", "address": "0x10000000"}])", "[]", 0xB2, true, ""},
    {"BadChecksumRsdpRefused", "", R"({"rsdp_checksum": "bad", "tables": [
        {"address": "0x10001000", "signature": "FACP"}]})",
     kAcpi20, "[]", -1, false, kRsdpMissing},
    {"BadExtendedChecksumRefused", "", R"({"xsdt": "0x10000100",
        "rsdp_extended_checksum": "bad", "tables": [
        {"address": "0x10001000", "signature": "FACP"}]})",
     kAcpi20, "[]", -1, false, kRsdpMissing},
    {"EntryAtNoRsdp", "", R"({"tables": [{"address": "0x10001000", "signature": "FACP"}]})",
     R"([{"guid": "acpi20", "address": "0x10000010"}])", "[]", -1, false, kRsdpMissing},
    {"ZeroEntriesSkipped", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": 0, "listed_only": true},
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB4"}]})",
     kAcpi20, "[]", 0xB4, true, ""},
    {"FadtEndingBeforeSmiCmdSkipped", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB4", "declared_length": 51},
        {"address": "0x10002000", "signature": "FACP", "smi_cmd": "0xB5"}]})",
     kAcpi20, "[]", 0xB5, true, ""},
    {"OverlongXsdtNotWalkedRsdtIs", "", R"({"xsdt": "0x10000100", "xsdt_length": "0xFFFFFFFF",
        "tables": [{"address": "0x10001000", "signature": "FACP"}]})",
     kAcpi20, "[]", 0xB2, true, ""},
    {"XsdtWithoutFadtRsdtWithIt", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": "0xB6", "in": "rsdt"}]})",
     kAcpi20, "[]", 0xB6, true, ""},
    {"XsdtAndRsdtWithoutFadtNameTheFadt", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x10001000", "signature": "APIC"}]})",
     kAcpi20, "[]", -1, false, kFadtMissing},
    {"FadtLengthPastTheEndOfMemory", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x1000FF80", "signature": "FACP", "smi_cmd": "0xB7",
         "declared_length": 244}]})",
     kAcpi20, "[]", 0xB7, true, ""},
    {"FadtCutByTheEndOfMemory", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x1000FFF8", "listed_only": true}]})",
     kAcpi20, R"([{"address": "0x1000FFF8", "ascii": "FACP"},
                  {"address": "0x1000FFFC", "hex": "74000000"}])",
     -1, false, kFadtMissing},
    {"ConfigFadtNamingPortZero", "", R"({"xsdt": "0x10000100", "tables": [
        {"address": "0x10001000", "signature": "FACP", "smi_cmd": 0}]})",
     kAcpi20, "[]", -1, false, kPortZero},
    {"NoConfigEntries", "", R"({"tables": [{"address": "0x10001000", "signature": "FACP"}]})", "[]",
     "[]", -1, false, kRsdpMissing},
    {"LegacyTablesWin", kLegacyAcpi, kFadtB2InRsdtB3InXsdt, kAcpi20, "[]", 0xB2, false, ""},
    {"LegacyWithoutFadtFallsBack",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6100", "signature": "APIC"}]})",
     kFadtB2InRsdtB3InXsdt, kAcpi20, "[]", 0xB3, true, ""},
    {"LegacyFailureMessageWhenBothFail",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6100", "signature": "APIC"}]})",
     R"({"tables": [{"address": "0x10001000", "signature": "APIC"}]})", kAcpi20, "[]", -1, false,
     kFadtMissing},
    {"LegacyPortZeroIsTheAnswer",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": 0}]})",
     kFadtB2InRsdtB3InXsdt, kAcpi20, "[]", -1, false, kPortZero},
    // Hostile legacy tables: an RSDT is walked only within a sane length, an FADT counts only
    // when it reaches past SMI_CMD.
    {"RsdtOfLengthAllOnesWithoutFadt",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": "0xFFFFFFFF", "tables": [
        {"address": "0xF6100", "signature": "APIC"}]})",
     "", "[]", "[]", -1, false, kFadtMissing},
    {"RsdtOfLengthAllOnesNotWalked",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": "0xFFFFFFFF", "tables": [
        {"address": "0xF6200", "signature": "FACP"}]})",
     "", "[]", "[]", -1, false, kFadtMissing},
    {"RsdtOf256EntriesWalked",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": 1060, "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB8"}]})",
     "", "[]", "[]", 0xB8, false, ""},
    {"RsdtOf257EntriesNotWalked",
     R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": 1064, "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB8"}]})",
     "", "[]", "[]", -1, false, kFadtMissing},
    {"RsdtWithoutItsSignature", kLegacyAcpi, "", "[]",
     R"([{"address": "0xF6040", "ascii": "RSDX"}])", -1, false, kFadtMissing},
    {"FadtOfLength36", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x1234", "declared_length": 36}]})",
     "", "[]", "[]", -1, false, kFadtMissing},
    {"FadtOfLength44", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xFFFF", "declared_length": 44}]})",
     "", "[]", "[]", -1, false, kFadtMissing},
    {"FadtOfLength52", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x1234", "declared_length": 52}]})",
     "", "[]", "[]", 0x1234, false, ""},
};

void PrintTo(const PortCase& C, std::ostream* pOut) {
    *pOut << C.Name;
}

json PortMachine(const PortCase& C) {
    json D = {{"memory", json::parse(kMemory)},
              {"configuration_table", json::parse(C.Entries)},
              {"bytes", json::parse(C.Bytes)}};
    json Acpi = json::array();
    if (C.Legacy[0] != '\0') {
        Acpi.push_back(json::parse(C.Legacy));
    }
    if (C.Config[0] != '\0') {
        Acpi.push_back(UefiAcpi(C.Config));
    }
    D["acpi"] = Acpi;
    return D;
}

class PortDiscoveryTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortDiscoveryTest, FindsThePortOrSaysWhy) {
    const PortCase& C = GetParam();
    ImageReader Memory(sim::BuildMemoryImage(PortMachine(C)));
    uint16_t Port = 0xFFFF;
    bool Through = false;
    testing::internal::CaptureStdout();
    const bool Found = GetSmiPortNumber(&Memory.Reader, &Port, &Memory.Config, &Through);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), C.Output);
    EXPECT_EQ(Found, C.Port >= 0);
    EXPECT_EQ(Port, C.Port >= 0 ? C.Port : 0xFFFF);
    EXPECT_EQ(Through, C.ThroughConfig);
}

INSTANTIATE_TEST_SUITE_P(Tables, PortDiscoveryTest, ::testing::ValuesIn(kPortCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A reader that records every byte range read.
struct RecordingReader {
    PhysMemReader Reader;
    const PhysMemReader* pInner;
    std::vector<std::pair<uint64_t, size_t>> Reads;

    explicit RecordingReader(const PhysMemReader* pIn) : Reader{Read, this}, pInner(pIn) {}

    static void Read(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
        auto* pThis = (RecordingReader*)pSelf->pContext;
        pThis->Reads.push_back({Address, Count});
        pThis->pInner->Read(pThis->pInner, Address, pDest, Count);
    }

    bool ReadAnyOf(uint64_t Start, uint64_t End) const {
        return std::any_of(Reads.begin(), Reads.end(), [&](const auto& R) {
            return R.first < End && R.first + R.second > Start;
        });
    }
};

TEST(PortDiscoveryTest, RootTableReadsStayWithinItsLength) {
    // An RSDT declaring one entry, followed by bytes that look like a second entry naming an
    // FADT: only the declared entry is read.
    json D = json::parse(std::string(R"({"memory": )") + kMemory + R"(, "acpi": {
        "rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": 40, "tables": [
        {"address": "0xF6100", "signature": "APIC"},
        {"address": "0xF6200", "signature": "FACP"}]}})");
    ImageReader Memory(sim::BuildMemoryImage(D));
    RecordingReader Recorder(&Memory.Reader);
    uint16_t Port = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(GetSmiPortNumber(&Recorder.Reader, &Port));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kFadtMissing);
    EXPECT_FALSE(Recorder.ReadAnyOf(0xF6040 + 40, 0xF6040 + 44));
    EXPECT_FALSE(Recorder.ReadAnyOf(0xF6200, 0xF6300));
}

TEST(PortDiscoveryTest, OverlongRsdtCostsAFewReads) {
    json D = json::parse(std::string(R"({"memory": )") + kMemory + R"(, "acpi": {
        "rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": "0xFFFFFFFF", "tables": []}})");
    ImageReader Memory(sim::BuildMemoryImage(D));
    RecordingReader Recorder(&Memory.Reader);
    uint16_t Port = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(GetSmiPortNumber(&Recorder.Reader, &Port));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(Recorder.ReadAnyOf(0xF6040 + 36, 0xF6040 + 0x10000));
}

// --- SMBIOS ---

json SmbiosMachine(const json& Smbios, const json& Entries = json::array()) {
    return {{"memory", json::parse(kMemory)}, {"smbios", Smbios}, {"configuration_table", Entries}};
}

json Type0(const std::string& Version) {
    return {{"type", 0}, {"bios_version", Version}};
}

// The SMBIOS3 table at 0x10000200 (entry 0x10000100), a 2.x table at 0x10001100 (entry
// 0x10001000), both published.
json BothEntryPoints() {
    return SmbiosMachine(
        json::array(
            {{{"entry3", "0x10000100"}, {"table", "0x10000200"}, {"structures", {Type0("S3KT30")}}},
             {{"entry", "0x10001000"},
              {"table", "0x10001100"},
              {"structures", {Type0("S2KT20")}}}}),
        {{{"guid", "smbios3"}, {"address", "0x10000100"}},
         {{"guid", "smbios"}, {"address", "0x10001000"}}});
}

// The BIOS Version string of the type 0 structure found, or "" when none is found.
std::string VersionFound(const json& Description, std::string* pOutput = nullptr) {
    ImageReader Memory(sim::BuildMemoryImage(Description));
    std::vector<uint8_t> Buffer(128, 0xEE);
    ResetRunState();
    testing::internal::CaptureStdout();
    const bool Found = GetSmbStrucAddr(&Memory.Reader, 0, Buffer.data(), 128, &Memory.Config);
    const std::string Output = testing::internal::GetCapturedStdout();
    if (pOutput != nullptr) {
        *pOutput = Output;
    }
    if (!Found) {
        return "";
    }
    // Strings: vendor, version, date.
    const char* pStrings = (const char*)Buffer.data() + Buffer[1];
    return std::string(pStrings + strlen(pStrings) + 1);
}

TEST(SmbiosLookupTest, EntryPointChoice) {
    struct Case {
        const char* Name;
        json Description;
        const char* Version;
    };
    json Both = BothEntryPoints();
    json Smbios3Only = Both;
    Smbios3Only["configuration_table"].erase(1);
    json SmbiosOnly = Both;
    SmbiosOnly["configuration_table"].erase(0);
    json BadSmbios3 = Both;
    BadSmbios3["smbios"][0]["checksum3"] = "bad";
    json ZeroLengthSmbios3 = Both;
    ZeroLengthSmbios3["bytes"] = {{{"address", "0x10000106"}, {"hex", "00"}}};
    json LegacyToo = Both;
    LegacyToo["smbios"].push_back(
        {{"entry", "0xF5000"}, {"table", "0xF5040"}, {"structures", {Type0("LGKT10")}}});
    json NoEntries = Both;
    NoEntries["configuration_table"] = json::array();
    json ShortSmbiosEntry = SmbiosOnly; // length byte 0: a sum over no bytes is no check
    ShortSmbiosEntry["bytes"] = {{{"address", "0x10001005"}, {"hex", "00"}}};

    const std::vector<Case> Cases = {
        {"both: SMBIOS3 first", Both, "S3KT30"},
        {"SMBIOS3 only", Smbios3Only, "S3KT30"},
        {"SMBIOS only", SmbiosOnly, "S2KT20"},
        {"SMBIOS3 with a bad checksum", BadSmbios3, "S2KT20"},
        {"SMBIOS3 of length 0", ZeroLengthSmbios3, "S2KT20"},
        {"legacy entry point wins", LegacyToo, "LGKT10"},
        {"no configuration table entries", NoEntries, ""},
        {"SMBIOS entry of length 0", ShortSmbiosEntry, ""},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(VersionFound(C.Description), C.Version) << C.Name;
    }
}

TEST(SmbiosLookupTest, LegacyEntryPointChecks) {
    struct Case {
        const char* Name;
        json Bytes;
        bool Used;
    };
    // The legacy entry point at 0xF5000; patches that keep its checksum where they need to.
    const std::vector<Case> Cases = {
        {"sound", json::array(), true},
        {"length byte 0", {{{"address", "0xF5005"}, {"hex", "00"}}}, false},
        // 0x1E covers all but the last byte; the byte it leaves out is moved into the sum.
        {"length byte 0x1E", {{{"address", "0xF5005"}, {"hex", "1E"}}}, false},
        // "_DMJ_" with the revision byte lowered by one: the sum still holds.
        {"no _DMI_ anchor",
         {{{"address", "0xF5013"}, {"hex", "4A"}}, {{"address", "0xF501E"}, {"hex", "27"}}},
         false},
    };
    for (const Case& C : Cases) {
        json D = SmbiosMachine({{"entry", "0xF5000"}, {"table", "0xF5040"}});
        D["bytes"] = C.Bytes;
        EXPECT_EQ(VersionFound(D) == "M1KT52AUS", C.Used) << C.Name;
    }
}

TEST(SmbiosLookupTest, TableWalkBounds) {
    struct Case {
        const char* Name;
        json Smbios;
        const char* Version;
    };
    const json kType1 = {{"type", 1}, {"strings", {"Corvane"}}};
    const std::vector<Case> Cases = {
        {"type 0 after the end of table structure",
         {{"entry3", "0x10000100"},
          {"table", "0x10000200"},
          {"end_of_table", false},
          {"structures", {kType1, {{"type", 127}}, Type0("S3KT30")}}},
         ""},
        {"2.x table: type 0 after the end of table structure",
         {{"entry", "0x10000100"},
          {"table", "0x10000200"},
          {"end_of_table", false},
          {"structures", {kType1, {{"type", 127}}, Type0("S3KT30")}}},
         ""},
        {"maximum size ends inside the string set",
         {{"entry3", "0x10000100"},
          {"table", "0x10000200"},
          {"max_size", 30},
          {"structures", {Type0("S3KT30")}}},
         ""},
        {"maximum size ends right after it",
         {{"entry3", "0x10000100"},
          {"table", "0x10000200"},
          {"max_size", 24 + 8 + 7 + 11 + 1},
          {"structures", {Type0("S3KT30")}}},
         "S3KT30"},
        {"structure shorter than its header",
         {{"entry3", "0x10000100"},
          {"table", "0x10000200"},
          {"structures", {{{"formatted", "01 02 00 00"}}, Type0("S3KT30")}}},
         ""},
    };
    for (const Case& C : Cases) {
        const bool Is3 = C.Smbios.contains("entry3");
        json D = SmbiosMachine(C.Smbios,
                               {{{"guid", Is3 ? "smbios3" : "smbios"}, {"address", "0x10000100"}}});
        EXPECT_EQ(VersionFound(D), C.Version) << C.Name;
    }
}

TEST(SmbiosLookupTest, StringsOfAStructure) {
    ImageReader Memory(sim::BuildMemoryImage(SmbiosMachine(
        {{"entry3", "0x10000100"}, {"table", "0x10000200"}, {"structures", {Type0("S3KT30")}}},
        {{{"guid", "smbios3"}, {"address", "0x10000100"}}})));
    SmbiosTable Table;
    ASSERT_TRUE(FindSmbiosTable(&Memory.Reader, &Memory.Config, &Table));
    uint64_t Address = 0;
    uint32_t Length = 0;
    ASSERT_TRUE(FindSmbiosStructure(&Memory.Reader, &Table, 0, &Address, &Length));
    EXPECT_EQ(Address, 0x10000200u);
    EXPECT_EQ(Length, 24u + 8 + 7 + 11 + 1);
    struct Case {
        uint8_t Number;
        uint32_t Length;
        size_t Size;
        const char* Text; // nullptr: no such string
    };
    const Case Cases[] = {
        {1, Length, 64, "Corvane"},     {2, Length, 64, "S3KT30"}, {3, Length, 64, "10/01/2026"},
        {4, Length, 64, nullptr},       {0, Length, 64, nullptr},  {2, Length, 4, "S3K"},
        {3, 24 + 8 + 7 + 3, 64, "10/"}, // the structure's length cuts the string
        {3, 24 + 8 + 7, 64, nullptr},
    };
    for (const Case& C : Cases) {
        char Text[64];
        memset(Text, 'x', sizeof Text);
        const bool Found =
            GetSmbiosString(&Memory.Reader, Address, C.Length, C.Number, Text, C.Size);
        EXPECT_EQ(Found, C.Text != nullptr) << (int)C.Number;
        if (C.Text != nullptr && Found) {
            EXPECT_STREQ(Text, C.Text) << (int)C.Number;
        }
    }
}

} // namespace
