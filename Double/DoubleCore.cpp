// The SMM handlers of the simulated machine's firmware.
//
// Requests are told apart by EAX (function word, whose low byte is the SMI command value) and
// EBX (function number); the communication buffer service by the command value 0xD9 alone.
// Every request answers its status in EAX (the buffer service: in ECX).
//
// Password rule: a request that hands the current password hash (EDI = its address) is checked
// whenever an administrator or power-on password is installed; the hash of either installed
// password authorises it. A wrong hash answers DOUBLE_STATUS_BAD_PASSWORD and counts one retry;
// once the count reaches the retry limit every checked request answers
// DOUBLE_STATUS_RETRY_EXCEEDED, the right hash included, until the count is reset from outside
// the firmware. A right hash resets the count. Without an installed password nothing is
// checked (the hash address must still be valid).
//
// Order of refusals: unusable buffer addresses, then a malformed request or a value the item
// does not take (DOUBLE_STATUS_INVALID_ARGUMENT, no retry counted), then the password check, then
// what the machine's state forbids (DOUBLE_STATUS_NOT_PRESENT, DOUBLE_STATUS_FORBIDDEN).
#include "DoubleCore.h"

#include "SettingsImage.h"
#include "Sha256.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Memory of the program, reached through 32-bit addresses.

uint8_t* Pointer(uint32_t Address) {
    return (uint8_t*)(uintptr_t)Address;
}

void CopyBytes(uint8_t* pDest, const uint8_t* pSource, uint32_t Count) {
    for (uint32_t I = 0; I < Count; I++) {
        pDest[I] = pSource[I];
    }
}

bool IsAllZero(const uint8_t* pBytes, uint32_t Count) {
    for (uint32_t I = 0; I < Count; I++) {
        if (pBytes[I] != 0) {
            return false;
        }
    }
    return true;
}

bool BytesEqual(const uint8_t* pLeft, const uint8_t* pRight, uint32_t Count) {
    uint8_t Difference = 0;
    for (uint32_t I = 0; I < Count; I++) {
        Difference |= (uint8_t)(pLeft[I] ^ pRight[I]);
    }
    return Difference == 0;
}

// A buffer the handler may use: not null, not wrapping past 4 GiB, and accessible.
bool BufferUsable(uint32_t Address, uint32_t Length, bool Writable) {
    if (Address == 0) {
        return false;
    }
    if (Length == 0) {
        return true;
    }
    if (Length - 1 > 0xFFFFFFFFu - Address) {
        return false;
    }
    return DoubleBufferAccessible(Address, Length, Writable);
}

// ---------------------------------------------------------------------------------------------
// Password check.

uint32_t CheckCurrentPassword(DoubleState* pState, uint32_t HashAddress) {
    if (!pState->AdminInstalled && !pState->PowerOnInstalled) {
        return DOUBLE_STATUS_SUCCESS;
    }
    if (pState->RetryLimit != 0 && pState->RetryCount >= pState->RetryLimit) {
        return DOUBLE_STATUS_RETRY_EXCEEDED;
    }
    uint8_t Given[DOUBLE_HASH_SIZE];
    CopyBytes(Given, Pointer(HashAddress), DOUBLE_HASH_SIZE);
    const bool AdminMatches =
        pState->AdminInstalled && BytesEqual(Given, pState->AdminHash, DOUBLE_HASH_SIZE);
    const bool PowerOnMatches =
        pState->PowerOnInstalled && BytesEqual(Given, pState->PowerOnHash, DOUBLE_HASH_SIZE);
    if (AdminMatches || PowerOnMatches) {
        pState->RetryCount = 0;
        return DOUBLE_STATUS_SUCCESS;
    }
    if (pState->RetryCount != 0xFFFFFFFFu) {
        pState->RetryCount++;
    }
    return DOUBLE_STATUS_BAD_PASSWORD;
}

// ---------------------------------------------------------------------------------------------
// The settings store's catalogue: every plain setup item, its values and its default.

