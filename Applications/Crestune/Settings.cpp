// The setting options: their parser, the setting requests and the load of the setup defaults.
#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/EfiFunc.h"

uint32_t FindSecondaryArguments(int argc, char** argv) {
    (void)argc;
    (void)argv;
    return 0;
}

void ProcessSettingOptions(void) {}

void ProcessLoadDefault(void) {
    if (Run.VerboseMode) {
        printf("Calling ProcessLoadDefault...\n");
    }
    PortSmiRegisters Registers;
    InitRequest(&Registers, 0x534D0040, 9, 0);
    AttachPasswordHash(&Registers, BUF_REG_EDI_HASH);
    SendCheckedRequest(&Registers, NULL, 0, NULL, 0);
}
