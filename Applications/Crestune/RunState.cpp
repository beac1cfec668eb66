// The run state of Crestune and the one way a run ends early.
#include <stdlib.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"

RunState Run;

void ResetRunState(void) {
    free(Run.strTempFile);
    memset(&Run, 0, sizeof Run);
    ResetSettingSelection();
}

void ExitApplication(uint32_t ExitCode) {
    if (Run.SettingFile != NULL) {
        FILE* pFile = Run.SettingFile;
        Run.SettingFile = NULL;
        fclose(pFile);
    }
    // A backup that did not come to its end leaves no temporary file behind.
    if (Run.strTempFile != NULL) {
        remove(Run.strTempFile);
        free(Run.strTempFile);
        Run.strTempFile = NULL;
    }
    exit((int)ExitCode);
}