const DoubleSettingDef kCatalogue[] = {
    {0x01, DOUBLE_KIND_BOOT, 0, 0x11},   // primary boot sequence: SATA 1
    {0x02, DOUBLE_KIND_BOOT, 0, 0x71},   // error boot sequence: LAN 1
    {0x03, DOUBLE_KIND_BOOT, 0, 0x11},   // automatic boot sequence: SATA 1
    {0x05, DOUBLE_KIND_CODES, 5, 2},     // VGA memory: 128 MB
    {0x06, DOUBLE_KIND_CODES, 1, 0},     // keyboardless operation
    {0x08, DOUBLE_KIND_CODES, 1, 0},     // floppy A
    {0x0C, DOUBLE_KIND_CODES, 3, 1},     // SATA mode: AHCI
    {0x0D, DOUBLE_KIND_CODES, 1, 0},     // end of POST
    {0x0E, DOUBLE_KIND_CODES, 3, 0},     // serial number style
    {0x10, DOUBLE_KIND_CODES, 1, 0},     // MEBx reset
    {0x11, DOUBLE_KIND_CODES, 1, 1},     // CSM: enabled
    {0x12, DOUBLE_KIND_CODES, 1, 0},     // secure boot
    {0x13, DOUBLE_KIND_CODES, 1, 1},     // BIOS flash: enabled
    {0x14, DOUBLE_KIND_CODES, 1, 1},     // OS default: others
    {0x16, DOUBLE_KIND_CODES, 2, 1},     // boot agent: PXE
    {0x17, DOUBLE_KIND_CODES, 1, 0},     // clear TCG
    {0x18, DOUBLE_KIND_CODES, 1, 0},     // clear physical presence
    {0x19, DOUBLE_KIND_CODES, 1, 0},     // IPv4 stack: enabled
    {0x1A, DOUBLE_KIND_CODES, 1, 0},     // IPv6 stack: enabled
    {0x1B, DOUBLE_KIND_CODES, 2, 0},     // boot mode: auto
    {0x1C, DOUBLE_KIND_CODES, 1, 0},     // boot priority: UEFI
    {0x1D, DOUBLE_KIND_BOOT, 0, 0x41},   // manufactory boot sequence: USB key 1
    {0x1E, DOUBLE_KIND_CODES, 1, 0},     // Computrace mode: enabled
    {0x1F, DOUBLE_KIND_CODES, 1, 0},     // ICT: enabled
    {0x22, DOUBLE_KIND_CODES, 3, 1},     // password retries: 3
    {0x23, DOUBLE_KIND_CODES, 1, 0},     // PAP change time: reboot
    {0x82, DOUBLE_KIND_CODES, 1, 0},     // TPM random
    {0xA2, DOUBLE_KIND_CODES, 1, 1},     // above 4 GB decoding: enabled
    {0xA3, DOUBLE_KIND_CODES, 2, 1},     // sSATA mode: AHCI
    {0xA4, DOUBLE_KIND_CODES, 1, 1},     // EHCI hand-off: enabled
    {0xA5, DOUBLE_KIND_CODES, 2, 1},     // after power loss: off
    {0xA6, DOUBLE_KIND_CODES, 1, 1},     // card reader: enabled
    {0xA7, DOUBLE_KIND_CODES, 2, 1},     // storage option ROMs: UEFI
    {0xA9, DOUBLE_KIND_MASK, 0x3FF, 0},  // SATA hot plug, ports 1-10
    {0xAA, DOUBLE_KIND_CODES, 1, 0},     // Device Guard
    {0xAB, DOUBLE_KIND_CODES, 9, 0},     // Thunderbolt slot
    {0xAC, DOUBLE_KIND_CODES, 4, 1},     // xHCI mode: auto
    {0xAD, DOUBLE_KIND_CODES, 9, 0},     // MMIOH base
    {0xAE, DOUBLE_KIND_MASK, 0xFFFF, 0}, // VMD on PCIe slots 1-12 and M.2 slots 1-4
    {0xFD, DOUBLE_KIND_CODES, 7, 0},     // miscellaneous 0
    {0xFE, DOUBLE_KIND_CODES, 7, 0},     // miscellaneous 1
    {0xFF, DOUBLE_KIND_CODES, 7, 0},     // miscellaneous 2
};

#define CATALOGUE_COUNT (sizeof kCatalogue / sizeof kCatalogue[0])

// Boot device codes, as ranges [First, Last].
const uint8_t kBootCodes[][2] = {
    {0x01, 0x01}, {0x11, 0x1B}, {0x1F, 0x1F}, {0x30, 0x32}, {0x40, 0x42},
    {0x50, 0x52}, {0x60, 0x62}, {0x71, 0x72}, {0x81, 0x84}, {0x91, 0x96},
    {0xA1, 0xA4}, {0xB1, 0xB9}, {0xC1, 0xC4}, {0xD1, 0xD3},
};

// ---------------------------------------------------------------------------------------------
// Handlers. Each runs after its buffers were found usable and returns the status for EAX.

typedef uint32_t (*RequestHandler)(DoubleState* pState, DoubleRegisters* pRegs,
                                   const DoubleRequestInfo* pInfo, DoubleOutcome* pOutcome);

uint32_t HandleIsMfgDoneSet(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo*,
                            DoubleOutcome*) {
    pRegs->Ebx = pState->MfgDone ? DOUBLE_MFG_DONE_BIT : 0;
    return DOUBLE_STATUS_SUCCESS;
}

uint32_t HandleCheckPasswordInstalled(DoubleState* pState, DoubleRegisters* pRegs,
                                      const DoubleRequestInfo*, DoubleOutcome*) {
    pRegs->Ecx = (pState->AdminInstalled || pState->PowerOnInstalled) ? 1 : 0;
    return DOUBLE_STATUS_SUCCESS;
}

