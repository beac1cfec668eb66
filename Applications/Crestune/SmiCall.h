// The port SMI call: the register record of one firmware request, its buffer register codes, and
// the SMM communication buffer that carries the record and its buffers.
#ifndef APPLICATIONS_CRESTUNE_SMICALL_H
#define APPLICATIONS_CRESTUNE_SMICALL_H

#include <stddef.h>
#include <stdint.h>

typedef uint64_t UINT64;
typedef uint32_t UINT32;
typedef uint8_t UINT8;

// The hashed BIOS password the record carries.
#define HASHED_PASSWORD_SIZE 12

// One firmware request: the six registers, which registers carry buffer addresses, and the
// hashed BIOS password. Its layout is part of the firmware interface (it is copied byte for byte
// into the SMM communication buffer).
#pragma pack(push, 1)
struct PortSmiRegisters {
    UINT32 Eax;
    UINT32 Ebx;
    UINT32 Ecx;
    UINT32 Edx;
    UINT32 Esi;
    UINT32 Edi;
    UINT8 InBufReg;
    UINT8 OutBufReg;
    UINT8 HashedPassword[HASHED_PASSWORD_SIZE];
};
#pragma pack(pop)

static_assert(sizeof(PortSmiRegisters) == 38, "the register record is 38 bytes");
static_assert(offsetof(PortSmiRegisters, Eax) == 0, "Eax at 0");
static_assert(offsetof(PortSmiRegisters, Ebx) == 4, "Ebx at 4");
static_assert(offsetof(PortSmiRegisters, Ecx) == 8, "Ecx at 8");
static_assert(offsetof(PortSmiRegisters, Edx) == 12, "Edx at 12");
static_assert(offsetof(PortSmiRegisters, Esi) == 16, "Esi at 16");
static_assert(offsetof(PortSmiRegisters, Edi) == 20, "Edi at 20");
static_assert(offsetof(PortSmiRegisters, InBufReg) == 24, "InBufReg at 24");
static_assert(offsetof(PortSmiRegisters, OutBufReg) == 25, "OutBufReg at 25");
static_assert(offsetof(PortSmiRegisters, HashedPassword) == 26, "HashedPassword at 26");

// Buffer register codes.
#define BUF_REG_NONE 0
#define BUF_REG_EBX 1
#define BUF_REG_ESI 2
#define BUF_REG_EDI 3
#define BUF_REG_ESI_HASH 4
#define BUF_REG_EDI_HASH 5
#define BUF_REG_ESI_EDI_HASH 6
#define BUF_REG_EDI_ESI_HASH 7

// The SMM communication buffer service.
#define SMM_COMM_BUFFER_SMI 0xD9u
#define SMM_COMM_BUFFER_LOCK 0xC0000001u
#define SMM_COMM_BUFFER_RELEASE 0xC0000002u
// Offset of the input data in the communication buffer; the output area follows at
// COMM_BUFFER_INPUT_OFFSET + 8 * InBufSize.
#define COMM_BUFFER_INPUT_OFFSET 304u

// Highest address the firmware can be handed in a 32-bit register.
#define MAX_FIRMWARE_ADDRESS 0xFFFF0000ULL

// Raises one port SMI with the record's registers and buffers. Returns false (no SMI raised,
// record unchanged) when a buffer register code is invalid.
bool GeneratePortSmi(PortSmiRegisters* pRegisters, const void* pInBuf, UINT32 InBufSize,
                     void* pOutBuf, UINT32 OutBufSize);

// Takes (0xC0000001) or releases (0xC0000002) the SMM communication buffer.
bool SmmCommBufferAccess(UINT32 Port, UINT32 Request, UINT32 Flag, UINT32 Size, UINT64* pAddress);

#endif
