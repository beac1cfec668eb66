// The host side of the double: the machine file's "firmware" section and the SMI log event.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <nlohmann/json.hpp>

#include "Double/SettingsImage.h"
#include "Simulator/FirmwareDouble.h"
#include "Simulator/Machine.h"

using nlohmann::json;

namespace {

std::string Hex32(uint32_t Value) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%08X", Value);
    return Text;
}

std::string HashHex(const std::string& Text) {
    uint8_t Hash[DOUBLE_HASH_SIZE];
    EXPECT_TRUE(sim::HashPasswordText(Text, Hash));
    return sim::HexBytes(Hash, sizeof Hash);
}

TEST(FirmwareState, SavedSectionReadsBackTheSame) {
    const json Section = {
        {"mfg_done", true},
        {"admin_password_hash", "0102030405060708090A0B0C"},
        {"retry_count", 2},
        {"retry_limit", 5},
        {"comm_buffer",
         {{"max_size", "0x1000"},
          {"grant", true},
          {"address", "0x7FE00000"},
          {"size", "0x10000"},
          {"locked", true}}},
        {"settings", {{"0x11", 0}, {"0x01", "0x1F"}, {"0xA9", {{"value", 3}, {"default", 5}}}}},
        {"tpm_mode", "dtpm1.2"},
        {"pap_mode", "normal"},
        {"computrace_hidden", true},
        {"computrace_message", false},
        {"computrace_disabled", true},
        {"me_gpio", {{"present", false}, {"value", 1}}},
        {"boot_agent_variable", false},
        {"workstation", true},
        {"image", {{"padding", "0x100"}, {"seed", 7}}},
        {"inject",
         {{{"eax", "0x534D3220"}, {"status", "0x80000000"}, {"times", 1}},
          {{"eax", "0x534D0140"}, {"ebx", "0x1"}, {"no_answer", true}},
          {{"ecx", "0xC0000001"}, {"status", "0x00000000"}, {"times", 0}}}}};
    DoubleState State;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(Section, State, Error)) << Error;
    const json Saved = sim::FirmwareStateToJson(State);
    EXPECT_EQ(Saved["settings"]["0x11"], 0);
    EXPECT_EQ(Saved["settings"]["0x01"], 0x1F);
    EXPECT_EQ(Saved["settings"]["0xA9"], json({{"value", 3}, {"default", 5}}));
    EXPECT_EQ(Saved["settings"]["0x05"], 2); // not named: the catalogue's default
    EXPECT_EQ(Saved["settings"].size(), (size_t)State.SettingCount);
    EXPECT_EQ(Saved["tpm_mode"], "dtpm1.2");
    EXPECT_EQ(Saved["tpm_code"], 2);
    EXPECT_EQ(Saved["comm_buffer"]["descriptor"], "0x7FDFFFF0");
    EXPECT_EQ(Saved["comm_buffer"]["locked"], true);
    for (const char* pKey :
         {"mfg_done", "admin_password_hash", "retry_count", "retry_limit", "pap_mode",
          "computrace_hidden", "computrace_message", "computrace_disabled", "me_gpio",
          "boot_agent_variable", "workstation", "inject"}) {
        EXPECT_EQ(Saved[pKey], Section[pKey]) << pKey;
    }
    DoubleState Again;
    ASSERT_TRUE(sim::FirmwareStateFromJson(Saved, Again, Error)) << Error;
    EXPECT_EQ(sim::FirmwareStateToJson(Again), Saved);
    EXPECT_EQ(std::memcmp(&Again, &State, sizeof State), 0);
}

// The list form of the first machines still reads, as the same state as the object form.
TEST(FirmwareState, ListFormOfSettingsStillReads) {
    DoubleState FromList, FromObject;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(
        {{"settings",
          {{{"function", "0x534D0040"}, {"item", "0x11"}, {"value", "0x0"}, {"default", "0x1"}},
           {{"function", "0x534D0040"}, {"item", "0xAE"}, {"value", "0x3"}, {"default", "0x1"}}}}},
        FromList, Error))
        << Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(
        {{"settings", {{"0x11", 0}, {"174", {{"value", 3}, {"default", 1}}}}}}, FromObject, Error))
        << Error;
    EXPECT_EQ(std::memcmp(&FromList, &FromObject, sizeof FromList), 0);
}