uint32_t HandleComputeHash(DoubleState*, DoubleRegisters*, const DoubleRequestInfo* pInfo,
                           DoubleOutcome* pOutcome) {
    uint8_t Text[DOUBLE_PASSWORD_BUFFER_SIZE];
    CopyBytes(Text, Pointer(pInfo->InputAddress), DOUBLE_PASSWORD_BUFFER_SIZE);
    bool Terminated = false;
    for (uint32_t I = 0; I < DOUBLE_PASSWORD_BUFFER_SIZE && !Terminated; I++) {
        Terminated = Text[I] == 0;
    }
    if (!Terminated) {
        return DOUBLE_STATUS_INVALID_ARGUMENT; // the text overruns the 65-byte buffer
    }
    uint8_t Hash[DOUBLE_HASH_SIZE];
    DoublePasswordHash(Text, Hash);
    CopyBytes(Pointer(pInfo->OutputAddress), Hash, DOUBLE_HASH_SIZE);
    pOutcome->OutputWritten = 1;
    return DOUBLE_STATUS_SUCCESS;
}

// Layout of the 63-byte change request.
#define CHANGE_MESSAGE_ID 0
#define CHANGE_REQUIRE_TYPE 1
#define CHANGE_NEW_ADMIN 2
#define CHANGE_NEW_POWER_ON 14
#define CHANGE_RESERVED 26

void ApplyPasswordChange(uint8_t* pInstalled, uint8_t* pHash, const uint8_t* pNewHash) {
    *pInstalled = IsAllZero(pNewHash, DOUBLE_HASH_SIZE) ? 0 : 1;
    CopyBytes(pHash, pNewHash, DOUBLE_HASH_SIZE);
}

uint32_t HandleChangePassword(DoubleState* pState, DoubleRegisters*, const DoubleRequestInfo* pInfo,
                              DoubleOutcome*) {
    uint8_t Request[DOUBLE_CHANGE_REQUEST_SIZE];
    CopyBytes(Request, Pointer(pInfo->InputAddress), DOUBLE_CHANGE_REQUEST_SIZE);
    const uint8_t Type = Request[CHANGE_REQUIRE_TYPE];
    // A malformed request is refused before the password check, so it costs no retry.
    if (Request[CHANGE_MESSAGE_ID] != DOUBLE_CHANGE_MESSAGE_ID || Type == 0 ||
        (Type & ~(DOUBLE_CHANGE_ADMIN | DOUBLE_CHANGE_POWER_ON)) != 0 ||
        (!(Type & DOUBLE_CHANGE_ADMIN) &&
         !IsAllZero(Request + CHANGE_NEW_ADMIN, DOUBLE_HASH_SIZE)) ||
        (!(Type & DOUBLE_CHANGE_POWER_ON) &&
         !IsAllZero(Request + CHANGE_NEW_POWER_ON, DOUBLE_HASH_SIZE)) ||
        !IsAllZero(Request + CHANGE_RESERVED, DOUBLE_CHANGE_REQUEST_SIZE - CHANGE_RESERVED)) {
        return DOUBLE_STATUS_INVALID_ARGUMENT;
    }
    const uint32_t Status = CheckCurrentPassword(pState, pInfo->HashAddress);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    if (Type & DOUBLE_CHANGE_ADMIN) {
        ApplyPasswordChange(&pState->AdminInstalled, pState->AdminHash, Request + CHANGE_NEW_ADMIN);
    }
    if (Type & DOUBLE_CHANGE_POWER_ON) {
        ApplyPasswordChange(&pState->PowerOnInstalled, pState->PowerOnHash,
                            Request + CHANGE_NEW_POWER_ON);
    }
    return DOUBLE_STATUS_SUCCESS;
}

uint32_t HandleLoadDefaults(DoubleState* pState, DoubleRegisters*, const DoubleRequestInfo* pInfo,
                            DoubleOutcome*) {
    const uint32_t Status = CheckCurrentPassword(pState, pInfo->HashAddress);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    for (uint32_t I = 0; I < pState->SettingCount && I < DOUBLE_MAX_SETTINGS; I++) {
        pState->Settings[I].Value = pState->Settings[I].DefaultValue;
    }
    return DOUBLE_STATUS_SUCCESS;
}

uint32_t HandleUpdateChecksum(DoubleState*, DoubleRegisters*, const DoubleRequestInfo*,
                              DoubleOutcome*) {
    return DOUBLE_STATUS_SUCCESS;
}

// Value checks run before the password check, so a malformed request costs no retry.
uint32_t CheckedStatus(DoubleState* pState, const DoubleRequestInfo* pInfo, bool ValueValid) {
    if (!ValueValid) {
        return DOUBLE_STATUS_INVALID_ARGUMENT;
    }
    return CheckCurrentPassword(pState, pInfo->HashAddress);
}

