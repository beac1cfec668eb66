// The port SMI call and the SMM communication buffer that carries its record and buffers.
#include <assert.h>
#include <stdio.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/SmiCall.h"
#include "Platform/Platform.h"

namespace {

// The six registers in the order TriggerPortSmi takes and returns them.
enum { REG_EAX, REG_EBX, REG_ECX, REG_EDX, REG_EDI, REG_ESI, REG_COUNT };

void RaiseSmi(UINT32 Registers[REG_COUNT]) {
    const uint32_t Input[7] = {0,
                               Registers[REG_EAX],
                               Registers[REG_EBX],
                               Registers[REG_ECX],
                               Registers[REG_EDX],
                               Registers[REG_EDI],
                               Registers[REG_ESI]};
    uint32_t Output[REG_COUNT];
    TriggerPortSmi(Input, Output);
    memcpy(Registers, Output, sizeof Output);
}

void PrintRegisters(const UINT32 Registers[REG_COUNT]) {
    printf("  EAX: %.8lXh\n", (unsigned long)Registers[REG_EAX]);
    printf("  EBX: %.8lXh\n", (unsigned long)Registers[REG_EBX]);
    printf("  ECX: %.8lXh\n", (unsigned long)Registers[REG_ECX]);
    printf("  EDX: %.8lXh\n", (unsigned long)Registers[REG_EDX]);
    printf("  ESI: %.8lXh\n", (unsigned long)Registers[REG_ESI]);
    printf("  EDI: %.8lXh\n", (unsigned long)Registers[REG_EDI]);
}

UINT32 Address32(const void* pAddress) {
    return (UINT32)(UINT64)(uintptr_t)pAddress;
}

// Fills Count bytes of physical memory with zeros.
void ClearPhysical(UINT64 Address, UINT32 Count) {
    static const uint8_t kZeros[64] = {0};
    while (Count > 0) {
        const UINT32 Chunk = Count < sizeof kZeros ? Count : (UINT32)sizeof kZeros;
        PlatformWritePhysical(Address, kZeros, Chunk);
        Address += Chunk;
        Count -= Chunk;
    }
}

// What a buffer register code puts where: the register that gets the buffer's address and the
// one that gets the hashed password's address (REG_COUNT: none). Codes 4 and 5 name only the
// hash, so they are no output codes.
struct BufferCode {
    uint8_t BufferRegister;
    uint8_t HashRegister;
    bool ValidForOutput;
};

const BufferCode kBufferCodes[] = {
    {REG_COUNT, REG_COUNT, true}, // 0: no register
    {REG_EBX, REG_COUNT, true},   // 1
    {REG_ESI, REG_COUNT, true},   // 2
    {REG_EDI, REG_COUNT, true},   // 3
    {REG_COUNT, REG_ESI, false},  // 4
    {REG_COUNT, REG_EDI, false},  // 5
    {REG_ESI, REG_EDI, true},     // 6
    {REG_EDI, REG_ESI, true},     // 7
};

bool ApplyBufferCode(UINT8 Code, bool Output, UINT32 Buffer, UINT32 Hash,
                     UINT32 Registers[REG_COUNT]) {
    if (Code >= sizeof kBufferCodes / sizeof kBufferCodes[0] ||
        (Output && !kBufferCodes[Code].ValidForOutput)) {
        return false;
    }
    if (kBufferCodes[Code].BufferRegister != REG_COUNT) {
        Registers[kBufferCodes[Code].BufferRegister] = Buffer;
    }
    if (kBufferCodes[Code].HashRegister != REG_COUNT) {
        Registers[kBufferCodes[Code].HashRegister] = Hash;
    }
    return true;
}

// Applies the input code, then the output code, so that the output side's values stand where
// both name the same register. Returns false for an invalid code.
bool ApplyBufferCodes(UINT8 InCode, UINT8 OutCode, UINT32 Input, UINT32 Output, UINT32 Hash,
                      UINT32 Registers[REG_COUNT]) {
    return ApplyBufferCode(InCode, false, Input, Hash, Registers) &&
           ApplyBufferCode(OutCode, true, Output, Hash, Registers);
}

} // namespace

