// The platform primitives: the few things the tools need that the C library does not offer.
//
// Two implementations exist: Platform/Uefi (the real machine, linked into the .efi files) and
// Simulator/ (a simulated machine on Linux). The tools touch the machine only through these
// functions and the C library.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

// Reads physical memory. Physical memory is identity mapped under UEFI; the simulated machine
// maps its memory at the same addresses. Walks over firmware tables take a reader so that they
// also run over a memory image in unit tests.
struct PhysMemReader {
    // Copies Count bytes starting at physical Address into pDest.
    void (*Read)(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count);
    const void* pContext;
};

// The reader of this machine's physical memory.
const PhysMemReader* PlatformMemory(void);

uint8_t PhysRead8(const PhysMemReader* pReader, uint64_t Address);
uint16_t PhysRead16(const PhysMemReader* pReader, uint64_t Address);
uint32_t PhysRead32(const PhysMemReader* pReader, uint64_t Address);

// Raises one software SMI through the SMI command port.
// pInput: seven 32-bit words; word 0 is not read, then EAX, EBX, ECX, EDX, EDI, ESI.
// pOutput: receives six 32-bit words, EAX, EBX, ECX, EDX, EDI, ESI, as the firmware left them.
// AL is written to port DX, then AL to ports 0xEB, 0xED, 0xEB, 0xED as a delay.
void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput);

// Hands a command line to the shell (the run request). Returns 0 when the shell ran it,
// nonzero when it could not (the command's own status is not read).
int PlatformRunShellCommand(const char* pCommandLine);

// Waits the given number of microseconds.
void PlatformStall(uint32_t Microseconds);

// Whether the name is that of a device or pipe rather than a file or directory: such a target
// has no contents to keep and cannot be replaced by a file, so it is written directly. The
// UEFI shell's file systems hold only files and directories.
bool PlatformIsDevice(const char* pName);

// The byte that the UEFI start-up code puts in an argument in place of a character above 0xFF,
// which has no 8-bit form (ASCII SUB; the runtime's RT_NARROW_SUBSTITUTE).
#define PLATFORM_ARGUMENT_SUBSTITUTE 0x1A

#endif
