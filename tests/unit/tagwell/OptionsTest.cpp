// Option matching, duplicates, and the values the options carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Applications/Tagwell/Tagwell.h"

namespace {

struct MatchCase {
    const char* Argument;
    int Row; // -1: no option
};

const MatchCase kMatchCases[] = {
    {"/SN:ab12", OPTION_SN},
    {"/Quiet", OPTION_QUIET},
    {"/uuidx", OPTION_UUID},
    {"/rebootnow", OPTION_REBOOT},
    {"/csn:C7", OPTION_CSN},
    {"/CSN:", OPTION_CSN},
    {"/MtM:x", OPTION_MTM},
    {"/tag:", OPTION_TAG},
    {"/VERBOSE", OPTION_VERBOSE},
    {"/mtm", -1},
    {"-sn:1", -1},
    {"abc", -1},
    {"/sn", -1},
    {"/", -1},
    {"", -1},
    {" /sn:a", -1},
    {"/quie", -1},
    {"/ uuid", -1},
};

TEST(TagwellOptions, ArgumentMatchesFirstRowWhoseWordItStartsWith) {
    WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Table);
    for (const MatchCase& Case : kMatchCases) {
        EXPECT_EQ(FindOptionRow(Table, Case.Argument), Case.Row) << Case.Argument;
    }
}

// The option table and the code agree: each row is found from its first Match characters on,
// as the stick's run-list checks take it, and each field row has its vendor tool switches.
TEST(TagwellOptions, TableAndParserAgree) {
    WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Table);
    for (int Row = 0; Row < TAGWELL_OPTION_ROWS; Row++) {
        const TagwellOption& Option = kTagwellOptions[Row];
        const std::string Word = std::string(Option.pWord).substr(0, Option.Match);
        EXPECT_EQ(FindOptionRow(Table, (Word + "x").c_str()), Row) << Word;
        EXPECT_NE(FindOptionRow(Table, Word.substr(0, Word.size() - 1).c_str()), Row) << Word;
        EXPECT_EQ(Option.Stick == TAGWELL_STICK_RESETS, Row == OPTION_REBOOT) << Word;
    }
    for (int Row = 0; Row < TAGWELL_FIELD_COUNT; Row++) {
        for (const char* pSwitch : kTagwellFields[Row].pToolSwitch) {
            EXPECT_NE(pSwitch, nullptr) << kTagwellOptions[Row].pWord;
        }
        EXPECT_EQ(kTagwellFields[Row].pFixedValue[0] == nullptr,
                  kTagwellOptions[Row].Value == TAGWELL_VALUE_TEXT);
    }
}

struct MarkCase {
    std::vector<std::string> Arguments;
    bool Accepted;
};

const MarkCase kMarkCases[] = {
    {{"/sn:A1", "/SN:B2"}, false},
    {{"/uuid", "/uuidx"}, false},
    {{"/reboot", "/REBOOTNOW"}, false},
    {{"/sn:a", "/csn:a", "/mtm:a", "/tag:a", "/uuid", "/quiet", "/reboot", "/verbose"}, true},
    {{"/sn:a", "/mtm"}, false},
    {{"/quiet", "x"}, false},
};

TEST(TagwellOptions, EachOptionAtMostOnceAndEveryArgumentAnOption) {
    for (const MarkCase& Case : kMarkCases) {
        WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
        InitOptionTable(Table);
        std::vector<char*> Argv = {const_cast<char*>("Tagwell.efi")};
        for (const std::string& Argument : Case.Arguments) {
            Argv.push_back(const_cast<char*>(Argument.c_str()));
        }
        EXPECT_EQ(MarkOptions(Table, (int)Argv.size(), Argv.data()), Case.Accepted)
            << Case.Arguments[0] << " ...";
    }
}

struct ValueCase {
    std::string Value;
    bool Accepted;
};

const ValueCase kValueCases[] = {
    {"", false},
    {std::string(29, 'x'), true},
    {std::string(30, 'x'), false},
    {"-?", false},
    {"-?abc", false},
    {"a-?", true},
    {" -?", true},
    {"-x?", true},
    {"a\tb", false},
    {"a\nb", false},
    {"\"^%#|<>*?", true},
    {"x\x7f", false},
    {"caf\xE9", false},      // Latin-1 reaches the tool as another byte
    {"\xE2\x82\xAC", false}, // UTF-8 on the host
    {"a\x1A", false},        // a character above 0xFF, as the UEFI start-up code marks it
    {"~ !}", true},          // the ends of printable ASCII
    {"  spaced  ", true},
};

TEST(TagwellOptions, ValuesThatCannotReachTheToolUnchangedAreRefused) {
    for (const ValueCase& Case : kValueCases) {
        EXPECT_EQ(CheckValueText(Case.Value.c_str()) == nullptr, Case.Accepted)
            << "value '" << Case.Value << "'";
    }
}

TEST(TagwellOptions, ValuesAreStoredQuotedAsTypedWhateverTheArgumentOrder) {
    ResetUpdateRequest();
    WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Table);
    std::string Longest = "/TAG:" + std::string(29, 'T');
    char* Argv[] = {const_cast<char*>("Tagwell.efi"),   const_cast<char*>("/quiet"),
                    const_cast<char*>(Longest.c_str()), const_cast<char*>("/SN:Ab12"),
                    const_cast<char*>("/csn:a b\"c"),   const_cast<char*>("/mtm: x ")};
    ASSERT_TRUE(MarkOptions(Table, 6, Argv));
    ProcessArguments(6, Argv, Table);
    EXPECT_STREQ(Request.FieldValue[OPTION_SN], "\"Ab12\"");
    EXPECT_STREQ(Request.FieldValue[OPTION_CSN], "\"a b\"c\"");
    EXPECT_STREQ(Request.FieldValue[OPTION_MTM], "\" x \"");
    EXPECT_EQ(std::string(Request.FieldValue[OPTION_TAG]), "\"" + std::string(29, 'T') + "\"");
    const bool* pUpdate = Request.UpdateField;
    EXPECT_TRUE(Request.Update && pUpdate[OPTION_SN] && pUpdate[OPTION_CSN] &&
                pUpdate[OPTION_MTM] && pUpdate[OPTION_TAG] && Request.Quiet);
    EXPECT_FALSE(pUpdate[OPTION_UUID] || Request.Reboot || Request.Verbose || Request.AskUser);
}

} // namespace