bool GeneratePortSmi(PortSmiRegisters* pRegisters, const void* pInBuf, UINT32 InBufSize,
                     void* pOutBuf, UINT32 OutBufSize) {
    UINT32 Registers[REG_COUNT];
    Registers[REG_EAX] = pRegisters->Eax;
    Registers[REG_EBX] = pRegisters->Ebx;
    Registers[REG_ECX] = pRegisters->Ecx;
    Registers[REG_EDX] = pRegisters->Edx;
    Registers[REG_ESI] = pRegisters->Esi;
    Registers[REG_EDI] = pRegisters->Edi;
    const UINT8 InBufReg = pRegisters->InBufReg;
    const UINT8 OutBufReg = pRegisters->OutBufReg;
    UINT8 HashCopy[HASHED_PASSWORD_SIZE];
    memcpy(HashCopy, pRegisters->HashedPassword, sizeof HashCopy);
    const UINT8* password = HashCopy;

    assert((UINT64)password <= 0xFFFF0000ULL);
    assert((UINT64)pInBuf <= 0xFFFF0000ULL);
    assert((UINT64)pOutBuf <= 0xFFFF0000ULL);

    const bool HasInput = pInBuf != NULL && InBufSize != 0;
    const bool HasOutput = pOutBuf != NULL && OutBufSize != 0;

    // Ask for the whole span the call places in the buffer, so that nothing is written past
    // what the firmware grants.
    const UINT64 Span = COMM_BUFFER_INPUT_OFFSET + 8 * (UINT64)InBufSize + (UINT64)OutBufSize;
    const UINT32 LockSize = Span > 0xFFFFFFFFULL ? 0xFFFFFFFFu : (UINT32)Span;
    UINT64 Descriptor = 0;
    const bool Locked =
        Span <= 0xFFFFFFFFULL &&
        SmmCommBufferAccess(Registers[REG_EDX], SMM_COMM_BUFFER_LOCK, 1, LockSize, &Descriptor);

    UINT32 Input = Address32(pInBuf);
    UINT32 Output = Address32(pOutBuf);
    UINT32 Hash = Address32(password);
    // The firmware's buffer is reached only through the platform's physical memory access.
    const PhysMemReader* pMemory = PlatformMemory();
    UINT32 Comm = 0;
    UINT32 OutputOffset = 0;
    if (Locked) {
        if (Run.VerboseMode) {
            printf("Get Lock SMM Memory Success!\n");
        }
        Comm = (UINT32)PhysRead64(pMemory, Descriptor + 8);
        PlatformWritePhysical(Comm, pRegisters, sizeof *pRegisters);
        Input = 0;
        Output = 0;
        if (HasInput) {
            PlatformWritePhysical(Comm + COMM_BUFFER_INPUT_OFFSET, pInBuf, InBufSize);
            Input = Comm + COMM_BUFFER_INPUT_OFFSET;
        }
        OutputOffset = COMM_BUFFER_INPUT_OFFSET + 8 * InBufSize;
        if (HasOutput) {
            PlatformWritePhysical(Comm + OutputOffset, pOutBuf, OutBufSize);
            Output = Comm + OutputOffset;
        }
        Hash = Comm + (UINT32)offsetof(PortSmiRegisters, HashedPassword);
    }

    const bool CodesValid = ApplyBufferCodes(InBufReg, OutBufReg, Input, Output, Hash, Registers);
    if (CodesValid) {
        if (Run.VerboseMode) {
            printf("Port smi input:\n");
            PrintRegisters(Registers);
            printf("  Input buffer register: %d\n", (int)InBufReg);
            printf("  Output buffer register: %d\n", (int)OutBufReg);
            printf("  Hashed password: ");
            for (int Index = 0; Index < HASHED_PASSWORD_SIZE; Index++) {
                printf("%.2X ", (unsigned)HashCopy[Index]);
            }
            printf("\n");
        }
        RaiseSmi(Registers);
        if (Locked) {
            if (HasOutput) {
                pMemory->Read(pMemory, (UINT64)Comm + OutputOffset, pOutBuf, OutBufSize);
            }
            pMemory->Read(pMemory, (UINT64)Comm + offsetof(PortSmiRegisters, HashedPassword),
                          HashCopy, sizeof HashCopy);
        }
    }
    if (Locked) {
        // The buffer may hold a password in clear (the hashing request): wipe what this call
        // placed there before giving the buffer back.
        ClearPhysical(Comm, HasOutput ? OutputOffset + OutBufSize
                                      : COMM_BUFFER_INPUT_OFFSET + (HasInput ? InBufSize : 0));
        SmmCommBufferAccess(CodesValid ? Registers[REG_EDX] : pRegisters->Edx,
                            SMM_COMM_BUFFER_RELEASE, 0, LockSize, NULL);
    }
    if (!CodesValid) {
        return false;
    }

    if (Run.VerboseMode) {
        printf("Port smi output:\n");
        PrintRegisters(Registers);
        if (HasOutput) {
            const UINT8* pBytes = (const UINT8*)pOutBuf;
            printf("\nOutput buffer contents:\n");
            for (UINT32 Index = 0; Index < OutBufSize; Index++) {
                printf("%.2X ", (unsigned)pBytes[Index]);
                if (Index % 16 == 15) {
                    printf("\n");
                }
            }
            printf("\n");
        }
    }

    pRegisters->Eax = Registers[REG_EAX];
    pRegisters->Ebx = Registers[REG_EBX];
    pRegisters->Ecx = Registers[REG_ECX];
    pRegisters->Edx = Registers[REG_EDX];
    pRegisters->Esi = Registers[REG_ESI];
    pRegisters->Edi = Registers[REG_EDI];
    memcpy(pRegisters->HashedPassword, HashCopy, sizeof HashCopy);
    return true;
}

