// The setting option table and the parsing of setting words into request data.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "Applications/Crestune/Crestune.h"
#include "Double/DoubleCore.h"

namespace {

// Every value word of every setting row reaches the firmware as a value the firmware takes for
// that item (the firmware double's catalogue, written from the request table, is the judge), and
// each row is found by its word in any case. Rows without value words, rows that ask the
// firmware while parsing (the TPM switch) and rows of other request functions are left to the
// scenarios.
TEST(SettingTableTest, EveryValueWordMakesAValueTheFirmwareTakes) {
    ResetRunState();
    ASSERT_EQ(GetSettingOptionCount(), (uint32_t)SETTING_OPTION_ROWS);
    EXPECT_STREQ(SettingOptionTable[SETTING_OPTION_ROWS].Name, "");
    uint32_t Checked = 0;
    for (uint32_t Row = 0; Row < SETTING_OPTION_ROWS; Row++) {
        const SettingOption Entry = SettingOptionTable[Row];
        if (Entry.Function != 0x534D0040 || Entry.Item == 4 || Entry.Values[0] == nullptr ||
            Entry.Values[0][0] == '\0') {
            continue; // no value words, another function, or the TPM switch
        }
        const DoubleSettingDef* pDef = DoubleFindSettingDef(Entry.Item);
        if (pDef == nullptr) {
            continue; // an item with a handler of its own (PAP mode, retries): scenarios
        }
        for (int Slot = 0; Slot < SETTING_VALUE_SLOTS; Slot++) {
            if (Entry.Values[Slot] == nullptr || Entry.Values[Slot][0] == '\0') {
                continue;
            }
            ResetRunState();
            std::string Word = Entry.Name;
            for (char& c : Word) {
                c = (char)toupper((unsigned char)c);
            }
            std::string Value = Entry.Values[Slot];
            char* Argv[] = {const_cast<char*>("Crestune.efi"), Word.data(), Value.data()};
            SCOPED_TRACE(Word + " " + Value);
            EXPECT_EQ(FindSecondaryArguments(3, Argv), 1u);
            EXPECT_EQ(SettingSelection[Row].Selected, 1);
            EXPECT_TRUE(DoubleSettingValueValid(pDef, SettingSelection[Row].Data))
                << "value " << SettingSelection[Row].Data;
            Checked++;
        }
    }
    EXPECT_GT(Checked, 100u);
    ResetRunState();
}

// The columns of a row agree with its handling: words where a word is parsed, none where the
// option stands alone, and every single slot's bit inside the mask of a group of its item, whose
// limit the group's own words and refusal text go with.
TEST(SettingTableTest, ColumnsFitTheHandling) {
    for (uint32_t Row = 0; Row < SETTING_OPTION_ROWS; Row++) {
        const SettingOption& Entry = SettingOptionTable[Row];
        SCOPED_TRACE(Entry.Name);
        int Words = 0;
        for (const char* pWord : Entry.Values) {
            Words += pWord != nullptr && pWord[0] != '\0';
        }
        const bool Mask =
            Entry.Handling == HANDLING_MASK_GROUP || Entry.Handling == HANDLING_SINGLE_SLOT;
        EXPECT_EQ(Mask, Entry.Mask != 0);
        EXPECT_EQ(Entry.Handling == HANDLING_MASK_GROUP, Entry.pMaskRefusal != nullptr);
        switch (Entry.Handling) {
        case HANDLING_VALUE_LIST:
        case HANDLING_TPM12_SWITCH:
        case HANDLING_TPM20_SWITCH:
            EXPECT_GT(Words, 0);
            break;
        case HANDLING_MASK_GROUP:
            EXPECT_EQ(Words, 2);
            break;
        default:
            EXPECT_EQ(Words, 0);
        }
        if (Entry.Handling != HANDLING_SINGLE_SLOT) {
            continue;
        }
        EXPECT_EQ(Entry.Mask & (Entry.Mask - 1), 0u) << "one bit";
        bool InGroup = false;
        for (const SettingOption& Group : SettingOptionTable) {
            InGroup |= Group.Handling == HANDLING_MASK_GROUP && Group.Item == Entry.Item &&
                       (Group.Mask & Entry.Mask) != 0;
        }
        EXPECT_TRUE(InGroup);
    }
}

struct HexCase {
    const char* Text;
    uint32_t Value;
};

const HexCase kHexCases[] = {
    {"3f", 0x3F},
    {"3FF", 0x3FF},
    {"000000003ff", 0x3FF},
    {"0", 0},
    {"fffffffe", 0xFFFFFFFE},
    {"ffffffff", 0xFFFFFFFF},
    {"100000000", 0xFFFFFFFF},
    {"0x3ff", 0xFFFFFFFF},
    {"-1", 0xFFFFFFFF},
    {" 1", 0xFFFFFFFF},
    {"", 0xFFFFFFFF},
    {"12g", 0xFFFFFFFF},
};

TEST(ExtStrToULTest, HexadecimalDigitsOnly) {
    ResetRunState();
    for (const HexCase& C : kHexCases) {
        EXPECT_EQ(ExtStrToUL(C.Text, 16), C.Value) << C.Text;
    }
    EXPECT_EQ(ExtStrToUL(nullptr, 16), 0xFFFFFFFFu);
    errno = 0;
    ExtStrToUL("123456789", 16);
    EXPECT_EQ(errno, ERANGE);
}

struct ParseCase {
    std::vector<std::string> Args;
    uint32_t Accepted;
    std::vector<std::pair<std::string, uint32_t>> Selected; // row name, Data
};

const ParseCase kParseCases[] = {
    {{"/PBS", "SATA1"}, 1, {{"/pbs", 0x11}}},
    {{"/mbs", "vmd3"}, 1, {{"/mbs", 0xD3}}},
    {{"/abs", "mezz2_pcie_p2"}, 1, {{"/abs", 0xA4}}},
    {{"/getcpt", "/getcpt"}, 2, {{"/getcpt", 0}}},
    {{"/satahotplug", "enable"}, 1, {{"/satahotplug", 0x3FF}}},
    {{"/satahotplug", "DISABLE"}, 1, {{"/satahotplug", 0}}},
    {{"/satahotplug", "3f"}, 1, {{"/satahotplug", 0x3F}}},
    {{"/pcieslot", "vmd"}, 1, {{"/pcieslot", 0xFFF}}},
    {{"/m2slot", "3000"}, 1, {{"/m2slot", 0x3000}}},
    {{"/m2slot", "0"}, 1, {{"/m2slot", 0}}},
    {{"/sata3hotplug"}, 1, {{"/sata3hotplug", 4}}},
    {{"/sata3hotplug", "enable"}, 1, {{"/sata3hotplug", 4}}},
    {{"/ftpm", "enable"}, 1, {{"/ftpm", 6}}},
    {{"/tbt", "slot10"}, 1, {{"/tbt", 9}}},
    {{"/maxretrypwd", "unlimited"}, 1, {{"/maxretrypwd", 3}}},
    {{"/misc0", "7"}, 1, {{"/misc0", 7}}},
    {{"/above4GB", "Enable"}, 1, {{"/above4gb", 1}}},
    {{"/csm", "disable", "/pbs", "sata1", "/foo", "/f9"}, 2, {{"/pbs", 0x11}, {"/csm", 0}}},
    {{"/me", "status"}, 1, {{"/me", 2}}},
};

TEST(FindSecondaryArgumentsTest, SelectsRowsAndSetsData) {
    for (const ParseCase& C : kParseCases) {
        ResetRunState();
        std::vector<std::string> Words = {"Crestune.efi"};
        Words.insert(Words.end(), C.Args.begin(), C.Args.end());
        std::vector<char*> Argv;
        for (std::string& Word : Words) {
            Argv.push_back(Word.data());
        }
        std::ostringstream Trace;
        for (const std::string& Word : C.Args) {
            Trace << Word << ' ';
        }
        SCOPED_TRACE(Trace.str());
        EXPECT_EQ(FindSecondaryArguments((int)Argv.size(), Argv.data()), C.Accepted);
        std::vector<std::pair<std::string, uint32_t>> Selected;
        for (uint32_t Row = 0; Row < GetSettingOptionCount(); Row++) {
            if (SettingSelection[Row].Selected) {
                Selected.emplace_back(SettingOptionTable[Row].Name, SettingSelection[Row].Data);
            }
        }
        EXPECT_EQ(Selected, C.Selected);
    }
    ResetRunState();
}

} // namespace
