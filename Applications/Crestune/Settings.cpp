// The setting options: their table, their parser, the TPM switch confirmation, the setting
// requests with the answers of the queries, and the load of the setup defaults.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"

// The parse results, one per row of SettingOptionTable. Data holds the request's ECX: the row's
// Mask, or the value code, boot device code or bit mask of the word that follows the option.
SettingChoice SettingSelection[SETTING_OPTION_ROWS];

#define TPM_ITEM 0x04
#define CONVERSION_FAILED 0xFFFFFFFFu

enum TpmMode { TPM_MODE_FTPM20, TPM_MODE_DTPM12, TPM_MODE_DTPM20, TPM_MODE_NONE };

static const char* const kWarningFirmwareTpm =
    "!!!Important Warning: Current Used Fireware TPM2.0. dTPM firmware may be upgraded or "
    "downgraded, all TPM related applications must be disabled, otherwise the TPM will be "
    "cleared and you may not be able to access your data!!!\n";
static const char* const kWarningDiscreteTpm =
    "!!!Important Warning: Before the dTPM firmware can be upgraded or downgraded, all TPM "
    "related applications must be disabled, otherwise the TPM will be cleared and you may not be "
    "able to access your data!!!\n";

uint32_t GetSettingOptionCount(void) {
    uint32_t Count = 0;
    while (strcmp(SettingOptionTable[Count].Name, "") != 0) {
        Count++;
    }
    return Count;
}

void ResetSettingSelection(void) {
    memset(SettingSelection, 0, sizeof SettingSelection);
}

static SettingChoice* ChoiceOf(const SettingOption* pRow) {
    return &SettingSelection[pRow - SettingOptionTable];
}

static bool HasWord(const char* pWord) {
    return pWord != NULL && pWord[0] != '\0';
}

uint32_t ExtStrToUL(const char* pText, uint32_t Base) {
    (void)Base; // the one caller converts hexadecimal text
    if (pText == NULL || pText[0] == '\0') {
        if (Run.VerboseMode) {
            printf("[err] input NULL, fail to transfer sting to int\n");
        }
        return CONVERSION_FAILED;
    }
    if (Run.VerboseMode) {
        printf("[dbg] ExtStrToUL srourc_string = %s\n", pText);
    }
    for (const char* p = pText; *p != '\0'; p++) {
        const char c = *p;
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            if (Run.VerboseMode) {
                printf("[err] input invalid, fail to transfer sting to int\n");
            }
            return CONVERSION_FAILED;
        }
    }
    while (*pText == '0') {
        pText++;
    }
    uint64_t Value = 0;
    for (const char* p = pText; *p != '\0'; p++) {
        const char c = *p;
        const uint32_t Digit = (c >= '0' && c <= '9')   ? (uint32_t)(c - '0')
                               : (c >= 'A' && c <= 'F') ? (uint32_t)(c - 'A' + 10)
                                                        : (uint32_t)(c - 'a' + 10);
        Value = Value * 16 + Digit;
        if (Value > 0xFFFFFFFFull) {
            errno = ERANGE;
            return CONVERSION_FAILED;
        }
    }
    return (uint32_t)Value;
}

static void RefuseSetting(void) {
    printf("One or more arguments are invalid.\n");
    ExitApplication(EXIT_INVALID_ARGUMENT);
}

void ParseBootDevice(int Index, SettingChoice* pChoice, int argc, char** argv) {
    CheckOptionValue(Index, argc, argv);
    for (const BootDevice& Device : BootDeviceTable) {
        if (WordEquals(argv[Index + 1], Device.Word)) {
            pChoice->Data = Device.Code;
            return;
        }
    }
    RefuseSetting();
}

bool GetYesNoAnswer(void) {
    fflush(stdout);
    for (;;) {
        const int c = getchar();
        if (c == EOF) {
            return false; // no one left to answer: nothing is switched
        }
        if (c == 'Y' || c == 'y') {
            return true;
        }
        if (c == 'N' || c == 'n') {
            return false;
        }
    }
}

