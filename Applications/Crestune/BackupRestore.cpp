// Backup of all BIOS settings to a file and their restore from it.
//
// The file is the firmware's settings image followed by an 8-byte trailer of 16-bit
// little-endian words: the image size modulo 65536, the BIOS revision, the byte sum of image,
// size and revision, and the BIOS id.
#include <stdlib.h>
#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"
#include "Applications/Crestune/ReturnCode.h"
#include "Applications/Crestune/SmbiosCopy.h"

#define SMBIOS_BUFFER_SIZE 128
#define SMBIOS_VERSION_NUMBER_OFFSET 5
#define BIOS_VERSION_FIELD_SIZE 20
#define TRAILER_SIZE 8u
#define SIZE_QUERY_BLOCK 16u

struct BiosVersion {
    uint16_t Id;
    uint16_t Revision;
};

static uint16_t ReadWord(const uint8_t* pBytes) {
    return (uint16_t)(pBytes[0] | (pBytes[1] << 8));
}

static void WriteWord(uint8_t* pBytes, uint16_t Value) {
    pBytes[0] = (uint8_t)Value;
    pBytes[1] = (uint8_t)(Value >> 8);
}

static uint16_t ByteSum(const uint8_t* pBytes, uint32_t Count) {
    uint32_t Sum = 0;
    for (uint32_t Index = 0; Index < Count; Index++) {
        Sum += pBytes[Index];
    }
    return (uint16_t)Sum;
}

static void* AllocateOrExit(size_t Size) {
    void* pMemory = calloc(1, Size);
    if (pMemory == NULL) {
        perror("Allocate memory failed");
        ExitApplication(EXIT_OUT_OF_MEMORY);
    }
    return pMemory;
}

[[noreturn]] static void VersionFailed(void* pBuffer) {
    free(pBuffer);
    printf("Get bios version failed.\n");
    ExitApplication(EXIT_BIOS_VERSION);
}

// Reads the BIOS id and revision from the BIOS Version string of SMBIOS structure type 0: the
// letters KT at characters 2-3 (id 0-1, revision 4-5) or 3-4 (id 1-2, revision 5-6).
static BiosVersion GetBiosVersionString(void) {
    // Long vendor or version strings make a type 0 structure larger than the usual buffer: the
    // buffer then holds the whole structure.
    UINT32 Size = SMBIOS_BUFFER_SIZE;
    UINT32 Length = 0;
    if (GetSmbStrucLength(PlatformMemory(), 0, PlatformConfigTable(), &Length) && Length > Size) {
        Size = Length;
    }
    uint8_t* pStructure = (uint8_t*)AllocateOrExit(Size);
    if (!GetSmbStrucAddr(PlatformMemory(), 0, pStructure, Size, PlatformConfigTable())) {
        VersionFailed(pStructure);
    }
    if (Run.VerboseMode) {
        printf("\nSmbios structure type 0 contents:\n");
        DumpBuffer(pStructure, SMBIOS_BUFFER_SIZE / 16, SMBIOS_BUFFER_SIZE);
        printf("Calling GetBiosVersionString...\n");
    }
    // The formatted area must reach the BIOS Version's string number at offset 5.
    if (pStructure[1] <= SMBIOS_VERSION_NUMBER_OFFSET) {
        VersionFailed(pStructure);
    }
    // The field holds at most 19 characters; one more is read to tell a longer string.
    char Version[BIOS_VERSION_FIELD_SIZE + 1];
    memset(Version, 0, sizeof Version);
    if (!GetSmbiosStringFromCopy(pStructure, Size, pStructure[SMBIOS_VERSION_NUMBER_OFFSET],
                                 Version, sizeof Version)) {
        VersionFailed(pStructure);
    }
    if (strlen(Version) + 1 > BIOS_VERSION_FIELD_SIZE) {
        printf("The length of input buffer is too small.\n");
        VersionFailed(pStructure);
    }
    if (Run.VerboseMode) {
        printf("Bios version: %s\n", Version);
    }
    BiosVersion Result;
    if (Version[2] == 'K' && Version[3] == 'T') {
        Result.Id = ReadWord((const uint8_t*)&Version[0]);
        Result.Revision = ReadWord((const uint8_t*)&Version[4]);
    } else if (Version[3] == 'K' && Version[4] == 'T') {
        Result.Id = ReadWord((const uint8_t*)&Version[1]);
        Result.Revision = ReadWord((const uint8_t*)&Version[5]);
    } else {
        printf("%s - Undefined BIOS version.\n", Version);
        VersionFailed(pStructure);
    }
    free(pStructure);
    if (Run.VerboseMode) {
        printf("Bios id: %c%c\n", (char)Result.Id, (char)(Result.Id >> 8));
        printf("Bios revision: %c%c\n", (char)Result.Revision, (char)(Result.Revision >> 8));
    }
    return Result;
}

