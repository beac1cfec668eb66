// The platform primitives: the few things the tools need that the C library does not offer.
//
// Two implementations exist: Platform/Uefi (the real machine, linked into the .efi files) and
// Simulator/ (a simulated machine on Linux). The tools touch the machine only through these
// functions and the C library.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "Platform/LegacyArea.h"

// Reads physical memory. Physical memory is identity mapped under UEFI; the simulated machine
// maps its memory at the same addresses. Walks over firmware tables take a reader so that they
// also run over a memory image in unit tests.
struct PhysMemReader {
    // Copies Count bytes starting at physical Address into pDest.
    void (*Read)(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count);
    const void* pContext;
    // Whether the firmware's memory map describes [Address, Address + Length) as memory that may
    // be read (not device registers, not unusable). NULL: every address below
    // PHYS_ADDRESS_LIMIT is memory (a memory image). Ask through PhysRangeReadable.
    bool (*Describes)(const PhysMemReader* pSelf, uint64_t Address, uint64_t Length);
};

// The reader of this machine's physical memory.
const PhysMemReader* PlatformMemory(void);

// x86-64 physical addresses have at most 52 bits: nothing lies at or above this.
#define PHYS_ADDRESS_LIMIT (1ULL << 52)

// Whether [Address, Address + Length) may be read: it does not wrap past 2^64, ends at or below
// PHYS_ADDRESS_LIMIT and is memory by the reader's map. Walks ask before they read a table.
bool PhysRangeReadable(const PhysMemReader* pReader, uint64_t Address, uint64_t Length);

// One entry of a memory map: Length bytes from Base, and whether they may be read.
struct PhysMemoryRange {
    uint64_t Base;
    uint64_t Length;
    bool Readable;
};

// The legacy BIOS area (PHYS_LEGACY_AREA_START to PHYS_LEGACY_AREA_END) is readable whatever a
// map says of it: machines with a legacy BIOS keep their tables there, and firmware maps often
// leave it out.

// Whether readable entries of the map (Count entries, in any order, adjacent entries joining)
// and the legacy BIOS area together cover [Address, Address + Length). A wrapping range is not
// covered.
bool PhysRangeInMap(const PhysMemoryRange* pMap, size_t Count, uint64_t Address, uint64_t Length);

uint8_t PhysRead8(const PhysMemReader* pReader, uint64_t Address);
uint16_t PhysRead16(const PhysMemReader* pReader, uint64_t Address);
uint32_t PhysRead32(const PhysMemReader* pReader, uint64_t Address);
uint64_t PhysRead64(const PhysMemReader* pReader, uint64_t Address);

// Writes Count bytes from pSource to physical Address: the memory the firmware lends the tool
// (the SMM communication buffer).
void PlatformWritePhysical(uint64_t Address, const void* pSource, size_t Count);

// A GUID in the layout of the UEFI configuration table.
struct PlatformGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// The UEFI configuration table: the tables the firmware publishes, each under a GUID. Walks
// take a lookup so that they also run over a memory image in unit tests.
struct ConfigTableLookup {
    // Stores the physical address of the entry with the GUID; false when there is none.
    bool (*Find)(const ConfigTableLookup* pSelf, const PlatformGuid* pGuid, uint64_t* pAddress);
    const void* pContext;
};

// The lookup in this machine's configuration table.
const ConfigTableLookup* PlatformConfigTable(void);

// Copies the firmware vendor name of the system table as narrow text (characters above 0xFF
// become '?'), always terminated; an empty text when the firmware names none.
void PlatformFirmwareVendor(char* pBuffer, size_t Size);

// Raises one software SMI through the SMI command port.
// pInput: seven 32-bit words; word 0 is not read, then EAX, EBX, ECX, EDX, EDI, ESI.
// pOutput: receives six 32-bit words, EAX, EBX, ECX, EDX, EDI, ESI, as the firmware left them.
// AL is written to port DX, then AL to ports 0xEB, 0xED, 0xEB, 0xED as a delay.
void TriggerPortSmi(const uint32_t* pInput, uint32_t* pOutput);

// Hands a command line to the shell (the run request). Returns 0 when the shell ran it,
// nonzero when it could not (the command's own status is not read).
int PlatformRunShellCommand(const char* pCommandLine);

// What became of a command line handed to the shell (PlatformRunShellCommandStatus).
enum PlatformCommandResult {
    PLATFORM_COMMAND_RAN = 0,        // the shell ran it
    PLATFORM_COMMAND_NOT_RUN = 1,    // the shell could not run the line
    PLATFORM_COMMAND_NOT_STARTED = 2 // the shell could not start the program the line names
};

// Like PlatformRunShellCommand, and reports the status the command itself ended with where the
// shell hands one back: through EFI_SHELL_PROTOCOL.Execute *pKnown is set and *pStatus is the
// command's status (or, with PLATFORM_COMMAND_NOT_STARTED, the shell's reason); through the
// older shell interface, which returns none, *pKnown is cleared. Only a shell that runs the line
// in its own instance (no nesting, as a pinned shell) tells that it could not start the program;
// a nested shell hands back its reason as if the program had ended with it.
int PlatformRunShellCommandStatus(const char* pCommandLine, bool* pKnown, uint64_t* pStatus);

// Whether the file (a name in the shell's current directory) holds a program this machine can
// start, judged from the file alone: nothing of it is loaded or run, so no check of the shell or
// the firmware is passed by. True where the file cannot be read.
bool PlatformIsProgramFile(const char* pFileName);

