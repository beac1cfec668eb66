// Parsers of the primary and extended arguments, and the placement checks all parsers share.
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

static void ConvertOrRefuse(char* pBuffer, const char* pValue, const ScanCodeMap* pMap) {
    if (!ConvertScanCodePassword(pBuffer, pValue, pMap)) {
        RefuseScanCode();
    }
}

struct PrimaryScanOption {
    const char* Keyword;
    bool Admin;
    const ScanCodeMap* pMap;
};

static const PrimaryScanOption kPrimaryScanOptions[] = {
    {"/newadp_scan", true, &ScanCodeMapUs},    {"/newpop_scan", false, &ScanCodeMapUs},
    {"/newadp_scan_fr", true, &ScanCodeMapFr}, {"/newpop_scan_fr", false, &ScanCodeMapFr},
    {"/newadp_scan_ge", true, &ScanCodeMapGe}, {"/newpop_scan_ge", false, &ScanCodeMapGe},
};

uint32_t FindPrimaryArguments(int argc, char** argv) {
    uint32_t Count = 0;
    for (int Index = 1; Index < argc; Index++) {
        const char* pWord = argv[Index];
        if (WordEquals(pWord, "/b") || WordEquals(pWord, "/r")) {
            CheckOptionValue(Index, argc, argv);
            if (WordEquals(pWord, "/b")) {
                Run.BackupMode = true;
            } else {
                Run.RestoreMode = true;
            }
            Run.FileName = argv[Index + 1];
            Count++;
            continue;
        }
        if (WordEquals(pWord, "/newadp") || WordEquals(pWord, "/newpop")) {
            CheckOptionValue(Index, argc, argv);
            const bool Admin = WordEquals(pWord, "/newadp");
            *(Admin ? &Run.ChangeAdminPassword : &Run.ChangePowerOnPassword) = true;
            CheckTypedPassword(argv[Index + 1]);
            *(Admin ? &Run.strInputNewAdp : &Run.strInputNewPop) = argv[Index + 1];
            Count++;
            continue;
        }
        const PrimaryScanOption* pScan = NULL;
        for (const PrimaryScanOption& Option : kPrimaryScanOptions) {
            if (WordEquals(pWord, Option.Keyword)) {
                pScan = &Option;
                break;
            }
        }
        if (pScan != NULL) {
            CheckOptionValue(Index, argc, argv);
            *(pScan->Admin ? &Run.ChangeAdminPassword : &Run.ChangePowerOnPassword) = true;
            CheckScanCodeLength(argv[Index + 1]);
            char* pBuffer = pScan->Admin ? Run.ConvertedNewAdp : Run.ConvertedNewPop;
            ConvertOrRefuse(pBuffer, argv[Index + 1], pScan->pMap);
            *(pScan->Admin ? &Run.strInputNewAdp : &Run.strInputNewPop) = pBuffer;
            Count++;
            continue;
        }
        if (WordEquals(pWord, "/f9")) {
            SetOptionFlag(&Run.LoadDefault, Index, argc, argv);
            Count++;
        } else if (WordEquals(pWord, "/clradp")) {
            SetOptionFlag(&Run.ClearAdminPassword, Index, argc, argv);
            Run.ChangeAdminPassword = true;
            Count++;
        } else if (WordEquals(pWord, "/clrpop")) {
            SetOptionFlag(&Run.ClearPowerOnPassword, Index, argc, argv);
            Run.ChangePowerOnPassword = true;
            Count++;
        }
    }
    // The administrator and power-on password options together are one operation.
    if (Run.ChangeAdminPassword && Run.ChangePowerOnPassword) {
        Count--;
    }
    return Count;
}

struct CurrentPasswordOption {
    const char* Keyword;
    const ScanCodeMap* pMap; // NULL: a typed password
};

static const CurrentPasswordOption kCurrentPasswordOptions[] = {
    {"/pass", NULL},
    {"/pass_scan", &ScanCodeMapUs},
    {"/pass_scan_fr", &ScanCodeMapFr},
    {"/pass_scan_ge", &ScanCodeMapGe},
};

uint32_t FindExtendedArguments(int argc, char** argv) {
    uint32_t Count = 0;
    for (int Index = 1; Index < argc; Index++) {
        const char* pWord = argv[Index];
        if (WordPrefixEquals(pWord, "/NoReboot", 4)) {
            SetOptionFlag(&Run.NoReboot, Index, argc, argv);
            Count++;
            continue;
        }
        if (WordPrefixEquals(pWord, "/Ignore", 4)) {
            SetOptionFlag(&Run.IgnoreBiosLevel, Index, argc, argv);
            Count++;
            continue;
        }
        if (WordPrefixEquals(pWord, "/Silent", 4)) {
            SetOptionFlag(&Run.SilentMode, Index, argc, argv);
            Count++;
            continue;
        }
        if (WordEquals(pWord, "/Verbose")) {
            SetOptionFlag(&Run.VerboseMode, Index, argc, argv);
            Count++;
            continue;
        }
        for (const CurrentPasswordOption& Option : kCurrentPasswordOptions) {
            if (!WordEquals(pWord, Option.Keyword)) {
                continue;
            }
            CheckOptionValue(Index, argc, argv);
            if (Run.PasswordGiven) {
                printf("One or more parameters are invalid.\n");
                ExitApplication(EXIT_INVALID_ARGUMENT);
            }
            Run.PasswordGiven = true;
            const char* pValue = argv[Index + 1];
            if (Option.pMap == NULL) {
                CheckTypedPassword(pValue);
                Run.CurrentPassword = pValue;
            } else {
                CheckScanCodeLength(pValue);
                if (Option.pMap == &ScanCodeMapUs && Run.VerboseMode) {
                    printf("/pass_scan\n");
                }
                ConvertOrRefuse(Run.ConvertedPass, pValue, Option.pMap);
                Run.CurrentPassword = Run.ConvertedPass;
            }
            Count++;
            break;
        }
    }
    return Count;
}
