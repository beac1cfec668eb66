// The firmware's SMI handlers on the simulated machine.
#include "Platform/Platform.h"

void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput) {
    // A machine without an SMI handler: the registers come back unchanged.
    for (int Index = 0; Index < 6; Index++) {
        pOutput[Index] = pInput[Index + 1];
    }
}
