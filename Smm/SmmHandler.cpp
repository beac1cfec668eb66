// The firmware double as a real SMM handler: the entry stub calls SmmDoubleMain once per SMI.
//
// Runs in 32-bit protected mode without paging, interrupts or an IDT (any fault resets the
// machine), so it only reads and writes memory it can name: the state save map, its own region,
// and the buffers whose addresses the program put in its registers, as the double's core
// checks them. Each SMI is answered by the core from the resident DoubleState and logged with
// the registers in and out, the buffers handed and written, and the interrupted RIP with the
// PE image around it, so the host can check that the SMI was taken at the instruction after the
// program's port write.
#include "Double/Sha256.h"
#include "Smm/SmmDoubleLayout.h"

extern "C" {
// The linker script places these.
extern uint8_t SmmLogStart[];
extern uint8_t SmmLogCapacity[]; // its address is the log's size
extern uint8_t SmmImageEnd[];

void SmmDoubleMain(void);

// The compiler may turn copies and clears into calls to these.
void* memcpy(void* pDest, const void* pSource, size_t Count);
void* memset(void* pDest, int Value, size_t Count);
void* memmove(void* pDest, const void* pSource, size_t Count);
int memcmp(const void* pLeft, const void* pRight, size_t Count);
}

namespace {

DoubleState State;

} // namespace

__attribute__((section(".smm.header"), used)) SmmDoubleHeader SmmHeader = {
    SMM_DOUBLE_MAGIC,
    SMM_DOUBLE_LAYOUT_VERSION,
    sizeof(SmmDoubleHeader),
    (uint32_t)(uintptr_t)SmmImageEnd,
    (uint32_t)(uintptr_t)&State,
    sizeof(DoubleState),
    (uint32_t)(uintptr_t)SmmLogStart,
    (uint32_t)(uintptr_t)SmmLogCapacity,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
};

