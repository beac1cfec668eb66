// Fuzz target: a restore, from the BIOS Version string to the firmware request that hands over
// the image (ProcessBackupRestore in restore mode).
//
// Bytes: a flag byte (bit 0: /Ignore), the BIOS Version string up to the first line feed or NUL
// (placed as string 2 of an SMBIOS type 0 structure in the legacy area), then the file.
//
// Invariant: the run ends with one of the refusals "Get bios version failed." (0xC000000B),
// "The file is corrupt." (0xC0000008) or a BIOS mismatch (0xC0000009), or reaches the restore
// request (EBX 0x0B) exactly when the version string holds KT at characters 2-3 or 3-4 and
// fits 19 characters, the file has a whole trailer whose BIOS id and (without /Ignore) revision
// are the string's, whose size word is the image size modulo 65536 and whose sum word is the
// byte sum of image, size and revision. The request then carries the image size in ECX and the
// image itself. No byte before the trailer is read until id and revision were accepted, and
// nothing is read from the file when the version string is refused.
#include <sanitizer/asan_interface.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <vector>

#include "Applications/Crestune/Crestune.h"
#include "FuzzPlatform.h"
#include "FuzzMemory.h"
#include "FuzzSupport.h"

// ---------------------------------------------------------------------------------------------
// Allocations of the code under test come from an arena below 4 GiB, as under UEFI, where the
// firmware takes buffer addresses in 32-bit registers. Each block is fenced by poisoned bytes.
namespace {

const size_t kArenaSize = 64u << 20;
const size_t kFence = 32;
uint8_t* pArena = NULL;
size_t ArenaUsed = 0;

void ResetArena() {
    if (pArena == NULL) {
        pArena = (uint8_t*)mmap(NULL, kArenaSize, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        if (pArena == MAP_FAILED) {
            abort();
        }
    }
    ASAN_POISON_MEMORY_REGION(pArena, kArenaSize);
    ArenaUsed = 0;
}

} // namespace

extern "C" void* __real_calloc(size_t Count, size_t Size);
extern "C" void __real_free(void* pBlock);

extern "C" void* __wrap_calloc(size_t Count, size_t Size) {
    const size_t Bytes = Count * Size;
    const size_t Rounded = (Bytes + 15) & ~(size_t)15;
    if (Size != 0 && Bytes / Size != Count) {
        return NULL;
    }
    if (Rounded + 2 * kFence > kArenaSize - ArenaUsed) {
        return NULL;
    }
    uint8_t* pBlock = pArena + ArenaUsed + kFence;
    ArenaUsed += Rounded + 2 * kFence;
    ASAN_UNPOISON_MEMORY_REGION(pBlock, Bytes);
    memset(pBlock, 0, Bytes);
    return pBlock;
}

extern "C" void __wrap_free(void* pBlock) {
    if (pBlock == NULL) {
        return;
    }
    if ((uint8_t*)pBlock >= pArena && (uint8_t*)pBlock < pArena + kArenaSize) {
        return; // the arena is reset for the next input
    }
    __real_free(pBlock);
}

namespace {

// --- The machine: an SMBIOS entry point at 0xF0000, its table at 0x20000 ---------------------
const uint64_t kEntry = 0xF0000;
const uint64_t kTable = 0x20000;
uint8_t EntryPoint[0x1F];
uint8_t TableBytes[128];
size_t TableLength = 0;

void ReadMachine(const PhysMemReader*, uint64_t Address, void* pDest, size_t Count) {
    for (size_t Index = 0; Index < Count; Index++) {
        const uint64_t At = Address + Index;
        uint8_t Value = 0;
        if (At >= kEntry && At - kEntry < sizeof EntryPoint) {
            Value = EntryPoint[At - kEntry];
        } else if (At >= kTable && At - kTable < TableLength) {
            Value = TableBytes[At - kTable];
        }
        ((uint8_t*)pDest)[Index] = Value;
    }
}
const PhysMemReader kMachine = {ReadMachine, NULL};

void BuildMachine(const char* pVersion, size_t VersionLength) {
    memset(TableBytes, 0, sizeof TableBytes);
    TableBytes[0] = 0;    // type 0
    TableBytes[1] = 0x12; // formatted area
    TableBytes[4] = 1;    // vendor: string 1
    TableBytes[5] = 2;    // BIOS Version: string 2
    size_t At = 0x12;
    TableBytes[At++] = 'V';
    TableBytes[At++] = 0;
    memcpy(TableBytes + At, pVersion, VersionLength);
    At += VersionLength;
    TableBytes[At++] = 0;
    if (VersionLength > 0) {
        TableBytes[At++] = 0;
    }
    const uint8_t End[6] = {127, 4, 0, 0, 0, 0};
    memcpy(TableBytes + At, End, sizeof End);
    TableLength = At + sizeof End;

    memset(EntryPoint, 0, sizeof EntryPoint);
    memcpy(EntryPoint, "_SM_", 4);
    EntryPoint[5] = sizeof EntryPoint;
    EntryPoint[6] = 2;
    EntryPoint[7] = 8;
    memcpy(EntryPoint + 0x10, "_DMI_", 5);
    EntryPoint[0x16] = (uint8_t)TableLength;
    EntryPoint[0x18] = (uint8_t)kTable;
    EntryPoint[0x19] = (uint8_t)(kTable >> 8);
    EntryPoint[0x1A] = (uint8_t)(kTable >> 16);
    EntryPoint[0x1C] = 2; // two structures
    uint8_t Sum = 0;
    for (uint8_t Byte : EntryPoint) {
        Sum = (uint8_t)(Sum + Byte);
    }
    EntryPoint[4] = (uint8_t)(0x100 - Sum);
}

// --- The file: reads recorded by position -----------------------------------------------------
struct FileState {
    const uint8_t* pBytes;
    size_t Size;
    size_t Position;
    std::vector<FuzzRange> Reads;
};

ssize_t ReadFile(void* pCookie, char* pBuffer, size_t Count) {
    FileState* pFile = (FileState*)pCookie;
    const size_t Left = pFile->Position < pFile->Size ? pFile->Size - pFile->Position : 0;
    const size_t Taken = Count < Left ? Count : Left;
    if (Taken > 0) {
        pFile->Reads.push_back({pFile->Position, (unsigned __int128)pFile->Position + Taken});
        memcpy(pBuffer, pFile->pBytes + pFile->Position, Taken);
    }
    pFile->Position += Taken;
    return (ssize_t)Taken;
}

int SeekFile(void* pCookie, off64_t* pOffset, int Whence) {
    FileState* pFile = (FileState*)pCookie;
    const off64_t Base = Whence == SEEK_SET   ? 0
                         : Whence == SEEK_CUR ? (off64_t)pFile->Position
                                              : (off64_t)pFile->Size;
    if (Base + *pOffset < 0) {
        return -1;
    }
    pFile->Position = (size_t)(Base + *pOffset);
    *pOffset = (off64_t)pFile->Position;
    return 0;
}

int CloseFile(void*) {
    return 0;
}

// --- The firmware: no communication buffer; the restore request ends the run ----------------
jmp_buf* pRequest = NULL;
uint32_t RequestEbx = 0, RequestEcx = 0, RequestBuffer = 0;

void Trigger(const uint32_t* pInput, uint32_t* pOutput) {
    memcpy(pOutput, pInput + 1, 6 * sizeof(uint32_t));
    if ((pInput[1] & 0xFF) == 0xD9) {
        pOutput[2] = 0xC0000001u; // no communication buffer to lend
        return;
    }
    RequestEbx = pInput[2];
    RequestEcx = pInput[3];
    RequestBuffer = pInput[6]; // ESI: the input buffer
    longjmp(*pRequest, 1);
}

uint16_t Word(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

struct Expected {
    uint32_t Status; // 0: the request is reached
    bool VersionOk;
    uint16_t Id, Revision;
};

Expected Judge(const char* pVersion, size_t Length, bool Ignore, const uint8_t* pFile,
               size_t Size) {
    Expected Result = {0, false, 0, 0};
    char Field[20] = {};
    if (Length == 0 || Length > 19) {
        Result.Status = EXIT_BIOS_VERSION;
        return Result;
    }
    memcpy(Field, pVersion, Length);
    if (Field[2] == 'K' && Field[3] == 'T') {
        Result.Id = Word((const uint8_t*)Field);
        Result.Revision = Word((const uint8_t*)Field + 4);
    } else if (Field[3] == 'K' && Field[4] == 'T') {
        Result.Id = Word((const uint8_t*)Field + 1);
        Result.Revision = Word((const uint8_t*)Field + 5);
    } else {
        Result.Status = EXIT_BIOS_VERSION;
        return Result;
    }
    Result.VersionOk = true;
    if (Size < 8) {
        Result.Status = EXIT_FILE_CORRUPT;
        return Result;
    }
    const size_t N = Size - 8;
    if (Word(pFile + N + 6) != Result.Id || (!Ignore && Word(pFile + N + 2) != Result.Revision)) {
        Result.Status = EXIT_BIOS_MISMATCH;
        return Result;
    }
    uint32_t Sum = 0;
    for (size_t Index = 0; Index < N + 4; Index++) {
        Sum += pFile[Index];
    }
    if (Word(pFile + N) != (uint16_t)N || Word(pFile + N + 4) != (uint16_t)Sum) {
        Result.Status = EXIT_FILE_CORRUPT;
    }
    return Result;
}

void RunRestore(void*) {
    jmp_buf Target;
    if (setjmp(Target) != 0) {
        return;
    }
    pRequest = &Target;
    ProcessBackupRestore();
    FUZZ_CHECK(false, "%s", "the restore ended without a request");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 1) {
        return 0;
    }
    const bool Ignore = pData[0] & 1;
    size_t VersionLength = 0;
    while (1 + VersionLength < Size && VersionLength < 40 && pData[1 + VersionLength] != '\n' &&
           pData[1 + VersionLength] != 0) {
        VersionLength++;
    }
    const char* pVersion = (const char*)pData + 1;
    size_t FileStart = 1 + VersionLength;
    if (FileStart < Size) {
        FileStart++; // the line feed or NUL
    }
    FileState File = {pData + FileStart, Size - FileStart, 0, {}};
    BuildMachine(pVersion, VersionLength);
    ResetArena();
    FuzzPlatform.pMemory = &kMachine;
    FuzzPlatform.pConfig = NULL;
    FuzzPlatform.pTrigger = Trigger;

    ResetRunState();
    Run.RestoreMode = true;
    Run.IgnoreBiosLevel = Ignore;
    static const cookie_io_functions_t kFunctions = {ReadFile, NULL, SeekFile, CloseFile};
    Run.SettingFile = fopencookie(&File, "rb", kFunctions);
    setvbuf(Run.SettingFile, NULL, _IONBF, 0);

    const Expected Verdict = Judge(pVersion, VersionLength, Ignore, File.pBytes, File.Size);
    int Status = 0;
    const bool Exited = RunUntilExit(RunRestore, NULL, &Status);
    if (Run.SettingFile != NULL) {
        fclose(Run.SettingFile);
        Run.SettingFile = NULL;
    }
    const uint32_t Code = Exited ? (uint32_t)Status : 0;
    FUZZ_CHECK(!Exited || Code == EXIT_BIOS_VERSION || Code == EXIT_FILE_CORRUPT ||
                   Code == EXIT_BIOS_MISMATCH,
               "refusal status %08X", (unsigned)Code);
    FUZZ_CHECK(Code == Verdict.Status, "status %08X where %08X was due", (unsigned)Code,
               (unsigned)Verdict.Status);
    if (!Verdict.VersionOk) {
        FUZZ_CHECK(File.Reads.empty(), "%s", "the file was read with a refused BIOS version");
        return 0;
    }
    // Before id and revision are accepted only the trailer is read.
    const size_t N = File.Size >= 8 ? File.Size - 8 : 0;
    bool Accepted = false;
    for (const FuzzRange& Read : File.Reads) {
        if (!Accepted) {
            FUZZ_CHECK(Read.Start >= N, "byte %llu read before the trailer was judged",
                       (unsigned long long)Read.Start);
            Accepted = Read.End == File.Size; // the whole trailer
        }
    }
    if (Code == 0) {
        FUZZ_CHECK(RequestEbx == 0x0B && RequestEcx == N, "request EBX %X ECX %X for %zu bytes",
                   (unsigned)RequestEbx, (unsigned)RequestEcx, N);
        FUZZ_CHECK(N == 0 || memcmp((const void*)(uintptr_t)RequestBuffer, File.pBytes, N) == 0,
                   "%s", "the request does not carry the file's image");
    }
    return 0;
}