TEST(FirmwareState, MissingSectionIsANewMachine) {
    DoubleState State, Default, New;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(json(), State, Error));
    const json Saved = sim::FirmwareStateToJson(State);
    EXPECT_EQ(Saved["retry_limit"], 3);
    EXPECT_EQ(Saved["admin_password_hash"], nullptr);
    EXPECT_EQ(Saved["mfg_done"], false);
    EXPECT_EQ(Saved["tpm_mode"], "ftpm2.0");
    EXPECT_EQ(Saved["workstation"], false);
    // The built-in machine carries a new machine's firmware.
    ASSERT_TRUE(
        sim::FirmwareStateFromJson(sim::DefaultMachineDescription()["firmware"], Default, Error))
        << Error;
    DoubleInitState(&New);
    EXPECT_EQ(std::memcmp(&Default, &New, sizeof New), 0);
    EXPECT_EQ(std::memcmp(&State, &New, sizeof New), 0);
}

// Plain-text passwords are turned into the hash ComputeHash gives and saved only as the hash,
// so that a later password change is not undone by the next run.
TEST(FirmwareState, PlainTextPasswordsBecomeHashes) {
    DoubleState State;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(
        {{"admin_password", "abc"}, {"admin_password_hash", nullptr}, {"power_on_password", ""}},
        State, Error))
        << Error;
    const json Saved = sim::FirmwareStateToJson(State);
    EXPECT_EQ(Saved["admin_password_hash"], "7C7873FAC63A9BE8166E39DD");
    EXPECT_EQ(Saved["power_on_password_hash"], HashHex(""));
    EXPECT_FALSE(Saved.contains("admin_password"));
    EXPECT_FALSE(Saved.contains("power_on_password"));
}

