// The vendor tool's status as Tagwell names it: the 32-bit form the shell shows in %lasterror%.
#include <gtest/gtest.h>

#include "Applications/Tagwell/Tagwell.h"

namespace {

TEST(ToolStatusTest, UefiErrorsAndSignExtendedStatusesKeepTheirErrorBit) {
    const struct {
        uint64_t Status;
        uint32_t Shown;
    } Cases[] = {
        {0x1, 0x1},
        {0x800000000000000EULL, 0x8000000E}, // EFI_NOT_FOUND from a UEFI tool
        {0xFFFFFFFF8000000EULL, 0x8000000E}, // a program's int status, sign-extended
        {0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFF}, // -1
        {0xC000000B, 0xC000000B},            // a 32-bit status handed back unextended
        {0x100000002ULL, 0x2},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(ToolStatusText(Case.Status), Case.Shown) << std::hex << Case.Status;
    }
}

} // namespace
