#include "Platform/Platform.h"
#include <string.h>
static void ReadStub(const PhysMemReader*, uint64_t, void* d, size_t n) { memset(d, 0xFF, n); }
static const PhysMemReader kReader = {ReadStub, nullptr};
const PhysMemReader* PlatformMemory(void) { return &kReader; }
void TriggerPortSmi(const uint32_t* in, uint32_t* out) { for (int i = 0; i < 6; i++) out[i] = in[i + 1]; }
int PlatformRunShellCommand(const char*) { return 1; }
void PlatformStall(uint32_t) {}
