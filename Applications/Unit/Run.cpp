// The run of Unit: gather, print one line, hand the id to the shell.
#include <stdio.h>
#include <string.h>

#include "Applications/Unit/Unit.h"

namespace {

// One byte of a global variable, or -1 when it is absent or of another size.
int ReadGlobalByte(const char* pName) {
    uint8_t Value = 0;
    size_t Size = sizeof Value;
    if (!PlatformReadVariable(pName, &kPlatformGlobalVariableGuid, &Value, &Size) || Size != 1) {
        return -1;
    }
    return Value;
}

} // namespace

uint32_t RunUnit(int argc, char**) {
    if (argc > 1) {
        printf("Usage: Unit (no arguments): prints the unit line and sets %%unitid%%.\n");
        return UNIT_EXIT_USAGE;
    }
    static UnitInfo Info;
    memset(&Info, 0, sizeof Info);
    ReadUnitSmbios(PlatformMemory(), PlatformConfigTable(), &Info);
    Info.SecureBoot = JudgeSecureBoot(ReadGlobalByte("SecureBoot"), ReadGlobalByte("SetupMode"));

    char Id[UNIT_ID_MAX + 1];
    ChooseUnitId(&Info, Id);
    static char Line[6 * UNIT_TEXT_SIZE + 256];
    FormatUnitLine(&Info, Id, Line, sizeof Line);
    printf("%s\n", Line);
    // The script finds the id in %unitid%; with no id the variable is removed, so that an id of
    // an earlier unit never stays behind.
    PlatformSetShellVariable("unitid", Id);
    return UNIT_EXIT_OK;
}
