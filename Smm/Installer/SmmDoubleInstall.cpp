// SmmDouble.efi: installs the firmware double as the machine's SMM handler, and moves its state
// and request log to and from files on the disk.
//
//   SmmDouble.efi install [STATE]   reserve the memory, copy the entry stub and the handler in,
//                                   prove with one SMI that it answers on time, load STATE (a new
//                                   machine without it) and leave it resident; a double already
//                                   resident is left alone
//   SmmDouble.efi load STATE        replace the resident double's state; empties its log
//   SmmDouble.efi save STATE        write the resident double's state
//   SmmDouble.efi log LOG [STATE]   write the requests logged since the log was last emptied,
//                                   then empty it; with STATE, also write the state (one
//                                   program run after each command of a test)
//   SmmDouble.efi status            print the counters
//
// Exit status 0 on success, 1 with a message on standard error otherwise. Only QEMU's q35
// machine started with smm=on (and a firmware that leaves SMBASE at 0x30000) is supported;
// Smm/SmmDoubleLayout.h describes the memory and the files.
#include "Runtime/Uefi/RuntimeUefi.h"
#include "Smm/Installer/EmbeddedImages.h"
#include "Smm/SmmDoubleLayout.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// The SMI command port of the chipset's APM interface, and ICH9's power management registers.
#define APM_COMMAND_PORT 0xB2
#define LPC_CONFIG_ADDRESS 0x8000F800u // PCI 0:1f.0
#define ICH9_LPC_ID 0x29188086u
#define LPC_PMBASE 0x40
#define LPC_ACPI_CONTROL 0x44
#define LPC_ACPI_ENABLE 0x80
#define PMBASE_MASK 0xFF80u
#define SMI_EN_OFFSET 0x30
#define SMI_EN_GLOBAL 0x01u
#define SMI_EN_APMC 0x20u
#define PAGE_SIZE 0x1000u

// The probe SMI raised at installation: a buffer service call with neither the lock nor the
// release request, which a new machine's double refuses in ECX.
#define PROBE_COMMAND DOUBLE_SMI_COMM_BUFFER
#define PROBE_WAIT_MICROSECONDS 1000

int Fail(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));

int Fail(const char* pFormat, ...) {
    fflush(stdout);
    fputs("SmmDouble: ", stderr);
    va_list Args;
    va_start(Args, pFormat);
    vfprintf(stderr, pFormat, Args);
    va_end(Args);
    fputc('\n', stderr);
    return 1;
}

uint32_t InPort32(uint16_t Port) {
    uint32_t Value;
    __asm__ volatile("inl %1, %0" : "=a"(Value) : "Nd"(Port));
    return Value;
}

void OutPort32(uint16_t Port, uint32_t Value) {
    __asm__ volatile("outl %0, %1" : : "a"(Value), "Nd"(Port));
}

uint32_t ReadLpcConfig(uint32_t Register) {
    OutPort32(0xCF8, LPC_CONFIG_ADDRESS | Register);
    return InPort32(0xCFC);
}

SmmDoubleHeader* ResidentHeader(void) {
    return (SmmDoubleHeader*)(uintptr_t)SMM_DOUBLE_BASE;
}

// The double an earlier run installed, or NULL. The magic alone is trusted only together with
// the layout this program was built for.
SmmDoubleHeader* FindResident(void) {
    SmmDoubleHeader* pHeader = ResidentHeader();
    if (pHeader->Magic != SMM_DOUBLE_MAGIC || pHeader->LayoutVersion != SMM_DOUBLE_LAYOUT_VERSION ||
        pHeader->HeaderSize != sizeof(SmmDoubleHeader) ||
        pHeader->StateSize != sizeof(DoubleState)) {
        return NULL;
    }
    return pHeader;
}

void EmptyLog(SmmDoubleHeader* pHeader) {
    pHeader->LogUsed = 0;
    pHeader->LogRecords = 0;
    pHeader->LogDropped = 0;
}

// ---------------------------------------------------------------------------------------------
// Files

