// Tagwell's options: the option table, matching, and the values carried by the options.
#include <string.h>

#include "Applications/Tagwell/Tagwell.h"

const TagwellField kTagwellFields[TAGWELL_FIELD_COUNT] = {
    {"/mtm:",
     &UpdateRequest::UpdateMtm,
     &UpdateRequest::MtmValue,
     {"/sp", "-SP"},
     {},
     "Machine Type and Model",
     25},
    {"/sn:",
     &UpdateRequest::UpdateSn,
     &UpdateRequest::SnValue,
     {"/ss", "-SS"},
     {},
     "Serial Number",
     20},
    {"/csn:", &UpdateRequest::UpdateCsn, &UpdateRequest::CsnValue, {"/cs", "-CS"}, {}, NULL, 0},
    {"/uuid", &UpdateRequest::UpdateUuid, NULL, {"/su", "-SU"}, {"auto", "AUTO"}, NULL, 0},
    {"/tag:", &UpdateRequest::UpdateTag, &UpdateRequest::TagValue, {"/ca", "-CA"}, {}, NULL, 0},
};

// The fields' option rows come first; the rows after them switch the run itself.
static_assert(OPTION_TAG + 1 == TAGWELL_FIELD_COUNT, "field F is option row F");

void InitOptionTable(WrapperOption* pTable) {
    static const char* const kRunWords[TAGWELL_OPTION_ROWS - TAGWELL_FIELD_COUNT + 1] = {
        "/quiet", "/reboot", "/verbose", ""};
    for (int Row = 0; Row <= TAGWELL_OPTION_ROWS; Row++) {
        pTable[Row].pWord = Row < TAGWELL_FIELD_COUNT ? kTagwellFields[Row].pWord
                                                      : kRunWords[Row - TAGWELL_FIELD_COUNT];
        pTable[Row].Found = 0;
    }
}

// The argument only has to start with the word: /rebootnow counts as /reboot.
bool MatchesOption(const char* pArgument, const char* pWord) {
    return strncasecmp(pArgument, pWord, strlen(pWord)) == 0;
}

int FindOptionRow(const WrapperOption* pTable, const char* pArgument) {
    for (int Row = 0; pTable[Row].pWord[0] != '\0'; Row++) {
        if (MatchesOption(pArgument, pTable[Row].pWord)) {
            return Row;
        }
    }
    return -1;
}

bool MarkOptions(WrapperOption* pTable, int argc, char** argv) {
    for (int Index = 1; Index < argc; Index++) {
        const int Row = FindOptionRow(pTable, argv[Index]);
        if (Row < 0 || pTable[Row].Found != 0) {
            return false;
        }
        pTable[Row].Found = 1;
    }
    return true;
}

// The UEFI shell drops an empty quoted word, and a word that starts with "-?" makes it show
// help instead of running the program: such values would not reach the tool. Control
// characters could end or split the command line. A character outside printable ASCII may not
// have reached this program unchanged (the start-up code marks a character above 0xFF with
// PLATFORM_ARGUMENT_SUBSTITUTE) and would not reach the tool unchanged either. Every other
// character is escaped when the command line is built, so it arrives as given.
const char* CheckValueText(const char* pValue) {
    const size_t Length = strlen(pValue);
    if (Length == 0) {
        return "is empty.";
    }
    if (Length > TAGWELL_MAX_VALUE_LEN) {
        return "is longer than 29 characters.";
    }
    if (pValue[0] == '-' && pValue[1] == '?') {
        return "cannot begin with \"-?\".";
    }
    for (size_t Index = 0; Index < Length; Index++) {
        const unsigned char Character = (unsigned char)pValue[Index];
        if (Character == PLATFORM_ARGUMENT_SUBSTITUTE || Character > 0x7E) {
            return "contains a character outside printable ASCII.";
        }
        if (Character < 0x20) {
            return "contains a control character.";
        }
    }
    return NULL;
}

void GetArgumentValue(int argc, char** argv, const char* pWord, char* pBuffer) {
    for (int Index = 1; Index < argc; Index++) {
        if (!MatchesOption(argv[Index], pWord)) {
            continue;
        }
        const char* pValue = argv[Index] + strlen(pWord);
        if (pValue[0] == '\0') {
            PrintUsage();
            ExitTagwell(TAGWELL_EXIT_USAGE);
        }
        const char* pProblem = CheckValueText(pValue);
        if (pProblem != NULL) {
            printf("The value of %s %s\n", pWord, pProblem);
            PrintUsage();
            ExitTagwell(TAGWELL_EXIT_USAGE);
        }
        const size_t Length = strlen(pValue);
        pBuffer[0] = '"';
        memcpy(pBuffer + 1, pValue, Length);
        pBuffer[Length + 1] = '"';
        pBuffer[Length + 2] = '\0';
        return;
    }
}

void ProcessArguments(int argc, char** argv, WrapperOption* pTable) {
    for (int Row = 0; Row < TAGWELL_FIELD_COUNT; Row++) {
        const TagwellField& Field = kTagwellFields[Row];
        if (!pTable[Row].Found) {
            continue;
        }
        Request.*Field.pUpdate = true;
        Request.Update = true;
        if (Field.pValue != NULL) {
            GetArgumentValue(argc, argv, pTable[Row].pWord, Request.*Field.pValue);
        }
    }
    if (pTable[OPTION_QUIET].Found) {
        Request.Quiet = true;
    }
    if (pTable[OPTION_REBOOT].Found) {
        Request.Reboot = true;
    }
    if (pTable[OPTION_VERBOSE].Found) {
        Request.Verbose = true;
    }
}