namespace {

uint64_t ReadSave64(uint32_t Offset) {
    return *(volatile uint64_t*)(uintptr_t)(SMM_SMBASE + Offset);
}

uint32_t ReadSave32(uint32_t Offset) {
    return *(volatile uint32_t*)(uintptr_t)(SMM_SMBASE + Offset);
}

// Only the low 32 bits of a saved register change, as when firmware writes a 4-byte register.
void WriteSave32(uint32_t Offset, uint32_t Value) {
    *(volatile uint32_t*)(uintptr_t)(SMM_SMBASE + Offset) = Value;
}

void ReadRegisters(DoubleRegisters* pRegs) {
    pRegs->Eax = (uint32_t)ReadSave64(SMM_SAVE_RAX);
    pRegs->Ebx = (uint32_t)ReadSave64(SMM_SAVE_RBX);
    pRegs->Ecx = (uint32_t)ReadSave64(SMM_SAVE_RCX);
    pRegs->Edx = (uint32_t)ReadSave64(SMM_SAVE_RDX);
    pRegs->Esi = (uint32_t)ReadSave64(SMM_SAVE_RSI);
    pRegs->Edi = (uint32_t)ReadSave64(SMM_SAVE_RDI);
}

void WriteRegisters(const DoubleRegisters* pRegs) {
    WriteSave32(SMM_SAVE_RAX, pRegs->Eax);
    WriteSave32(SMM_SAVE_RBX, pRegs->Ebx);
    WriteSave32(SMM_SAVE_RCX, pRegs->Ecx);
    WriteSave32(SMM_SAVE_RDX, pRegs->Edx);
    WriteSave32(SMM_SAVE_RSI, pRegs->Esi);
    WriteSave32(SMM_SAVE_RDI, pRegs->Edi);
}

const volatile uint8_t* Physical(uint32_t Address) {
    return (const volatile uint8_t*)(uintptr_t)Address;
}

uint16_t Read16(uint32_t Address) {
    return (uint16_t)(Physical(Address)[0] | (Physical(Address)[1] << 8));
}

uint32_t Read32(uint32_t Address) {
    return (uint32_t)Read16(Address) | ((uint32_t)Read16(Address + 2) << 16);
}

// PE images are loaded at page boundaries: the image that holds RIP is the nearest page at or
// below it that starts with a DOS header leading to a PE32+ header whose image covers RIP.
// The search stops after 16 MiB, far more than any shell application.
#define IMAGE_SEARCH_PAGES 4096u
#define PAGE_SIZE 0x1000u

bool FindImage(uint64_t Rip, SmmLogRecord* pRecord) {
    if (Rip >= 0xFFFFFFFFull) {
        return false;
    }
    uint32_t Page = (uint32_t)Rip & ~(PAGE_SIZE - 1);
    for (uint32_t I = 0; I < IMAGE_SEARCH_PAGES; I++, Page -= PAGE_SIZE) {
        if (Read16(Page) == 0x5A4D) { // "MZ"
            const uint32_t PeOffset = Read32(Page + 0x3C);
            if (PeOffset >= 0x40 && PeOffset <= 0x800 && Read32(Page + PeOffset) == 0x00004550 &&
                Read16(Page + PeOffset + 24) == 0x020B) { // "PE\0\0", PE32+ optional header
                const uint32_t Optional = Page + PeOffset + 24;
                const uint32_t SizeOfImage = Read32(Optional + 56);
                if ((uint32_t)Rip - Page < SizeOfImage) {
                    pRecord->ImageBase = Page;
                    pRecord->ImageSize = SizeOfImage;
                    pRecord->ImageEntry = Read32(Optional + 16);
                    return true;
                }
            }
        }
        if (Page == 0) {
            break;
        }
    }
    return false;
}

bool Readable(uint32_t Address, uint32_t Length) {
    return Address != 0 && Length != 0 && Length - 1 <= 0xFFFFFFFFu - Address &&
           DoubleBufferAccessible(Address, Length, false);
}

// Captures a buffer the request hands: its bytes when it is short enough, else its digest.
// Returns the bytes captured.
uint32_t Capture(uint8_t* pDest, uint32_t Address, uint32_t Length, uint32_t* pTotal,
                 uint8_t* pDigest, uint8_t* pFlags, uint8_t DigestFlag) {
    *pTotal = 0;
    if (!Readable(Address, Length)) {
        return 0;
    }
    *pTotal = Length;
    if (Length > SMM_LOG_CAPTURE_LIMIT) {
        Sha256((const uint8_t*)(uintptr_t)Address, Length, pDigest);
        *pFlags |= DigestFlag;
        return 0;
    }
    for (uint32_t I = 0; I < Length; I++) {
        pDest[I] = Physical(Address)[I];
    }
    return Length;
}

bool InLentBuffer(const DoubleState* pState, uint32_t Address, uint32_t Length) {
    const uint64_t Start = pState->CommBufferAddress;
    const uint64_t End = Start + pState->CommBufferSize;
    return Address >= Start && (uint64_t)Address + Length <= End;
}

// Whether every buffer of the request lay in the locked buffer that the double lends.
bool BuffersInLentBuffer(const DoubleState* pState, const DoubleRequestInfo* pInfo) {
    return pState->CommBufferGrant && pState->CommBufferLocked &&
           (!pInfo->HasHash || InLentBuffer(pState, pInfo->HashAddress, DOUBLE_HASH_SIZE)) &&
           (pInfo->InputLength == 0 ||
            InLentBuffer(pState, pInfo->InputAddress, pInfo->InputLength)) &&
           (pInfo->OutputLength == 0 ||
            InLentBuffer(pState, pInfo->OutputAddress, pInfo->OutputLength));
}

// Room for the largest record: the fixed part, the hash, two buffers at the capture limit and
// the detail text.
#define RECORD_ROOM                                                                                \
    (sizeof(SmmLogRecord) + DOUBLE_HASH_SIZE + 2 * SMM_LOG_CAPTURE_LIMIT + SMM_LOG_DETAIL_LIMIT)

} // namespace

// The core's buffer rule in SMM: a program's buffer must not overlap the SMBASE area or the
// double's own region, so a request cannot read or overwrite the handler, its state or its log.
bool DoubleBufferAccessible(uint32_t Address, uint32_t Length, bool) {
    const uint64_t Start = Address;
    const uint64_t End = Start + Length;
    return End <= SMM_SMBASE || Start >= SMM_DOUBLE_REGION_END;
}