bool SmmCommBufferAccess(UINT32 Port, UINT32 Request, UINT32 Flag, UINT32 Size, UINT64* pAddress) {
    if (Run.VerboseMode) {
        printf("SmmCommBufferAccess Entry!\n");
    }
    UINT32 Registers[REG_COUNT];
    Registers[REG_EAX] = SMM_COMM_BUFFER_SMI;
    Registers[REG_EBX] = 0;
    Registers[REG_ECX] = Request;
    Registers[REG_EDX] = Port;
    Registers[REG_EDI] = Flag;
    Registers[REG_ESI] = Size;
    RaiseSmi(Registers);

    const bool Success = Registers[REG_ECX] == 0;
    if (Request == SMM_COMM_BUFFER_LOCK) {
        if (!Success) {
            if (Run.VerboseMode) {
                printf("SmmCommBufferAccess Buffer size not enough! Maxsize=0x%X\n",
                       (unsigned)Registers[REG_ESI]);
            }
            return false;
        }
        const UINT64 Address = ((UINT64)Registers[REG_EDI] << 32) | Registers[REG_ESI];
        *pAddress = Address;
        if (Run.VerboseMode) {
            printf("SmmCommBufferAccess Maxsize=%.16lXh,Address=%.16lXh(Lo=%.16lXh,Hi=%.16lXh)!\n",
                   (unsigned long)Size, (unsigned long)Address, (unsigned long)Registers[REG_ESI],
                   (unsigned long)Registers[REG_EDI]);
            printf("SmmCommBufferAccess return Success!\n");
        }
        return true;
    }
    if (Request == SMM_COMM_BUFFER_RELEASE) {
        if (!Success) {
            if (Run.VerboseMode) {
                printf("SmmCommBufferAccess UNLOCK Error!\n");
            }
            return false;
        }
        if (Run.VerboseMode) {
            printf("SmmCommBufferAccess UNLOCK Success!\n");
            printf("SmmCommBufferAccess return Success!\n");
        }
        return true;
    }
    return false;
}
