// The platform primitives of the fuzz targets.
#include "FuzzPlatform.h"

#include <string.h>

#include "FuzzSupport.h"

FuzzPlatformHooks FuzzPlatform = {NULL, NULL, NULL};

namespace {

void ReadNothing(const PhysMemReader*, uint64_t, void* pDest, size_t Count) {
    memset(pDest, 0, Count);
}
const PhysMemReader kNoMemory = {ReadNothing, NULL};

bool FindNoEntry(const ConfigTableLookup*, const PlatformGuid*, uint64_t*) {
    return false;
}
const ConfigTableLookup kNoConfigTable = {FindNoEntry, NULL};

} // namespace

const PhysMemReader* PlatformMemory(void) {
    return FuzzPlatform.pMemory != NULL ? FuzzPlatform.pMemory : &kNoMemory;
}

const ConfigTableLookup* PlatformConfigTable(void) {
    return FuzzPlatform.pConfig != NULL ? FuzzPlatform.pConfig : &kNoConfigTable;
}

void PlatformFirmwareVendor(char* pBuffer, size_t Size) {
    if (Size > 0) {
        pBuffer[0] = '\0';
    }
}

void PlatformWritePhysical(uint64_t Address, const void*, size_t Count) {
    FUZZ_CHECK(false, "write of %zu bytes to 0x%llX without a lent buffer", Count,
               (unsigned long long)Address);
}

void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput) {
    FUZZ_CHECK(FuzzPlatform.pTrigger != NULL, "unexpected SMI, EAX %08X", (unsigned)pInput[1]);
    FuzzPlatform.pTrigger(pInput, pOutput);
}

int PlatformRunShellCommand(const char* pCommandLine) {
    FUZZ_CHECK(false, "the shell was asked to run %s", pCommandLine);
}

void PlatformStall(uint32_t) {}

bool PlatformIsDevice(const char*) {
    return false;
}
