// The setting option table and the parsing of setting words into request data.
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "Applications/Crestune/Crestune.h"

namespace {

// The options as the user documentation lists them: word, EAX, EBX, default ECX, value words
// with their codes.
struct ExpectedRow {
    const char* Name;
    uint32_t Function;
    uint32_t Item;
    uint32_t Data;
    const char* Values; // "code=word;code=word"
};

const ExpectedRow kExpected[] = {
    {"/pbs", 0x534D0040, 0x01, 0x0, ""},
    {"/ebs", 0x534D0040, 0x02, 0x0, ""},
    {"/abs", 0x534D0040, 0x03, 0x0, ""},
    {"/dtpm", 0x534D0040, 0x04, 0x0, "0=disable;1=inactive;2=active"},
    {"/ftpm", 0x534D0040, 0x04, 0x0, "4=disable;6=enable"},
    {"/dtpm2", 0x534D0040, 0x04, 0x0, "7=disable;8=enable"},
    {"/vga", 0x534D0040, 0x05, 0x0, "0=32mb;1=64mb;2=128mb;3=256mb;4=512mb;5=1024mb"},
    {"/kbdless", 0x534D0040, 0x06, 0x0, "0=disable;1=enable"},
    {"/fdd", 0x534D0040, 0x08, 0x0, "0=disable;1=enable"},
    {"/cfgsata", 0x534D0040, 0x0C, 0x0, "0=ide;1=ahci;2=raid;3=optane"},
    {"/eop", 0x534D0040, 0x0D, 0x0, "0=clear;1=set"},
    {"/snstyle", 0x534D0040, 0x0E, 0x0, "0=legacy;1=mtsn;2=mtmsn;3=1s"},
    {"/mebx", 0x534D0040, 0x10, 0x0, "0=unreset;1=reset"},
    {"/csm", 0x534D0040, 0x11, 0x0, "0=disable;1=enable"},
    {"/secboot", 0x534D0040, 0x12, 0x0, "0=disable;1=enable"},
    {"/bflash", 0x534D0040, 0x13, 0x0, "0=disable;1=enable"},
    {"/osdef", 0x534D0040, 0x14, 0x0, "0=w8x64;1=others"},
    {"/pxe", 0x534D0040, 0x16, 0x0, "0=disable;1=enable;2=smc"},
    {"/clrtcg", 0x534D0040, 0x17, 0x0, "0=no;1=yes"},
    {"/clrphypresent", 0x534D0040, 0x18, 0x0, "0=enable;1=disable"},
    {"/ipv4", 0x534D0040, 0x19, 0x0, "0=enable;1=disable"},
    {"/ipv6", 0x534D0040, 0x1A, 0x0, "0=enable;1=disable"},
    {"/btmode", 0x534D0040, 0x1B, 0x0, "0=auto;1=uefi;2=legacy"},
    {"/btpri", 0x534D0040, 0x1C, 0x0, "0=uefi;1=legacy"},
    {"/mbs", 0x534D0040, 0x1D, 0x0, ""},
    {"/cptmode", 0x534D0040, 0x1E, 0x0, "0=enable;1=disable"},
    {"/ict", 0x534D0040, 0x1F, 0x0, "0=enable;1=disable"},
    {"/getpapmode", 0x534D0040, 0x20, 0x0, ""},
    {"/setpapmode", 0x534D0040, 0x21, 0x0, "0=custom;1=normal"},
    {"/maxretrypwd", 0x534D0040, 0x22, 0x0, "0=1;1=3;2=100;3=unlimited"},
    {"/chgpaptime", 0x534D0040, 0x23, 0x0, "0=reboot;1=runtime"},
    {"/tpmrand", 0x534D0040, 0x82, 0x0, "0=disable;1=enable"},
    {"/above4gb", 0x534D0040, 0xA2, 0x0, "0=disable;1=enable"},
    {"/cfgssata", 0x534D0040, 0xA3, 0x0, "0=ide;1=ahci;2=raid"},
    {"/ehcihandoff", 0x534D0040, 0xA4, 0x0, "0=disable;1=enable"},
    {"/powerloss", 0x534D0040, 0xA5, 0x0, "0=on;1=off;2=last"},
    {"/cardreader", 0x534D0040, 0xA6, 0x0, "0=disable;1=enable"},
    {"/strom", 0x534D0040, 0xA7, 0x0, "0=disable;1=uefi;2=legacy"},
    {"/satahotplug", 0x534D0040, 0xA9, 0x3FF, "0=disable;1=enable"},
    {"/sata1hotplug", 0x534D0040, 0xA9, 0x1, ""},
    {"/sata2hotplug", 0x534D0040, 0xA9, 0x2, ""},
    {"/sata3hotplug", 0x534D0040, 0xA9, 0x4, ""},
    {"/sata4hotplug", 0x534D0040, 0xA9, 0x8, ""},
    {"/sata5hotplug", 0x534D0040, 0xA9, 0x10, ""},
    {"/sata6hotplug", 0x534D0040, 0xA9, 0x20, ""},
    {"/sata7hotplug", 0x534D0040, 0xA9, 0x40, ""},
    {"/sata8hotplug", 0x534D0040, 0xA9, 0x80, ""},
    {"/sata9hotplug", 0x534D0040, 0xA9, 0x100, ""},
    {"/sata10hotplug", 0x534D0040, 0xA9, 0x200, ""},
    {"/winguard", 0x534D0040, 0xAA, 0x0, "0=disable;1=enable"},
    {"/tbt", 0x534D0040, 0xAB, 0x0,
     "0=slot1;1=slot2;2=slot3;3=slot4;4=slot5;5=slot6;6=slot7;7=slot8;8=slot9;9=slot10"},
    {"/xhci", 0x534D0040, 0xAC, 0x0, "0=sauto;1=auto;2=enable;3=disable;4=manual"},
    {"/mmioh", 0x534D0040, 0xAD, 0x0,
     "0=1t;1=4t;2=16t;3=24t;4=40t;5=56t;6=res1;7=res2;8=res3;9=res4"},
    {"/me", 0x534D0740, 0x03, 0x0, "0=disable;1=enable;2=status"},
    {"/pcieslot", 0x534D0040, 0xAE, 0xFFF, "0=pcie;1=vmd"},
    {"/pcieslot1", 0x534D0040, 0xAE, 0x1, ""},
    {"/pcieslot2", 0x534D0040, 0xAE, 0x2, ""},
    {"/pcieslot3", 0x534D0040, 0xAE, 0x4, ""},
    {"/pcieslot4", 0x534D0040, 0xAE, 0x8, ""},
    {"/pcieslot5", 0x534D0040, 0xAE, 0x10, ""},
    {"/pcieslot6", 0x534D0040, 0xAE, 0x20, ""},
    {"/pcieslot7", 0x534D0040, 0xAE, 0x40, ""},
    {"/pcieslot8", 0x534D0040, 0xAE, 0x80, ""},
    {"/pcieslot9", 0x534D0040, 0xAE, 0x100, ""},
    {"/pcieslot10", 0x534D0040, 0xAE, 0x200, ""},
    {"/pcieslot11", 0x534D0040, 0xAE, 0x400, ""},
    {"/pcieslot12", 0x534D0040, 0xAE, 0x800, ""},
    {"/m2slot", 0x534D0040, 0xAE, 0xF000, "0=pcie;1=vmd"},
    {"/m2slot1", 0x534D0040, 0xAE, 0x1000, ""},
    {"/m2slot2", 0x534D0040, 0xAE, 0x2000, ""},
    {"/m2slot3", 0x534D0040, 0xAE, 0x4000, ""},
    {"/m2slot4", 0x534D0040, 0xAE, 0x8000, ""},
    {"/misc0", 0x534D0040, 0xFD, 0x0, "0=0;1=1;2=2;3=3;4=4;5=5;6=6;7=7"},
    {"/misc1", 0x534D0040, 0xFE, 0x0, "0=0;1=1;2=2;3=3;4=4;5=5;6=6;7=7"},
    {"/misc2", 0x534D0040, 0xFF, 0x0, "0=0;1=1;2=2;3=3;4=4;5=5;6=6;7=7"},
    {"/discptmsg", 0x534D8D20, 0x00, 0x0, ""},
    {"/encptmsg", 0x534D8E20, 0x00, 0x0, ""},
    {"/perdiscpt", 0x534D9020, 0x00, 0x0, ""},
    {"/getcpt", 0x534DAB20, 0x00, 0x0, ""},
    {"/setcpt", 0x534DAB20, 0x01, 0x0, "0=visible;1=hidden"},
};

TEST(SettingTableTest, RowsMatchTheDocumentedOptions) {
    ResetRunState();
    ASSERT_EQ(GetSettingOptionCount(), std::size(kExpected));
    for (size_t Row = 0; Row < std::size(kExpected); Row++) {
        const SettingOption& Actual = SettingOptionTable[Row];
        const ExpectedRow& Want = kExpected[Row];
        SCOPED_TRACE(Want.Name);
        EXPECT_STREQ(Actual.Name, Want.Name);
        EXPECT_EQ(Actual.Function, Want.Function);
        EXPECT_EQ(Actual.Item, Want.Item);
        EXPECT_EQ(Actual.Data, Want.Data);
        EXPECT_EQ(Actual.Selected, 0);
        std::string Values;
        for (int Slot = 0; Slot < SETTING_VALUE_SLOTS; Slot++) {
            if (Actual.Values[Slot][0] != '\0') {
                Values +=
                    (Values.empty() ? "" : ";") + std::to_string(Slot) + "=" + Actual.Values[Slot];
            }
        }
        EXPECT_EQ(Values, Want.Values);
    }
    EXPECT_STREQ(SettingOptionTable[std::size(kExpected)].Name, "");
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
            if (SettingOptionTable[Row].Selected) {
                Selected.emplace_back(SettingOptionTable[Row].Name, SettingOptionTable[Row].Data);
            }
        }
        EXPECT_EQ(Selected, C.Selected);
    }
    ResetRunState();
}

} // namespace
