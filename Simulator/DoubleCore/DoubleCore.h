// The firmware double's core: the SMM handlers of the simulated machine.
//
// The core sees only what real SMM handlers see: the six general registers of the program that
// raised the SMI, and memory at the 32-bit addresses those registers carry. It keeps the
// machine's firmware state in one fixed-size structure and never calls into the program.
//
// It is freestanding on purpose: no C or C++ library, no heap, no floating point, no 64-bit
// division, no exceptions. The same files build for the host (wrapped by FirmwareDouble.cpp,
// which loads and saves the state and logs every request) and, 32-bit, as a real SMM handler.
// The platform that hosts the core supplies one function, DoubleBufferAccessible.
#ifndef SIMULATOR_DOUBLECORE_DOUBLECORE_H
#define SIMULATOR_DOUBLECORE_DOUBLECORE_H

#include <stddef.h>
#include <stdint.h>

#define DOUBLE_HASH_SIZE 12
#define DOUBLE_PASSWORD_BUFFER_SIZE 65
#define DOUBLE_CHANGE_REQUEST_SIZE 63
#define DOUBLE_CHANGE_MESSAGE_ID 0x10
#define DOUBLE_CHANGE_ADMIN 0x01
#define DOUBLE_CHANGE_POWER_ON 0x02
#define DOUBLE_MAX_SETTINGS 128
#define DOUBLE_MAX_INJECTIONS 16
#define DOUBLE_DEFAULT_RETRY_LIMIT 3

// Status words (EAX after a request; ECX for the communication buffer service).
#define DOUBLE_STATUS_SUCCESS 0x00000000u
#define DOUBLE_STATUS_BAD_PASSWORD 0x00000001u
#define DOUBLE_STATUS_RETRY_EXCEEDED 0x00000002u
#define DOUBLE_STATUS_INVALID_ARGUMENT 0x00000004u
#define DOUBLE_STATUS_UNSUPPORTED 0x80000000u
// The communication buffer service refuses a lock with this status in ECX.
#define DOUBLE_STATUS_NO_BUFFER 0x00000001u

// Request words.
#define DOUBLE_SMI_COMM_BUFFER 0xD9u
#define DOUBLE_COMM_LOCK 0xC0000001u
#define DOUBLE_COMM_RELEASE 0xC0000002u
#define DOUBLE_FUNCTION_MFG 0x534D3220u
#define DOUBLE_FUNCTION_PASSWORD 0x534D0140u
#define DOUBLE_FUNCTION_SETUP 0x534D0040u
#define DOUBLE_MFG_DONE_BIT 0x00200000u // bit 21 of EBX in the IsMfgDoneSet answer

// The six registers of one request: on entry as the program loaded them, on return as the
// handler leaves them.
typedef struct DoubleRegisters {
    uint32_t Eax;
    uint32_t Ebx;
    uint32_t Ecx;
    uint32_t Edx;
    uint32_t Esi;
    uint32_t Edi;
} DoubleRegisters;

// One item of the settings store: the request that addresses it (function word in EAX, item
// number in EBX), its current value and the value that load defaults restores.
typedef struct DoubleSetting {
    uint32_t Function;
    uint32_t Item;
    uint32_t Value;
    uint32_t DefaultValue;
} DoubleSetting;

// Injection flags.
#define DOUBLE_INJECT_MATCH_EAX 0x01u // the request's EAX must equal Eax (else any EAX)
#define DOUBLE_INJECT_MATCH_EBX 0x02u // the request's EBX must equal Ebx
#define DOUBLE_INJECT_MATCH_ECX 0x04u // the request's ECX must equal Ecx
#define DOUBLE_INJECT_NO_ANSWER 0x08u // leave the registers as loaded instead of failing
#define DOUBLE_INJECT_ALWAYS 0x10u    // ignore Remaining: every matching request

// A fault to inject: the matching requests fail with Status (nothing else happens), or are not
// answered at all, as on a machine without the handler. Remaining counts the matching requests
// still to be hit; an entry with Remaining 0 and without DOUBLE_INJECT_ALWAYS is spent.
typedef struct DoubleInjection {
    uint32_t Flags;
    uint32_t Eax;
    uint32_t Ebx;
    uint32_t Ecx;
    uint32_t Status;
    uint32_t Remaining;
} DoubleInjection;

// The firmware's state. Plain data: a platform may keep it anywhere (a static block in SMRAM,
// or loaded from and saved to the machine file on the host).
typedef struct DoubleState {
    uint8_t MfgDone;
    uint8_t AdminInstalled;
    uint8_t PowerOnInstalled;
    uint8_t CommBufferLocked;
    uint8_t AdminHash[DOUBLE_HASH_SIZE];
    uint8_t PowerOnHash[DOUBLE_HASH_SIZE];
    // Wrong hashes since the last right one; at RetryLimit (when not 0) the machine refuses
    // every checked request until the count is reset from outside (a power cycle).
    uint32_t RetryCount;
    uint32_t RetryLimit;
    // The size the communication buffer service reports when it refuses a lock.
    uint32_t CommBufferMaxSize;
    uint32_t SettingCount;
    DoubleSetting Settings[DOUBLE_MAX_SETTINGS];
    uint32_t InjectionCount;
    DoubleInjection Injections[DOUBLE_MAX_INJECTIONS];
} DoubleState;

// Where a request keeps its buffers, derived from its registers alone (no memory is read).
// An address of 0 with a nonzero length is a buffer the request needs but was not given.
typedef struct DoubleRequestInfo {
    const char* pName; // stable request name, "Unknown" when no handler exists
    uint8_t HasHash;   // the request hands the 12-byte current password hash (in EDI)
    uint32_t HashAddress;
    uint32_t InputAddress;
    uint32_t InputLength;
    uint32_t OutputAddress;
    uint32_t OutputLength;
} DoubleRequestInfo;

typedef struct DoubleOutcome {
    uint8_t Answered;      // 0: the registers were left exactly as loaded
    uint8_t OutputWritten; // the handler wrote the request's output buffer
} DoubleOutcome;

// Supplied by the hosting platform: whether the program's memory [Address, Address + Length)
// may be read (and written, when Writable) by the handler. The core has already refused a null
// address and a range that wraps past 4 GiB. In SMM this keeps buffers out of SMRAM; on the
// host it keeps a bad address from faulting the process.
bool DoubleBufferAccessible(uint32_t Address, uint32_t Length, bool Writable);

// A new machine: no passwords, manufacturing not done, retry limit 3, empty settings store,
// no injected faults, no communication buffer to lend.
void DoubleInitState(DoubleState* pState);

// Names the request and locates its buffers.
void DoubleDescribeRequest(uint8_t CommandValue, const DoubleRegisters* pRegs,
                           DoubleRequestInfo* pInfo);

// Handles one software SMI: CommandValue is the byte written to the SMI command port.
DoubleOutcome DoubleHandleSmi(DoubleState* pState, uint8_t CommandValue, DoubleRegisters* pRegs);

// The password hash that ComputeHash writes: the first 12 bytes of the SHA-256 digest of the
// 65-byte password buffer (the text, its terminator, zeros up to 65 bytes).
void DoublePasswordHash(const uint8_t* pBuffer, uint8_t* pHash);

#endif