static void InitImageRequest(PortSmiRegisters* pRegisters, uint32_t Ebx, uint32_t Length,
                             uint8_t InBufReg, uint8_t OutBufReg) {
    InitRequest(pRegisters, SETTING_FUNCTION, Ebx, Length);
    AttachPasswordHash(pRegisters, InBufReg, OutBufReg);
}

static void SendImageRequest(PortSmiRegisters* pRegisters, void* pBuffer, const void* pInBuf,
                             uint32_t InBufSize, void* pOutBuf, uint32_t OutBufSize) {
    if (!GeneratePortSmi(pRegisters, pInBuf, InBufSize, pOutBuf, OutBufSize)) {
        printf("Error occurs when generating smi.\n");
        free(pBuffer);
        ExitApplication(EXIT_SMI_FAILED);
    }
    if (!CheckSmiReturnCode(pRegisters)) {
        free(pBuffer);
        ExitApplication(EXIT_FIRMWARE_ERROR);
    }
}

// Asks the firmware for the size of its settings image. The status has an order of its own,
// and statuses other than these four are accepted.
static uint32_t QueryImageSize(void) {
    void* pBlock = AllocateOrExit(SIZE_QUERY_BLOCK);
    PortSmiRegisters Registers;
    InitImageRequest(&Registers, 0x0A, SIZE_QUERY_BLOCK, BUF_REG_NONE, BUF_REG_ESI_EDI_HASH);
    if (!GeneratePortSmi(&Registers, NULL, 0, pBlock, SIZE_QUERY_BLOCK)) {
        printf("Error occurs when generating smi.\n");
        free(pBlock);
        ExitApplication(EXIT_SMI_FAILED);
    }
    const uint32_t Status = Registers.Eax;
    const char* pMessage = NULL;
    if (Status == 0x80000000u) {
        pMessage = "SMI unsupported.\n";
    } else if (Status & 0x4) {
        pMessage = "The smi input argument is invalid.\n";
    } else if (Status & 0x2) {
        pMessage = "Password retry count exceed.\n";
    } else if (Status & 0x1) {
        pMessage = "The input password is not correct.\n";
    }
    if (pMessage != NULL) {
        printf("%s", pMessage);
        free(pBlock);
        ExitApplication(EXIT_FIRMWARE_ERROR);
    }
    free(pBlock);
    return Registers.Ecx;
}

static void PrintSizes(uint64_t ImageSize, uint64_t FileSize) {
    if (Run.VerboseMode) {
        printf("Data buffer size: %.8lXh\n", (unsigned long)ImageSize);
        printf("Actual file size: %.8lXh\n", (unsigned long)FileSize);
    }
}

static UINT8 RowsCovering(uint32_t Length) {
    return (UINT8)((Length + 15) / 16);
}

static void Backup(const BiosVersion* pVersion) {
    const uint32_t N = QueryImageSize();
    if (N > 0xFFFFFFFFu - TRAILER_SIZE) {
        printf("The settings image is too large.\n");
        ExitApplication(EXIT_FIRMWARE_ERROR);
    }
    PrintSizes(N, N + TRAILER_SIZE);
    uint8_t* pImage = (uint8_t*)AllocateOrExit((size_t)N + TRAILER_SIZE);
    PortSmiRegisters Registers;
    InitImageRequest(&Registers, 0x0A, N, BUF_REG_NONE, BUF_REG_ESI_EDI_HASH);
    SendImageRequest(&Registers, pImage, NULL, 0, pImage, N);
    if (Run.VerboseMode) {
        printf("\nThe returned buffer contents:\n");
        DumpBuffer(pImage, RowsCovering(N + TRAILER_SIZE), N + TRAILER_SIZE);
    }
    WriteWord(pImage + N, (uint16_t)N);
    WriteWord(pImage + N + 2, pVersion->Revision);
    WriteWord(pImage + N + 4, ByteSum(pImage, N + 4));
    WriteWord(pImage + N + 6, pVersion->Id);
    for (uint32_t Index = 0; Index < N + TRAILER_SIZE; Index++) {
        if (fputc(pImage[Index], Run.SettingFile) == EOF) {
            // A backup that could not be written in full is no backup.
            perror("Write file failed");
            free(pImage);
            ExitApplication(EXIT_FILE_OPEN_FAILED);
        }
    }
    free(pImage);
}

