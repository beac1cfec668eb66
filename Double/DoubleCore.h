// The firmware double's core: the SMM handlers of the simulated machine.
//
// The core sees only what real SMM handlers see: the six general registers of the program that
// raised the SMI, and memory at the 32-bit addresses those registers carry. It keeps the
// machine's firmware state in one fixed-size structure and never calls into the program.
//
// It is freestanding on purpose: no C or C++ library, no heap, no floating point, no 64-bit
// division, no exceptions. The same files build for the host (wrapped by FirmwareDouble.cpp,
// which loads and saves the state and logs every request) and, 32-bit, as a real SMM handler.
// The platform that hosts the core supplies one function, DoubleBufferAccessible. The settings
// image that backup and restore carry is SettingsImage.h.
#ifndef DOUBLE_DOUBLECORE_H
#define DOUBLE_DOUBLECORE_H

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
// Refusals of single setting requests, in EAX beside nothing else: the machine lacks what the
// request would change (the ME control GPIO, the boot agent variable), or its state forbids the
// change (manufacturing done, a desktop asked for a workstation-only value).
#define DOUBLE_STATUS_NOT_PRESENT 0x00000008u
#define DOUBLE_STATUS_FORBIDDEN 0x00000010u
// The communication buffer service's statuses in ECX: a lock refused (ESI = the maximum size),
// a lock while the buffer is already locked, a release while it is not.
#define DOUBLE_STATUS_NO_BUFFER 0x00000001u
#define DOUBLE_STATUS_BUFFER_BUSY 0x00000002u
#define DOUBLE_STATUS_NOT_LOCKED 0x00000003u

// Request words.
#define DOUBLE_SMI_COMM_BUFFER 0xD9u
#define DOUBLE_COMM_LOCK 0xC0000001u
#define DOUBLE_COMM_RELEASE 0xC0000002u
#define DOUBLE_FUNCTION_MFG 0x534D3220u
#define DOUBLE_FUNCTION_PASSWORD 0x534D0140u
#define DOUBLE_FUNCTION_SETUP 0x534D0040u
#define DOUBLE_FUNCTION_ME 0x534D0740u
#define DOUBLE_FUNCTION_CPT_HIDDEN 0x534DAB20u
#define DOUBLE_FUNCTION_CPT_MESSAGE_OFF 0x534D8D20u
#define DOUBLE_FUNCTION_CPT_MESSAGE_ON 0x534D8E20u
#define DOUBLE_FUNCTION_CPT_DISABLE 0x534D9020u
#define DOUBLE_MFG_DONE_BIT 0x00200000u // bit 21 of EBX in the IsMfgDoneSet answer

// Items of the setup function (EBX with EAX = DOUBLE_FUNCTION_SETUP) that are not plain settings.
#define DOUBLE_ITEM_UPDATE_CHECKSUM 0x00u
#define DOUBLE_ITEM_TPM 0x04u
#define DOUBLE_ITEM_LOAD_DEFAULTS 0x09u
#define DOUBLE_ITEM_BACKUP 0x0Au
#define DOUBLE_ITEM_RESTORE 0x0Bu
#define DOUBLE_ITEM_PXE 0x16u
#define DOUBLE_ITEM_READ_PAP 0x20u
#define DOUBLE_ITEM_SET_PAP 0x21u
#define DOUBLE_ITEM_VMD 0xAEu
#define DOUBLE_ITEM_ME_GPIO 0x03u // with DOUBLE_FUNCTION_ME

// The TPM item: ECX of this value reads the mode, which is answered in ECX.
#define DOUBLE_TPM_READ 0xFFFFFFFFu
#define DOUBLE_TPM_NONE 0u
#define DOUBLE_TPM_FTPM20 1u
#define DOUBLE_TPM_DTPM12 2u
#define DOUBLE_TPM_DTPM20 4u

