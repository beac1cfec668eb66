// The platform primitives for every fuzz target that links a tool's code without the simulated
// machine: physical memory and the configuration table are whatever the target sets, a port SMI
// goes to the target's handler, and nothing may be written, run or stalled on.
#ifndef TESTS_FUZZ_FUZZPLATFORM_H
#define TESTS_FUZZ_FUZZPLATFORM_H

#include <stdint.h>

#include "Platform/Platform.h"

struct FuzzPlatformHooks {
    const PhysMemReader* pMemory;
    const ConfigTableLookup* pConfig; // NULL: a configuration table without entries
    // Answers a port SMI (the words of TriggerPortSmi); NULL: any SMI breaks the invariant.
    void (*pTrigger)(const uint32_t* pInput, uint32_t* pOutput);
};
extern FuzzPlatformHooks FuzzPlatform;

#endif