[[noreturn]] static void Refuse(uint8_t* pFile, const char* pMessage, uint32_t ExitCode) {
    printf("%s", pMessage);
    free(pFile);
    ExitApplication(ExitCode);
}

// Reads Count bytes at Offset of the file; false when they cannot all be read.
static bool ReadAt(FILE* pStream, uint64_t Offset, uint8_t* pBytes, uint32_t Count) {
    if (fseek(pStream, (long)Offset, SEEK_SET) != 0) {
        return false;
    }
    return fread(pBytes, 1, Count, pStream) == Count;
}

static void Restore(const BiosVersion* pVersion) {
    FILE* pStream = Run.SettingFile;
    long End = -1;
    if (fseek(pStream, 0, SEEK_END) == 0) {
        End = ftell(pStream);
    }
    fseek(pStream, 0, SEEK_SET);
    clearerr(pStream);
    // A file without a whole trailer is not a backup.
    if (End < (long)TRAILER_SIZE) {
        printf("The file is corrupt.\n");
        ExitApplication(EXIT_FILE_CORRUPT);
    }
    const uint64_t F = (uint64_t)End;
    const uint64_t N = F - TRAILER_SIZE;
    PrintSizes(N, F);
    // The trailer tells whose file this is: a file of another BIOS is refused before its image
    // is read, however large it is.
    uint8_t Trailer[TRAILER_SIZE];
    if (!ReadAt(pStream, N, Trailer, TRAILER_SIZE)) {
        Refuse(NULL, "The file is corrupt.\n", EXIT_FILE_CORRUPT);
    }
    if (ReadWord(Trailer + 6) != pVersion->Id) {
        Refuse(NULL, "The file's bios id is different from the current BIOS.\n",
               EXIT_BIOS_MISMATCH);
    }
    if (!Run.IgnoreBiosLevel && ReadWord(Trailer + 2) != pVersion->Revision) {
        Refuse(NULL, "The file's bios version is different from the current BIOS.\n",
               EXIT_BIOS_MISMATCH);
    }
    // An image too large for the firmware's 32-bit length is no backup either.
    if (F > 0xFFFFFFFFu) {
        Refuse(NULL, "The file is corrupt.\n", EXIT_FILE_CORRUPT);
    }
    uint8_t* pFile = (uint8_t*)AllocateOrExit((size_t)F);
    if (!ReadAt(pStream, 0, pFile, (uint32_t)F)) {
        Refuse(pFile, "The file is corrupt.\n", EXIT_FILE_CORRUPT);
    }
    if (Run.VerboseMode) {
        DumpBuffer(pFile, RowsCovering((uint32_t)F), (uint32_t)F);
    }
    if (ReadWord(pFile + N) != (uint16_t)N ||
        ReadWord(pFile + N + 4) != ByteSum(pFile, (uint32_t)N + 4)) {
        Refuse(pFile, "The file is corrupt.\n", EXIT_FILE_CORRUPT);
    }
    PortSmiRegisters Registers;
    InitImageRequest(&Registers, 0x0B, (uint32_t)N, BUF_REG_ESI_EDI_HASH, BUF_REG_NONE);
    SendImageRequest(&Registers, pFile, pFile, (uint32_t)N, NULL, 0);
    free(pFile);
}

void ProcessBackupRestore(void) {
    if (Run.VerboseMode) {
        printf("Calling ProcessBackupRestore...\n");
    }
    const BiosVersion Version = GetBiosVersionString();
    if (Run.BackupMode) {
        Backup(&Version);
    } else {
        Restore(&Version);
    }
}
