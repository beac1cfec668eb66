// The two questions and the typed values, fed through streams as standard input would be.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "Applications/Tagwell/Tagwell.h"

namespace {

struct Console {
    FILE* pIn = nullptr;
    FILE* pOut = nullptr;
    char* pOutText = nullptr;
    size_t OutSize = 0;
    std::string Input;

    explicit Console(const std::string& Text) : Input(Text) {
        // fmemopen refuses an empty buffer: an empty input is a stream already at its end.
        pIn = Input.empty() ? fopen("/dev/null", "rb") : fmemopen(Input.data(), Input.size(), "rb");
        pOut = open_memstream(&pOutText, &OutSize);
    }
    ~Console() {
        fclose(pIn);
        fclose(pOut);
        free(pOutText);
    }
    std::string Output() {
        fflush(pOut);
        return std::string(pOutText, OutSize);
    }
    std::string Rest() {
        std::string Text;
        for (int C = fgetc(pIn); C != EOF; C = fgetc(pIn)) {
            Text += (char)C;
        }
        return Text;
    }
};

struct ConfirmCase {
    const char* Name;
    std::string Input;
    bool Yes;
    std::string Echo;
    std::string Rest; // input left for the next read
};

const ConfirmCase kConfirmCases[] = {
    {"OtherKeysBeforeTheLetterAreIgnored", "x7\b\nY\nrest", true, "Y\b\n", "rest"},
    {"LaterLetterReplacesTheFirst", "yN\n", false, "y\bN\b\n", ""},
    {"BackspaceBlanksTheLetterButKeepsTheAnswer", "Y\b\n", true, "Y\b \b\n", ""},
    {"OtherKeysAfterTheLetterAreIgnored", "n1 q\n", false, "n\b\n", ""},
    {"EndOfInputBeforeAnyLetterIsNo", "abc", false, "\n", ""},
    {"EndOfInputAfterYesWithoutEnterIsNo", "y", false, "y\b\n", ""},
    {"EmptyInputIsNo", "", false, "\n", ""},
};

TEST(TagwellQuestions, YesNoAnswerIsTheLastLetterBeforeEnter) {
    for (const ConfirmCase& Case : kConfirmCases) {
        Console Io(Case.Input);
        EXPECT_EQ(ReadYesNoConfirm(Io.pIn, Io.pOut), Case.Yes) << Case.Name;
        EXPECT_EQ(Io.Output(), Case.Echo) << Case.Name;
        EXPECT_EQ(Io.Rest(), Case.Rest) << Case.Name;
    }
}

struct ValueCase {
    const char* Name;
    std::string Input;
    uint8_t Maximum;
    bool Entered;
    std::string Value; // the buffer, quotes included
    std::string Echo;
};

const std::string k21 = "ABCDEFGHIJKLMNOPQRSTU";

const ValueCase kValueCases[] = {
    {"PlainValue", "AB 12\n", 20, true, "\"AB 12\"", "AB 12"},
    {"QuotesAndShellCharactersAreKept", "a\"^%#|\n", 20, true, "\"a\"^%#|\"", "a\"^%#|"},
    {"TwentyFirstCharacterRingsAndIsDropped", k21 + "VW\n", 20, true,
     "\"" + k21.substr(0, 20) + "\"", k21.substr(0, 20) + "\a\a\a"},
    {"TwentyFiveForTheMachineType", std::string(26, 'm') + "\n", 25, true,
     "\"" + std::string(25, 'm') + "\"", std::string(25, 'm') + "\a"},
    {"LimitAboveTheBufferIsCut", std::string(31, 'z') + "\n", 200, true,
     "\"" + std::string(29, 'z') + "\"", std::string(29, 'z') + "\a\a"},
    {"BackspaceErases", "abc\b\bX\n", 20, true, "\"aX\"", "abc\b \b\b \bX"},
    {"BackspaceAtTheStartDoesNothing", "\b\bq\n", 20, true, "\"q\"", "q"},
    {"NulAndTheNextByteRingOnce", std::string("a\0Hb\n", 5), 20, true, "\"ab\"", "a\ab"},
    {"ControlAndHighBytesRing",
     "a\tb\x1b\x80\xff"
     "c\n",
     20, true, "\"abc\"",
     "a\ab\a\a\a"
     "c"},
    {"DeleteCharacterIsStored", "a\x7f\n", 20, true, "\"a\x7f\"", "a\x7f"},
    {"EnterOnAnEmptyValueRingsAndWaits", "\n\nok\n", 20, true, "\"ok\"", "\a\aok"},
    {"HelpPrefixIsRefused", "-?-x?\n", 20, true, "\"--x?\"", "-\a-x?"},
    {"HelpPrefixAfterBackspaceIsRefused", "x\b-?a\n", 20, true, "\"-a\"", "x\b \b-\aa"},
    {"EndOfInputEndsTheValue", "abc", 20, true, "\"abc\"", "abc"},
    {"EndOfInputAfterNulEndsTheValue", std::string("ab\0", 3), 20, true, "\"ab\"", "ab"},
    {"EndOfInputWithNothingTypedGivesNoValue", "\b", 20, false, "", ""},
    {"EmptyInputGivesNoValue", "", 20, false, "", ""},
};

TEST(TagwellQuestions, TypedValueWithEchoBackspaceBellAndLimit) {
    for (const ValueCase& Case : kValueCases) {
        Console Io(Case.Input);
        char Buffer[TAGWELL_VALUE_SIZE + 8];
        memset(Buffer, '@', sizeof Buffer);
        EXPECT_EQ(ReadSmbiosValue(Io.pIn, Io.pOut, Buffer, Case.Maximum), Case.Entered)
            << Case.Name;
        EXPECT_EQ(std::string(Buffer), Case.Value) << Case.Name;
        EXPECT_EQ(Io.Output(), Case.Echo) << Case.Name;
        for (size_t Index = TAGWELL_VALUE_SIZE; Index < sizeof Buffer; Index++) {
            ASSERT_EQ(Buffer[Index], '@') << Case.Name << ": written past the buffer";
        }
    }
}

} // namespace
