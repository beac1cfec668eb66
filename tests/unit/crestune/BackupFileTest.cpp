// The backup's temporary file lies in the target's directory, whatever separator names it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Applications/Crestune/Crestune.h"

namespace {

struct TempNameCase {
    const char* pTarget;
    uint32_t Number;
    const char* pTemp;
};

const TempNameCase kTempNameCases[] = {
    {"x.dat", 0, "BKUP0000.TMP"},
    {"x.dat", 42, "BKUP0042.TMP"},
    {"dir\\x.dat", 7, "dir\\BKUP0007.TMP"},
    {"a\\b\\x.dat", 9999, "a\\b\\BKUP9999.TMP"},
    {"a/b/x.dat", 1, "a/b/BKUP0001.TMP"},
    {"fs0:x.dat", 0, "fs0:BKUP0000.TMP"},
    {"fs1:\\dir/x", 3, "fs1:\\dir/BKUP0003.TMP"},
    {"BKUP0000.TMP", 0, "BKUP0000.TMP"}, // taken then; the next number is tried
};

TEST(BackupFileTest, TemporaryNameLiesInTheTargetsDirectory) {
    for (const TempNameCase& Case : kTempNameCases) {
        const size_t Size = BackupTempNameSize(Case.pTarget);
        std::vector<char> Name(Size + 1, '#');
        MakeBackupTempName(Name.data(), Case.pTarget, Case.Number);
        EXPECT_EQ(std::string(Name.data()), Case.pTemp) << Case.pTarget;
        EXPECT_EQ(Size, strlen(Case.pTemp) + 1) << Case.pTarget;
        EXPECT_EQ(Name[Size], '#') << "wrote past the name's size: " << Case.pTarget;
    }
}

} // namespace
