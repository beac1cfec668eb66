// The runtime's formatting core against the host C library's snprintf.
#include "FormatCases.h"
#include "Runtime/Portable/RtFormat.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>
#include <string>
#include <vector>

// Sizes are chosen at run time; the compiler cannot see they fit.
#pragma GCC diagnostic ignored "-Wformat-truncation"

namespace {

struct Outcome {
    std::string Text;
    int Length;
};

Outcome HostFormat(size_t Size, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
Outcome HostFormat(size_t Size, const char* pFormat, ...) {
    std::vector<char> Buffer(Size + 1, '#');
    va_list Args;
    va_start(Args, pFormat);
    int Length = vsnprintf(Buffer.data(), Size, pFormat, Args);
    va_end(Args);
    return {Size == 0 ? std::string() : std::string(Buffer.data()), Length};
}

Outcome RuntimeFormat(size_t Size, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
Outcome RuntimeFormat(size_t Size, const char* pFormat, ...) {
    std::vector<char> Buffer(Size + 1, '#');
    va_list Args;
    va_start(Args, pFormat);
    int Length = RtFormatToBuffer(Buffer.data(), Size, pFormat, Args);
    va_end(Args);
    EXPECT_EQ(Buffer[Size], '#') << "wrote past the buffer for " << pFormat;
    return {Size == 0 ? std::string() : std::string(Buffer.data()), Length};
}

void Collect(void* pContext, const char* p, int Count) {
    ((std::string*)pContext)->append(p, (size_t)Count);
}

std::string StreamFormat(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
std::string StreamFormat(const char* pFormat, ...) {
    std::string Text;
    va_list Args;
    va_start(Args, pFormat);
    int Length = RtFormat(Collect, &Text, pFormat, Args);
    va_end(Args);
    EXPECT_EQ((size_t)Length, Text.size());
    return Text;
}

TEST(RtFormat, EveryToolFormatMatchesHostSnprintf){
#define CHECK_CASE(...)                                                                            \
    {                                                                                              \
        Outcome Host = HostFormat(256, __VA_ARGS__);                                               \
        Outcome Runtime = RuntimeFormat(256, __VA_ARGS__);                                         \
        EXPECT_EQ(Runtime.Text, Host.Text) << #__VA_ARGS__;                                        \
        EXPECT_EQ(Runtime.Length, Host.Length) << #__VA_ARGS__;                                    \
        EXPECT_EQ(StreamFormat(__VA_ARGS__), Host.Text) << #__VA_ARGS__;                           \
    }
    FWTOOLS_FORMAT_CASES(CHECK_CASE)
#undef CHECK_CASE
}

TEST(RtFormat, TruncatesLikeSnprintf) {
    const size_t Sizes[] = {0, 1, 2, 5, 9, 10, 11};
    for (size_t Size : Sizes) {
        Outcome Host = HostFormat(Size, "%s=%.4X", "abcd", 0xBEEFu);
        Outcome Runtime = RuntimeFormat(Size, "%s=%.4X", "abcd", 0xBEEFu);
        EXPECT_EQ(Runtime.Text, Host.Text) << "size " << Size;
        EXPECT_EQ(Runtime.Length, Host.Length) << "size " << Size;
    }
}

TEST(RtFormat, OutputLongerThanOneChunkArrivesWhole) {
    std::string Long(1500, 'x');
    Outcome Host = HostFormat(4096, "[%s|%-700d|%.600d|%.256X]", Long.c_str(), -5, 7, 0xAu);
    EXPECT_EQ(StreamFormat("[%s|%-700d|%.600d|%.256X]", Long.c_str(), -5, 7, 0xAu), Host.Text);
    EXPECT_EQ(RuntimeFormat(4096, "[%s|%-700d|%.600d|%.256X]", Long.c_str(), -5, 7, 0xAu).Text,
              Host.Text);
}

// The formatting library overruns its digit buffer for huge radix precisions; those formats,
// and %n, produce nothing instead.
TEST(RtFormat, RefusesFormatsThatWouldOverrunOrWriteThroughArguments) {
    const char* Refused[] = {"%.257X", "%.600lx", "%.*X", "a%nb", "%5.1000o"};
    for (const char* pFormat : Refused) {
        std::vector<char> Buffer(8, '#');
        va_list Unused{};
        EXPECT_EQ(RtFormatToBuffer(Buffer.data(), Buffer.size(), pFormat, Unused), -1) << pFormat;
        EXPECT_EQ(Buffer[0], '\0') << pFormat;
    }
    EXPECT_EQ(RuntimeFormat(16, "%%n%.4X", 0xAu).Text, "%n000A");
}

// The one known difference from the C library: with precision 0, the value 0 still prints a
// digit through %d (the tools never print that combination).
TEST(RtFormat, ZeroPrecisionZeroDecimalPrintsADigit) {
    EXPECT_EQ(RuntimeFormat(16, "%.0d", 0).Text, "0");
}

} // namespace
