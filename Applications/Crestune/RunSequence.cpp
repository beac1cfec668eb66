// The run sequence of Crestune: one straight pass from port discovery to the closing request.
#include <string.h>

#include "Applications/Crestune/Crestune.h"

namespace {

// A word asks for help when it is "/?" or its first two characters are those of "/Help",
// compared without regard to case.
bool AsksForHelp(const char* pWord) {
    if (strcmp(pWord, "/?") == 0) {
        return true;
    }
    return strlen(pWord) >= 2 && strncasecmp(pWord, "/Help", 2) == 0;
}

void ScreenCommandLine(int argc, char** argv) {
    if (argc <= 1 || argv[1][0] != '/') {
        PrintUsage();
        ExitApplication(EXIT_INVALID_ARGUMENT);
    }
    for (int Index = 1; Index < argc; Index++) {
        if (AsksForHelp(argv[Index])) {
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

}  // namespace

uint32_t RunCrestune(int argc, char** argv) {
    uint16_t Port = 0;
    if (!GetSmiPortNumber(PlatformMemory(), &Port)) {
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
        printf("SMI port number: %.4Xh\n", (unsigned)Run.SmiPortNumber);
    }
    return EXIT_OK;
}
