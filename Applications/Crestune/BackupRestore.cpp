// Backup of all BIOS settings to a file and their restore from it.
#include "Applications/Crestune/Crestune.h"

void ProcessBackupRestore(void) {
    if (Run.VerboseMode) {
        printf("Calling ProcessBackupRestore...\n");
    }
    printf("Backup and restore are not available in this version.\n");
    ExitApplication(EXIT_FIRMWARE_ERROR);
}