// A plain item of the store (function DOUBLE_FUNCTION_SETUP, an item of the catalogue).
uint32_t HandleSetSetting(DoubleState* pState, DoubleRegisters* pRegs,
                          const DoubleRequestInfo* pInfo, DoubleOutcome* pOutcome) {
    const DoubleSettingDef* pDef = DoubleFindSettingDef(pRegs->Ebx);
    DoubleSetting* pSetting = DoubleFindStoreSetting(pState, pRegs->Ebx);
    const uint32_t Status =
        CheckedStatus(pState, pInfo, pDef != 0 && DoubleSettingValueValid(pDef, pRegs->Ecx));
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    if (pSetting == 0) {
        pOutcome->pDetail = "item not in the store";
        return DOUBLE_STATUS_UNSUPPORTED;
    }
    if (pRegs->Ebx == DOUBLE_ITEM_PXE) {
        uint32_t Refusal = 0;
        if (!pState->BootAgentVariable) {
            Refusal |= DOUBLE_STATUS_NOT_PRESENT;
        }
        if (pRegs->Ecx == 2 && !pState->Workstation) {
            Refusal |= DOUBLE_STATUS_FORBIDDEN; // SMC boot: workstations only
        }
        if (Refusal != 0) {
            return Refusal;
        }
    }
    if (pRegs->Ebx == DOUBLE_ITEM_VMD && !pState->Workstation) {
        pOutcome->pDetail = "VMD slots exist on workstations only";
        return DOUBLE_STATUS_INVALID_ARGUMENT;
    }
    pSetting->Value = pRegs->Ecx;
    return DOUBLE_STATUS_SUCCESS;
}

uint32_t HandleReadTpmMode(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo*,
                           DoubleOutcome*) {
    pRegs->Ecx = pState->TpmMode;
    return DOUBLE_STATUS_SUCCESS;
}

// Codes 0-2 drive a discrete TPM 1.2, 4 and 6 the firmware TPM, 7 and 8 a discrete TPM 2.0:
// a code for another device than the current one switches the machine to that device.
uint32_t HandleSetTpm(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                      DoubleOutcome*) {
    const uint32_t Code = pRegs->Ecx;
    const bool Valid = Code <= 2 || Code == 4 || Code == 6 || Code == 7 || Code == 8;
    const uint32_t Status = CheckedStatus(pState, pInfo, Valid);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    pState->TpmCode = (uint8_t)Code;
    pState->TpmMode = Code <= 2   ? DOUBLE_TPM_DTPM12
                      : Code <= 6 ? DOUBLE_TPM_FTPM20
                                  : DOUBLE_TPM_DTPM20;
    return DOUBLE_STATUS_SUCCESS;
}

// A one-bit state the firmware reports in ECX bit 0, and the request that sets it.
uint32_t ReadFlag(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                  const uint8_t* pFlag) {
    const uint32_t Status = CheckCurrentPassword(pState, pInfo->HashAddress);
    if (Status == DOUBLE_STATUS_SUCCESS) {
        pRegs->Ecx = *pFlag;
    }
    return Status;
}

uint32_t SetFlag(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                 uint8_t* pFlag) {
    const uint32_t Status = CheckedStatus(pState, pInfo, pRegs->Ecx <= 1);
    if (Status == DOUBLE_STATUS_SUCCESS) {
        *pFlag = (uint8_t)pRegs->Ecx;
    }
    return Status;
}

uint32_t HandleReadPapMode(DoubleState* pState, DoubleRegisters* pRegs,
                           const DoubleRequestInfo* pInfo, DoubleOutcome*) {
    return ReadFlag(pState, pRegs, pInfo, &pState->PapNormal);
}

uint32_t HandleSetPapMode(DoubleState* pState, DoubleRegisters* pRegs,
                          const DoubleRequestInfo* pInfo, DoubleOutcome*) {
    return SetFlag(pState, pRegs, pInfo, &pState->PapNormal);
}

uint32_t HandleReadComputraceHidden(DoubleState* pState, DoubleRegisters* pRegs,
                                    const DoubleRequestInfo* pInfo, DoubleOutcome*) {
    return ReadFlag(pState, pRegs, pInfo, &pState->ComputraceHidden);
}

uint32_t HandleSetComputraceHidden(DoubleState* pState, DoubleRegisters* pRegs,
                                   const DoubleRequestInfo* pInfo, DoubleOutcome*) {
    return SetFlag(pState, pRegs, pInfo, &pState->ComputraceHidden);
}

// The three Computrace requests take no value: ECX must be 0.
uint32_t HandleComputraceRequest(DoubleState* pState, DoubleRegisters* pRegs,
                                 const DoubleRequestInfo* pInfo, DoubleOutcome*) {
    const uint32_t Status = CheckedStatus(pState, pInfo, pRegs->Ecx == 0);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    if (pRegs->Eax == DOUBLE_FUNCTION_CPT_DISABLE) {
        pState->ComputraceDisabled = 1;
    } else {
        pState->ComputraceMessage = pRegs->Eax == DOUBLE_FUNCTION_CPT_MESSAGE_ON ? 1 : 0;
    }
    return DOUBLE_STATUS_SUCCESS;
}

