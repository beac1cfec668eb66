// The option table and the parsers agree: every row's word is claimed by the pass its class
// names, compared as its match column says, followed by the value its value column says, and
// by no other pass; the stick column names the rows whose code does what the stick expects.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "Applications/Crestune/Crestune.h"

namespace {

std::string SwapCase(std::string Word) {
    for (char& c : Word) {
        c = (char)(std::isupper((unsigned char)c) ? std::tolower((unsigned char)c)
                                                  : std::toupper((unsigned char)c));
    }
    return Word;
}

// The words a pass claims of a command line with the word and, when the row takes one, a value.
uint32_t Claimed(uint8_t Class, const CrestuneOption& Option, std::string Word) {
    static const char* const kValues[] = {"", "f.dat", "pw", "1E", "1E", "1E", "enable"};
    std::string Value = kValues[Option.Value];
    std::vector<char*> Argv = {const_cast<char*>("Crestune.efi"), Word.data(), Value.data()};
    const int Argc = Option.Value == OPTION_VALUE_NONE ? 2 : 3;
    ResetRunState();
    if (Class == OPTION_CLASS_HELP) {
        return FindOption(Word.c_str(), OPTION_CLASS_HELP) != NULL ? 1 : 0;
    }
    return Class == OPTION_CLASS_PRIMARY ? FindPrimaryArguments(Argc, Argv.data())
                                         : FindExtendedArguments(Argc, Argv.data());
}

TEST(OptionTable, EveryWordIsClaimedByItsPassAsTheTableSays) {
    for (const CrestuneOption& Option : CrestuneOptionTable) {
        if (Option.Class == OPTION_CLASS_SETTING) {
            continue; // the setting catalogue's rows: below
        }
        const std::string Word = Option.pWord;
        // Forms that name the row, and forms that do not.
        const std::vector<std::string> Names =
            Option.Match == 0
                ? std::vector<std::string>{Word, SwapCase(Word)}
                : std::vector<std::string>{SwapCase(Word.substr(0, Option.Match)) + "zz"};
        const std::string Other = Option.Match == 0 ? Word + "x" : Word.substr(0, Option.Match - 1);
        for (uint8_t Class : {OPTION_CLASS_HELP, OPTION_CLASS_PRIMARY, OPTION_CLASS_EXTENDED}) {
            for (const std::string& Form : Names) {
                EXPECT_EQ(Claimed(Class, Option, Form), Class == Option.Class ? 1u : 0u)
                    << Form << " in pass " << (int)Class;
            }
            EXPECT_EQ(Claimed(Class, Option, Other), 0u) << Other << " in pass " << (int)Class;
        }
    }
}

TEST(OptionTable, StickColumnNamesWhatTheCodeDoes) {
    const struct {
        uint8_t Stick;
        uint8_t Action;
    } kTies[] = {{OPTION_STICK_RESETS, OPTION_ACTION_RESTORE},
                 {OPTION_STICK_NO_RESET, OPTION_ACTION_NO_REBOOT},
                 {OPTION_STICK_SILENCES, OPTION_ACTION_SILENT}};
    for (const CrestuneOption& Option : CrestuneOptionTable) {
        for (const auto& Tie : kTies) {
            EXPECT_EQ(Option.Stick == Tie.Stick, Option.Action == Tie.Action) << Option.pWord;
        }
        if (Option.Class == OPTION_CLASS_SETTING) {
            bool InCatalogue = false;
            for (uint32_t Row = 0; Row < GetSettingOptionCount(); Row++) {
                InCatalogue = InCatalogue || WordEquals(Option.pWord, SettingOptionTable[Row].Name);
            }
            EXPECT_TRUE(InCatalogue) << Option.pWord;
        }
    }
    // The settings that ask for a confirmation are the TPM switches.
    for (uint32_t Row = 0; Row < GetSettingOptionCount(); Row++) {
        const SettingOption& Setting = SettingOptionTable[Row];
        const CrestuneOption* pOption = FindOption(Setting.Name, OPTION_CLASS_SETTING);
        EXPECT_EQ(pOption != NULL && pOption->Stick == OPTION_STICK_ASKS,
                  Setting.Handling == HANDLING_TPM12_SWITCH ||
                      Setting.Handling == HANDLING_TPM20_SWITCH)
            << Setting.Name;
    }
}

} // namespace