TEST(FirmwareState, BadSectionsAreRefusedWithTheReason) {
    const struct {
        json Section;
        const char* pReason;
    } Cases[] = {
        {json::array(), "the section must be an object"},
        {{{"admin_pasword", "abc"}}, "unknown key \"admin_pasword\""},
        {{{"mfg_done", 1}}, "mfg_done must be true or false"},
        {{{"admin_password_hash", "0102"}}, "admin_password_hash must be null or 24 hex digits"},
        {{{"admin_password_hash", "0102030405060708090A0B0G"}}, "24 hex digits"},
        {{{"power_on_password_hash", "000000000000000000000000"}}, "is all zero"},
        {{{"admin_password", "abc"}, {"admin_password_hash", "0102030405060708090A0B0C"}},
         "not both"},
        {{{"admin_password", std::string(65, 'a')}}, "at most 64 characters"},
        {{{"admin_password", 12}}, "at most 64 characters"},
        {{{"retry_limit", -1}}, "retry_limit must be a number"},
        {{{"retry_count", "0x100000000"}}, "retry_count must be a number"},
        {{{"retry_count", "3x"}}, "retry_count must be a number"},
        {{{"comm_buffer", {{"base", 1}}}}, "comm_buffer: unknown key \"base\""},
        {{{"comm_buffer", {{"grant", true}, {"address", "0x1000"}}}},
         "needs a nonzero address, size and descriptor"},
        {{{"comm_buffer", {{"grant", true}, {"address", "0xFFFFF000"}, {"size", "0x2000"}}}},
         "below 4 GiB"},
        {{{"comm_buffer",
           {{"grant", true}, {"address", "0x1000"}, {"size", "0x100"}, {"descriptor", "0x10F8"}}}},
         "descriptor overlaps"},
        {{{"comm_buffer", {{"grant", "yes"}}}}, "comm_buffer.grant must be true or false"},
        {{{"settings", {{{"function", 1}, {"item", 2}, {"value", 3}}}}},
         "settings[0] needs \"default\""},
        {{{"settings", {{{"function", 1}, {"item", 0x11}, {"value", 0}, {"default", 0}}}}},
         "items of function 0x534D0040 only"},
        {{{"settings",
           {{{"function", DOUBLE_FUNCTION_SETUP}, {"item", 0x11}, {"value", 1}, {"default", 1}},
            {{"function", DOUBLE_FUNCTION_SETUP}, {"item", 0x11}, {"value", 0}, {"default", 0}}}}},
         "settings[1] repeats"},
        {{{"settings", {{"0x07", 1}}}}, "unknown setup item 0x07"},
        {{{"settings", {{"0x04", 1}}}}, "unknown setup item 0x04"},
        {{{"settings", {{"csm", 1}}}}, "settings.csm (the item) must be a number"},
        {{{"settings", {{"0x11", 2}}}}, "0x2 is not a value of item 0x11"},
        {{{"settings", {{"0x01", "0x20"}}}}, "0x20 is not a value of item 0x01"},
        {{{"settings", {{"0xA9", "0x400"}}}}, "0x400 is not a value of item 0xA9"},
        {{{"settings", {{"0xA9", {{"value", 1}, {"dflt", 1}}}}}}, "unknown key \"dflt\""},
        {{{"settings", {{"0x11", 1}, {"17", 0}}}}, "again"},
        {{{"settings", "all"}}, "settings must be an object"},
        {{{"tpm_mode", "ftpm"}}, "tpm_mode must be"},
        {{{"tpm_code", 5}}, "tpm_code must be 0, 1, 2, 4, 6, 7 or 8"},
        {{{"pap_mode", "Normal"}}, "pap_mode must be"},
        {{{"workstation", 1}}, "workstation must be true or false"},
        {{{"computrace_hidden", "no"}}, "computrace_hidden must be true or false"},
        {{{"me_gpio", {{"value", 2}}}}, "me_gpio.value must be 0 or 1"},
        {{{"me_gpio", {{"level", 1}}}}, "me_gpio: unknown key \"level\""},
        {{{"image", {{"size", "0x10000"}, {"padding", 1}}}}, "not both"},
        {{{"image", {{"size", 100}}}}, "image.size must be at least 360 bytes"},
        {{{"image", {{"padding", "0xFFFFFF00"}}}}, "image.padding is too large"},
        {{{"inject", {{{"eax", "0x534D3220"}}}}}, "inject[0] needs one of"},
        {{{"inject", {{{"eax", 1}, {"status", 1}, {"no_answer", true}}}}},
         "inject[0] needs one of"},
        {{{"inject", {{{"eax", 1}, {"status", 1}, {"count", 2}}}}}, "unknown key \"count\""},
        {{{"inject", "none"}}, "inject must be a list"},
    };
    for (const auto& C : Cases) {
        DoubleState State;
        std::string Error;
        EXPECT_FALSE(sim::FirmwareStateFromJson(C.Section, State, Error)) << C.Section.dump();
        EXPECT_NE(Error.find(C.pReason), std::string::npos)
            << C.Section.dump() << " gave: " << Error;
        EXPECT_EQ(Error.rfind("machine description: firmware: ", 0), 0u) << Error;
    }
    json TooMany = json::array();
    for (int I = 0; I <= DOUBLE_MAX_INJECTIONS; I++) {
        TooMany.push_back({{"no_answer", true}});
    }
    DoubleState State;
    std::string Error;
    EXPECT_FALSE(sim::FirmwareStateFromJson({{"inject", TooMany}}, State, Error));
    EXPECT_NE(Error.find("at most 16 entries"), std::string::npos) << Error;
}

TEST(FirmwareState, SmiPortComesFromTheFadt) {
    EXPECT_EQ(sim::MachineSmiPort(sim::DefaultMachineDescription()), 0xB2);
    EXPECT_EQ(sim::MachineSmiPort(json::object()), sim::kDefaultSmiPort);
    const json Machine = {{"acpi",
                           {{"tables",
                             {{{"signature", "APIC"}, {"smi_cmd", "0x99"}},
                              {{"signature", "FACP"}, {"smi_cmd", "0x12B2"}, {"listed_only", true}},
                              {{"smi_cmd", "0x1234"}}}}}}};
    EXPECT_EQ(sim::MachineSmiPort(Machine), 0x1234);
}

class PortSmi : public ::testing::Test {
  protected:
    void SetUp() override {
        pLow = static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
        ASSERT_NE(pLow, MAP_FAILED);
        DoubleInitState(&State);
    }
    void TearDown() override { munmap(pLow, 4096); }

