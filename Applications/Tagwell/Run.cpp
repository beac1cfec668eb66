// The run record and the fixed order of a Tagwell run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Applications/Tagwell/Tagwell.h"

UpdateRequest Request;

void ResetUpdateRequest(void) {
    memset(&Request, 0, sizeof Request);
}

void ExitTagwell(uint32_t ExitCode) {
    exit((int)ExitCode);
}

void RebootCountdown(void) {
    for (int Seconds = 5; Seconds >= 0; Seconds--) {
        printf("\rRebooting Countdown: %d", Seconds);
        fflush(stdout);
        PlatformStall(1000000);
    }
    printf("\r");
    fflush(stdout);
    // The shell's reset restarts the machine; should it come back, the run ends normally.
    PlatformRunShellCommand("reset");
}

uint32_t RunTagwell(int argc, char** argv) {
    ResetUpdateRequest();
    WrapperOption Options[TAGWELL_OPTION_ROWS + 1];
    InitOptionTable(Options);

    if (argc <= 1) {
        Request.DefaultMode = true;
        Request.AskUser = true;
    } else {
        if (!MarkOptions(Options, argc, argv)) {
            PrintErrorBanner();
            PrintUsage();
            ExitTagwell(TAGWELL_EXIT_USAGE);
        }
        bool OtherThanReboot = false;
        for (int Row = 0; Row < TAGWELL_OPTION_ROWS; Row++) {
            if (Options[Row].Found && Row != OPTION_REBOOT) {
                OtherThanReboot = true;
            }
        }
        Request.AskUser = !OtherThanReboot;
        ProcessArguments(argc, argv, Options);
    }
    if (Request.AskUser) {
        for (int Row = 0; Row < TAGWELL_FIELD_COUNT; Row++) {
            if (kTagwellFields[Row].pQuestionName != NULL) {
                Request.UpdateField[Row] = true;
            }
        }
        Request.Update = true;
    }

    PrintBanner();

    if (Request.Verbose) {
        printf("Calling GetBiosVendor...\n");
    }
    Request.Vendor = GetBiosVendor();
    const VendorTool* pTool = FindVendorTool(Request.Vendor);
    if (pTool == NULL) {
        printf("Unknown BIOS Vendor.\n");
        ExitTagwell(TAGWELL_EXIT_NO_VENDOR);
    }
    if (Request.Verbose) {
        printf("%s BIOS is found.\n", pTool->pName);
    }

    if (Request.Update) {
        CheckVendorTool();
    }
    if (Request.AskUser) {
        AskUserQuestions();
    }
    if (Request.Update) {
        RunVendorTool();
    }
    if (!Request.Quiet) {
        printf("\nUpdate process successfully completed.\n");
    }
    if (Request.Reboot) {
        RebootCountdown();
    }
    return TAGWELL_EXIT_OK;
}