// Codes 0 (drive the GPIO to 0), 1 (to 1) and 2 (read it); the answer is its value in ECX.
uint32_t HandleMeGpio(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                      DoubleOutcome*) {
    const uint32_t Code = pRegs->Ecx;
    const uint32_t Status = CheckedStatus(pState, pInfo, Code <= 2);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    if (!pState->MeGpioPresent) {
        return DOUBLE_STATUS_NOT_PRESENT;
    }
    if (Code != 2 && Code != pState->MeGpioValue) {
        if (pState->MfgDone) {
            return DOUBLE_STATUS_FORBIDDEN;
        }
        pState->MeGpioValue = (uint8_t)Code;
    }
    pRegs->Ecx = pState->MeGpioValue;
    return DOUBLE_STATUS_SUCCESS;
}

// ECX 16: the image length in ECX (the 16-byte block at ESI is left as it is). Else ECX must be
// the image length, and the image is written at ESI.
uint32_t HandleBackup(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                      DoubleOutcome* pOutcome) {
    const uint32_t Size = DoubleImageSize(pState);
    const bool SizeQuery = pRegs->Ecx == DOUBLE_BACKUP_SIZE_QUERY;
    if (!SizeQuery && pRegs->Ecx != Size) {
        pOutcome->pDetail = "length is not the image's";
    }
    const uint32_t Status = CheckedStatus(pState, pInfo, SizeQuery || pRegs->Ecx == Size);
    if (Status != DOUBLE_STATUS_SUCCESS) {
        return Status;
    }
    if (SizeQuery) {
        pRegs->Ecx = Size;
    } else {
        DoubleWriteImage(pState, Pointer(pInfo->OutputAddress));
        pOutcome->OutputWritten = 1;
    }
    return DOUBLE_STATUS_SUCCESS;
}

// ECX bytes of an image at ESI: checked in full, then applied at once.
uint32_t HandleRestore(DoubleState* pState, DoubleRegisters* pRegs, const DoubleRequestInfo* pInfo,
                       DoubleOutcome* pOutcome) {
    const uint8_t* pImage = Pointer(pInfo->InputAddress);
    pOutcome->pDetail = DoubleCheckImage(pState, pImage, pRegs->Ecx);
    const uint32_t Status = CheckedStatus(pState, pInfo, pOutcome->pDetail == 0);
    if (Status == DOUBLE_STATUS_SUCCESS) {
        DoubleApplyImage(pState, pImage);
    }
    return Status;
}

// ---------------------------------------------------------------------------------------------
// The request table.

enum BufferRegister { REG_NONE, REG_ESI, REG_EDI };

// A buffer length of this value is the request's ECX.
#define LENGTH_FROM_ECX 0xFFFFFFFFu

// Where a request's buffer lies: the register that holds its address, and its length.
struct BufferPlace {
    uint8_t Register;
    uint32_t Length;
};
constexpr BufferPlace kNoBuffer = {REG_NONE, 0};
constexpr BufferPlace AtEsi(uint32_t Length) {
    return {REG_ESI, Length};
}

// Whether the request hands the current password hash (its address in EDI).
enum HashUse { NO_HASH, HASH_IN_EDI };

struct RequestKind {
    uint32_t Eax;
    uint32_t Ebx;
    const char* pName;
    uint8_t HasHash; // HashUse
    BufferPlace Input;
    BufferPlace Output;
    RequestHandler pHandle;
};

// A row of the request table, its buffers named by kNoBuffer or AtEsi(length).
constexpr RequestKind Kind(uint32_t Eax, uint32_t Ebx, const char* pName, HashUse Hash,
                           RequestHandler pHandle, BufferPlace Input = kNoBuffer,
                           BufferPlace Output = kNoBuffer) {
    return {Eax, Ebx, pName, (uint8_t)Hash, Input, Output, pHandle};
}