    // TriggerPortSmi's words: unused, EAX, EBX, ECX, EDX, EDI, ESI.
    json Run(uint32_t Eax, uint32_t Ebx, uint32_t Edx, uint32_t Esi, uint32_t Edi) {
        const uint32_t Input[7] = {0, Eax, Ebx, 0x77, Edx, Edi, Esi};
        return sim::RunPortSmi(State, 0xB2, Input, Output);
    }
    json Run(uint32_t Eax, uint32_t Ebx, uint32_t Ecx, uint32_t Edx, uint32_t Esi, uint32_t Edi) {
        const uint32_t Input[7] = {0, Eax, Ebx, Ecx, Edx, Edi, Esi};
        return sim::RunPortSmi(State, 0xB2, Input, Output);
    }
    uint32_t Address(size_t Offset) const { return (uint32_t)(uintptr_t)(pLow + Offset); }

    uint8_t* pLow = nullptr;
    DoubleState State;
    uint32_t Output[6] = {};
};

TEST_F(PortSmi, OtherPortLeavesRegistersAlone) {
    State.MfgDone = 1;
    const json Event = Run(0x534D3220, 0, 0xB3, 0x11, 0x22);
    const uint32_t Want[6] = {0x534D3220, 0, 0x77, 0xB3, 0x22, 0x11};
    EXPECT_EQ(std::memcmp(Output, Want, sizeof Want), 0);
    EXPECT_EQ(Event["answered"], false);
    EXPECT_EQ(Event["port"], "0x00B3");
    EXPECT_EQ(Event["request"], "IsMfgDoneSet");
}

