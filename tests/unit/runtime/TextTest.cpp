// Argument narrowing, console widening, key translation, number parsing and error texts.
#include "Runtime/Portable/RtText.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

TEST(RtText, NarrowKeepsLatin1AndMarksWiderCharacters) {
    const uint16_t Wide[] = {'/', 'p', '?', 0xE9, 0xFF, 0x100, 0x20AC, ' ', 0};
    char Narrow[16];
    ASSERT_EQ(RtWideLength(Wide), 8u);
    RtNarrow(Wide, Narrow);
    // A character without an 8-bit form must not pass for a real question mark.
    EXPECT_EQ(std::string(Narrow), std::string("/p?\xE9\xFF\x1A\x1A "));
}

TEST(RtText, PathNameOffsetFindsTheLastPart) {
    const struct {
        const char* pPath;
        size_t Offset;
    } kCases[] = {
        {"x.dat", 0},     {"dir\\x.dat", 4}, {"a\\b\\x.dat", 4},
        {"dir/x.dat", 4}, {"fs0:x.dat", 4},  {"fs0:\\x", 5},
        {"dir\\", 4},     {"", 0},           {"fs0:\\d/e\\f.g", 9},
    };
    for (const auto& Case : kCases) {
        EXPECT_EQ(RtPathNameOffset(Case.pPath), Case.Offset) << Case.pPath;
    }
}

TEST(RtText, WidenMapsBytesToTheSameCharacters) {
    uint16_t Wide[8];
    RtWiden("a\xE9 b", Wide);
    const uint16_t Expected[] = {'a', 0xE9, ' ', 'b', 0};
    EXPECT_EQ(memcmp(Wide, Expected, sizeof(Expected)), 0);
}

std::u16string ConsoleText(const std::string& Text, size_t Capacity) {
    std::u16string Result;
    std::vector<uint16_t> Wide(Capacity + 1, 0xAAAA);
    size_t Done = 0;
    while (Done < Text.size()) {
        size_t Used =
            RtWidenForConsole(Text.data() + Done, Text.size() - Done, Wide.data(), Capacity);
        EXPECT_GT(Used, 0u);
        EXPECT_EQ(Wide[Capacity], 0xAAAA) << "wrote past the capacity";
        if (Used == 0) {
            break;
        }
        for (size_t i = 0; Wide[i] != 0; i++) {
            Result.push_back((char16_t)Wide[i]);
        }
        Done += Used;
    }
    return Result;
}

TEST(RtText, ConsoleTextGetsCarriageReturnsAndFitsAnyCapacity) {
    for (size_t Capacity : {3u, 4u, 5u, 257u}) {
        EXPECT_EQ(ConsoleText("a\nbc\n\n\rd\xE9", Capacity), u"a\r\nbc\r\n\r\n\rd\u00E9")
            << "capacity " << Capacity;
    }
}

struct KeyCase {
    const char* pName;
    std::vector<std::pair<uint16_t, uint16_t>> Keys; // (unicode, scan code)
    std::string Bytes;
};

TEST(RtText, KeysBecomeBytes) {
    const KeyCase Cases[] = {
        {"Enter on the console", {{'y', 0}, {0x0D, 0}}, "y\n"},
        {"CRLF line ends",
         {{'a', 0}, {0x0D, 0}, {0x0A, 0}, {'b', 0}, {0x0D, 0}, {0x0A, 0}},
         "a\nb\n"},
        {"LF line ends", {{'a', 0}, {0x0A, 0}, {0x0A, 0}}, "a\n\n"},
        {"two Enters", {{0x0D, 0}, {0x0D, 0}}, "\n\n"},
        {"LF only dropped right after CR", {{0x0D, 0}, {'x', 0}, {0x0A, 0}}, "\nx\n"},
        {"backspace", {{'a', 0}, {0x08, 0}}, std::string("a\x08")},
        {"scan code only", {{0, 0x17}, {0, 0x01}}, std::string("\0\x17\0\x01", 4)},
        {"NUL character from a file", {{0, 0}}, std::string("\0", 1)},
        {"wide characters", {{0xE9, 0}, {0x20AC, 0}}, "\xE9\x1A"},
    };
    for (const KeyCase& Case : Cases) {
        RtKeyState State = {};
        std::string Bytes;
        for (auto& Key : Case.Keys) {
            unsigned char Out[2] = {0xEE, 0xEE};
            int Count = RtTranslateKey(&State, Key.first, Key.second, Out);
            ASSERT_GE(Count, 0);
            ASSERT_LE(Count, 2);
            Bytes.append((const char*)Out, (size_t)Count);
        }
        EXPECT_EQ(Bytes, Case.Bytes) << Case.pName;
    }
}

