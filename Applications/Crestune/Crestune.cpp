// Requests of the run, and the BIOS passwords: installed check, hashing, change and clear.
#include <assert.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/ReturnCode.h"

void InitRequest(PortSmiRegisters* pRegisters, uint32_t Eax, uint32_t Ebx, uint32_t Ecx) {
    memset(pRegisters, 0, sizeof *pRegisters);
    pRegisters->Eax = Eax;
    pRegisters->Ebx = Ebx;
    pRegisters->Ecx = Ecx;
    pRegisters->Edx = Run.SmiPortNumber;
}

void AttachPasswordHash(PortSmiRegisters* pRegisters, uint8_t InBufReg, uint8_t OutBufReg) {
    pRegisters->InBufReg = InBufReg;
    pRegisters->OutBufReg = OutBufReg;
    if (Run.PasswordInstalled) {
        memcpy(pRegisters->HashedPassword, Run.CurrentPasswordHash, HASHED_PASSWORD_SIZE);
    }
}

bool SendRequest(PortSmiRegisters* pRegisters, const void* pInBuf, uint32_t InBufSize,
                 void* pOutBuf, uint32_t OutBufSize) {
    if (!GeneratePortSmi(pRegisters, pInBuf, InBufSize, pOutBuf, OutBufSize)) {
        printf("Error occurs when generating smi.\n");
        ExitApplication(EXIT_SMI_FAILED);
    }
    return CheckSmiReturnCode(pRegisters);
}

void SendCheckedRequest(PortSmiRegisters* pRegisters, const void* pInBuf, uint32_t InBufSize,
                        void* pOutBuf, uint32_t OutBufSize) {
    if (!SendRequest(pRegisters, pInBuf, InBufSize, pOutBuf, OutBufSize)) {
        ExitApplication(EXIT_FIRMWARE_ERROR);
    }
}

static void WipeBytes(void* pData, size_t Size) {
    volatile uint8_t* pBytes = (volatile uint8_t*)pData;
    for (size_t Index = 0; Index < Size; Index++) {
        pBytes[Index] = 0;
    }
}

static void PrintHash(const uint8_t* pHash) {
    for (int Index = 0; Index < HASHED_PASSWORD_SIZE; Index++) {
        printf("%.2X ", (unsigned)pHash[Index]);
    }
}

bool CheckPasswordInstalled(void) {
    PortSmiRegisters Registers;
    InitRequest(&Registers, PASSWORD_FUNCTION, 0, 0);
    SendCheckedRequest(&Registers, NULL, 0, NULL, 0);
    return Registers.Ecx == 1;
}

void ComputeHash(uint8_t* pHash, const char* strInput) {
    assert(strInput != NULL);
    if (Run.VerboseMode) {
        printf("Calling ComputeHash...\n");
    }
    char Buffer[MAX_INPUT_PASS_LEN];
    memset(Buffer, 0, sizeof Buffer);
    strncpy(Buffer, strInput, MAX_INPUT_PASS_LEN - 1);

    PortSmiRegisters Registers;
    InitRequest(&Registers, PASSWORD_FUNCTION, 1, 0);
    Registers.OutBufReg = BUF_REG_ESI;
    const bool Answered = SendRequest(&Registers, Buffer, sizeof Buffer, Buffer, sizeof Buffer);
    memcpy(pHash, Buffer, HASHED_PASSWORD_SIZE);
    // The buffer held the password in clear.
    WipeBytes(Buffer, sizeof Buffer);
    if (!Answered) {
        ExitApplication(EXIT_FIRMWARE_ERROR);
    }
}

void CheckCurrentPassword(void) {
    if (Run.VerboseMode) {
        printf("Calling CheckPasswordInstalled...\n");
    }
    Run.PasswordInstalled = CheckPasswordInstalled();
    if (!Run.PasswordInstalled) {
        return; // a given current password is not used
    }
    if (!Run.PasswordGiven) {
        printf("Password required.\n");
        ExitApplication(EXIT_PASSWORD_REQUIRED);
    }
    ComputeHash(Run.CurrentPasswordHash, Run.CurrentPassword);
    if (Run.VerboseMode) {
        printf("Password hash result: ");
        PrintHash(Run.CurrentPasswordHash);
        printf("\n");
    }
}

#pragma pack(push, 1)
struct PasswordChangeRequest {
    uint8_t MessageId;
    uint8_t RequireType;
    uint8_t NewAdminPass[HASHED_PASSWORD_SIZE];
    uint8_t NewPop[HASHED_PASSWORD_SIZE];
    uint8_t Reserved[37];
};
#pragma pack(pop)
static_assert(sizeof(PasswordChangeRequest) == 63, "the password change request is 63 bytes");

#define PASSWORD_CHANGE_MESSAGE_ID 0x10
#define REQUIRE_ADMIN 0x01
#define REQUIRE_POWER_ON 0x02

void ProcessChangePassword(void) {
    if (Run.VerboseMode) {
        printf("Calling ProcessChangePassword...\n");
    }
    PasswordChangeRequest Request;
    memset(&Request, 0, sizeof Request);
    uint8_t RequireType = 0;
    if (Run.ChangeAdminPassword) {
        RequireType |= REQUIRE_ADMIN;
        if (!Run.ClearAdminPassword) {
            const char* strInputNewAdp = Run.strInputNewAdp;
            assert(strInputNewAdp != NULL);
            ComputeHash(Request.NewAdminPass, strInputNewAdp);
        }
    }
    if (Run.ChangePowerOnPassword) {
        RequireType |= REQUIRE_POWER_ON;
        if (!Run.ClearPowerOnPassword) {
            const char* strInputNewPop = Run.strInputNewPop;
            assert(strInputNewPop != NULL);
            ComputeHash(Request.NewPop, strInputNewPop);
        }
    }
    Request.MessageId = PASSWORD_CHANGE_MESSAGE_ID;
    Request.RequireType = RequireType;
    if (Run.VerboseMode) {
        printf("Password change input:\n");
        printf("  Message id: %.2X\n", (unsigned)Request.MessageId);
        printf("  Require type: %.2X\n", (unsigned)Request.RequireType);
        printf("  New admin pass: ");
        PrintHash(Request.NewAdminPass);
        printf("\n  New pop: ");
        PrintHash(Request.NewPop);
        printf("\n");
    }
    PortSmiRegisters Registers;
    InitRequest(&Registers, PASSWORD_FUNCTION, 3, 0);
    AttachPasswordHash(&Registers, BUF_REG_ESI_EDI_HASH, BUF_REG_NONE);
    SendCheckedRequest(&Registers, &Request, sizeof Request, NULL, 0);
}