bool CheckCurrentTpmSetting(uint32_t* pMode) {
    if (Run.VerboseMode) {
        printf("Calling CheckCurrentTpmSetting...\n");
    }
    PortSmiRegisters Registers;
    InitRequest(&Registers, SETTING_FUNCTION, TPM_ITEM, 0xFFFFFFFF);
    if (!GeneratePortSmi(&Registers, NULL, 0, NULL, 0)) {
        printf("Error occurs when generating smi.\n");
        ExitApplication(EXIT_SMI_FAILED);
    }
    if (Registers.Eax != 0) {
        return false;
    }
    switch (Registers.Ecx) {
    case 1:
        printf("Current Setting is fTPM2.0\n");
        *pMode = TPM_MODE_FTPM20;
        break;
    case 2:
        printf("Current Setting is dTPM1.2\n");
        *pMode = TPM_MODE_DTPM12;
        break;
    case 4:
        printf("Current Setting is dTPM2.0\n");
        *pMode = TPM_MODE_DTPM20;
        break;
    default:
        *pMode = TPM_MODE_NONE;
        break;
    }
    return true;
}

// Warns about a switch of the TPM device and asks for confirmation; a declined switch ends the
// run with nothing changed.
static void ConfirmTpmSwitch(const SettingOption* pRow, const char* pWord) {
    uint32_t Mode = TPM_MODE_NONE;
    if (!CheckCurrentTpmSetting(&Mode)) {
        return;
    }
    const bool ToTpm20 = pRow->Handling == HANDLING_TPM20_SWITCH;
    const char* pWarning = NULL;
    switch (Mode) {
    case TPM_MODE_FTPM20:
        pWarning = kWarningFirmwareTpm;
        break;
    case TPM_MODE_DTPM12:
        pWarning = ToTpm20 ? kWarningDiscreteTpm : NULL;
        break;
    case TPM_MODE_DTPM20:
        pWarning = ToTpm20 ? NULL : kWarningDiscreteTpm;
        break;
    default:
        printf("Get Current TPM Setting Error!\n");
        ExitApplication(EXIT_SMI_FAILED);
    }
    if (pWarning == NULL) {
        return;
    }
    printf("%s", pWarning);
    printf("Are you sure switch to %s? (Y/y or N/n only)", pWord);
    if (Run.SilentMode) {
        return;
    }
    if (!GetYesNoAnswer()) {
        ExitApplication(EXIT_OK);
    }
}

static void SelectOnce(SettingChoice* pChoice) {
    if (pChoice->Selected) {
        RefuseSetting();
    }
    pChoice->Selected = 1;
}

static void ParseValueList(const SettingOption* pRow, int Index, int argc, char** argv) {
    CheckOptionValue(Index, argc, argv);
    bool Matched = false;
    for (uint32_t Slot = 0; Slot < SETTING_VALUE_SLOTS; Slot++) {
        if (HasWord(pRow->Values[Slot]) && WordEquals(argv[Index + 1], pRow->Values[Slot])) {
            ChoiceOf(pRow)->Data = Slot;
            Matched = true;
            break;
        }
    }
    if (!Matched) {
        RefuseSetting();
    }
    SelectOnce(ChoiceOf(pRow));
}