struct NumberCase {
    const char* pText;
    int Base;
};

TEST(RtText, NumberParsingMatchesTheHostLibrary) {
    const NumberCase Cases[] = {
        {"0", 10},
        {"42", 10},
        {"  -17xyz", 10},
        {"+8", 0},
        {"0x1F", 0},
        {"0X1f", 16},
        {"1f", 16},
        {"0x", 16},
        {"0xG", 0},
        {"017", 0},
        {"09", 0},
        {"z", 36},
        {"", 10},
        {"   ", 10},
        {"-", 10},
        {"abc", 10},
        {"C0000001", 16},
        {"FFFFFFFF", 16},
        {"9223372036854775807", 10},
        {"9223372036854775808", 10},
        {"-9223372036854775808", 10},
        {"-9223372036854775809", 10},
        {"18446744073709551615", 10},
        {"18446744073709551616", 10},
        {"99999999999999999999999", 10},
        {"-1", 10},
        {"-18446744073709551615", 10},
    };
    for (const NumberCase& Case : Cases) {
        char* pHostEnd = nullptr;
        char* pRtEnd = nullptr;
        errno = 0;
        long Host = strtol(Case.pText, &pHostEnd, Case.Base);
        int HostErrno = errno;
        errno = 0;
        long Runtime = RtStrToL(Case.pText, &pRtEnd, Case.Base);
        EXPECT_EQ(Runtime, Host) << "strtol " << Case.pText << " base " << Case.Base;
        EXPECT_EQ(pRtEnd, pHostEnd) << "strtol end " << Case.pText;
        EXPECT_EQ(errno, HostErrno) << "strtol errno " << Case.pText;

        errno = 0;
        unsigned long HostU = strtoul(Case.pText, &pHostEnd, Case.Base);
        HostErrno = errno;
        errno = 0;
        unsigned long RuntimeU = RtStrToUL(Case.pText, &pRtEnd, Case.Base);
        EXPECT_EQ(RuntimeU, HostU) << "strtoul " << Case.pText << " base " << Case.Base;
        EXPECT_EQ(pRtEnd, pHostEnd) << "strtoul end " << Case.pText;
        EXPECT_EQ(errno, HostErrno) << "strtoul errno " << Case.pText;
    }
}

TEST(RtText, InvalidBaseParsesNothing) {
    for (int Base : {-1, 1, 37}) {
        char* pEnd = nullptr;
        const char* pText = "12";
        errno = 0;
        EXPECT_EQ(RtStrToL(pText, &pEnd, Base), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(pEnd, pText);
        EXPECT_EQ(RtStrToUL(pText, &pEnd, Base), 0u);
    }
}

TEST(RtText, ErrorTextsAreTheHostLibrarysWords) {
    for (int Error :
         {ENOENT, EIO, EBADF, ENOMEM, EACCES, EEXIST, EISDIR, EINVAL, ENOSPC, ESPIPE, ERANGE}) {
        EXPECT_STREQ(RtErrorText(Error), strerror(Error)) << Error;
    }
}

} // namespace
