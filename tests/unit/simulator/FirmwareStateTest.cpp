// The host side of the double: the machine file's "firmware" section and the SMI log event.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <string>

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
        {"power_on_password_hash", nullptr},
        {"retry_count", 2},
        {"retry_limit", 5},
        {"comm_buffer", {{"max_size", "0x1000"}}},
        {"settings",
         {{{"function", "0x534D0040"}, {"item", "0x11"}, {"value", "0x0"}, {"default", "0x1"}}}},
        {"inject",
         {{{"eax", "0x534D3220"}, {"status", "0x80000000"}, {"times", 1}},
          {{"eax", "0x534D0140"}, {"ebx", "0x1"}, {"no_answer", true}},
          {{"ecx", "0xC0000001"}, {"status", "0x00000000"}, {"times", 0}}}}};
    DoubleState State;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(Section, State, Error)) << Error;
    EXPECT_EQ(sim::FirmwareStateToJson(State), Section);
}

TEST(FirmwareState, MissingSectionIsANewMachine) {
    DoubleState State;
    std::string Error;
    ASSERT_TRUE(sim::FirmwareStateFromJson(json(), State, Error));
    const json Saved = sim::FirmwareStateToJson(State);
    EXPECT_EQ(Saved["retry_limit"], 3);
    EXPECT_EQ(Saved["admin_password_hash"], nullptr);
    EXPECT_EQ(Saved["mfg_done"], false);
    // The built-in machine carries exactly this section.
    EXPECT_EQ(sim::DefaultMachineDescription()["firmware"], Saved);
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
        {{{"comm_buffer", {{"size", 1}}}}, "comm_buffer: unknown key \"size\""},
        {{{"settings", {{{"function", 1}, {"item", 2}, {"value", 3}}}}},
         "settings[0] needs \"default\""},
        {{{"settings",
           {{{"function", 1}, {"item", 2}, {"value", 3}, {"default", 3}},
            {{"function", 1}, {"item", 2}, {"value", 0}, {"default", 0}}}}},
         "settings[1] repeats"},
        {{{"inject", {{{"eax", "0x534D3220"}}}}}, "inject[0] needs either"},
        {{{"inject", {{{"eax", 1}, {"status", 1}, {"no_answer", true}}}}},
         "inject[0] needs either"},
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

} // namespace
