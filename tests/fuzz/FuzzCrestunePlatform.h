// The platform primitives for fuzz targets that link Crestune's code: physical memory and the
// configuration table are whatever the target sets, a port SMI goes to the target's handler.
#ifndef TESTS_FUZZ_FUZZCRESTUNEPLATFORM_H
#define TESTS_FUZZ_FUZZCRESTUNEPLATFORM_H

#include <stdint.h>

#include "Platform/Platform.h"

struct FuzzCrestunePlatform {
    const PhysMemReader* pMemory;
    const ConfigTableLookup* pConfig; // NULL: a configuration table without entries
    // Answers a port SMI (the words of TriggerPortSmi); NULL: any SMI breaks the invariant.
    void (*pTrigger)(const uint32_t* pInput, uint32_t* pOutput);
};
extern FuzzCrestunePlatform FuzzPlatform;

#endif
