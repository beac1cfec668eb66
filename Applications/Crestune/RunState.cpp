// The run state of Crestune and the one way a run ends early.
#include <stdlib.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"

RunState Run;

void ResetRunState(void) {
    memset(&Run, 0, sizeof Run);
    ResetSettingOptionTable();
}

void ExitApplication(uint32_t ExitCode) {
    if (Run.SettingFile != NULL) {
        FILE* pFile = Run.SettingFile;
        Run.SettingFile = NULL;
        fclose(pFile);
    }
    exit((int)ExitCode);
}