// The backup size query: ECX of this value asks for the image length (answered in ECX).
#define DOUBLE_BACKUP_SIZE_QUERY 16u

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
#define DOUBLE_INJECT_MATCH_EAX 0x01u  // the request's EAX must equal Eax (else any EAX)
#define DOUBLE_INJECT_MATCH_EBX 0x02u  // the request's EBX must equal Ebx
#define DOUBLE_INJECT_MATCH_ECX 0x04u  // the request's ECX must equal Ecx
#define DOUBLE_INJECT_NO_ANSWER 0x08u  // leave the registers as loaded instead of failing
#define DOUBLE_INJECT_ALWAYS 0x10u     // ignore Remaining: every matching request
#define DOUBLE_INJECT_ANSWER_ECX 0x20u // answer status 0 with ECX set to Status (odd answers)

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
    // The size the communication buffer service reports when it refuses a lock (without a
    // buffer to grant; with one, its size is reported).
    uint32_t CommBufferMaxSize;
    // The buffer it grants when CommBufferGrant is set: CommBufferSize bytes at
    // CommBufferAddress, described by 16 bytes at CommDescriptorAddress (first word: the size,
    // second word: the buffer's address, both 64-bit), which the service writes at each lock.
    uint8_t CommBufferGrant;
    uint8_t TpmMode;            // DOUBLE_TPM_NONE, _FTPM20, _DTPM12 or _DTPM20
    uint8_t TpmCode;            // the last TPM value code accepted (0-2, 4, 6, 7, 8)
    uint8_t PapNormal;          // PAP mode: 1 normal, 0 custom
    uint8_t ComputraceHidden;   // the Computrace hidden setting
    uint8_t ComputraceMessage;  // the Computrace message is shown
    uint8_t ComputraceDisabled; // Computrace was disabled permanently (never undone)
    uint8_t MeGpioPresent;      // the machine has an ME control GPIO
    uint8_t MeGpioValue;        // its value
    uint8_t BootAgentVariable;  // the boot agent variable exists (the /pxe item needs it)
    uint8_t Workstation;        // a workstation (else a desktop): SMC boot and VMD allowed
    uint8_t Reserved;
    uint32_t CommBufferAddress;
    uint32_t CommBufferSize;
    uint32_t CommDescriptorAddress;
    // The settings image: its length is ImageSize when that is not 0 (at least the length
    // without padding), else the length without padding plus ImagePadding. The padding bytes
    // are generated from ImageSeed, never stored.
    uint32_t ImageSize;
    uint32_t ImagePadding;
    uint32_t ImageSeed;
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
    // Why a request was refused, when the status alone does not tell ("bad magic"); else null.
    const char* pDetail;
    // What the program did wrong that a firmware would let pass (a communication buffer given
    // back with data still in it); else null.
    const char* pViolation;
} DoubleOutcome;

// How a setup item's values are checked.
#define DOUBLE_KIND_CODES 0 // value codes 0 to Limit
#define DOUBLE_KIND_MASK 1  // a bit mask within Limit
#define DOUBLE_KIND_BOOT 2  // a boot device code

// One item of the settings store's catalogue (function DOUBLE_FUNCTION_SETUP).
typedef struct DoubleSettingDef {
    uint8_t Item;
    uint8_t Kind;
    uint16_t Limit;
    uint32_t DefaultValue;
} DoubleSettingDef;

// Supplied by the hosting platform: whether the program's memory [Address, Address + Length)
// may be read (and written, when Writable) by the handler. The core has already refused a null
// address and a range that wraps past 4 GiB. In SMM this keeps buffers out of SMRAM; on the
// host it keeps a bad address from faulting the process.
bool DoubleBufferAccessible(uint32_t Address, uint32_t Length, bool Writable);

// A new machine: no passwords, manufacturing not done, retry limit 3, every setting of the
// catalogue at its default, firmware TPM 2.0 enabled, PAP mode custom, Computrace visible with
// its message shown, an ME control GPIO of value 0, the boot agent variable present, a desktop,
// no padding in the settings image, no injected faults, no communication buffer to lend.
void DoubleInitState(DoubleState* pState);

// The catalogue of setup items the store keeps, in store order; *pCount gets its length.
const DoubleSettingDef* DoubleSettingCatalogue(uint32_t* pCount);
// The catalogue entry of a setup item, or null.
const DoubleSettingDef* DoubleFindSettingDef(uint32_t Item);
// Whether Value is one the item accepts.
bool DoubleSettingValueValid(const DoubleSettingDef* pDef, uint32_t Value);
// The store's entry of a setup item, or null.
DoubleSetting* DoubleFindStoreSetting(DoubleState* pState, uint32_t Item);

// Names the request and locates its buffers.
void DoubleDescribeRequest(uint8_t CommandValue, const DoubleRegisters* pRegs,
                           DoubleRequestInfo* pInfo);

// Handles one software SMI: CommandValue is the byte written to the SMI command port.
DoubleOutcome DoubleHandleSmi(DoubleState* pState, uint8_t CommandValue, DoubleRegisters* pRegs);

// The password hash that ComputeHash writes: the first 12 bytes of the SHA-256 digest of the
// 65-byte password buffer (the text, its terminator, zeros up to 65 bytes).
void DoublePasswordHash(const uint8_t* pBuffer, uint8_t* pHash);

#endif
