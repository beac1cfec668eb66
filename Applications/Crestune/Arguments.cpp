// The option table, the parsers of the primary and extended arguments, and the placement checks
// all parsers share.
#include <string.h>

#include "Applications/Crestune/Crestune.h"

// Typed passwords and scan-code values: at most 64 characters, or 128 hex digits.
#define MAX_TYPED_PASSWORD_LEN (MAX_INPUT_PASS_LEN - 1)
#define MAX_SCAN_CODE_LEN (MAX_INPUT_PASS_LEN * 2 - 2)

static char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

bool WordEquals(const char* pWord, const char* pKeyword) {
    while (*pWord != '\0' && FoldCase(*pWord) == FoldCase(*pKeyword)) {
        pWord++;
        pKeyword++;
    }
    return *pWord == '\0' && *pKeyword == '\0';
}

bool WordPrefixEquals(const char* pWord, const char* pKeyword, uint32_t Count) {
    for (uint32_t Index = 0; Index < Count; Index++) {
        if (pWord[Index] == '\0' || FoldCase(pWord[Index]) != FoldCase(pKeyword[Index])) {
            return false;
        }
    }
    return true;
}

static bool IsCommandWord(const char* pWord) {
    return pWord[0] == '/';
}

void CheckOptionValue(int Index, int argc, char** argv) {
    if (Index == argc - 1) {
        printf("(No enouth!)One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    if (Index + 2 < argc && !IsCommandWord(argv[Index + 2])) {
        printf("(Following argument is valid)One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    if (IsCommandWord(argv[Index + 1])) {
        printf("(Option of argument)One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
}

void SetOptionFlag(bool* pField, int Index, int argc, char** argv) {
    if ((Index + 1 < argc && !IsCommandWord(argv[Index + 1])) || *pField) {
        printf("One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    *pField = true;
}

// A typed password longer than the firmware's hashing buffer is refused before anything is
// sent to the firmware.
static void CheckTypedPassword(const char* pValue) {
    if (strlen(pValue) > MAX_TYPED_PASSWORD_LEN) {
        printf("The password is longer than 64 characters.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
}

static void RefuseScanCode(void) {
    printf("Wrong password format is inputted.\n");
    ExitApplication(EXIT_BAD_SCAN_CODE);
}

// Length checks of a scan-code value: at most 128 digits, an even number of them.
static void CheckScanCodeLength(const char* pValue) {
    const size_t Length = strlen(pValue);
    if (Length > MAX_SCAN_CODE_LEN || Length % 2 != 0) {
        RefuseScanCode();
    }
}

static const ScanCodeMap* ScanCodeMapOf(uint8_t Value) {
    switch (Value) {
    case OPTION_VALUE_SCAN_FR:
        return &ScanCodeMapFr;
    case OPTION_VALUE_SCAN_GE:
        return &ScanCodeMapGe;
    default:
        return &ScanCodeMapUs;
    }
}

// The password a password option's value word gives: the typed text, or the text of its scan
// codes converted into pBuffer. Ends the run on a value that is too long or malformed.
static const char* ReadPassword(const CrestuneOption* pOption, const char* pValue, char* pBuffer) {
    if (pOption->Value == OPTION_VALUE_PASSWORD) {
        CheckTypedPassword(pValue);
        return pValue;
    }
    CheckScanCodeLength(pValue);
    if (pOption->Action == OPTION_ACTION_CURRENT && pOption->Value == OPTION_VALUE_SCAN_US &&
        Run.VerboseMode) {
        printf("/pass_scan\n");
    }
    if (!ConvertScanCodePassword(pBuffer, pValue, ScanCodeMapOf(pOption->Value))) {
        RefuseScanCode();
    }
    return pBuffer;
}

// One row per line of Options.txt, in its order.
#define CRESTUNE_OPTION_ROW(Word, Match, Class, Value, Action, Stick)                              \
    {Word,                                                                                         \
     Match,                                                                                        \
     OPTION_CLASS_##Class,                                                                         \
     OPTION_VALUE_##Value,                                                                         \
     OPTION_ACTION_##Action,                                                                       \
     OPTION_STICK_##Stick},
const CrestuneOption CrestuneOptionTable[CRESTUNE_OPTION_ROWS] = {
    CRESTUNE_OPTION_TABLE(CRESTUNE_OPTION_ROW)};

const CrestuneOption* FindOption(const char* pWord, uint8_t Class) {
    for (const CrestuneOption& Option : CrestuneOptionTable) {
        if (Option.Class == Class &&
            (Option.Match == 0 ? WordEquals(pWord, Option.pWord)
                               : WordPrefixEquals(pWord, Option.pWord, Option.Match))) {
            return &Option;
        }
    }
    return NULL;
}

// A pass over the command words: each word that names a row of the class has its value word
// checked and its row's action carried out by CarryOut, which returns false for a row it has no
// code for (the word then stays unclaimed). Returns the number of words claimed.
typedef bool (*RowAction)(const CrestuneOption* pOption, int Index, int argc, char** argv);
static uint32_t ClaimWords(uint8_t Class, RowAction CarryOut, int argc, char** argv) {
    uint32_t Count = 0;
    for (int Index = 1; Index < argc; Index++) {
        const CrestuneOption* pOption = FindOption(argv[Index], Class);
        if (pOption == NULL) {
            continue;
        }
        if (pOption->Value != OPTION_VALUE_NONE) {
            CheckOptionValue(Index, argc, argv);
        }
        if (CarryOut(pOption, Index, argc, argv)) {
            Count++;
        }
    }
    return Count;
}

// The first pass: the one operation of the run.
static bool CarryOutPrimary(const CrestuneOption* pOption, int Index, int argc, char** argv) {
    switch (pOption->Action) {
    case OPTION_ACTION_BACKUP:
    case OPTION_ACTION_RESTORE:
        *(pOption->Action == OPTION_ACTION_BACKUP ? &Run.BackupMode : &Run.RestoreMode) = true;
        Run.FileName = argv[Index + 1];
        return true;
    case OPTION_ACTION_NEW_ADMIN:
        Run.ChangeAdminPassword = true;
        Run.strInputNewAdp = ReadPassword(pOption, argv[Index + 1], Run.ConvertedNewAdp);
        return true;
    case OPTION_ACTION_NEW_POWER_ON:
        Run.ChangePowerOnPassword = true;
        Run.strInputNewPop = ReadPassword(pOption, argv[Index + 1], Run.ConvertedNewPop);
        return true;
    case OPTION_ACTION_LOAD_DEFAULTS:
        SetOptionFlag(&Run.LoadDefault, Index, argc, argv);
        return true;
    case OPTION_ACTION_CLEAR_ADMIN:
        SetOptionFlag(&Run.ClearAdminPassword, Index, argc, argv);
        Run.ChangeAdminPassword = true;
        return true;
    case OPTION_ACTION_CLEAR_POWER_ON:
        SetOptionFlag(&Run.ClearPowerOnPassword, Index, argc, argv);
        Run.ChangePowerOnPassword = true;
        return true;
    default:
        return false;
    }
}

uint32_t FindPrimaryArguments(int argc, char** argv) {
    uint32_t Count = ClaimWords(OPTION_CLASS_PRIMARY, CarryOutPrimary, argc, argv);
    // The administrator and power-on password options together are one operation.
    if (Run.ChangeAdminPassword && Run.ChangePowerOnPassword) {
        Count--;
    }
    return Count;
}

// The second pass: the switches of the run and the current password.
static bool CarryOutExtended(const CrestuneOption* pOption, int Index, int argc, char** argv) {
    switch (pOption->Action) {
    case OPTION_ACTION_NO_REBOOT:
        SetOptionFlag(&Run.NoReboot, Index, argc, argv);
        return true;
    case OPTION_ACTION_IGNORE_LEVEL:
        SetOptionFlag(&Run.IgnoreBiosLevel, Index, argc, argv);
        return true;
    case OPTION_ACTION_SILENT:
        SetOptionFlag(&Run.SilentMode, Index, argc, argv);
        return true;
    case OPTION_ACTION_VERBOSE:
        SetOptionFlag(&Run.VerboseMode, Index, argc, argv);
        return true;
    case OPTION_ACTION_CURRENT:
        if (Run.PasswordGiven) {
            printf("One or more parameters are invalid.\n");
            ExitApplication(EXIT_INVALID_ARGUMENT);
        }
        Run.PasswordGiven = true;
        Run.CurrentPassword = ReadPassword(pOption, argv[Index + 1], Run.ConvertedPass);
        return true;
    default:
        return false;
    }
}

uint32_t FindExtendedArguments(int argc, char** argv) {
    return ClaimWords(OPTION_CLASS_EXTENDED, CarryOutExtended, argc, argv);
}