constexpr RequestKind kRequests[] = {
    Kind(DOUBLE_FUNCTION_MFG, 0, "IsMfgDoneSet", NO_HASH, HandleIsMfgDoneSet),
    Kind(DOUBLE_FUNCTION_PASSWORD, 0, "CheckPasswordInstalled", NO_HASH,
         HandleCheckPasswordInstalled),
    // The hash replaces the first 12 bytes of the password buffer.
    Kind(DOUBLE_FUNCTION_PASSWORD, 1, "ComputeHash", NO_HASH, HandleComputeHash,
         AtEsi(DOUBLE_PASSWORD_BUFFER_SIZE), AtEsi(DOUBLE_HASH_SIZE)),
    Kind(DOUBLE_FUNCTION_PASSWORD, 3, "ChangePassword", HASH_IN_EDI, HandleChangePassword,
         AtEsi(DOUBLE_CHANGE_REQUEST_SIZE)),
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_UPDATE_CHECKSUM, "UpdateChecksum", NO_HASH,
         HandleUpdateChecksum),
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_LOAD_DEFAULTS, "LoadDefaults", HASH_IN_EDI,
         HandleLoadDefaults),
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_READ_PAP, "ReadPapMode", HASH_IN_EDI,
         HandleReadPapMode),
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_SET_PAP, "SetPapMode", HASH_IN_EDI, HandleSetPapMode),
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_RESTORE, "Restore", HASH_IN_EDI, HandleRestore,
         AtEsi(LENGTH_FROM_ECX)),
    Kind(DOUBLE_FUNCTION_CPT_HIDDEN, 0, "ReadComputraceHidden", HASH_IN_EDI,
         HandleReadComputraceHidden),
    Kind(DOUBLE_FUNCTION_CPT_HIDDEN, 1, "SetComputraceHidden", HASH_IN_EDI,
         HandleSetComputraceHidden),
    Kind(DOUBLE_FUNCTION_CPT_MESSAGE_OFF, 0, "DisableComputraceMessage", HASH_IN_EDI,
         HandleComputraceRequest),
    Kind(DOUBLE_FUNCTION_CPT_MESSAGE_ON, 0, "EnableComputraceMessage", HASH_IN_EDI,
         HandleComputraceRequest),
    Kind(DOUBLE_FUNCTION_CPT_DISABLE, 0, "DisableComputracePermanently", HASH_IN_EDI,
         HandleComputraceRequest),
    Kind(DOUBLE_FUNCTION_ME, DOUBLE_ITEM_ME_GPIO, "MeControlGpio", HASH_IN_EDI, HandleMeGpio),
};

// Requests told apart by ECX as well, and the store's items.
constexpr RequestKind kReadTpmMode =
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_TPM, "ReadTpmMode", NO_HASH, HandleReadTpmMode);
constexpr RequestKind kSetTpm =
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_TPM, "SetTpm", HASH_IN_EDI, HandleSetTpm);
constexpr RequestKind kBackupSize =
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_BACKUP, "BackupSize", HASH_IN_EDI, HandleBackup,
         kNoBuffer, AtEsi(DOUBLE_BACKUP_SIZE_QUERY));
constexpr RequestKind kBackupData =
    Kind(DOUBLE_FUNCTION_SETUP, DOUBLE_ITEM_BACKUP, "BackupData", HASH_IN_EDI, HandleBackup,
         kNoBuffer, AtEsi(LENGTH_FROM_ECX));
constexpr RequestKind kSetSetting =
    Kind(DOUBLE_FUNCTION_SETUP, 0, "SetSetting", HASH_IN_EDI, HandleSetSetting);

const RequestKind* FindRequest(const DoubleRegisters* pRegs) {
    for (uint32_t I = 0; I < sizeof kRequests / sizeof kRequests[0]; I++) {
        if (kRequests[I].Eax == pRegs->Eax && kRequests[I].Ebx == pRegs->Ebx) {
            return &kRequests[I];
        }
    }
    if (pRegs->Eax != DOUBLE_FUNCTION_SETUP) {
        return 0;
    }
    if (pRegs->Ebx == DOUBLE_ITEM_TPM) {
        return pRegs->Ecx == DOUBLE_TPM_READ ? &kReadTpmMode : &kSetTpm;
    }
    if (pRegs->Ebx == DOUBLE_ITEM_BACKUP) {
        return pRegs->Ecx == DOUBLE_BACKUP_SIZE_QUERY ? &kBackupSize : &kBackupData;
    }
    return DoubleFindSettingDef(pRegs->Ebx) != 0 ? &kSetSetting : 0;
}

uint32_t RegisterValue(const DoubleRegisters* pRegs, uint8_t Register) {
    return Register == REG_ESI ? pRegs->Esi : Register == REG_EDI ? pRegs->Edi : 0;
}

uint32_t BufferLength(const DoubleRegisters* pRegs, BufferPlace Place) {
    return Place.Length == LENGTH_FROM_ECX ? pRegs->Ecx : Place.Length;
}

// ---------------------------------------------------------------------------------------------
// The communication buffer service. With a buffer to grant, a lock for at most its size answers
// ECX 0 and the descriptor's address in EDI:ESI (upper:lower) and holds the lock until a
// release; without one, or for a larger size, it is refused with the maximum size in ESI.

// Whether the first Size bytes of the lent buffer (all of it when Size is 0 or larger) are zero.
// The program wipes what it placed there before it gives the buffer back: the record holds the
// password hash and the hashing request the password in clear.
bool CommBufferWiped(const DoubleState* pState, uint32_t Size) {
    const uint32_t Length =
        Size == 0 || Size > pState->CommBufferSize ? pState->CommBufferSize : Size;
    if (!BufferUsable(pState->CommBufferAddress, Length, false)) {
        return true;
    }
    return IsAllZero(Pointer(pState->CommBufferAddress), Length);
}

