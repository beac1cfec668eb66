// RuntimeProbe.efi: runs one check of the UEFI runtime in the UEFI shell and prints the outcome,
// for the QEMU tests. Usage: RuntimeProbe.efi COMMAND [ARGUMENTS]
//   format        the shared format cases, one line each: index|text|length (text escaped)
//   stream FILE   writes a pattern byte by byte, reads it back in several ways: OK or FAIL lines
//   bench FILE    1 MiB through fputc one byte at a time, then 1 MiB in one fwrite: microseconds
//   args ...      argc and every argv entry
//   status N      exit(N) (N decimal or 0x hex)
//   stdin [N]     reads getchar until EOF (or N characters) and prints the codes
//   assert        fails an assertion
//   system CMD    prints system(CMD)'s result
//   heap          checks heap addresses of small and 16 MiB blocks stay at or below 0xFFFF0000
//   perror FILE   fopen(FILE, "rb") and perror on failure
//   smi PORT      raises a port SMI with fixed register values through PORT and prints the
//                 registers that came back (an unused port returns them unchanged)
//   fill FILE K   writes K KiB byte by byte and reports how fputc and fclose ended (a full disk
//                 must show as a failure)
//   rename DIR    rename and remove on files in the current directory and in DIR (made by the
//                 shell's mkdir first), and exclusive creation ("wbx"): OK or FAIL lines
#include "FormatCasePrinter.h"
#include "Platform/Platform.h"

#include <assert.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int Failures;

void Check(bool Condition, const char* pWhat) {
    if (!Condition) {
        printf("FAIL %s\n", pWhat);
        Failures++;
    }
}

unsigned char PatternByte(long i) {
    return (unsigned char)((i * 7) ^ (i >> 8));
}