// Reads a UEFI variable (GetVariable). *pSize holds the buffer's size and receives the value's
// size. False when the variable does not exist or cannot be read (*pSize unchanged) or does not
// fit (*pSize then receives the size it needs).
bool PlatformReadVariable(const char* pName, const PlatformGuid* pVendor, void* pData,
                          size_t* pSize);

// The vendor GUID of the firmware's global variables (SecureBoot, SetupMode, ...).
extern const PlatformGuid kPlatformGlobalVariableGuid;

// Sets a volatile variable of the shell that started the program (EFI_SHELL_PROTOCOL.SetEnv);
// an empty value deletes it. False when there is no such shell or it refused.
bool PlatformSetShellVariable(const char* pName, const char* pValue);

// Waits the given number of microseconds.
void PlatformStall(uint32_t Microseconds);

// Whether the name is that of a device or pipe rather than a file or directory: such a target
// has no contents to keep and cannot be replaced by a file, so it is written directly. The
// UEFI shell's file systems hold only files and directories.
bool PlatformIsDevice(const char* pName);

// The network card, through the firmware's IPv4 configuration, DNS and TCP protocols, and for
// https through its HTTP protocol and TLS. The simulated machine takes the card from its
// "network" description and reaches only the loopback address over a socket; it has no TLS.
enum PlatformNetStatus {
    PLATFORM_NET_OK,
    PLATFORM_NET_NO_CARD,    // no network card with IPv4 configuration or TCP
    PLATFORM_NET_TIMEOUT,    // no address, connection or data within the limit
    PLATFORM_NET_NO_CONNECT, // the host is unknown, or refused or could not be reached
    PLATFORM_NET_FAILED,     // the firmware refused the request, or the connection broke
    PLATFORM_NET_NO_CA,      // https: the firmware holds no CA certificate to check the server
    PLATFORM_NET_TLS_FAILED, // https: the firmware aborted the TLS handshake (the server's
                             // certificate not signed by its CA, or not for the URL's host)
    PLATFORM_NET_TOO_LARGE,  // https: the answer's body does not fit the buffer
    PLATFORM_NET_BAD_ANSWER, // https: a 200 answer without a Content-Length of digits, or a
                             // body the firmware hands over other than that long
};

// Brings IPv4 up by DHCP unless a card has an address already, waiting at most TimeoutMs. On
// success the card's address as dotted text in pAddress (Size bytes, always terminated).
PlatformNetStatus PlatformNetUp(uint32_t TimeoutMs, char* pAddress, size_t Size);

// The URI the machine booted from (the Uri node of the device path of the running program's
// device), always terminated; false when it was not started from a network boot.
bool PlatformBootUri(char* pUri, size_t Size);

// The firmware clock as YYYYMMDDhhmmss (pStamp holds 15 bytes); false when it cannot be read.
bool PlatformClock(char* pStamp);

// A TCP connection, opened on a card that has an address. Its limit, given when it is opened,
// covers every wait on it: once it has passed, every call ends with PLATFORM_NET_TIMEOUT.
struct PlatformTcp;

// Connects to the host (a dotted IPv4 address, or a name the DNS server knows) and port. On
// success *ppTcp is the connection, to be closed with PlatformTcpClose.
PlatformNetStatus PlatformTcpOpen(const char* pHost, uint16_t Port, uint32_t TimeoutMs,
                                  PlatformTcp** ppTcp);
// Sends all Length bytes.
PlatformNetStatus PlatformTcpSend(PlatformTcp* pTcp, const void* pData, size_t Length);
// Waits for data and receives 1 to Size bytes; *pReceived 0: the server ended the connection.
PlatformNetStatus PlatformTcpReceive(PlatformTcp* pTcp, void* pBuffer, size_t Size,
                                     size_t* pReceived);
// Aborts the connection and frees it (nothing the firmware holds is left waiting).
void PlatformTcpClose(PlatformTcp* pTcp);

// One request over https, through the firmware's HTTP protocol: it makes the connection and the
// TLS handshake (with the CA certificates it holds in the variable TlsCaCertificate), sends the
// request and reads the answer by its own rules. The simulated machine has no TLS and so no CA:
// every exchange ends in PLATFORM_NET_NO_CA.
struct PlatformHttpExchange {
    bool Put;
    const char* pUrl;  // https://HOST[:PORT]/PATH
    const char* pHost; // the Host header: HOST[:PORT]
    const void* pBody; // a PUT's body
    size_t BodyLength;
    void* pResponse; // where a 200 answer's body goes; NULL: none is kept
    size_t ResponseCapacity;
    size_t ResponseLength; // out: bytes of the body kept
    unsigned HttpStatus;   // out: the status code (0: none, or one the firmware does not know)
    uint32_t TimeoutMs;    // every wait of the exchange together
};

// Runs the exchange on a card that has an address. PLATFORM_NET_OK: the answer's status code is
// in HttpStatus, and a kept body in pResponse.
PlatformNetStatus PlatformHttps(PlatformHttpExchange* pExchange);

// The byte that the UEFI start-up code puts in an argument in place of a character above 0xFF,
// which has no 8-bit form (ASCII SUB; the runtime's RT_NARROW_SUBSTITUTE).
#define PLATFORM_ARGUMENT_SUBSTITUTE 0x1A

#endif