void HandleCommBuffer(DoubleState* pState, DoubleRegisters* pRegs, DoubleOutcome* pOutcome) {
    if (pRegs->Ecx == DOUBLE_COMM_LOCK) {
        const uint32_t MaxSize =
            pState->CommBufferGrant ? pState->CommBufferSize : pState->CommBufferMaxSize;
        if (pState->CommBufferLocked) {
            pRegs->Ecx = DOUBLE_STATUS_BUFFER_BUSY;
            pRegs->Esi = MaxSize;
            return;
        }
        if (!pState->CommBufferGrant || pRegs->Esi > pState->CommBufferSize ||
            !BufferUsable(pState->CommDescriptorAddress, 16, true) ||
            !BufferUsable(pState->CommBufferAddress, pState->CommBufferSize, true)) {
            pRegs->Ecx = DOUBLE_STATUS_NO_BUFFER;
            pRegs->Esi = MaxSize;
            return;
        }
        uint8_t* pDescriptor = Pointer(pState->CommDescriptorAddress);
        DoublePut32(pDescriptor, pState->CommBufferSize);
        DoublePut32(pDescriptor + 4, 0);
        DoublePut32(pDescriptor + 8, pState->CommBufferAddress);
        DoublePut32(pDescriptor + 12, 0);
        pState->CommBufferLocked = 1;
        pRegs->Ecx = DOUBLE_STATUS_SUCCESS;
        pRegs->Esi = pState->CommDescriptorAddress;
        pRegs->Edi = 0;
    } else if (pRegs->Ecx == DOUBLE_COMM_RELEASE) {
        if (pState->CommBufferLocked && pState->CommBufferGrant &&
            !CommBufferWiped(pState, pRegs->Esi)) {
            pOutcome->pViolation = "communication buffer released without being wiped";
        }
        pRegs->Ecx = pState->CommBufferLocked ? DOUBLE_STATUS_SUCCESS : DOUBLE_STATUS_NOT_LOCKED;
        pState->CommBufferLocked = 0;
    } else {
        pRegs->Ecx = DOUBLE_STATUS_UNSUPPORTED;
    }
}

// The first live injection that matches the request, or null.
DoubleInjection* FindInjection(DoubleState* pState, const DoubleRegisters* pRegs) {
    for (uint32_t I = 0; I < pState->InjectionCount && I < DOUBLE_MAX_INJECTIONS; I++) {
        DoubleInjection* pEntry = &pState->Injections[I];
        const uint32_t Flags = pEntry->Flags;
        if (!(Flags & DOUBLE_INJECT_ALWAYS) && pEntry->Remaining == 0) {
            continue;
        }
        if (((Flags & DOUBLE_INJECT_MATCH_EAX) && pEntry->Eax != pRegs->Eax) ||
            ((Flags & DOUBLE_INJECT_MATCH_EBX) && pEntry->Ebx != pRegs->Ebx) ||
            ((Flags & DOUBLE_INJECT_MATCH_ECX) && pEntry->Ecx != pRegs->Ecx)) {
            continue;
        }
        return pEntry;
    }
    return 0;
}

} // namespace

void DoubleInitState(DoubleState* pState) {
    uint8_t* pBytes = (uint8_t*)pState;
    for (uint32_t I = 0; I < sizeof *pState; I++) {
        pBytes[I] = 0;
    }
    pState->RetryLimit = DOUBLE_DEFAULT_RETRY_LIMIT;
    pState->TpmMode = DOUBLE_TPM_FTPM20;
    pState->TpmCode = 6;
    pState->ComputraceMessage = 1;
    pState->MeGpioPresent = 1;
    pState->BootAgentVariable = 1;
    pState->ImageSeed = DOUBLE_IMAGE_DEFAULT_SEED;
    for (uint32_t I = 0; I < CATALOGUE_COUNT; I++) {
        DoubleSetting* pSetting = &pState->Settings[I];
        pSetting->Function = DOUBLE_FUNCTION_SETUP;
        pSetting->Item = kCatalogue[I].Item;
        pSetting->Value = kCatalogue[I].DefaultValue;
        pSetting->DefaultValue = kCatalogue[I].DefaultValue;
    }
    pState->SettingCount = CATALOGUE_COUNT;
}

const DoubleSettingDef* DoubleSettingCatalogue(uint32_t* pCount) {
    *pCount = CATALOGUE_COUNT;
    return kCatalogue;
}

const DoubleSettingDef* DoubleFindSettingDef(uint32_t Item) {
    for (uint32_t I = 0; I < CATALOGUE_COUNT; I++) {
        if (kCatalogue[I].Item == Item) {
            return &kCatalogue[I];
        }
    }
    return 0;
}