int RunStream(const char* pName) {
    const long Size = 200000;
    FILE* pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    for (long i = 0; i < Size; i++) {
        if (fputc(PatternByte(i), pFile) == EOF) {
            Check(false, "fputc");
            break;
        }
    }
    Check(ftell(pFile) == Size, "ftell after writing");
    Check(fclose(pFile) == 0, "fclose after writing");

    pFile = fopen(pName, "rb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    bool Same = true;
    for (long i = 0; i < Size; i++) {
        int c = fgetc(pFile);
        if (c != PatternByte(i)) {
            Same = false;
            printf("byte %ld: %d, expected %d\n", i, c, PatternByte(i));
            break;
        }
    }
    Check(Same, "fgetc reads back every byte");
    Check(fgetc(pFile) == EOF && feof(pFile), "fgetc at the end gives EOF");
    clearerr(pFile);
    Check(fseek(pFile, 150000, SEEK_SET) == 0, "fseek SEEK_SET");
    unsigned char Block[1000];
    Check(fread(Block, 1, sizeof(Block), pFile) == sizeof(Block), "fread 1000");
    bool BlockSame = true;
    for (long i = 0; i < (long)sizeof(Block); i++) {
        BlockSame = BlockSame && Block[i] == PatternByte(150000 + i);
    }
    Check(BlockSame, "fread after fseek");
    Check(ftell(pFile) == 151000, "ftell after fread");
    Check(fseek(pFile, -500, SEEK_CUR) == 0 && ftell(pFile) == 150500, "fseek SEEK_CUR");
    Check(fgetc(pFile) == PatternByte(150500), "fgetc after SEEK_CUR");
    Check(fseek(pFile, -10, SEEK_END) == 0 && ftell(pFile) == Size - 10, "fseek SEEK_END");
    Check(fread(Block, 1, 20, pFile) == 10 && feof(pFile), "short fread at the end");
    Check(Block[9] == PatternByte(Size - 1), "last byte");
    Check(fclose(pFile) == 0, "fclose after reading");

    // Rewriting a file empties it first.
    pFile = fopen(pName, "wb");
    Check(pFile != NULL && fwrite("short", 1, 5, pFile) == 5 && fclose(pFile) == 0, "rewrite");
    pFile = fopen(pName, "rb");
    Check(pFile != NULL && fseek(pFile, 0, SEEK_END) == 0 && ftell(pFile) == 5,
          "rewrite truncates");
    if (pFile != NULL) {
        fclose(pFile);
    }

    // Reading and writing one file: a write after a read lands at the read position.
    pFile = fopen(pName, "r+b");
    Check(pFile != NULL, "open r+b");
    if (pFile != NULL) {
        Check(fgetc(pFile) == 's', "r+b read");
        Check(fputc('H', pFile) == 'H', "r+b write");
        Check(fseek(pFile, 0, SEEK_SET) == 0, "r+b seek");
        char Text[8] = {0};
        Check(fread(Text, 1, 7, pFile) == 5 && strcmp(Text, "sHort") == 0, "r+b result");
        fclose(pFile);
    }

    // Missing file.
    errno = 0;
    Check(fopen("no-such-file.bin", "rb") == NULL && errno == ENOENT, "missing file is ENOENT");
    printf(Failures == 0 ? "stream OK\n" : "stream FAIL\n");
    return Failures == 0 ? 0 : 1;
}

uint64_t ReadTsc(void) {
    uint32_t Low;
    uint32_t High;
    __asm__ volatile("rdtsc" : "=a"(Low), "=d"(High));
    return ((uint64_t)High << 32) | Low;
}

int RunBench(const char* pName) {
    const size_t Size = 1024 * 1024;
    uint64_t Start = ReadTsc();
    PlatformStall(100000);
    uint64_t TicksPerMicrosecond = (ReadTsc() - Start) / 100000;
    if (TicksPerMicrosecond == 0) {
        TicksPerMicrosecond = 1;
    }
    unsigned char* pData = (unsigned char*)malloc(Size);
    if (pData == NULL) {
        perror("malloc");
        return 1;
    }
    for (size_t i = 0; i < Size; i++) {
        pData[i] = PatternByte((long)i);
    }

    Start = ReadTsc();
    FILE* pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    uint64_t LoopStart = ReadTsc();
    for (size_t i = 0; i < Size; i++) {
        fputc(pData[i], pFile);
    }
    uint64_t LoopUs = (ReadTsc() - LoopStart) / TicksPerMicrosecond;
    int Closed = fclose(pFile);
    uint64_t BytewiseUs = (ReadTsc() - Start) / TicksPerMicrosecond;

    Start = ReadTsc();
    pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    size_t Written = fwrite(pData, 1, Size, pFile);
    Closed |= fclose(pFile);
    uint64_t BlockUs = (ReadTsc() - Start) / TicksPerMicrosecond;

    // The same megabyte in 64 KiB pieces, to tell the device's cost per call from the stream's.
    Start = ReadTsc();
    pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    for (size_t Offset = 0; Offset < Size; Offset += 65536) {
        Written += fwrite(pData + Offset, 1, 65536, pFile);
    }
    Closed |= fclose(pFile);
    uint64_t PiecesUs = (ReadTsc() - Start) / TicksPerMicrosecond;
    free(pData);

    printf("fputc 1 MiB: %lu us (of which the fputc loop %lu us)\n", (unsigned long)BytewiseUs,
           (unsigned long)LoopUs);
    printf("fwrite 1 MiB: %lu us\n", (unsigned long)BlockUs);
    printf("fwrite 16 x 64 KiB: %lu us\n", (unsigned long)PiecesUs);
    printf("ratio x100: %lu\n", (unsigned long)(BytewiseUs * 100 / (BlockUs == 0 ? 1 : BlockUs)));
    printf(Closed == 0 && Written == 2 * Size ? "bench OK\n" : "bench FAIL\n");
    return 0;
}

int RunArgs(int argc, char** argv) {
    printf("argc=%d\n", argc);
    for (int i = 0; i < argc; i++) {
        printf("argv[%d]=[", i);
        PrintEscapedText(argv[i]);
        printf("]\n");
    }
    return 0;
}

int RunStdin(int Limit) {
    int Count = 0;
    while (Limit < 0 || Count < Limit) {
        int c = getchar();
        if (c == EOF) {
            break;
        }
        printf("%.2X ", c);
        Count++;
    }
    printf(Count == Limit ? "\n%d characters\n" : "\nEOF after %d\n", Count);
    return 0;
}

bool Low(const void* p) {
    return p != NULL && (uintptr_t)p <= 0xFFFF0000u;
}

int RunHeap(void) {
    void* pSmall[64];
    for (int i = 0; i < 64; i++) {
        pSmall[i] = malloc((size_t)(i * 37 + 1));
        Check(Low(pSmall[i]), "small block address");
        if (pSmall[i] != NULL) {
            memset(pSmall[i], i, (size_t)(i * 37 + 1));
        }
    }
    for (int i = 0; i < 64; i += 2) {
        free(pSmall[i]);
    }
    const size_t Big = 16u * 1024 * 1024;
    unsigned char* pBig = (unsigned char*)malloc(Big);
    Check(Low(pBig) && Low(pBig + Big - 1), "16 MiB block address");
    if (pBig != NULL) {
        memset(pBig, 0xA5, Big);
        Check(pBig[0] == 0xA5 && pBig[Big - 1] == 0xA5, "16 MiB block usable");
    }
    unsigned char* pZero = (unsigned char*)calloc(1000, 100);
    Check(Low(pZero) && pZero[0] == 0 && pZero[99999] == 0, "calloc");
    Check(calloc((size_t)1 << 40, (size_t)1 << 40) == NULL, "calloc overflow refused");
    unsigned char* pGrow = (unsigned char*)malloc(10);
    memcpy(pGrow, "0123456789", 10);
    pGrow = (unsigned char*)realloc(pGrow, 300000);
    Check(Low(pGrow) && memcmp(pGrow, "0123456789", 10) == 0, "realloc keeps the data");
    bool Kept = true;
    for (int i = 1; i < 64; i += 2) {
        const unsigned char* p = (const unsigned char*)pSmall[i];
        Kept = Kept && p[0] == i && p[i * 37] == i;
        free(pSmall[i]);
    }
    Check(Kept, "small blocks keep their data");
    printf("heap: small %p, big %p\n", pSmall[1], (void*)pBig);
    free(pBig);
    free(pZero);
    free(pGrow);
    printf(Failures == 0 ? "heap OK\n" : "heap FAIL\n");
    return Failures == 0 ? 0 : 1;
}

int RunFill(const char* pName, long KiB) {
    FILE* pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        perror("Open file failed");
        return 1;
    }
    long Total = KiB * 1024;
    long Failed = -1;
    int FirstErrno = 0;
    for (long i = 0; i < Total; i++) {
        if (fputc((int)(i & 0xFF), pFile) == EOF && Failed < 0) {
            Failed = i;
            FirstErrno = errno;
        }
    }
    if (Failed >= 0) {
        printf("fputc failed at byte %ld: %s\n", Failed, strerror(FirstErrno));
    } else {
        printf("fputc wrote %ld bytes\n", Total);
    }
    printf("ferror: %d\n", ferror(pFile));
    errno = 0;
    int Closed = fclose(pFile);
    printf("fclose: %d (%s)\n", Closed, strerror(errno));
    return Closed == 0 && Failed < 0 ? 0 : 1;
}