static void CheckMask(const SettingOption* pRow) {
    SettingChoice* pChoice = ChoiceOf(pRow);
    if (pChoice->Selected || pChoice->Data == CONVERSION_FAILED) {
        RefuseSetting();
    }
    if (pRow->pMaskRefusal != NULL && (pChoice->Data & ~pRow->Mask) != 0) {
        printf("%s", pRow->pMaskRefusal);
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    pChoice->Selected = 1;
}

uint32_t FindSecondaryArguments(int argc, char** argv) {
    const uint32_t Count = GetSettingOptionCount();
    uint32_t Accepted = 0;
    for (int Index = 1; Index < argc; Index++) {
        if (argv[Index][0] != '/') {
            continue;
        }
        const SettingOption* pRow = NULL;
        for (uint32_t Row = 0; Row < Count; Row++) {
            if (WordEquals(argv[Index], SettingOptionTable[Row].Name)) {
                pRow = &SettingOptionTable[Row];
                break;
            }
        }
        if (pRow == NULL) {
            continue;
        }
        // The row's default, which a value word may replace (a second use is refused below).
        SettingChoice* pChoice = ChoiceOf(pRow);
        pChoice->Data = pRow->Mask;
        switch (pRow->Handling) {
        case HANDLING_TPM12_SWITCH:
        case HANDLING_TPM20_SWITCH:
            ConfirmTpmSwitch(pRow, argv[Index]);
            ParseValueList(pRow, Index, argc, argv);
            break;
        case HANDLING_VALUE_LIST:
            ParseValueList(pRow, Index, argc, argv);
            break;
        case HANDLING_BOOT_DEVICE:
            ParseBootDevice(Index, pChoice, argc, argv);
            SelectOnce(pChoice);
            break;
        case HANDLING_NO_VALUE:
            pChoice->Selected = 1;
            break;
        case HANDLING_MASK_GROUP:
            CheckOptionValue(Index, argc, argv);
            if (WordEquals(argv[Index + 1], pRow->Values[0])) {
                pChoice->Data = 0;
            } else if (!WordEquals(argv[Index + 1], pRow->Values[1])) {
                pChoice->Data = ExtStrToUL(argv[Index + 1], 16);
            }
            CheckMask(pRow);
            break;
        case HANDLING_SINGLE_SLOT:
            CheckMask(pRow);
            break;
        }
        Accepted++;
    }
    return Accepted;
}

// Prints the firmware's reasons for a refusal that the row explains (ME control, boot agent).
static void ExplainRefusal(const SettingOption* pRow, uint32_t Status) {
    if (pRow->pRefusals[0] != NULL && (Status & 0x8)) {
        printf("%s", pRow->pRefusals[0]);
    }
    if (pRow->pRefusals[1] != NULL && (Status & 0x10)) {
        printf("%s", pRow->pRefusals[1]);
    }
}

// Prints the answer of a query row from bit 0 of the returned ECX.
static void PrintAnswer(const SettingOption* pRow, uint32_t Ecx) {
    if (pRow->pAnswer == NULL) {
        return;
    }
    const unsigned Bit = (unsigned)(Ecx & 1);
    printf("%s%d%s", pRow->pAnswer, (int)Bit, pRow->pAnswerWords[Bit]);
}

void ProcessSettingOptions(void) {
    const uint32_t Count = GetSettingOptionCount();
    for (uint32_t Row = 0; Row < Count; Row++) {
        const SettingOption* pRow = &SettingOptionTable[Row];
        const SettingChoice* pChoice = &SettingSelection[Row];
        if (pChoice->Selected != 1) {
            continue;
        }
        PortSmiRegisters Registers;
        InitRequest(&Registers, pRow->Function, pRow->Item, pChoice->Data);
        AttachPasswordHash(&Registers, BUF_REG_EDI_HASH, BUF_REG_NONE);
        if (!SendRequest(&Registers, NULL, 0, NULL, 0)) {
            ExplainRefusal(pRow, Registers.Eax);
            ExitApplication(EXIT_FIRMWARE_ERROR);
        }
        PrintAnswer(pRow, Registers.Ecx);
    }
}

void ProcessLoadDefault(void) {
    if (Run.VerboseMode) {
        printf("Calling ProcessLoadDefault...\n");
    }
    PortSmiRegisters Registers;
    InitRequest(&Registers, SETTING_FUNCTION, 9, 0);
    AttachPasswordHash(&Registers, BUF_REG_EDI_HASH, BUF_REG_NONE);
    SendCheckedRequest(&Registers, NULL, 0, NULL, 0);
}