// Reads a whole file of at most Limit bytes into pBuffer; returns its size, or -1 after a
// message.
long ReadWholeFile(const char* pName, void* pBuffer, size_t Limit) {
    FILE* pFile = fopen(pName, "rb");
    if (pFile == NULL) {
        Fail("cannot open %s: %s", pName, strerror(errno));
        return -1;
    }
    size_t Total = fread(pBuffer, 1, Limit, pFile);
    const bool Failed = ferror(pFile) != 0;
    char Extra;
    const bool TooLong = !Failed && Total == Limit && fread(&Extra, 1, 1, pFile) == 1;
    fclose(pFile);
    if (Failed) {
        Fail("cannot read %s", pName);
        return -1;
    }
    if (TooLong) {
        Fail("%s is longer than a state file (%lu bytes)", pName, (unsigned long)Limit);
        return -1;
    }
    return (long)Total;
}

// Reads and checks a state file into pState.
bool ReadStateFile(const char* pName, DoubleState* pState) {
    struct {
        SmmFileHeader Header;
        DoubleState State;
    } File;
    const long Size = ReadWholeFile(pName, &File, sizeof File);
    if (Size < 0) {
        return false;
    }
    if ((size_t)Size < sizeof File.Header || File.Header.Magic != SMM_STATE_FILE_MAGIC) {
        Fail("%s is not a firmware double state file", pName);
        return false;
    }
    if (File.Header.Version != SMM_FILE_VERSION) {
        Fail("%s has state file version %u; this program reads version %u", pName,
             File.Header.Version, SMM_FILE_VERSION);
        return false;
    }
    // sizeof File may include padding after the state.
    if (File.Header.PayloadSize != sizeof(DoubleState) ||
        (size_t)Size != sizeof File.Header + sizeof File.State) {
        Fail("%s holds a state of %u bytes (file of %ld bytes); this double's state has %lu "
             "bytes: make the file with the same build",
             pName, File.Header.PayloadSize, Size, (unsigned long)sizeof(DoubleState));
        return false;
    }
    memcpy(pState, &File.State, sizeof *pState);
    return true;
}

bool WriteFile(const char* pName, const SmmFileHeader* pHeader, const void* pPayload) {
    FILE* pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        Fail("cannot create %s: %s", pName, strerror(errno));
        return false;
    }
    bool Ok = fwrite(pHeader, sizeof *pHeader, 1, pFile) == 1;
    if (Ok && pHeader->PayloadSize != 0) {
        Ok = fwrite(pPayload, pHeader->PayloadSize, 1, pFile) == 1;
    }
    Ok = fclose(pFile) == 0 && Ok;
    if (!Ok) {
        Fail("cannot write %s", pName);
    }
    return Ok;
}

// ---------------------------------------------------------------------------------------------
// Installation

// Raises the probe SMI and returns the address of the instruction after the port write.
uint64_t RaiseProbeSmi(uint32_t* pEcx) {
    uint32_t Eax = PROBE_COMMAND;
    uint32_t Ebx = 0;
    uint32_t Ecx = 0;
    uint32_t Esi = 0;
    uint32_t Edi = 0;
    uint64_t After;
    __asm__ volatile("leaq 1f(%%rip), %[After]\n\t"
                     "outb %%al, %%dx\n"
                     "1:"
                     : [After] "=&r"(After), "+a"(Eax), "+b"(Ebx), "+c"(Ecx), "+S"(Esi), "+D"(Edi)
                     : "d"(APM_COMMAND_PORT)
                     : "memory", "cc");
    *pEcx = Ecx;
    return After;
}

uint64_t OwnImageBase(void) {
    EFI_GUID LoadedImageGuid = LOADED_IMAGE_PROTOCOL;
    void* pInterface = NULL;
    if (RtBootServices()->HandleProtocol(RtImageHandle(), &LoadedImageGuid, &pInterface) !=
        EFI_SUCCESS) {
        return 0;
    }
    return (uint64_t)(uintptr_t)((EFI_LOADED_IMAGE*)pInterface)->ImageBase;
}

