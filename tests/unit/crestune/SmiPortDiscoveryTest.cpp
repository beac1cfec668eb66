// Port discovery walks the ACPI tables of memory images built from machine descriptions.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Applications/Crestune/Crestune.h"
#include "tests/unit/MemoryImageReader.h"

using nlohmann::json;

namespace {

struct PortCase {
    const char* Name;
    const char* Description; // JSON merged over a legacy area holding the tables
    int Port;                // -1: discovery fails
    const char* Output;
};

std::string Tables(const std::string& Acpi) {
    // The legacy area and one page above it, so that a 20-byte RSDP at 0xFFFF0 fits.
    return R"({"memory": [{"base": "0xE0000", "size": "0x21000"}], "acpi": )" + Acpi + "}";
}

const PortCase kCases[] = {
    {"FadtThroughRsdt", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6100", "signature": "APIC"},
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB2"}]})",
     0xB2, ""},
    {"RsdpAtLastParagraph", R"({"rsdp": "0xFFFF0", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x52"}]})",
     0x52, ""},
    {"RsdpAtFirstParagraph", R"({"rsdp": "0xE0000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x53"}]})",
     0x53, ""},
    {"UnalignedRsdpIsNotFound", R"({"rsdp": "0xF6008", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP"}]})",
     -1, "Can't find RSDP structure anchor string.\n"},
    {"BadChecksumAndRevision2StillUsed", R"({"rsdp": "0xF6000", "rsdt": "0xF6040",
        "rsdp_revision": 2, "rsdp_checksum": "bad", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB3"}]})",
     0xB3, ""},
    {"RsdtOfHeaderLengthHasNoEntries", R"({"rsdp": "0xF6000", "rsdt": "0xF6040",
        "rsdt_length": 36, "tables": [{"address": "0xF6200", "signature": "FACP"}]})",
     -1, "Can't find FADT structure anchor string.\n"},
    {"RsdtShorterThanHeaderHasNoEntries", R"({"rsdp": "0xF6000", "rsdt": "0xF6040",
        "rsdt_length": 8, "tables": [{"address": "0xF6200", "signature": "FACP"}]})",
     -1, "Can't find FADT structure anchor string.\n"},
    {"NoFadtAmongEntries", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6100", "signature": "APIC"}, {"address": "0xF6200", "signature": "HPET"}]})",
     -1, "Can't find FADT structure anchor string.\n"},
    {"FirstOfTwoFadtsWins", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6100", "signature": "FACP", "smi_cmd": "0xB4"},
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB5"}]})",
     0xB4, ""},
    {"UpperBitsOfSmiCmdIgnored", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0x1234ABCD"}]})",
     0xABCD, ""},
    {"SmiCmdZeroNamesNoPort", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": 0}]})",
     -1, "The FADT names no SMI command port.\n"},
    {"EntryPointingOutsideMemory", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0x20000000", "listed_only": true},
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB6"}]})",
     0xB6, ""},
    {"RsdtListedBeyondMemory", R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "rsdt_length": 400,
        "tables": [{"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB7"}]})",
     0xB7, ""},
};

class SmiPortTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(SmiPortTest, FindsPortOrReportsWhy) {
    const PortCase& C = GetParam();
    ImageReader Memory(sim::BuildMemoryImage(json::parse(Tables(C.Description))));
    uint16_t Port = 0xFFFF;
    testing::internal::CaptureStdout();
    const bool Found = GetSmiPortNumber(&Memory.Reader, &Port);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), C.Output);
    EXPECT_EQ(Found, C.Port >= 0);
    if (C.Port >= 0) {
        EXPECT_EQ(Port, C.Port);
    } else {
        EXPECT_EQ(Port, 0xFFFF) << "the port is left alone on failure";
    }
}

INSTANTIATE_TEST_SUITE_P(Acpi, SmiPortTest, ::testing::ValuesIn(kCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(SmiPortTest, LowerOfTwoRsdpsWins) {
    json D = json::parse(Tables(R"({"rsdp": "0xF6000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB2"}]})"));
    // A second RSDP higher up points to an RSDT whose FADT names another port.
    D["bytes"] = json::array({
        {{"address", "0xF8000"}, {"ascii", "RSD PTR "}},
        {{"address", "0xF8010"}, {"hex", "00810F00"}},
        {{"address", "0xF8100"}, {"ascii", "RSDT"}},
        {{"address", "0xF8104"}, {"hex", "28000000"}},
        {{"address", "0xF8124"}, {"hex", "00820F00"}},
        {{"address", "0xF8200"}, {"ascii", "FACP"}},
        {{"address", "0xF8230"}, {"hex", "C1000000"}},
    });
    ImageReader Memory(sim::BuildMemoryImage(D));
    uint16_t Port = 0;
    ASSERT_TRUE(GetSmiPortNumber(&Memory.Reader, &Port));
    EXPECT_EQ(Port, 0xB2);

    // Without the lower one, the higher one is found: the test's second table is sound.
    D.erase("acpi");
    ImageReader OnlyHigh(sim::BuildMemoryImage(D));
    ASSERT_TRUE(GetSmiPortNumber(&OnlyHigh.Reader, &Port));
    EXPECT_EQ(Port, 0xC1);
}

TEST(SmiPortTest, NothingAboveTheLegacyAreaIsScanned) {
    json D = json::parse(R"({"memory": [{"base": "0xE0000", "size": "0x21000"}],
        "acpi": {"rsdp": "0x100000", "rsdt": "0xF6040", "tables": [
        {"address": "0xF6200", "signature": "FACP"}]}})");
    ImageReader Memory(sim::BuildMemoryImage(D));
    uint16_t Port = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(GetSmiPortNumber(&Memory.Reader, &Port));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't find RSDP structure anchor string.\n");
}

} // namespace
