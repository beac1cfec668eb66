// The setting options: their table, their parser, the TPM switch confirmation, the setting
// requests with the answers of the queries, and the load of the setup defaults.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/EfiFunc.h"

// One row per option word. Data holds the request's ECX: the row's default until the parser
// replaces it with the value code, boot device code or bit mask.
SettingOption SettingOptionTable[SETTING_OPTION_ROWS + 1] = {
    {"/pbs", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x01, 0x0, 0, 0x0},
    {"/ebs", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x02, 0x0, 0, 0x0},
    {"/abs", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x03, 0x0, 0, 0x0},
    {"/dtpm",
     {"disable", "inactive", "active", "", "", "", "", "", "", ""},
     0x534D0040,
     0x04,
     0x0,
     0,
     0x0},
    {"/ftpm", {"", "", "", "", "disable", "", "enable", "", "", ""}, 0x534D0040, 0x04, 0x0, 0, 0x0},
    {"/dtpm2",
     {"", "", "", "", "", "", "", "disable", "enable", ""},
     0x534D0040,
     0x04,
     0x0,
     0,
     0x0},
    {"/vga",
     {"32mb", "64mb", "128mb", "256mb", "512mb", "1024mb", "", "", "", ""},
     0x534D0040,
     0x05,
     0x0,
     0,
     0x0},
    {"/kbdless",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x06,
     0x0,
     0,
     0x0},
    {"/fdd", {"disable", "enable", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x08, 0x0, 0, 0x0},
    {"/cfgsata",
     {"ide", "ahci", "raid", "optane", "", "", "", "", "", ""},
     0x534D0040,
     0x0C,
     0x0,
     0,
     0x0},
    {"/eop", {"clear", "set", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x0D, 0x0, 0, 0x0},
    {"/snstyle",
     {"legacy", "mtsn", "mtmsn", "1s", "", "", "", "", "", ""},
     0x534D0040,
     0x0E,
     0x0,
     0,
     0x0},
    {"/mebx", {"unreset", "reset", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x10, 0x0, 0, 0x0},
    {"/csm", {"disable", "enable", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x11, 0x0, 0, 0x0},
    {"/secboot",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x12,
     0x0,
     0,
     0x0},
    {"/bflash",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x13,
     0x0,
     0,
     0x0},
    {"/osdef", {"w8x64", "others", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x14, 0x0, 0, 0x0},
    {"/pxe",
     {"disable", "enable", "smc", "", "", "", "", "", "", ""},
     0x534D0040,
     0x16,
     0x0,
     0,
     0x0},
    {"/clrtcg", {"no", "yes", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x17, 0x0, 0, 0x0},
    {"/clrphypresent",
     {"enable", "disable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x18,
     0x0,
     0,
     0x0},
    {"/ipv4", {"enable", "disable", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x19, 0x0, 0, 0x0},
    {"/ipv6", {"enable", "disable", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x1A, 0x0, 0, 0x0},
    {"/btmode",
     {"auto", "uefi", "legacy", "", "", "", "", "", "", ""},
     0x534D0040,
     0x1B,
     0x0,
     0,
     0x0},
    {"/btpri", {"uefi", "legacy", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x1C, 0x0, 0, 0x0},
    {"/mbs", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x1D, 0x0, 0, 0x0},
    {"/cptmode",
     {"enable", "disable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x1E,
     0x0,
     0,
     0x0},
    {"/ict", {"enable", "disable", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x1F, 0x0, 0, 0x0},
    {"/getpapmode", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0x20, 0x0, 0, 0x0},
    {"/setpapmode",
     {"custom", "normal", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x21,
     0x0,
     0,
     0x0},
    {"/maxretrypwd",
     {"1", "3", "100", "unlimited", "", "", "", "", "", ""},
     0x534D0040,
     0x22,
     0x0,
     0,
     0x0},
    {"/chgpaptime",
     {"reboot", "runtime", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x23,
     0x0,
     0,
     0x0},
    {"/tpmrand",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0x82,
     0x0,
     0,
     0x0},
    {"/above4gb",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA2,
     0x0,
     0,
     0x0},
    {"/cfgssata",
     {"ide", "ahci", "raid", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA3,
     0x0,
     0,
     0x0},
    {"/ehcihandoff",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA4,
     0x0,
     0,
     0x0},
    {"/powerloss",
     {"on", "off", "last", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA5,
     0x0,
     0,
     0x0},
    {"/cardreader",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA6,
     0x0,
     0,
     0x0},
    {"/strom",
     {"disable", "uefi", "legacy", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA7,
     0x0,
     0,
     0x0},
    {"/satahotplug",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xA9,
     0x3FF,
     0,
     0x3FF},
    {"/sata1hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x1, 0, 0x1},
    {"/sata2hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x2, 0, 0x2},
    {"/sata3hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x4, 0, 0x4},
    {"/sata4hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x8, 0, 0x8},
    {"/sata5hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x10, 0, 0x10},
    {"/sata6hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x20, 0, 0x20},
    {"/sata7hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x40, 0, 0x40},
    {"/sata8hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x80, 0, 0x80},
    {"/sata9hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x100, 0, 0x100},
    {"/sata10hotplug", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xA9, 0x200, 0, 0x200},
    {"/winguard",
     {"disable", "enable", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xAA,
     0x0,
     0,
     0x0},
    {"/tbt",
     {"slot1", "slot2", "slot3", "slot4", "slot5", "slot6", "slot7", "slot8", "slot9", "slot10"},
     0x534D0040,
     0xAB,
     0x0,
     0,
     0x0},
    {"/xhci",
     {"sauto", "auto", "enable", "disable", "manual", "", "", "", "", ""},
     0x534D0040,
     0xAC,
     0x0,
     0,
     0x0},
    {"/mmioh",
     {"1t", "4t", "16t", "24t", "40t", "56t", "res1", "res2", "res3", "res4"},
     0x534D0040,
     0xAD,
     0x0,
     0,
     0x0},
    {"/me",
     {"disable", "enable", "status", "", "", "", "", "", "", ""},
     0x534D0740,
     0x03,
     0x0,
     0,
     0x0},
    {"/pcieslot",
     {"pcie", "vmd", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xAE,
     0xFFF,
     0,
     0xFFF},
    {"/pcieslot1", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x1, 0, 0x1},
    {"/pcieslot2", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x2, 0, 0x2},
    {"/pcieslot3", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x4, 0, 0x4},
    {"/pcieslot4", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x8, 0, 0x8},
    {"/pcieslot5", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x10, 0, 0x10},
    {"/pcieslot6", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x20, 0, 0x20},
    {"/pcieslot7", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x40, 0, 0x40},
    {"/pcieslot8", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x80, 0, 0x80},
    {"/pcieslot9", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x100, 0, 0x100},
    {"/pcieslot10", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x200, 0, 0x200},
    {"/pcieslot11", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x400, 0, 0x400},
    {"/pcieslot12", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x800, 0, 0x800},
    {"/m2slot",
     {"pcie", "vmd", "", "", "", "", "", "", "", ""},
     0x534D0040,
     0xAE,
     0xF000,
     0,
     0xF000},
    {"/m2slot1", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x1000, 0, 0x1000},
    {"/m2slot2", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x2000, 0, 0x2000},
    {"/m2slot3", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x4000, 0, 0x4000},
    {"/m2slot4", {"", "", "", "", "", "", "", "", "", ""}, 0x534D0040, 0xAE, 0x8000, 0, 0x8000},
    {"/misc0", {"0", "1", "2", "3", "4", "5", "6", "7", "", ""}, 0x534D0040, 0xFD, 0x0, 0, 0x0},
    {"/misc1", {"0", "1", "2", "3", "4", "5", "6", "7", "", ""}, 0x534D0040, 0xFE, 0x0, 0, 0x0},
    {"/misc2", {"0", "1", "2", "3", "4", "5", "6", "7", "", ""}, 0x534D0040, 0xFF, 0x0, 0, 0x0},
    {"/discptmsg", {"", "", "", "", "", "", "", "", "", ""}, 0x534D8D20, 0x00, 0x0, 0, 0x0},
    {"/encptmsg", {"", "", "", "", "", "", "", "", "", ""}, 0x534D8E20, 0x00, 0x0, 0, 0x0},
    {"/perdiscpt", {"", "", "", "", "", "", "", "", "", ""}, 0x534D9020, 0x00, 0x0, 0, 0x0},
    {"/getcpt", {"", "", "", "", "", "", "", "", "", ""}, 0x534DAB20, 0x00, 0x0, 0, 0x0},
    {"/setcpt",
     {"visible", "hidden", "", "", "", "", "", "", "", ""},
     0x534DAB20,
     0x01,
     0x0,
     0,
     0x0},
    {"", {"", "", "", "", "", "", "", "", "", ""}, 0, 0, 0, 0, 0},
};

struct BootDevice {
    const char* Word;
    uint8_t Code;
};

static const BootDevice kBootDevices[] = {
    {"fdd", 0x01},           {"sata1", 0x11},         {"sata2", 0x12},
    {"sata3", 0x13},         {"sata4", 0x14},         {"sata5", 0x15},
    {"sata6", 0x16},         {"sata7", 0x17},         {"sata8", 0x18},
    {"sata9", 0x19},         {"sata10", 0x1A},        {"Mezz_SATA", 0x1B},
    {"eSATA", 0x1F},         {"ufdd_group", 0x30},    {"ufdd1", 0x31},
    {"ufdd2", 0x32},         {"ukey_group", 0x40},    {"ukey1", 0x41},
    {"ukey2", 0x42},         {"uhdd_group", 0x50},    {"uhdd1", 0x51},
    {"uhdd2", 0x52},         {"uodd_group", 0x60},    {"uodd1", 0x61},
    {"uodd2", 0x62},         {"lan1", 0x71},          {"lan2", 0x72},
    {"scu_hdd1", 0x81},      {"scu_hdd2", 0x82},      {"scu_hdd3", 0x83},
    {"scu_hdd4", 0x84},      {"device1", 0x91},       {"device2", 0x92},
    {"device3", 0x93},       {"device4", 0x94},       {"device5", 0x95},
    {"device6", 0x96},       {"Mezz1_PCIe_P1", 0xA1}, {"Mezz1_PCIe_P2", 0xA2},
    {"Mezz2_PCIe_P1", 0xA3}, {"Mezz2_PCIe_P2", 0xA4}, {"PCIE_SLOT_1", 0xB1},
    {"PCIE_SLOT_2", 0xB2},   {"PCIE_SLOT_3", 0xB3},   {"PCIE_SLOT_4", 0xB4},
    {"PCIE_SLOT_5", 0xB5},   {"PCIE_SLOT_6", 0xB6},   {"PCIE_SLOT_7", 0xB7},
    {"PCIE_SLOT_8", 0xB8},   {"PCIE_SLOT_9", 0xB9},   {"M2_DRIVER_1", 0xC1},
    {"M2_DRIVER_2", 0xC2},   {"M2_DRIVER_3", 0xC3},   {"M2_DRIVER_4", 0xC4},
    {"VMD1", 0xD1},          {"VMD2", 0xD2},          {"VMD3", 0xD3},
};

#define TPM_ITEM 0x04
#define SATA_HOTPLUG_ITEM 0xA9
#define PCIE_SLOT_ITEM 0xAE
#define CONVERSION_FAILED 0xFFFFFFFFu

enum SettingHandling {
    HANDLING_VALUE_LIST,
    HANDLING_BOOT_DEVICE,
    HANDLING_TPM_SWITCH,
    HANDLING_NO_VALUE,
    HANDLING_MASK_GROUP,
    HANDLING_SINGLE_SLOT,
};

enum TpmMode { TPM_MODE_FTPM20, TPM_MODE_DTPM12, TPM_MODE_DTPM20, TPM_MODE_NONE };

static const char* const kWarningFirmwareTpm =
    "!!!Important Warning: Current Used Fireware TPM2.0. dTPM firmware may be upgraded or "
    "downgraded, all TPM related applications must be disabled, otherwise the TPM will be "
    "cleared and you may not be able to access your data!!!\n";
static const char* const kWarningDiscreteTpm =
    "!!!Important Warning: Before the dTPM firmware can be upgraded or downgraded, all TPM "
    "related applications must be disabled, otherwise the TPM will be cleared and you may not be "
    "able to access your data!!!\n";

static bool NameIs(const SettingOption* pRow, const char* pName) {
    return WordEquals(pRow->Name, pName);
}

static SettingHandling HandlingOf(const SettingOption* pRow) {
    switch (pRow->Item) {
    case 0x00:
        if (NameIs(pRow, "/discptmsg") || NameIs(pRow, "/encptmsg") || NameIs(pRow, "/perdiscpt") ||
            NameIs(pRow, "/getcpt")) {
            return HANDLING_NO_VALUE;
        }
        break;
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x1D:
        if (NameIs(pRow, "/pbs") || NameIs(pRow, "/ebs") || NameIs(pRow, "/abs") ||
            NameIs(pRow, "/mbs")) {
            return HANDLING_BOOT_DEVICE;
        }
        break;
    case TPM_ITEM:
        if (NameIs(pRow, "/dtpm") || NameIs(pRow, "/dtpm2")) {
            return HANDLING_TPM_SWITCH;
        }
        break;
    case 0x20:
        if (NameIs(pRow, "/getpapmode")) {
            return HANDLING_NO_VALUE;
        }
        break;
    case SATA_HOTPLUG_ITEM:
    case PCIE_SLOT_ITEM:
        if (NameIs(pRow, "/satahotplug") || NameIs(pRow, "/pcieslot") || NameIs(pRow, "/m2slot")) {
            return HANDLING_MASK_GROUP;
        }
        return HANDLING_SINGLE_SLOT;
    default:
        break;
    }
    return HANDLING_VALUE_LIST;
}

uint32_t GetSettingOptionCount(void) {
    uint32_t Count = 0;
    while (strcmp(SettingOptionTable[Count].Name, "") != 0) {
        Count++;
    }
    return Count;
}

void ResetSettingOptionTable(void) {
    for (uint32_t Index = 0; Index < SETTING_OPTION_ROWS; Index++) {
        SettingOptionTable[Index].Data = SettingOptionTable[Index].DefaultData;
        SettingOptionTable[Index].Selected = 0;
    }
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

void ParseBootDevice(int Index, SettingOption* pRow, int argc, char** argv) {
    CheckOptionValue(Index, argc, argv);
    for (const BootDevice& Device : kBootDevices) {
        if (WordEquals(argv[Index + 1], Device.Word)) {
            pRow->Data = Device.Code;
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
    InitRequest(&Registers, 0x534D0040, TPM_ITEM, 0xFFFFFFFF);
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
    const bool ToTpm20 = NameIs(pRow, "/dtpm2");
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

static void SelectOnce(SettingOption* pRow) {
    if (pRow->Selected) {
        RefuseSetting();
    }
    pRow->Selected = 1;
}

static void ParseValueList(SettingOption* pRow, int Index, int argc, char** argv) {
    CheckOptionValue(Index, argc, argv);
    bool Matched = false;
    for (uint32_t Slot = 0; Slot < SETTING_VALUE_SLOTS; Slot++) {
        if (pRow->Values[Slot][0] != '\0' && WordEquals(argv[Index + 1], pRow->Values[Slot])) {
            pRow->Data = Slot;
            Matched = true;
            break;
        }
    }
    if (!Matched) {
        RefuseSetting();
    }
    SelectOnce(pRow);
}

static void CheckMask(SettingOption* pRow) {
    if (pRow->Selected || pRow->Data == CONVERSION_FAILED) {
        RefuseSetting();
    }
    if (NameIs(pRow, "/satahotplug") && pRow->Data > 0x3FF) {
        printf("SATA Hotplug Input ECX Error.Please info help message!\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    if (NameIs(pRow, "/pcieslot") && pRow->Data > 0xFFF) {
        printf("pcieslot Input ECX Error.Please info help message!\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    if (NameIs(pRow, "/m2slot") && (pRow->Data > 0xFFFF || (pRow->Data & 0xFFF) != 0)) {
        printf("m2slot Input ECX Error.Please info help message!\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    pRow->Selected = 1;
}

uint32_t FindSecondaryArguments(int argc, char** argv) {
    const uint32_t Count = GetSettingOptionCount();
    uint32_t Accepted = 0;
    for (int Index = 1; Index < argc; Index++) {
        if (argv[Index][0] != '/') {
            continue;
        }
        SettingOption* pRow = NULL;
        for (uint32_t Row = 0; Row < Count; Row++) {
            if (WordEquals(argv[Index], SettingOptionTable[Row].Name)) {
                pRow = &SettingOptionTable[Row];
                break;
            }
        }
        if (pRow == NULL) {
            continue;
        }
        switch (HandlingOf(pRow)) {
        case HANDLING_TPM_SWITCH:
            ConfirmTpmSwitch(pRow, argv[Index]);
            ParseValueList(pRow, Index, argc, argv);
            break;
        case HANDLING_VALUE_LIST:
            ParseValueList(pRow, Index, argc, argv);
            break;
        case HANDLING_BOOT_DEVICE:
            ParseBootDevice(Index, pRow, argc, argv);
            SelectOnce(pRow);
            break;
        case HANDLING_NO_VALUE:
            pRow->Selected = 1;
            break;
        case HANDLING_MASK_GROUP:
            CheckOptionValue(Index, argc, argv);
            if (WordEquals(argv[Index + 1], pRow->Values[0])) {
                pRow->Data = 0;
            } else if (!WordEquals(argv[Index + 1], pRow->Values[1])) {
                pRow->Data = ExtStrToUL(argv[Index + 1], 16);
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

// Prints the firmware's reasons for refusing the ME control and boot agent settings.
static void ExplainRefusal(const SettingOption* pRow, uint32_t Status) {
    if (NameIs(pRow, "/me")) {
        if (Status & 0x8) {
            printf("There is no ME control GPIO present.\n");
        }
        if (Status & 0x10) {
            printf("MFGDONE is set to prevent changing ME control GPIO status.\n");
        }
    } else if (NameIs(pRow, "/pxe")) {
        if (Status & 0x8) {
            printf("The Boot Agent Variable can't be found.\n");
        }
        if (Status & 0x10) {
            printf("SMC wasn't be support!It's only used by workstation!\n");
        }
    }
}

static void PrintAnswer(const SettingOption* pRow, uint32_t Ecx) {
    const unsigned Bit = (unsigned)(Ecx & 1);
    if (NameIs(pRow, "/getcpt")) {
        printf("Status of computrace Hidden setting = %d", (int)Bit);
        printf(Bit ? "...Hidden\n" : "...Visible\n");
    } else if (NameIs(pRow, "/getpapmode")) {
        printf("Status of PAP Mode = %d", (int)Bit);
        printf(Bit ? "...Normal Mode\n" : "...Custom Mode\n");
    } else if (NameIs(pRow, "/me")) {
        printf("ME control GPIO value = %d\n", (int)Bit);
    }
}

void ProcessSettingOptions(void) {
    const uint32_t Count = GetSettingOptionCount();
    for (uint32_t Row = 0; Row < Count; Row++) {
        const SettingOption* pRow = &SettingOptionTable[Row];
        if (pRow->Selected != 1) {
            continue;
        }
        PortSmiRegisters Registers;
        InitRequest(&Registers, pRow->Function, pRow->Item, pRow->Data);
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
    InitRequest(&Registers, 0x534D0040, 9, 0);
    AttachPasswordHash(&Registers, BUF_REG_EDI_HASH, BUF_REG_NONE);
    SendCheckedRequest(&Registers, NULL, 0, NULL, 0);
}
