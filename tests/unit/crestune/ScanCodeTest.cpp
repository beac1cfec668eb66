// Scan-code passwords: pairs of hexadecimal digits, mapped through a keyboard layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Applications/Crestune/Crestune.h"

namespace {

struct ScanCase {
    const char* Scan;
    const ScanCodeMap* pMap;
    bool Converted;
    std::string Password; // the buffer's text afterwards
};

const ScanCase kCases[] = {
    {"1e", &ScanCodeMapUs, true, "A"},
    {"1E", &ScanCodeMapUs, true, "A"},
    {"1e", &ScanCodeMapFr, true, "Q"},
    {"1e", &ScanCodeMapGe, true, "A"},
    {"1f1e14", &ScanCodeMapUs, true, "SAT"},
    {"0203040506070809", &ScanCodeMapUs, true, "12345678"},
    {"0a0B", &ScanCodeMapGe, true, "90"},
    {"1011", &ScanCodeMapFr, true, "AZ"},
    {"152c", &ScanCodeMapGe, true, "ZY"},
    {"152c", &ScanCodeMapUs, true, "YZ"},
    {"27", &ScanCodeMapFr, true, "M"},
    {"27", &ScanCodeMapUs, false, "\x27"},
    {"27", &ScanCodeMapGe, false, "\x27"},
    {"32", &ScanCodeMapFr, false, "\x32"},
    {"1e27", &ScanCodeMapUs, false, "A\x27"}, // converted so far, then the raw code
    {"", &ScanCodeMapUs, true, ""},
    {"00", &ScanCodeMapUs, true, ""},      // 00 ends the password
    {"1e001f", &ScanCodeMapUs, true, "A"}, // codes after 00 are dropped
    {"1e0000", &ScanCodeMapUs, true, "A"},
    // Anything but two hexadecimal digits is refused, and nothing of it is kept.
    {"ZZ", &ScanCodeMapUs, false, ""},
    {"zz1e", &ScanCodeMapUs, false, ""},
    {"1EZZ1F", &ScanCodeMapUs, false, ""},
    {"1e00zz", &ScanCodeMapUs, false, ""}, // pairs after 00 must be well formed too
    {"1g", &ScanCodeMapUs, false, ""},
    {"g1", &ScanCodeMapUs, false, ""},
    {"-1", &ScanCodeMapUs, false, ""},
    {"+2", &ScanCodeMapUs, false, ""},
    {" 2", &ScanCodeMapUs, false, ""},
    {"2 ", &ScanCodeMapUs, false, ""},
    {"0x", &ScanCodeMapUs, false, ""},
    {"0x1E", &ScanCodeMapUs, false, ""},
    {"1e1", &ScanCodeMapUs, false, ""}, // a lone last digit
};

class ScanCodeTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanCodeTest, Converts) {
    const ScanCase& C = GetParam();
    ResetRunState();
    char Buffer[MAX_INPUT_PASS_LEN] = {};
    EXPECT_EQ(ConvertScanCodePassword(Buffer, C.Scan, C.pMap), C.Converted) << C.Scan;
    EXPECT_EQ(std::string(Buffer), C.Password) << C.Scan;
}

INSTANTIATE_TEST_SUITE_P(Maps, ScanCodeTest, ::testing::ValuesIn(kCases));

TEST(ScanCodeTest, LongestValueFillsTheBufferAndKeepsItsTerminator) {
    ResetRunState();
    std::string Scan;
    for (int Index = 0; Index < 64; Index++) {
        Scan += "1e";
    }
    char Buffer[MAX_INPUT_PASS_LEN + 1];
    memset(Buffer, 0, sizeof Buffer);
    Buffer[MAX_INPUT_PASS_LEN] = 'X'; // guard byte
    ASSERT_TRUE(ConvertScanCodePassword(Buffer, Scan.c_str(), &ScanCodeMapUs));
    EXPECT_EQ(std::string(Buffer), std::string(64, 'A'));
    EXPECT_EQ(Buffer[MAX_INPUT_PASS_LEN], 'X');
}

TEST(ScanCodeTest, ConversionIsTerminatedWhateverTheBufferHeld) {
    ResetRunState();
    char Buffer[MAX_INPUT_PASS_LEN];
    memset(Buffer, 'X', sizeof Buffer);
    ASSERT_TRUE(ConvertScanCodePassword(Buffer, "1e1e1e", &ScanCodeMapUs));
    EXPECT_EQ(std::string(Buffer), "AAA");
    // The same option given again converts into the same buffer.
    ASSERT_TRUE(ConvertScanCodePassword(Buffer, "1f", &ScanCodeMapUs));
    EXPECT_EQ(std::string(Buffer), "S");
}

TEST(ScanCodeTest, MoreThan64CodesAreRefused) {
    ResetRunState();
    std::string Scan;
    for (int Index = 0; Index < 65; Index++) {
        Scan += "1e";
    }
    // The byte after the buffer is zero, as a neighbouring field may be: a 65th code written
    // there would make the text look terminated.
    char Buffer[MAX_INPUT_PASS_LEN + 1];
    memset(Buffer, 0, sizeof Buffer);
    EXPECT_FALSE(ConvertScanCodePassword(Buffer, Scan.c_str(), &ScanCodeMapUs));
    EXPECT_EQ(std::string(Buffer, sizeof Buffer), std::string(sizeof Buffer, '\0'))
        << "a refused text leaves nothing behind";
}

TEST(ScanCodeTest, MapsHoldDigitsAndCapitalsOnly) {
    for (const ScanCodeMap* pMap : {&ScanCodeMapUs, &ScanCodeMapFr, &ScanCodeMapGe}) {
        std::string All;
        for (int Code = 1; Code < 0x80; Code++) {
            char Buffer[MAX_INPUT_PASS_LEN] = {};
            char Scan[3];
            snprintf(Scan, sizeof Scan, "%02x", Code);
            if (ConvertScanCodePassword(Buffer, Scan, pMap)) {
                All += Buffer;
            }
        }
        std::string Sorted = All;
        std::sort(Sorted.begin(), Sorted.end());
        EXPECT_EQ(Sorted, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    }
}

TEST(ScanCodeTest, VerboseShowsTheConversion) {
    ResetRunState();
    ::Run.VerboseMode = true;
    char Buffer[MAX_INPUT_PASS_LEN] = {};
    testing::internal::CaptureStdout();
    ConvertScanCodePassword(Buffer, "1f1e", &ScanCodeMapUs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Converted password is: SA\n");
    ResetRunState();
}

} // namespace