// Proves that an SMI reaches the handler and is taken at the instruction after the port write,
// then leaves the log and the counters empty.
bool ProbeHandler(SmmDoubleHeader* pHeader) {
    uint32_t Ecx = 0;
    const uint64_t After = RaiseProbeSmi(&Ecx);
    const SmmLogRecord* pRecord = (const SmmLogRecord*)(uintptr_t)pHeader->LogAddress;
    bool Ok = false;
    if (pHeader->SmiCount == 0) {
        // A late SMI still arrives within a few instructions; none at all means no SMM.
        RtBootServices()->Stall(PROBE_WAIT_MICROSECONDS);
    }
    if (pHeader->SmiCount == 0) {
        Fail("no SMI reached the handler: QEMU must run with -machine q35,smm=on and a "
             "firmware without SMM support (OVMF_CODE_4M.fd)");
    } else if (pRecord->Rip != After && pHeader->LogRecords == 1) {
        Fail("the SMI was taken late, at RIP 0x%lX instead of 0x%lX after the port write: QEMU "
             "must run with -icount shift=auto (or -singlestep) and -smp 1",
             (unsigned long)pRecord->Rip, (unsigned long)After);
    } else if (pHeader->UnknownSaveMaps != 0) {
        Fail("the CPU saved its state in an unknown layout (revision 0x%08X)",
             *(volatile uint32_t*)(uintptr_t)(SMM_SMBASE + SMM_SAVE_REVISION_OFFSET));
    } else if (pHeader->LogRecords != 1 || pRecord->Command != PROBE_COMMAND) {
        Fail("the probe SMI was not logged as expected (%u SMIs, %u records)", pHeader->SmiCount,
             pHeader->LogRecords);
    } else if (!(pRecord->Flags & SMM_LOG_IMAGE_FOUND) || pRecord->ImageBase != OwnImageBase()) {
        Fail("the handler did not find the program's image (found 0x%lX, loaded at 0x%lX)",
             (unsigned long)pRecord->ImageBase, (unsigned long)OwnImageBase());
    } else if (Ecx != DOUBLE_STATUS_UNSUPPORTED) {
        Fail("the handler answered the probe with ECX 0x%08X, expected 0x%08X", Ecx,
             DOUBLE_STATUS_UNSUPPORTED);
    } else {
        Ok = true;
    }
    pHeader->SmiCount = 0;
    EmptyLog(pHeader);
    return Ok;
}

bool ReservePages(uint64_t Address, uint32_t Size, const char* pWhat) {
    EFI_PHYSICAL_ADDRESS Pages = Address;
    const EFI_STATUS Status = RtBootServices()->AllocatePages(
        AllocateAddress, EfiReservedMemoryType, Size / PAGE_SIZE, &Pages);
    if (Status != EFI_SUCCESS) {
        Fail("cannot reserve 0x%lX-0x%lX for the %s (status 0x%lX): the machine's firmware uses "
             "that memory",
             (unsigned long)Address, (unsigned long)(Address + Size - 1), pWhat,
             (unsigned long)Status);
        return false;
    }
    return true;
}

void FreePages(uint64_t Address, uint32_t Size) {
    RtBootServices()->FreePages(Address, Size / PAGE_SIZE);
}

// The pages that a state's granted communication buffer needs: its 16-byte descriptor and the
// buffer, as one span. Returns false (Pages 0) when the state grants no buffer.
bool CommBufferSpan(const DoubleState* pState, uint64_t* pBase, uint32_t* pPages) {
    *pBase = 0;
    *pPages = 0;
    if (!pState->CommBufferGrant) {
        return false;
    }
    uint64_t Start = pState->CommDescriptorAddress;
    uint64_t End = Start + 16;
    const uint64_t Buffer = pState->CommBufferAddress;
    const uint64_t BufferEnd = Buffer + pState->CommBufferSize;
    Start = Buffer < Start ? Buffer : Start;
    End = BufferEnd > End ? BufferEnd : End;
    *pBase = Start & ~(uint64_t)(PAGE_SIZE - 1);
    *pPages = (uint32_t)((End - *pBase + PAGE_SIZE - 1) / PAGE_SIZE);
    return true;
}

// Reserves the pages of the state's communication buffer, giving back those of the state before
// when they differ. The buffer must not touch the SMBASE area or the double's region.
bool ReserveCommBuffer(SmmDoubleHeader* pHeader, const DoubleState* pState) {
    uint64_t Base;
    uint32_t Pages;
    CommBufferSpan(pState, &Base, &Pages);
    if (Pages != 0 && Base == pHeader->CommReservedBase && Pages == pHeader->CommReservedPages) {
        return true;
    }
    if (Pages != 0 && Base + (uint64_t)Pages * PAGE_SIZE > SMM_SMBASE &&
        Base < SMM_DOUBLE_REGION_END) {
        Fail("the communication buffer (0x%lX, %u pages) overlaps the double's memory "
             "0x%X-0x%X",
             (unsigned long)Base, Pages, SMM_SMBASE, SMM_DOUBLE_REGION_END - 1);
        return false;
    }
    if (pHeader->CommReservedPages != 0) {
        RtBootServices()->FreePages(pHeader->CommReservedBase, pHeader->CommReservedPages);
        pHeader->CommReservedBase = 0;
        pHeader->CommReservedPages = 0;
    }
    if (Pages == 0) {
        return true;
    }
    if (!ReservePages(Base, Pages * PAGE_SIZE, "communication buffer")) {
        return false;
    }
    // A new machine's RAM: the buffer and its descriptor start out as zeros.
    memset((void*)(uintptr_t)Base, 0, (size_t)Pages * PAGE_SIZE);
    pHeader->CommReservedBase = (uint32_t)Base;
    pHeader->CommReservedPages = Pages;
    return true;
}

