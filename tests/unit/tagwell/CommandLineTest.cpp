// The vendor tool's command line for the option combinations, and what the tool receives
// from it after the UEFI shell's two parses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Applications/Tagwell/Tagwell.h"
#include "Simulator/SimShell.h"

namespace {

enum Vendor { kAmi, kInsyde };

// Parses the arguments into the run record as a run does, for the vendor given.
void Prepare(Vendor Which, const std::vector<std::string>& Arguments) {
    ResetUpdateRequest();
    WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Table);
    std::vector<char*> Argv = {const_cast<char*>("Tagwell.efi")};
    for (const std::string& Argument : Arguments) {
        Argv.push_back(const_cast<char*>(Argument.c_str()));
    }
    ASSERT_TRUE(MarkOptions(Table, (int)Argv.size(), Argv.data()));
    ProcessArguments((int)Argv.size(), Argv.data(), Table);
    Request.Vendor = Which == kAmi ? BIOS_VENDOR_AMI : BIOS_VENDOR_INSYDE;
}

std::string CommandLine() {
    const char* Entries[TAGWELL_MAX_TOOL_ARGS];
    const int Count = BuildVendorArguments(&Request, Entries);
    char Line[TAGWELL_COMMAND_LINE_SIZE];
    EXPECT_TRUE(BuildVendorCommandLine(Entries, Count, Line, sizeof Line));
    return Line;
}

struct LineCase {
    Vendor Which;
    std::vector<std::string> Arguments;
    const char* Line;
};

const LineCase kLineCases[] = {
    {kAmi,
     {"/sn:abcd", "/mtm:WX20", "/uuid"},
     "AMIDEEFIx64.efi /sp \"WX20\" /ss \"abcd\" /su auto"},
    {kInsyde,
     {"/sn:abcd", "/mtm:WX20", "/uuid"},
     "H2OSDE-Sx64.efi -SP \"WX20\" -SS \"abcd\" -SU AUTO"},
    {kInsyde, {"/tag:T9", "/csn:C7"}, "H2OSDE-Sx64.efi -CS \"C7\" -CA \"T9\""},
    {kAmi, {"/uuid"}, "AMIDEEFIx64.efi /su auto"},
    {kInsyde,
     {"/TAG:t", "/uuid", "/CSN:c", "/sn:s", "/mtm:m", "/quiet"},
     "H2OSDE-Sx64.efi -SP \"m\" -SS \"s\" -CS \"c\" -SU AUTO -CA \"t\""},
    {kAmi,
     {"/tag:t", "/uuid", "/csn:c", "/sn:s", "/mtm:m"},
     "AMIDEEFIx64.efi /sp \"m\" /ss \"s\" /cs \"c\" /su auto /ca \"t\""},
    {kAmi, {"/sn:two words"}, "AMIDEEFIx64.efi /ss \"two words\""},
    {kAmi, {"/sn:a\"b", "/tag:50%"}, "AMIDEEFIx64.efi /ss \"a^^^\"b\" /ca \"50^^^%\""},
    {kAmi, {"/quiet", "/reboot"}, "AMIDEEFIx64.efi"},
};

TEST(TagwellCommandLine, WordsInTheVendorsFixedOrderWithQuotedValues) {
    for (const LineCase& Case : kLineCases) {
        Prepare(Case.Which, Case.Arguments);
        EXPECT_EQ(CommandLine(), Case.Line) << Case.Arguments[0];
    }
}

// Values that the shell would change or cut without the escapes, and values at the limits.
const char* const kHostileValues[] = {
    "a\"b",
    "\"",
    "\"\"",
    "a^b",
    "ab^",
    "^",
    "^^^\"",
    "%path%",
    "%nosuch%x",
    "50%",
    "a#b",
    "a|b",
    "a > b",
    "<x>",
    "two  spaces",
    " leading and trailing ",
    "a'b`c,d;e\\f~g!h&i(j)k{l}",
    "*.efi",
    "-b",
    "/?",
    "a -? b",
    "\"^%#|<>\"^%#|<>\"^%#|<>\"^%#|<>\"",
};

TEST(TagwellCommandLine, ToolReceivesEveryValueExactlyAsGiven) {
    for (const char* pValue : kHostileValues) {
        ASSERT_EQ(CheckValueText(pValue), nullptr) << pValue;
        for (Vendor Which : {kAmi, kInsyde}) {
            Prepare(Which, {std::string("/sn:") + pValue, std::string("/tag:") + pValue, "/uuid"});
            const sim::ShellLine Parsed = sim::ParseShellCommandLine(CommandLine());
            ASSERT_TRUE(Parsed.Runs) << pValue << ": " << Parsed.Problem;
            const std::vector<std::string> Want =
                Which == kAmi ? std::vector<std::string>{"AMIDEEFIx64.efi",
                                                         "/ss",
                                                         pValue,
                                                         "/su",
                                                         "auto",
                                                         "/ca",
                                                         pValue}
                              : std::vector<std::string>{
                                    "H2OSDE-Sx64.efi", "-SS", pValue, "-SU", "AUTO", "-CA", pValue};
            EXPECT_EQ(Parsed.Words, Want) << pValue;
        }
    }
}

TEST(TagwellCommandLine, LongestEscapedLineFitsAndATooSmallBufferIsRefused) {
    const std::string Worst(TAGWELL_MAX_VALUE_LEN, '"');
    Prepare(kAmi, {"/sn:" + Worst, "/mtm:" + Worst, "/csn:" + Worst, "/tag:" + Worst, "/uuid"});
    const std::string Line = CommandLine();
    EXPECT_LT(Line.size(), (size_t)TAGWELL_COMMAND_LINE_SIZE);
    EXPECT_EQ(sim::ParseShellCommandLine(Line).Words[2], Worst);

    const char* Entries[TAGWELL_MAX_TOOL_ARGS];
    const int Count = BuildVendorArguments(&Request, Entries);
    for (size_t Capacity : {(size_t)0, (size_t)1, Line.size()}) {
        std::vector<char> Buffer(Capacity + 8, '@');
        EXPECT_FALSE(BuildVendorCommandLine(Entries, Count, Buffer.data(), Capacity));
        for (size_t Index = Capacity; Index < Buffer.size(); Index++) {
            ASSERT_EQ(Buffer[Index], '@') << "written past " << Capacity;
        }
    }
    std::vector<char> Exact(Line.size() + 1);
    EXPECT_TRUE(BuildVendorCommandLine(Entries, Count, Exact.data(), Exact.size()));
    EXPECT_EQ(std::string(Exact.data()), Line);
}

} // namespace
