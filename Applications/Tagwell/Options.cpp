// Tagwell's options: the option table, matching, and the values carried by the options.
#include <string.h>

#include "Applications/Tagwell/Tagwell.h"

// One row per line of Options.txt, in its order.
#define TAGWELL_OPTION_ROW(Word, Match, Value, Stick)                                              \
    {Word, Match, TAGWELL_VALUE_##Value, TAGWELL_STICK_##Stick},
const TagwellOption kTagwellOptions[TAGWELL_OPTION_ROWS] = {
    TAGWELL_OPTION_TABLE(TAGWELL_OPTION_ROW)};

// By the fields' option rows (/mtm:, /sn:, /csn:, /uuid, /tag:).
const TagwellField kTagwellFields[TAGWELL_FIELD_COUNT] = {
    {{"/sp", "-SP"}, {}, "Machine Type and Model", 25},
    {{"/ss", "-SS"}, {}, "Serial Number", 20},
    {{"/cs", "-CS"}, {}, NULL, 0},
    {{"/su", "-SU"}, {"auto", "AUTO"}, NULL, 0},
    {{"/ca", "-CA"}, {}, NULL, 0},
};

void InitOptionTable(WrapperOption* pTable) {
    for (int Row = 0; Row <= TAGWELL_OPTION_ROWS; Row++) {
        pTable[Row].pWord = Row < TAGWELL_OPTION_ROWS ? kTagwellOptions[Row].pWord : "";
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
        if (!pTable[Row].Found) {
            continue;
        }
        Request.UpdateField[Row] = true;
        Request.Update = true;
        if (kTagwellOptions[Row].Value == TAGWELL_VALUE_TEXT) {
            GetArgumentValue(argc, argv, pTable[Row].pWord, Request.FieldValue[Row]);
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