bool WriteText(const char* pName, const char* pText) {
    FILE* pFile = fopen(pName, "wb");
    if (pFile == NULL) {
        return false;
    }
    const size_t Length = strlen(pText);
    const bool Written = fwrite(pText, 1, Length, pFile) == Length;
    return fclose(pFile) == 0 && Written;
}

// The file's text, "<missing>" when it does not open.
const char* ReadText(const char* pName) {
    static char Text[64];
    FILE* pFile = fopen(pName, "rb");
    if (pFile == NULL) {
        return errno == ENOENT ? "<missing>" : "<unreadable>";
    }
    const size_t Length = fread(Text, 1, sizeof(Text) - 1, pFile);
    Text[Length] = '\0';
    fclose(pFile);
    return Text;
}

void CheckText(const char* pName, const char* pExpected, const char* pWhat) {
    const char* pGot = ReadText(pName);
    if (strcmp(pGot, pExpected) != 0) {
        printf("%s: %s holds [%s], expected [%s]\n", pWhat, pName, pGot, pExpected);
    }
    Check(strcmp(pGot, pExpected) == 0, pWhat);
}

void CheckFails(int Result, int Error, const char* pWhat) {
    if (Result != -1 || errno != Error) {
        printf("%s: %d, errno %d (%s), expected errno %d\n", pWhat, Result, errno, strerror(errno),
               Error);
    }
    Check(Result == -1 && errno == Error, pWhat);
}

