// Fuzz target: the vendor tool's command line, round trip through the UEFI shell's parsing.
//
// The first byte picks the vendor and the fields; the rest are up to four values, one a line.
// A value is taken as the options take it (CheckValueText), then the command line is built and
// parsed as the shell parses what Execute gets (Simulator/SimShell).
//
// Invariant: a value that CheckValueText accepts reaches the tool exactly: the shell runs the
// line, the program is the vendor's tool and its arguments are the field words and the values
// byte for byte, in the fixed order. The line always fits its buffer.
#include <string.h>

#include <string>
#include <vector>

#include "Applications/Tagwell/Tagwell.h"
#include "FuzzSupport.h"
#include "Simulator/SimShell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 1) {
        return 0;
    }
    const uint8_t Choice = pData[0];
    static FuzzCommandLine Values;
    SplitCommandLine(pData + 1, Size - 1, "", &Values);

    ResetUpdateRequest();
    Request.Vendor = (Choice & 1) == 0 ? BIOS_VENDOR_AMI : BIOS_VENDOR_INSYDE;
    Request.UpdateField[OPTION_UUID] = (Choice & 2) != 0;
    const int Fields[] = {OPTION_MTM, OPTION_SN, OPTION_CSN, OPTION_TAG};
    std::vector<std::string> Taken;
    for (int Index = 0; Index < 4 && Index + 1 < Values.argc; Index++) {
        if ((Choice & (0x10 << Index)) == 0) {
            continue;
        }
        const char* pValue = Values.argv[Index + 1];
        if (CheckValueText(pValue) != NULL) {
            continue; // refused: never reaches the shell
        }
        const size_t Length = strlen(pValue);
        char* pBuffer = Request.FieldValue[Fields[Index]];
        pBuffer[0] = '"';
        memcpy(pBuffer + 1, pValue, Length);
        pBuffer[Length + 1] = '"';
        pBuffer[Length + 2] = '\0';
        Request.UpdateField[Fields[Index]] = true;
    }

    const char* Entries[TAGWELL_MAX_TOOL_ARGS];
    const int Count = BuildVendorArguments(&Request, Entries);
    std::vector<std::string> Expected;
    for (int Index = 0; Index < Count; Index++) {
        std::string Entry = Entries[Index];
        if (Entry.size() >= 2 && Entry.front() == '"' && Entry.back() == '"') {
            Entry = Entry.substr(1, Entry.size() - 2);
        }
        Expected.push_back(Entry);
    }
    char Line[TAGWELL_COMMAND_LINE_SIZE];
    FUZZ_CHECK(BuildVendorCommandLine(Entries, Count, Line, sizeof Line), "%s",
               "the command line does not fit");
    const sim::ShellLine Parsed = sim::ParseShellCommandLine(Line);
    FUZZ_CHECK(!Parsed.ExecuteFails && Parsed.Runs, "the shell does not run [%s]: %s", Line,
               Parsed.Problem.c_str());
    FUZZ_CHECK(Parsed.Words.size() == Expected.size(), "%zu words instead of %zu from [%s]",
               Parsed.Words.size(), Expected.size(), Line);
    for (size_t Index = 0; Index < Expected.size(); Index++) {
        FUZZ_CHECK(Parsed.Words[Index] == Expected[Index],
                   "word %zu is [%s], given [%s]; line [%s]", Index, Parsed.Words[Index].c_str(),
                   Expected[Index].c_str(), Line);
    }
    return 0;
}
