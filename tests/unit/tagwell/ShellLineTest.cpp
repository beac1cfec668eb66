// The simulated shell's parse of a run request, against what OVMF's UEFI shell did with the
// same command lines handed to EFI_SHELL_PROTOCOL.Execute (a program that printed its
// arguments, run in QEMU).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Simulator/SimShell.h"

namespace {

enum Outcome { kRuns, kNotRun, kExecuteFails };

struct ObservedCase {
    const char* Line;
    Outcome Result;
    std::vector<std::string> Arguments; // after the program name, when it runs
};

const ObservedCase kObserved[] = {
    {R"(p.efi "a^^^"b")", kRuns, {"a\"b"}},
    {R"(p.efi "a^^^^b")", kRuns, {"a^b"}},
    {R"(p.efi "a^^b")", kRuns, {"ab"}},
    {R"(p.efi "a^b")", kRuns, {"ab"}},
    {R"(p.efi "a^xb" "c^^^xd")", kRuns, {"axb", "cxd"}},
    {R"(p.efi "a%b" "c%d")", kRuns, {"a%b", "c%d"}},
    {R"(p.efi x "%" "%%" "a%%b" "^^^%^^^%")", kRuns, {"x", "%", "%%", "a%%b", "%%"}},
    {R"(p.efi "a%nosuch%b")", kRuns, {"ab"}},
    {R"(p.efi "a^%nosuch^%b")", kRuns, {"ab"}},
    {R"(p.efi "a^^^%nosuch^^^%b")", kRuns, {"a%nosuch%b"}},
    {R"(p.efi "50%")", kRuns, {"50%"}},
    {R"(p.efi "a^^^#b" c)", kRuns, {"a#b", "c"}},
    {R"(p.efi "a^^^|b" c)", kRuns, {"a|b", "c"}},
    {R"(p.efi "a > b" c)", kRuns, {"a > b", "c"}},
    {R"(p.efi "a^^^>b" c)", kRuns, {"a>b", "c"}},
    {R"(p.efi "a*b?c[d]" e)", kRuns, {"a*b?c[d]", "e"}},
    {R"(p.efi "a  b" " c ")", kRuns, {"a  b", " c "}},
    {R"(p.efi x "" y)", kRuns, {"x", "y"}},
    {R"(p.efi x "-b" y)", kRuns, {"x", "-b", "y"}},
    {R"(p.efi x " -?")", kRuns, {"x", " -?"}},
    {R"(p.efi x "y-?")", kRuns, {"x", "y-?"}},
    {R"(p.efi x "/?" y)", kRuns, {"x", "/?", "y"}},
    {R"(p.efi x "-" "?" "-x?")", kRuns, {"x", "-", "?", "-x?"}},
    {R"(p.efi x "a b^^^"c d" e)", kRuns, {"x", "a b\"c d", "e"}},
    {R"(p.efi x "^^^" y")", kRuns, {"x", "\" y"}},
    {R"(p.efi x "^^^^^^^^" y)", kRuns, {"x", "^^", "y"}},
    {R"(p.efi "a^^^"^^^"b^^^^c" x)", kRuns, {"a\"\"b^c", "x"}},
    {R"(p.efi x "-?" y)", kNotRun, {}},
    {R"(p.efi x "-?x")", kNotRun, {}},
    {R"(p.efi x "^^^-?")", kNotRun, {}},
    {R"(p.efi x "a^"b" y)", kNotRun, {}},
    {R"(p.efi "ab^" x)", kExecuteFails, {}},
    {R"(p.efi x ^^^"" y)", kExecuteFails, {}},
};

TEST(SimulatedShell, ParsesRunRequestsAsTheUefiShellDid) {
    for (const ObservedCase& Case : kObserved) {
        const sim::ShellLine Parsed = sim::ParseShellCommandLine(Case.Line);
        EXPECT_EQ(Parsed.ExecuteFails, Case.Result == kExecuteFails) << Case.Line;
        EXPECT_EQ(Parsed.Runs, Case.Result == kRuns) << Case.Line << ": " << Parsed.Problem;
        if (Case.Result == kRuns) {
            std::vector<std::string> Want = {"p.efi"};
            Want.insert(Want.end(), Case.Arguments.begin(), Case.Arguments.end());
            EXPECT_EQ(Parsed.Words, Want) << Case.Line;
        }
    }
}

} // namespace