int RunRename(const char* pDirectory) {
    char Command[64];
    snprintf(Command, sizeof Command, "mkdir %s", pDirectory);
    system(Command);
    Check(WriteText("rn-new.tmp", "new") && WriteText("rn-old.dat", "old"), "write the files");
    Check(rename("rn-new.tmp", "rn-old.dat") == 0, "rename over an existing file");
    CheckText("rn-old.dat", "new", "the renamed file replaces the old one");
    CheckText("rn-new.tmp", "<missing>", "the old name is gone");
    Check(rename("rn-old.dat", "rn-moved.dat") == 0, "rename to a free name");
    CheckText("rn-moved.dat", "new", "the file under its new name");
    CheckText("rn-old.dat", "<missing>", "nothing under the old name");
    errno = 0;
    CheckFails(rename("rn-none.dat", "rn-moved.dat"), ENOENT, "renaming a missing file");
    CheckText("rn-moved.dat", "new", "a failed rename leaves the target");
    errno = 0;
    CheckFails(rename("rn-moved.dat", pDirectory), EISDIR, "renaming onto a directory");
    CheckText("rn-moved.dat", "new", "a refused rename leaves the file");
    char Inside[64];
    char InsideNew[64];
    snprintf(Inside, sizeof Inside, "%s\\rn-a.tmp", pDirectory);
    snprintf(InsideNew, sizeof InsideNew, "%s\\rn-b.dat", pDirectory);
    errno = 0;
    CheckFails(rename("rn-moved.dat", InsideNew), EXDEV, "renaming into another directory");
    Check(WriteText(Inside, "inside") && WriteText(InsideNew, "before"), "write in the directory");
    Check(rename(Inside, InsideNew) == 0, "rename inside a directory");
    CheckText(InsideNew, "inside", "the file inside the directory under its new name");
    CheckText(Inside, "<missing>", "the old name inside the directory is gone");
    Check(rename("rn-moved.dat", "RN-MOVED.DAT") == 0, "rename to the same name in other case");
    CheckText("rn-moved.dat", "new", "the file survives a rename onto itself");

    errno = 0;
    Check(fopen("rn-moved.dat", "wbx") == NULL && errno == EEXIST, "wbx refuses a file");
    CheckText("rn-moved.dat", "new", "wbx leaves an existing file");
    errno = 0;
    Check(fopen(pDirectory, "wbx") == NULL && errno == EEXIST, "wbx refuses a directory");
    FILE* pFile = fopen("rn-excl.dat", "wbx");
    Check(pFile != NULL && fputc('x', pFile) == 'x' && fclose(pFile) == 0, "wbx creates");
    CheckText("rn-excl.dat", "x", "the exclusively created file");

    Check(remove("rn-excl.dat") == 0 && remove("rn-moved.dat") == 0 && remove(InsideNew) == 0,
          "remove");
    CheckText("rn-excl.dat", "<missing>", "a removed file is gone");
    errno = 0;
    CheckFails(remove("rn-excl.dat"), ENOENT, "removing a missing file");
    printf(Failures == 0 ? "rename OK\n" : "rename FAIL\n");
    return Failures == 0 ? 0 : 1;
}

int RunSmi(uint32_t Port) {
    const uint32_t Input[7] = {0xDEADBEEF, 0x534D0041, 0x11223344, 0x55667788,
                               Port,       0x99AABBCC, 0xDDEEFF00};
    uint32_t Output[6] = {0, 0, 0, 0, 0, 0};
    TriggerPortSmi(Input, Output);
    printf("out: %.8lX %.8lX %.8lX %.8lX %.8lX %.8lX\n", (unsigned long)Output[0],
           (unsigned long)Output[1], (unsigned long)Output[2], (unsigned long)Output[3],
           (unsigned long)Output[4], (unsigned long)Output[5]);
    return memcmp(Input + 1, Output, sizeof(Output)) == 0 ? 0 : 1;
}

int Usage(void) {
    printf("Usage: RuntimeProbe.efi format|stream FILE|bench FILE|args ...|status N|stdin|"
           "assert|system CMD|heap|perror FILE|fill FILE KIB|smi PORT|rename DIR\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const char* pCommand = argv[1];
    if (strcmp(pCommand, "format") == 0) {
        PrintFormatCases();
        return 0;
    }
    if (strcmp(pCommand, "stream") == 0 && argc == 3) {
        return RunStream(argv[2]);
    }
    if (strcmp(pCommand, "bench") == 0 && argc == 3) {
        return RunBench(argv[2]);
    }
    if (strcmp(pCommand, "args") == 0) {
        return RunArgs(argc, argv);
    }
    if (strcmp(pCommand, "status") == 0 && argc == 3) {
        printf("exiting with %s\n", argv[2]);
        exit((int)strtoul(argv[2], NULL, 0));
    }
    if (strcmp(pCommand, "stdin") == 0) {
        return RunStdin(argc == 3 ? atoi(argv[2]) : -1);
    }
    if (strcmp(pCommand, "assert") == 0) {
        printf("before the assertion\n");
        assert(argc == 12345);
        return 0;
    }
    if (strcmp(pCommand, "system") == 0 && argc == 3) {
        int Result = system(argv[2]);
        printf("system returned %d\n", Result);
        return 0;
    }
    if (strcmp(pCommand, "heap") == 0) {
        return RunHeap();
    }
    if (strcmp(pCommand, "perror") == 0 && argc == 3) {
        FILE* pFile = fopen(argv[2], "rb");
        if (pFile == NULL) {
            perror("Open file failed");
            return 3;
        }
        fclose(pFile);
        printf("opened\n");
        return 0;
    }
    if (strcmp(pCommand, "smi") == 0 && argc == 3) {
        return RunSmi((uint32_t)strtoul(argv[2], NULL, 0));
    }
    if (strcmp(pCommand, "rename") == 0 && argc == 3) {
        return RunRename(argv[2]);
    }
    if (strcmp(pCommand, "fill") == 0 && argc == 4) {
        return RunFill(argv[2], strtol(argv[3], NULL, 0));
    }
    return Usage();
}
