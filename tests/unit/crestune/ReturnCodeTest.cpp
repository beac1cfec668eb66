// The firmware's status turned into messages, and the hex dump.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Applications/Crestune/ReturnCode.h"

namespace {

struct StatusCase {
    uint32_t Status;
    bool Accepted;
    const char* Output;
};

const StatusCase kStatusCases[] = {
    {0, true, ""},
    {0x80000000u, false, "SMI unsupported.\nReturn code: 80000000h\n"},
    {0x80000001u, false, "The input password is not correct.\nReturn code: 80000001h\n"},
    {0x3, false,
     "The input password is not correct.\nPassword retry count exceed.\nReturn code: 00000003h\n"},
    {0x4, false, "The smi input argument is invalid.\nReturn code: 00000004h\n"},
    {0x10, false, "Return code: 00000010h\n"},
    {0x534D3220u, false, "Return code: 534D3220h\n"},
    {0xFFFFFFFFu, false,
     "The input password is not correct.\nPassword retry count exceed.\n"
     "The smi input argument is invalid.\nReturn code: FFFFFFFFh\n"},
};

class StatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusTest, JudgesAndExplains) {
    PortSmiRegisters Registers = {};
    Registers.Eax = GetParam().Status;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckSmiReturnCode(&Registers), GetParam().Accepted);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().Output);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusTest, ::testing::ValuesIn(kStatusCases));

std::string Dump(const void* pData, UINT8 Rows, UINT32 Length) {
    testing::internal::CaptureStdout();
    DumpBuffer(pData, Rows, Length);
    return testing::internal::GetCapturedStdout();
}

TEST(DumpBufferTest, RowsOfSixteenWithAMiddleDash) {
    std::vector<uint8_t> Bytes(16);
    for (int Index = 0; Index < 16; Index++) {
        Bytes[Index] = (uint8_t)Index;
    }
    EXPECT_EQ(Dump(Bytes.data(), 1, 16),
              "0000 :  00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F \n\n");
}

TEST(DumpBufferTest, EmptyAndNull) {
    EXPECT_EQ(Dump("x", 0, 1), "\n");
    EXPECT_EQ(Dump(nullptr, 3, 48), "");
}

TEST(DumpBufferTest, LastRowStopsAtTheEndOfTheData) {
    // ASan would report a read past the 18-byte allocation.
    std::vector<uint8_t> Bytes(18, 0xAB);
    EXPECT_EQ(Dump(Bytes.data(), 2, 18),
              "0000 :  AB AB AB AB AB AB AB AB - AB AB AB AB AB AB AB AB \n"
              "0010 :  AB AB \n\n");
}

TEST(DumpBufferTest, HighestRowOffset) {
    std::vector<uint8_t> Bytes(256 * 16, 0);
    const std::string Text = Dump(Bytes.data(), 255, (UINT32)Bytes.size());
    EXPECT_NE(Text.find("0FE0 :  "), std::string::npos);
    EXPECT_EQ(Text.find("0FF0 :  "), std::string::npos);
}

} // namespace
