// The run of Unit: gather, print one line, hand the id to the shell; or write or check the
// done record.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "Applications/Unit/SignatureDb.h"
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

uint32_t Usage() {
    printf("Usage: Unit (no arguments): prints the unit line and sets %%unitid%%.\n"
           "       Unit /owner GUID: the same, then the line of the certificates db holds "
           "under the owner GUID.\n"
           "       Unit /record FILE STICKID RUN: writes this unit's done record.\n"
           "       Unit /check FILE STICKID: 0 when FILE is this unit's done record of the "
           "stick (its run in %%stick_done_run%%).\n");
    return UNIT_EXIT_USAGE;
}

// Writes the record; an earlier file of that name is replaced.
uint32_t WriteRecord(const char* pFile, const char* pText) {
    FILE* pOut = fopen(pFile, "wb");
    if (pOut == NULL) {
        fprintf(stderr, "Cannot write the done record %s: %s\n", pFile, strerror(errno));
        return UNIT_EXIT_NO_RECORD;
    }
    const size_t Length = strlen(pText);
    const bool Written = fwrite(pText, 1, Length, pOut) == Length;
    if (fclose(pOut) != 0 || !Written) {
        fprintf(stderr, "Cannot write the done record %s: %s\n", pFile, strerror(errno));
        remove(pFile);
        return UNIT_EXIT_NO_RECORD;
    }
    return UNIT_EXIT_OK;
}

uint32_t CheckRecord(const UnitInfo* pInfo, const char* pId, const char* pFile,
                     const char* pStick) {
    FILE* pIn = fopen(pFile, "rb");
    if (pIn == NULL) {
        return UNIT_EXIT_NO_RECORD;
    }
    static char Text[UNIT_RECORD_SIZE + 1];
    const size_t Length = fread(Text, 1, UNIT_RECORD_SIZE + 1, pIn);
    fclose(pIn);
    Text[Length > UNIT_RECORD_SIZE ? UNIT_RECORD_SIZE : Length] = '\0';
    uint32_t Run = 0;
    const UnitRecordMatch Match = Length > UNIT_RECORD_SIZE || strlen(Text) != Length
                                      ? RECORD_UNREADABLE
                                      : MatchUnitRecord(Text, pInfo, pId, pStick, &Run);
    if (Match == RECORD_OURS) {
        char Number[16];
        snprintf(Number, sizeof Number, "%u", (unsigned)Run);
        PlatformSetShellVariable("stick_done_run", Number);
        return UNIT_EXIT_OK;
    }
    if (Match == RECORD_UNREADABLE) {
        printf("the done record %s is not one that Unit wrote\n", pFile);
        return UNIT_EXIT_BAD_RECORD;
    }
    char Shown[2 * UNIT_TEXT_SIZE];
    DescribeRecordUnit(Text, Shown, sizeof Shown);
    const char* pWhat = Match == RECORD_OTHER_STICK ? "stick" : "unit";
    printf("the done record %s names another %s (%s), not this %s\n", pFile, pWhat, Shown, pWhat);
    return UNIT_EXIT_OTHER_UNIT;
}

} // namespace

uint32_t RunUnit(int argc, char** argv) {
    const bool Record = argc == 5 && strcasecmp(argv[1], "/record") == 0;
    const bool Check = argc == 4 && strcasecmp(argv[1], "/check") == 0;
    const bool Owner = argc == 3 && strcasecmp(argv[1], "/owner") == 0;
    uint32_t Run = 0;
    PlatformGuid OwnerGuid = {};
    if (Owner
            ? !ParseGuidText(argv[2], &OwnerGuid)
            : argc > 1 && ((!Record && !Check) || argv[2][0] == '\0' || !IsValidStickId(argv[3]) ||
                           (Record && !ParseRecordRun(argv[4], &Run)))) {
        return Usage();
    }
    static UnitInfo Info;
    memset(&Info, 0, sizeof Info);
    ReadUnitSmbios(PlatformMemory(), PlatformConfigTable(), &Info);
    Info.SecureBoot = JudgeSecureBoot(ReadGlobalByte("SecureBoot"), ReadGlobalByte("SetupMode"));

    char Id[UNIT_ID_MAX + 1];
    ChooseUnitId(&Info, Id);
    if (Record || Check) {
        // A machine without an id cannot be told from another: no record names it.
        if (Id[0] == '\0') {
            printf("this machine has no unit id (no usable serial number or UUID): no done "
                   "record names it\n");
            return UNIT_EXIT_NO_UNIT;
        }
        if (Check) {
            return CheckRecord(&Info, Id, argv[2], argv[3]);
        }
        static char Text[UNIT_RECORD_SIZE];
        FormatUnitRecord(&Info, Id, argv[3], Run, Text, sizeof Text);
        return WriteRecord(argv[2], Text);
    }
    static char Line[6 * UNIT_TEXT_SIZE + 256];
    FormatUnitLine(&Info, Id, Line, sizeof Line);
    printf("%s\n", Line);
    if (Owner) {
        PrintSignatureDb(&OwnerGuid);
    }
    // The script finds the id in %unitid%; with no id the variable is removed, so that an id of
    // an earlier unit never stays behind.
    PlatformSetShellVariable("unitid", Id);
    return UNIT_EXIT_OK;
}
