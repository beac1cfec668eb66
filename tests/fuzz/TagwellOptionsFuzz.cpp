// Fuzz target: Tagwell's option matching and the values the options carry.
//
// Invariant: the options are accepted only when every word starts with one of the option words
// (letters without regard to case) and no option is given twice; a value option is then taken
// only when its text is 1 to 29 characters of printable ASCII (0x20-0x7E) and does not begin
// with "-?", and its buffer holds exactly that text in double quotes. Any other value ends the run
// with the usage status 0xC0000001. Nothing is written past a value buffer.
#include <string.h>
#include <strings.h>

#include "Applications/Tagwell/Tagwell.h"
#include "FuzzSupport.h"

namespace {

struct ValueOption {
    int Row;
    const char* pWord;
    const char* pBuffer;
};

bool ValueAcceptable(const char* pValue) {
    const size_t Length = strlen(pValue);
    if (Length == 0 || Length > 29 || (pValue[0] == '-' && pValue[1] == '?')) {
        return false;
    }
    for (size_t Index = 0; Index < Length; Index++) {
        if ((unsigned char)pValue[Index] < 0x20 || (unsigned char)pValue[Index] > 0x7E) {
            return false;
        }
    }
    return true;
}

// The text after the option word in the first argument that starts with it.
const char* GivenValue(const FuzzCommandLine& Line, const char* pWord) {
    for (int Index = 1; Index < Line.argc; Index++) {
        if (strncasecmp(Line.argv[Index], pWord, strlen(pWord)) == 0) {
            return Line.argv[Index] + strlen(pWord);
        }
    }
    return NULL;
}

struct Call {
    FuzzCommandLine* pLine;
    WrapperOption* pTable;
};

void Process(void* pContext) {
    Call* pCall = (Call*)pContext;
    ProcessArguments(pCall->pLine->argc, pCall->pLine->argv, pCall->pTable);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    static FuzzCommandLine Line;
    SplitCommandLine(pData, Size, TAGWELL_FILE_NAME, &Line);
    WrapperOption Table[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Table);
    ResetUpdateRequest();
    if (!MarkOptions(Table, Line.argc, Line.argv)) {
        return 0;
    }
    // Accepted: every word names an option, and no option twice.
    int Found[TAGWELL_OPTION_ROWS] = {};
    for (int Index = 1; Index < Line.argc; Index++) {
        int Row = -1;
        for (int Candidate = 0; Candidate < TAGWELL_OPTION_ROWS && Row < 0; Candidate++) {
            const char* pWord = kTagwellOptions[Candidate].pWord;
            if (strncasecmp(Line.argv[Index], pWord, kTagwellOptions[Candidate].Match) == 0) {
                Row = Candidate;
            }
        }
        FUZZ_CHECK(Row >= 0, "word \"%s\" accepted as an option", Line.argv[Index]);
        FUZZ_CHECK(++Found[Row] == 1, "option %s accepted twice", kTagwellOptions[Row].pWord);
    }

    const ValueOption kValues[] = {{OPTION_MTM, "/mtm:", Request.FieldValue[OPTION_MTM]},
                                   {OPTION_SN, "/sn:", Request.FieldValue[OPTION_SN]},
                                   {OPTION_CSN, "/csn:", Request.FieldValue[OPTION_CSN]},
                                   {OPTION_TAG, "/tag:", Request.FieldValue[OPTION_TAG]}};
    bool AllAcceptable = true;
    for (const ValueOption& Option : kValues) {
        if (Found[Option.Row]) {
            AllAcceptable = AllAcceptable && ValueAcceptable(GivenValue(Line, Option.pWord));
        }
    }
    Call Arguments = {&Line, Table};
    int Status = 0;
    if (RunUntilExit(Process, &Arguments, &Status)) {
        FUZZ_CHECK((uint32_t)Status == TAGWELL_EXIT_USAGE, "exit status %08X", (unsigned)Status);
        FUZZ_CHECK(!AllAcceptable, "%s", "a command line of acceptable values refused");
        return 0;
    }
    FUZZ_CHECK(AllAcceptable, "%s", "an unacceptable value taken");
    for (const ValueOption& Option : kValues) {
        if (!Found[Option.Row]) {
            FUZZ_CHECK(Option.pBuffer[0] == '\0', "value of %s set without its option",
                       Option.pWord);
            continue;
        }
        const char* pGiven = GivenValue(Line, Option.pWord);
        const size_t Length = strlen(pGiven);
        FUZZ_CHECK(strlen(Option.pBuffer) == Length + 2 && Option.pBuffer[0] == '"' &&
                       Option.pBuffer[Length + 1] == '"' &&
                       memcmp(Option.pBuffer + 1, pGiven, Length) == 0,
                   "value of %s is [%s] for \"%s\"", Option.pWord, Option.pBuffer, pGiven);
    }
    FUZZ_CHECK(Request.Update == (Found[OPTION_MTM] || Found[OPTION_SN] || Found[OPTION_CSN] ||
                                  Found[OPTION_UUID] || Found[OPTION_TAG]),
               "%s", "update flag does not match the options");
    return 0;
}