void SmmDoubleMain(void) {
    SmmDoubleHeader* pHeader = &SmmHeader;
    pHeader->SmiCount++;
    if (ReadSave32(SMM_SAVE_REVISION_OFFSET) != SMM_SAVE_REVISION_X64) {
        // Another save map layout: the register offsets would be wrong, so change nothing.
        pHeader->UnknownSaveMaps++;
        return;
    }
    DoubleRegisters In;
    ReadRegisters(&In);
    const uint8_t Command = (uint8_t)In.Eax;
    DoubleRequestInfo Info;
    DoubleDescribeRequest(Command, &In, &Info);

    // The record is built in place when the log has room for the largest one; otherwise the
    // SMI is still answered and only counted.
    SmmLogRecord* pRecord = 0;
    if (pHeader->LogUsed <= pHeader->LogCapacity &&
        pHeader->LogCapacity - pHeader->LogUsed >= RECORD_ROOM) {
        pRecord = (SmmLogRecord*)(SmmLogStart + pHeader->LogUsed);
    }
    uint8_t Scratch[sizeof(SmmLogRecord)];
    SmmLogRecord* pFixed = pRecord != 0 ? pRecord : (SmmLogRecord*)Scratch;
    memset(pFixed, 0, sizeof *pFixed);
    pFixed->Sequence = pHeader->SmiCount;
    pFixed->Command = Command;
    pFixed->In = In;
    pFixed->Rip = ReadSave64(SMM_SAVE_RIP);
    if (FindImage(pFixed->Rip, pFixed)) {
        pFixed->Flags |= SMM_LOG_IMAGE_FOUND;
    }
    if (pFixed->Rip >= SMM_LOG_CODE_BEFORE && pFixed->Rip < 0xFFFFFFF0ull) {
        const uint32_t Code = (uint32_t)pFixed->Rip - SMM_LOG_CODE_BEFORE;
        for (uint32_t I = 0; I < sizeof pFixed->CodeBytes; I++) {
            pFixed->CodeBytes[I] = Physical(Code)[I];
        }
    }
    if (Info.HasHash || Info.InputLength != 0 || Info.OutputLength != 0) {
        pFixed->Flags |= SMM_LOG_HAS_BUFFER;
        if (BuffersInLentBuffer(&State, &Info)) {
            pFixed->Flags |= SMM_LOG_IN_COMM_BUFFER;
        }
    }
    uint8_t* pBytes = (uint8_t*)(pFixed + 1);
    if (pRecord != 0) {
        // What the request handed, as it was before the handler ran.
        uint32_t HashTotal;
        if (Info.HasHash) {
            pRecord->HashLength = Capture(pBytes, Info.HashAddress, DOUBLE_HASH_SIZE, &HashTotal,
                                          pRecord->InputDigest, &pRecord->Flags, 0);
            pBytes += SmmPad4(pRecord->HashLength);
        }
        pRecord->InputLength =
            Capture(pBytes, Info.InputAddress, Info.InputLength, &pRecord->InputTotal,
                    pRecord->InputDigest, &pRecord->Flags, SMM_LOG_INPUT_DIGEST);
        pBytes += SmmPad4(pRecord->InputLength);
    }

    DoubleRegisters Out = In;
    const DoubleOutcome Outcome = DoubleHandleSmi(&State, Command, &Out);
    if (Outcome.Answered) {
        WriteRegisters(&Out);
    }

    pFixed->Out = Out;
    if (Outcome.Answered) {
        pFixed->Flags |= SMM_LOG_ANSWERED;
    }
    if (Outcome.OutputWritten) {
        pFixed->Flags |= SMM_LOG_OUTPUT_WRITTEN;
    }
    if (pRecord == 0) {
        pHeader->LogDropped++;
        return;
    }
    if (Outcome.OutputWritten) {
        pRecord->OutputLength =
            Capture(pBytes, Info.OutputAddress, Info.OutputLength, &pRecord->OutputTotal,
                    pRecord->OutputDigest, &pRecord->Flags, SMM_LOG_OUTPUT_DIGEST);
        pBytes += SmmPad4(pRecord->OutputLength);
    }
    if (Outcome.pDetail != 0) {
        uint32_t Length = 0;
        while (Length < SMM_LOG_DETAIL_LIMIT && Outcome.pDetail[Length] != 0) {
            pBytes[Length] = (uint8_t)Outcome.pDetail[Length];
            Length++;
        }
        pRecord->DetailLength = Length;
        pBytes += SmmPad4(Length);
    }
    pRecord->Size = (uint32_t)(pBytes - (uint8_t*)pRecord);
    pHeader->LogUsed += pRecord->Size;
    pHeader->LogRecords++;
}

extern "C" void* memcpy(void* pDest, const void* pSource, size_t Count) {
    uint8_t* pOut = (uint8_t*)pDest;
    const uint8_t* pIn = (const uint8_t*)pSource;
    for (size_t I = 0; I < Count; I++) {
        pOut[I] = pIn[I];
    }
    return pDest;
}

extern "C" void* memmove(void* pDest, const void* pSource, size_t Count) {
    uint8_t* pOut = (uint8_t*)pDest;
    const uint8_t* pIn = (const uint8_t*)pSource;
    if (pOut < pIn) {
        for (size_t I = 0; I < Count; I++) {
            pOut[I] = pIn[I];
        }
    } else {
        for (size_t I = Count; I > 0; I--) {
            pOut[I - 1] = pIn[I - 1];
        }
    }
    return pDest;
}

extern "C" void* memset(void* pDest, int Value, size_t Count) {
    uint8_t* pOut = (uint8_t*)pDest;
    for (size_t I = 0; I < Count; I++) {
        pOut[I] = (uint8_t)Value;
    }
    return pDest;
}

extern "C" int memcmp(const void* pLeft, const void* pRight, size_t Count) {
    const uint8_t* pA = (const uint8_t*)pLeft;
    const uint8_t* pB = (const uint8_t*)pRight;
    for (size_t I = 0; I < Count; I++) {
        if (pA[I] != pB[I]) {
            return pA[I] < pB[I] ? -1 : 1;
        }
    }
    return 0;
}