DoubleSetting* DoubleFindStoreSetting(DoubleState* pState, uint32_t Item) {
    for (uint32_t I = 0; I < pState->SettingCount && I < DOUBLE_MAX_SETTINGS; I++) {
        if (pState->Settings[I].Function == DOUBLE_FUNCTION_SETUP &&
            pState->Settings[I].Item == Item) {
            return &pState->Settings[I];
        }
    }
    return 0;
}

bool DoubleSettingValueValid(const DoubleSettingDef* pDef, uint32_t Value) {
    if (pDef->Kind == DOUBLE_KIND_CODES) {
        return Value <= pDef->Limit;
    }
    if (pDef->Kind == DOUBLE_KIND_MASK) {
        return (Value & ~(uint32_t)pDef->Limit) == 0;
    }
    for (uint32_t I = 0; I < sizeof kBootCodes / sizeof kBootCodes[0]; I++) {
        if (Value >= kBootCodes[I][0] && Value <= kBootCodes[I][1]) {
            return true;
        }
    }
    return false;
}

void DoublePasswordHash(const uint8_t* pBuffer, uint8_t* pHash) {
    uint8_t Digest[SHA256_DIGEST_SIZE];
    Sha256(pBuffer, DOUBLE_PASSWORD_BUFFER_SIZE, Digest);
    CopyBytes(pHash, Digest, DOUBLE_HASH_SIZE);
}

void DoubleDescribeRequest(uint8_t CommandValue, const DoubleRegisters* pRegs,
                           DoubleRequestInfo* pInfo) {
    pInfo->pName = "Unknown";
    pInfo->HasHash = 0;
    pInfo->HashAddress = 0;
    pInfo->InputAddress = 0;
    pInfo->InputLength = 0;
    pInfo->OutputAddress = 0;
    pInfo->OutputLength = 0;
    if (CommandValue == DOUBLE_SMI_COMM_BUFFER) {
        pInfo->pName = pRegs->Ecx == DOUBLE_COMM_LOCK      ? "CommBufferLock"
                       : pRegs->Ecx == DOUBLE_COMM_RELEASE ? "CommBufferRelease"
                                                           : "CommBuffer";
        return;
    }
    const RequestKind* pKind = FindRequest(pRegs);
    if (pKind == 0) {
        return;
    }
    pInfo->pName = pKind->pName;
    pInfo->HasHash = pKind->HasHash;
    pInfo->HashAddress = pKind->HasHash ? pRegs->Edi : 0;
    pInfo->InputAddress = RegisterValue(pRegs, pKind->Input.Register);
    pInfo->InputLength = BufferLength(pRegs, pKind->Input);
    pInfo->OutputAddress = RegisterValue(pRegs, pKind->Output.Register);
    pInfo->OutputLength = BufferLength(pRegs, pKind->Output);
}

DoubleOutcome DoubleHandleSmi(DoubleState* pState, uint8_t CommandValue, DoubleRegisters* pRegs) {
    DoubleOutcome Outcome = {1, 0, 0, 0};
    const bool CommBuffer = CommandValue == DOUBLE_SMI_COMM_BUFFER;

    DoubleInjection* pInjection = FindInjection(pState, pRegs);
    if (pInjection != 0) {
        if (!(pInjection->Flags & DOUBLE_INJECT_ALWAYS)) {
            pInjection->Remaining--;
        }
        if (pInjection->Flags & DOUBLE_INJECT_NO_ANSWER) {
            Outcome.Answered = 0;
        } else if (pInjection->Flags & DOUBLE_INJECT_ANSWER_ECX) {
            pRegs->Eax = DOUBLE_STATUS_SUCCESS;
            pRegs->Ecx = pInjection->Status;
        } else if (CommBuffer) {
            pRegs->Ecx = pInjection->Status;
        } else {
            pRegs->Eax = pInjection->Status;
        }
        return Outcome;
    }

    if (CommBuffer) {
        HandleCommBuffer(pState, pRegs, &Outcome);
        return Outcome;
    }
    const RequestKind* pKind = FindRequest(pRegs);
    if (pKind == 0) {
        pRegs->Eax = DOUBLE_STATUS_UNSUPPORTED;
        return Outcome;
    }
    DoubleRequestInfo Info;
    DoubleDescribeRequest(CommandValue, pRegs, &Info);
    if ((Info.HasHash && !BufferUsable(Info.HashAddress, DOUBLE_HASH_SIZE, false)) ||
        (Info.InputLength != 0 && !BufferUsable(Info.InputAddress, Info.InputLength, false)) ||
        (Info.OutputLength != 0 && !BufferUsable(Info.OutputAddress, Info.OutputLength, true))) {
        pRegs->Eax = DOUBLE_STATUS_INVALID_ARGUMENT;
        return Outcome;
    }
    pRegs->Eax = pKind->pHandle(pState, pRegs, &Info, &Outcome);
    return Outcome;
}