int Install(const char* pStateFile) {
    static DoubleState NewState;
    if (pStateFile != NULL) {
        if (!ReadStateFile(pStateFile, &NewState)) {
            return 1;
        }
    } else {
        DoubleInitState(&NewState);
    }
    if (FindResident() != NULL) {
        SmmDoubleHeader* pHeader = ResidentHeader();
        printf("SmmDouble: already resident (%u SMIs taken); left as it is\n", pHeader->SmiCount);
        return 0;
    }
    if (ReadLpcConfig(0) != ICH9_LPC_ID) {
        return Fail("not a q35 machine: PCI 0:1f.0 is 0x%08X, not the ICH9 LPC bridge",
                    ReadLpcConfig(0));
    }
    const uint16_t PmBase = (uint16_t)(ReadLpcConfig(LPC_PMBASE) & PMBASE_MASK);
    if (PmBase == 0 || !(ReadLpcConfig(LPC_ACPI_CONTROL) & LPC_ACPI_ENABLE)) {
        return Fail("the power management registers are not enabled (PMBASE 0x%04X)", PmBase);
    }
    if (SmmEntryImageSize > SMM_SMBASE + SMM_SAVE_MAP_OFFSET - SMM_ENTRY_ADDRESS ||
        SmmDoubleImageSize > SMM_DOUBLE_REGION_SIZE) {
        return Fail("the embedded images do not fit their memory (%u and %u bytes)",
                    SmmEntryImageSize, SmmDoubleImageSize);
    }
    if (!ReservePages(SMM_SMBASE, SMM_SMBASE_AREA_SIZE, "SMI entry point")) {
        return 1;
    }
    if (!ReservePages(SMM_DOUBLE_BASE, SMM_DOUBLE_REGION_SIZE, "handler")) {
        FreePages(SMM_SMBASE, SMM_SMBASE_AREA_SIZE);
        return 1;
    }
    uint8_t* pRegion = (uint8_t*)(uintptr_t)SMM_DOUBLE_BASE;
    memset(pRegion, 0, SMM_DOUBLE_REGION_SIZE);
    memcpy(pRegion, SmmDoubleImage, SmmDoubleImageSize);
    SmmDoubleHeader* pHeader = ResidentHeader();
    const uint64_t LogEnd = (uint64_t)pHeader->LogAddress + pHeader->LogCapacity;
    if (FindResident() == NULL || pHeader->ImageEnd > SMM_DOUBLE_REGION_END ||
        pHeader->StateAddress < SMM_DOUBLE_BASE ||
        pHeader->StateAddress + pHeader->StateSize > pHeader->ImageEnd ||
        pHeader->LogAddress < pHeader->ImageEnd || LogEnd > SMM_DOUBLE_REGION_END) {
        memset(pRegion, 0, SMM_DOUBLE_REGION_SIZE);
        FreePages(SMM_DOUBLE_BASE, SMM_DOUBLE_REGION_SIZE);
        FreePages(SMM_SMBASE, SMM_SMBASE_AREA_SIZE);
        return Fail("the embedded handler does not match this installer's layout");
    }
    DoubleState* pState = (DoubleState*)(uintptr_t)pHeader->StateAddress;
    DoubleInitState(pState);
    memcpy((void*)(uintptr_t)SMM_ENTRY_ADDRESS, SmmEntryImage, SmmEntryImageSize);

    const uint16_t SmiEnable = (uint16_t)(PmBase + SMI_EN_OFFSET);
    const uint32_t Before = InPort32(SmiEnable);
    OutPort32(SmiEnable, Before | SMI_EN_GLOBAL | SMI_EN_APMC);
    if (!ProbeHandler(pHeader)) {
        // Leave the machine as it was: no APM SMIs, nothing resident.
        OutPort32(SmiEnable, Before);
        pHeader->Magic = 0;
        FreePages(SMM_DOUBLE_BASE, SMM_DOUBLE_REGION_SIZE);
        FreePages(SMM_SMBASE, SMM_SMBASE_AREA_SIZE);
        return 1;
    }
    if (!ReserveCommBuffer(pHeader, &NewState)) {
        // Resident with a new machine's state, which lends no buffer.
        return 1;
    }
    memcpy(pState, &NewState, sizeof NewState);
    printf("SmmDouble: resident at 0x%X-0x%X, answering SMIs on port 0x%X (log of %u bytes)\n",
           SMM_DOUBLE_BASE, SMM_DOUBLE_REGION_END - 1, APM_COMMAND_PORT, pHeader->LogCapacity);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Operations on the resident double

SmmDoubleHeader* RequireResident(void) {
    SmmDoubleHeader* pHeader = FindResident();
    if (pHeader == NULL) {
        Fail("no firmware double is resident: run SmmDouble.efi install first");
    }
    return pHeader;
}

int Load(const char* pStateFile) {
    SmmDoubleHeader* pHeader = RequireResident();
    static DoubleState NewState;
    if (pHeader == NULL || !ReadStateFile(pStateFile, &NewState) ||
        !ReserveCommBuffer(pHeader, &NewState)) {
        return 1;
    }
    memcpy((void*)(uintptr_t)pHeader->StateAddress, &NewState, sizeof NewState);
    EmptyLog(pHeader);
    return 0;
}

int Save(const char* pStateFile) {
    SmmDoubleHeader* pHeader = RequireResident();
    if (pHeader == NULL) {
        return 1;
    }
    SmmFileHeader File = {SMM_STATE_FILE_MAGIC, SMM_FILE_VERSION, sizeof(DoubleState), 1, 0};
    return WriteFile(pStateFile, &File, (const void*)(uintptr_t)pHeader->StateAddress) ? 0 : 1;
}

int WriteLog(const char* pLogFile) {
    SmmDoubleHeader* pHeader = RequireResident();
    if (pHeader == NULL) {
        return 1;
    }
    if (pHeader->LogUsed > pHeader->LogCapacity) {
        return Fail("the resident log is damaged (%u bytes used of %u)", pHeader->LogUsed,
                    pHeader->LogCapacity);
    }
    SmmFileHeader File = {SMM_LOG_FILE_MAGIC, SMM_FILE_VERSION, pHeader->LogUsed,
                          pHeader->LogRecords, pHeader->LogDropped};
    if (!WriteFile(pLogFile, &File, (const void*)(uintptr_t)pHeader->LogAddress)) {
        return 1;
    }
    EmptyLog(pHeader);
    return 0;
}

int Status(void) {
    SmmDoubleHeader* pHeader = RequireResident();
    if (pHeader == NULL) {
        return 1;
    }
    printf("SMIs taken: %u\nlogged: %u (%u of %u bytes)\nnot logged: %u\n"
           "unknown save maps: %u\n",
           pHeader->SmiCount, pHeader->LogRecords, pHeader->LogUsed, pHeader->LogCapacity,
           pHeader->LogDropped, pHeader->UnknownSaveMaps);
    return 0;
}

int Usage(void) {
    fflush(stdout);
    fputs("usage: SmmDouble.efi install [STATE] | load STATE | save STATE | log LOG [STATE] | "
          "status\n",
          stderr);
    return 1;
}

} // namespace

// The core is linked for DoubleInitState only; the installer never handles a request.
bool DoubleBufferAccessible(uint32_t, uint32_t, bool) {
    return false;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const char* pVerb = argv[1];
    if (strcmp(pVerb, "install") == 0 && argc <= 3) {
        return Install(argc == 3 ? argv[2] : NULL);
    }
    if (strcmp(pVerb, "status") == 0 && argc == 2) {
        return Status();
    }
    if (strcmp(pVerb, "log") == 0 && argc == 4) {
        const int Result = WriteLog(argv[2]);
        return Result != 0 ? Result : Save(argv[3]);
    }
    if (argc != 3) {
        return Usage();
    }
    if (strcmp(pVerb, "load") == 0) {
        return Load(argv[2]);
    }
    if (strcmp(pVerb, "save") == 0) {
        return Save(argv[2]);
    }
    if (strcmp(pVerb, "log") == 0) {
        return WriteLog(argv[2]);
    }
    return Usage();
}
