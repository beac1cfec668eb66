// The run sequence of Crestune: one straight pass from port discovery to the closing request.
#include "Applications/Crestune/Crestune.h"

namespace {

// Shows the help text for a first word that is no command word and for any help word of the
// option table ("/?", and a word whose first two characters are those of "/Help").
void ScreenCommandLine(int argc, char** argv) {
    if (argc <= 1 || argv[1][0] != '/') {
        PrintUsage();
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    for (int Index = 1; Index < argc; Index++) {
        if (FindOption(argv[Index], OPTION_CLASS_HELP) != NULL) {
            PrintUsage();
            ExitApplication(EXIT_INVALID_ARGUMENT);
        }
    }
}

// One operation a run, and every command word claimed by one parser.
void CheckClassRules(uint32_t totalArgCount, uint32_t priArgCount, uint32_t secArgCount,
                     uint32_t extArgCount) {
    if (priArgCount > 1 || (priArgCount == 1 && secArgCount != 0) ||
        (priArgCount == 0 && secArgCount == 0)) {
        printf("0.One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    const uint32_t Claimed = priArgCount + secArgCount + extArgCount;
    if (totalArgCount == Claimed) {
        return;
    }
    if (!(Run.ChangeAdminPassword && Run.ChangePowerOnPassword)) {
        printf("2.One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    // Both password changes count as one primary operation: one more word is allowed.
    if (totalArgCount != Claimed + 1) {
        printf("1.One or more arguments are invalid.\n");
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
}

void SendPlainRequest(const char* pName, uint32_t Eax) {
    if (Run.VerboseMode) {
        printf("Calling %s...\n", pName);
    }
    PortSmiRegisters Registers;
    InitRequest(&Registers, Eax, 0, 0);
    SendCheckedRequest(&Registers, NULL, 0, NULL, 0);
}

void OpenSettingFile(void) {
    if (Run.BackupMode) {
        OpenBackupFile();
        return;
    }
    if (!Run.RestoreMode) {
        return;
    }
    Run.SettingFile = fopen(Run.FileName, "rb");
    if (Run.SettingFile == NULL) {
        perror("Open file failed");
        ExitApplication(EXIT_FILE_OPEN_FAILED);
    }
}

void CloseSettingFile(void) {
    if (Run.SettingFile == NULL) {
        return;
    }
    if (Run.BackupMode) {
        FinishBackupFile();
        return;
    }
    FILE* pFile = Run.SettingFile;
    Run.SettingFile = NULL;
    fclose(pFile);
}

// The start-up code marks a character above 0xFF, which has no 8-bit form, with
// PLATFORM_ARGUMENT_SUBSTITUTE. Crestune reads such a character as '?', as it always has: a
// password set with one was hashed with a '?' in its place.
void ReadSubstitutesAsQuestionMarks(int argc, char** argv) {
    for (int Index = 1; Index < argc; Index++) {
        for (char* p = argv[Index]; *p != '\0'; p++) {
            if (*p == PLATFORM_ARGUMENT_SUBSTITUTE) {
                *p = '?';
            }
        }
    }
}

} // namespace

uint32_t RunCrestune(int argc, char** argv) {
    ReadSubstitutesAsQuestionMarks(argc, argv);
    uint16_t Port = 0;
    if (!GetSmiPortNumber(PlatformMemory(), &Port, PlatformConfigTable(),
                          &Run.PortFromConfigTable)) {
        printf("Get SMI port number failed.\n");
        ExitApplication(EXIT_NO_SMI_PORT);
    }
    Run.SmiPortNumber = Port;

    ScreenCommandLine(argc, argv);

    const uint32_t priArgCount = FindPrimaryArguments(argc, argv);
    const uint32_t extArgCount = FindExtendedArguments(argc, argv);
    const uint32_t secArgCount = FindSecondaryArguments(argc, argv);

    uint32_t totalArgCount = 0;
    for (int Index = 1; Index < argc; Index++) {
        if (argv[Index][0] == '/') {
            totalArgCount++;
        }
    }
    if (Run.VerboseMode) {
        printf("argc=%d,totalArgCount=%d, priArgCount=%d,secArgCount=%d,extArgCount=%d\n", argc,
               (int)totalArgCount, (int)priArgCount, (int)secArgCount, (int)extArgCount);
    }
    CheckClassRules(totalArgCount, priArgCount, secArgCount, extArgCount);

    if (Run.VerboseMode) {
        if (Run.PortFromConfigTable) {
            printf("ACPI tables taken from the UEFI configuration table.\n");
        }
        printf("SMI port number: %.4Xh\n", (unsigned)Run.SmiPortNumber);
    }
    SendPlainRequest("IsMfgDoneSet", MFG_DONE_FUNCTION);
    CheckCurrentPassword();
    ProcessSettingOptions();
    OpenSettingFile();
    if (Run.LoadDefault) {
        ProcessLoadDefault();
    } else if (Run.BackupMode || Run.RestoreMode) {
        ProcessBackupRestore();
    } else if (Run.ChangeAdminPassword || Run.ChangePowerOnPassword) {
        ProcessChangePassword();
    }
    CloseSettingFile();
    SendPlainRequest("UpdateChecksum", SETTING_FUNCTION);
    printf("BIOS setting processing successfully completed...\n\n");
    if (Run.RestoreMode && !Run.NoReboot) {
        printf("Rebooting...\n");
        PlatformRunShellCommand("reset");
    }
    return EXIT_OK;
}
