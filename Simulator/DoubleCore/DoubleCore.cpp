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
#include "DoubleCore.h"

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

// ---------------------------------------------------------------------------------------------
// The request table.

enum BufferRegister { REG_NONE, REG_ESI, REG_EDI };

struct RequestKind {
    uint32_t Eax;
    uint32_t Ebx;
    const char* pName;
    uint8_t HasHash; // the current password hash's address is in EDI
    uint8_t InputRegister;
    uint32_t InputLength;
    uint8_t OutputRegister;
    uint32_t OutputLength;
    RequestHandler pHandle;
};

const RequestKind kRequests[] = {
    {DOUBLE_FUNCTION_MFG, 0, "IsMfgDoneSet", 0, REG_NONE, 0, REG_NONE, 0, HandleIsMfgDoneSet},
    {DOUBLE_FUNCTION_PASSWORD, 0, "CheckPasswordInstalled", 0, REG_NONE, 0, REG_NONE, 0,
     HandleCheckPasswordInstalled},
    // The hash replaces the first 12 bytes of the password buffer.
    {DOUBLE_FUNCTION_PASSWORD, 1, "ComputeHash", 0, REG_ESI, DOUBLE_PASSWORD_BUFFER_SIZE, REG_ESI,
     DOUBLE_HASH_SIZE, HandleComputeHash},
    {DOUBLE_FUNCTION_PASSWORD, 3, "ChangePassword", 1, REG_ESI, DOUBLE_CHANGE_REQUEST_SIZE,
     REG_NONE, 0, HandleChangePassword},
    {DOUBLE_FUNCTION_SETUP, 0, "UpdateChecksum", 0, REG_NONE, 0, REG_NONE, 0, HandleUpdateChecksum},
    {DOUBLE_FUNCTION_SETUP, 9, "LoadDefaults", 1, REG_NONE, 0, REG_NONE, 0, HandleLoadDefaults},
};

const RequestKind* FindRequest(const DoubleRegisters* pRegs) {
    for (uint32_t I = 0; I < sizeof kRequests / sizeof kRequests[0]; I++) {
        if (kRequests[I].Eax == pRegs->Eax && kRequests[I].Ebx == pRegs->Ebx) {
            return &kRequests[I];
        }
    }
    return 0;
}

uint32_t RegisterValue(const DoubleRegisters* pRegs, uint8_t Register) {
    return Register == REG_ESI ? pRegs->Esi : Register == REG_EDI ? pRegs->Edi : 0;
}

// ---------------------------------------------------------------------------------------------
// The communication buffer service. It lends no buffer yet: every lock is refused with the
// maximum size in ESI, and a release succeeds. A later version grants a buffer by answering ECX
// 0 with the descriptor's address in EDI:ESI (upper:lower) and setting CommBufferLocked.

void HandleCommBuffer(DoubleState* pState, DoubleRegisters* pRegs) {
    if (pRegs->Ecx == DOUBLE_COMM_LOCK) {
        pRegs->Ecx = DOUBLE_STATUS_NO_BUFFER;
        pRegs->Esi = pState->CommBufferMaxSize;
    } else if (pRegs->Ecx == DOUBLE_COMM_RELEASE) {
        pState->CommBufferLocked = 0;
        pRegs->Ecx = DOUBLE_STATUS_SUCCESS;
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
    pInfo->InputAddress = RegisterValue(pRegs, pKind->InputRegister);
    pInfo->InputLength = pKind->InputLength;
    pInfo->OutputAddress = RegisterValue(pRegs, pKind->OutputRegister);
    pInfo->OutputLength = pKind->OutputLength;
}

DoubleOutcome DoubleHandleSmi(DoubleState* pState, uint8_t CommandValue, DoubleRegisters* pRegs) {
    DoubleOutcome Outcome = {1, 0};
    const bool CommBuffer = CommandValue == DOUBLE_SMI_COMM_BUFFER;

    DoubleInjection* pInjection = FindInjection(pState, pRegs);
    if (pInjection != 0) {
        if (!(pInjection->Flags & DOUBLE_INJECT_ALWAYS)) {
            pInjection->Remaining--;
        }
        if (pInjection->Flags & DOUBLE_INJECT_NO_ANSWER) {
            Outcome.Answered = 0;
        } else if (CommBuffer) {
            pRegs->Ecx = pInjection->Status;
        } else {
            pRegs->Eax = pInjection->Status;
        }
        return Outcome;
    }

    if (CommBuffer) {
        HandleCommBuffer(pState, pRegs);
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