TEST_F(PortSmi, EventRecordsRegistersAndBuffers) {
    std::memset(pLow, 0, DOUBLE_PASSWORD_BUFFER_SIZE);
    std::memcpy(pLow, "abc", 3);
    const json Event = Run(0x534D0140, 1, 0x000000B2, Address(0), 0);
    EXPECT_EQ(Event["request"], "ComputeHash");
    EXPECT_EQ(Event["value"], "0x40");
    EXPECT_EQ(Event["esi"], Hex32(Address(0)));
    EXPECT_EQ(Event["edx"], "0x000000B2");
    EXPECT_EQ(Event["input"], "616263" + std::string(2 * 62, '0'));
    EXPECT_EQ(Event["output"], "7C7873FAC63A9BE8166E39DD");
    EXPECT_EQ(Event["out_eax"], "0x00000000");
    EXPECT_EQ(Event["answered"], true);
    EXPECT_FALSE(Event.contains("hash"));
    // ESI travels in the last input word and comes back in the last output word.
    EXPECT_EQ(Output[5], Address(0));

    std::memcpy(pLow + 100, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C", 12);
    const json Defaults = Run(0x534D0040, 9, 0xB2, 0, Address(100));
    EXPECT_EQ(Defaults["request"], "LoadDefaults");
    EXPECT_EQ(Defaults["hash"], "0102030405060708090A0B0C");
    EXPECT_EQ(Defaults["edi"], Hex32(Address(100)));
    EXPECT_FALSE(Defaults.contains("output"));

    // A null buffer is not read for the log; the handler refuses it.
    const json Null = Run(0x534D0140, 1, 0xB2, 0, 0);
    EXPECT_FALSE(Null.contains("input"));
    EXPECT_FALSE(Null.contains("output"));
    EXPECT_EQ(Null["out_eax"], "0x00000004");

    for (const char* pKey :
         {"event", "port", "value", "request", "eax", "ebx", "ecx", "edx", "esi", "edi", "out_eax",
          "out_ebx", "out_ecx", "out_edx", "out_esi", "out_edi", "answered"}) {
        EXPECT_TRUE(Null.contains(pKey)) << pKey;
    }
}

// The image requests log their buffers by length and SHA-256 (and in full while short), so a
// test can compare what the double received with what it handed out.
TEST_F(PortSmi, ImageRequestsLogLengthAndDigest) {
    std::memset(pLow, 0, 4096);
    const json Size = Run(0x534D0040, 0x0A, 16, 0xB2, Address(0), Address(4000));
    EXPECT_EQ(Size["request"], "BackupSize");
    const uint32_t Length = std::stoul(Size["out_ecx"].get<std::string>(), nullptr, 16);
    EXPECT_EQ(Length, DoubleImageSize(&State));
    EXPECT_FALSE(Size.contains("output"));

    const json Data = Run(0x534D0040, 0x0A, Length, 0xB2, Address(0), Address(4000));
    EXPECT_EQ(Data["request"], "BackupData");
    EXPECT_EQ(Data["output_length"], Length);
    EXPECT_EQ(Data["output"], sim::HexBytes(pLow, Length));
    EXPECT_EQ(Data["output_sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(Data["in_comm_buffer"], false);

    const json Restore = Run(0x534D0040, 0x0B, Length, 0xB2, Address(0), Address(4000));
    EXPECT_EQ(Restore["out_eax"], "0x00000000");
    EXPECT_EQ(Restore["input_sha256"], Data["output_sha256"]);
    EXPECT_EQ(Restore["input_length"], Length);
    EXPECT_FALSE(Restore.contains("detail"));

    pLow[0] = 'X';
    const json Refused = Run(0x534D0040, 0x0B, Length, 0xB2, Address(0), Address(4000));
    EXPECT_EQ(Refused["out_eax"], "0x00000004");
    EXPECT_EQ(Refused["detail"], "bad magic");
    EXPECT_NE(Refused["input_sha256"], Data["output_sha256"]);

    // Long buffers are logged by length and digest only.
    State.ImageSize = 0x2000;
    uint8_t* pBig = static_cast<uint8_t*>(mmap(nullptr, 0x3000, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    ASSERT_NE(pBig, MAP_FAILED);
    const json Big = Run(0x534D0040, 0x0A, 0x2000, 0xB2, (uint32_t)(uintptr_t)pBig, Address(4000));
    EXPECT_EQ(Big["out_eax"], "0x00000000");
    EXPECT_EQ(Big["output_length"], 0x2000);
    EXPECT_FALSE(Big.contains("output"));
    munmap(pBig, 0x3000);
}

TEST_F(PortSmi, EventTellsWhetherBuffersLayInTheCommBuffer) {
    State.CommBufferGrant = 1;
    State.CommBufferAddress = Address(1024);
    State.CommBufferSize = 1024;
    State.CommDescriptorAddress = Address(1000);
    std::memset(pLow, 0, 4096);
    const struct {
        const char* pName;
        uint8_t Locked;
        uint32_t Ebx, Esi, Edi;
        json Want; // null: the key is absent
    } Cases[] = {
        {"inside, locked", 1, 9, 0, Address(1024 + 26), true},
        {"inside, not locked", 0, 9, 0, Address(1024 + 26), false},
        {"outside, locked", 1, 9, 0, Address(100), false},
        {"hash inside, input outside", 1, 3, Address(100), Address(1050), false},
        {"both inside", 1, 3, Address(1024 + 304), Address(1050), true},
        {"input runs past the end", 1, 3, Address(2048 - 62), Address(1050), false},
        {"no buffers", 1, 0, 0, 0, nullptr},
    };
    for (const auto& C : Cases) {
        State.CommBufferLocked = C.Locked;
        const json Event = Run(C.Ebx == 3 ? 0x534D0140 : 0x534D0040, C.Ebx, 0, 0xB2, C.Esi, C.Edi);
        if (C.Want.is_null()) {
            EXPECT_FALSE(Event.contains("in_comm_buffer")) << C.pName;
        } else {
            EXPECT_EQ(Event["in_comm_buffer"], C.Want) << C.pName;
        }
    }
}

TEST(SettingNames, ReadableValues) {
    const struct {
        uint32_t Item, Value;
        const char* pName;
        const char* pText;
    } Cases[] = {
        {0x11, 1, "csm", "enable"},         {0x11, 2, "csm", "invalid"},
        {0x01, 0x1A, "pbs", "sata10"},      {0x1D, 0x30, "mbs", "ufdd_group"},
        {0x02, 0x42, "ebs", "ukey2"},       {0x03, 0xA3, "abs", "Mezz2_PCIe_P1"},
        {0x01, 0xB9, "pbs", "PCIE_SLOT_9"}, {0xA9, 0x5, "satahotplug", "bits 0,2"},
        {0xA9, 0, "satahotplug", "none"},   {0x22, 3, "maxretrypwd", "unlimited"},
        {0x07, 0, "item", "invalid"},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(sim::SettingName(C.Item), C.pName);
        EXPECT_EQ(sim::SettingValueText(C.Item, C.Value), C.pText) << C.Item << " " << C.Value;
    }
}

} // namespace
