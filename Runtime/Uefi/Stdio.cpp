// stdio of the UEFI runtime: the console streams, files over the UEFI shell's file functions,
// and the printf family over the portable formatting core.
//
// stdout is line buffered and goes to the console's OutputString (so the shell's "> file"
// redirection captures it), with "\n" sent as "\r\n"; stderr is unbuffered and goes to the
// system table's StdErr after stdout was flushed. stdin is described in ReadStdin.
#include "RuntimeUefi.h"
#include "Runtime/Portable/RtFormat.h"
#include "Runtime/Portable/RtStream.h"
#include "Runtime/Portable/RtText.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// Bytes of buffer of a file stream: large enough that writing a file byte by byte costs about
// as much as writing it in one piece.
const size_t FILE_BUFFER_BYTES = 1024 * 1024;

// ---------------------------------------------------------------------------------------------
// Console output.

int WriteConsole(SIMPLE_TEXT_OUTPUT_INTERFACE* pOut, const void* pBuffer, size_t* pCount) {
    const char* p = (const char*)pBuffer;
    size_t Left = *pCount;
    CHAR16 Wide[257];
    while (Left > 0) {
        size_t Used = RtWidenForConsole(p, Left, (uint16_t*)Wide, sizeof(Wide) / sizeof(Wide[0]));
        if (pOut != NULL) {
            pOut->OutputString(pOut, Wide);
        }
        p += Used;
        Left -= Used;
    }
    return 0;
}

int WriteStdout(void*, const void* pBuffer, size_t* pCount) {
    return WriteConsole(RtSystemTable()->ConOut, pBuffer, pCount);
}

int WriteStderr(void*, const void* pBuffer, size_t* pCount) {
    fflush(stdout);
    return WriteConsole(RtSystemTable()->StdErr, pBuffer, pCount);
}

// ---------------------------------------------------------------------------------------------
// Console input.
//
// When the shell feeds standard input from a file ("prog < file"), the shell parameters' StdIn
// handle is that file: it is read directly, one UCS-2 character per key, and its end is the end
// of input (the console would report "not ready" forever). A byte-order mark at the start of the
// file is skipped. Otherwise keys come from ConIn, waiting for each; should ConIn report "not
// ready" while the StdIn handle has reached its end (other shell-fed input), that is the end.
// Key strokes become bytes by RtTranslateKey (Enter and CR/CRLF line ends arrive as '\n').

enum StdinSource { STDIN_UNKNOWN, STDIN_CONSOLE, STDIN_FILE };

struct StdinState {
    int Source;
    RtKeyState Keys;
    unsigned char Pending[2];
    int PendingCount;
    bool AtStart;
};

StdinState Stdin;

SHELL_FILE_HANDLE StdinHandle(void) {
    EFI_SHELL_PARAMETERS_PROTOCOL* pParameters = RtShellParameters();
    return pParameters != NULL ? pParameters->StdIn : NULL;
}

void ChooseStdinSource(void) {
    Stdin.Source = STDIN_CONSOLE;
    Stdin.AtStart = true;
    EFI_SHELL_PROTOCOL* pShell = RtShell();
    SHELL_FILE_HANDLE Handle = StdinHandle();
    UINT64 Size = 0;
    UINT64 Position = 0;
    if (pShell != NULL && Handle != NULL && pShell->GetFileSize(Handle, &Size) == EFI_SUCCESS &&
        pShell->GetFilePosition(Handle, &Position) == EFI_SUCCESS) {
        Stdin.Source = STDIN_FILE;
        Stdin.AtStart = Position == 0;
    }
}

bool StdinHandleAtEnd(void) {
    EFI_SHELL_PROTOCOL* pShell = RtShell();
    SHELL_FILE_HANDLE Handle = StdinHandle();
    UINT64 Size = 0;
    UINT64 Position = 0;
    return pShell != NULL && Handle != NULL &&
           pShell->GetFilePosition(Handle, &Position) == EFI_SUCCESS &&
           pShell->GetFileSize(Handle, &Size) == EFI_SUCCESS && Position >= Size;
}

// Gets the next key: 1 with a key, 0 at the end of input, -1 on a device error.
int NextKey(UINT16* pUnicode, UINT16* pScanCode) {
    if (Stdin.Source == STDIN_FILE) {
        for (;;) {
            CHAR16 Character = 0;
            UINTN Bytes = sizeof(Character);
            EFI_STATUS Status = RtShell()->ReadFile(StdinHandle(), &Bytes, &Character);
            if (Status != EFI_SUCCESS) {
                return -1;
            }
            if (Bytes < sizeof(Character)) {
                return 0;
            }
            bool First = Stdin.AtStart;
            Stdin.AtStart = false;
            if (First && Character == 0xFEFF) {
                continue;
            }
            *pUnicode = Character;
            *pScanCode = 0;
            return 1;
        }
    }
    SIMPLE_INPUT_INTERFACE* pIn = RtSystemTable()->ConIn;
    for (;;) {
        EFI_INPUT_KEY Key;
        EFI_STATUS Status = pIn->ReadKeyStroke(pIn, &Key);
        if (Status == EFI_SUCCESS) {
            *pUnicode = Key.UnicodeChar;
            *pScanCode = Key.ScanCode;
            return 1;
        }
        if (Status != EFI_NOT_READY) {
            return -1;
        }
        if (StdinHandleAtEnd()) {
            return 0;
        }
        UINTN Index;
        RtBootServices()->WaitForEvent(1, &pIn->WaitForKey, &Index);
    }
}

int ReadStdin(void*, void* pBuffer, size_t* pCount) {
    unsigned char* pOut = (unsigned char*)pBuffer;
    size_t Room = *pCount;
    *pCount = 0;
    if (Room == 0) {
        return 0;
    }
    fflush(stdout);
    if (Stdin.Source == STDIN_UNKNOWN) {
        ChooseStdinSource();
    }
    while (Stdin.PendingCount == 0) {
        UINT16 Unicode = 0;
        UINT16 ScanCode = 0;
        int Got = NextKey(&Unicode, &ScanCode);
        if (Got == 0) {
            return 0;
        }
        if (Got < 0) {
            return EIO;
        }
        Stdin.PendingCount = RtTranslateKey(&Stdin.Keys, Unicode, ScanCode, Stdin.Pending);
    }
    // One key per read, so that getchar never waits for a key it does not need.
    size_t Take = (size_t)Stdin.PendingCount < Room ? (size_t)Stdin.PendingCount : Room;
    memcpy(pOut, Stdin.Pending, Take);
    memmove(Stdin.Pending, Stdin.Pending + Take, (size_t)Stdin.PendingCount - Take);
    Stdin.PendingCount -= (int)Take;
    *pCount = Take;
    return 0;
}

const RtStreamOps StdoutOps = {NULL, WriteStdout, NULL, NULL, NULL, NULL};
const RtStreamOps StderrOps = {NULL, WriteStderr, NULL, NULL, NULL, NULL};
const RtStreamOps StdinOps = {ReadStdin, NULL, NULL, NULL, NULL, NULL};

RtStream StdinStream;
RtStream StdoutStream;
RtStream StderrStream;
unsigned char StdoutBuffer[1024];
unsigned char StdinBuffer[16];

// ---------------------------------------------------------------------------------------------
// Files through the shell's file functions. The device is the SHELL_FILE_HANDLE.

int FileRead(void* pDevice, void* pBuffer, size_t* pCount) {
    UINTN Count = *pCount;
    EFI_STATUS Status = RtShell()->ReadFile((SHELL_FILE_HANDLE)pDevice, &Count, pBuffer);
    *pCount = Status == EFI_SUCCESS ? Count : 0;
    return RtErrnoFromStatus(Status);
}

int FileWrite(void* pDevice, const void* pBuffer, size_t* pCount) {
    UINTN Count = *pCount;
    EFI_STATUS Status = RtShell()->WriteFile((SHELL_FILE_HANDLE)pDevice, &Count, (void*)pBuffer);
    *pCount = Count;
    return RtErrnoFromStatus(Status);
}

int FileSetPosition(void* pDevice, uint64_t Position) {
    return RtErrnoFromStatus(RtShell()->SetFilePosition((SHELL_FILE_HANDLE)pDevice, Position));
}

int FileGetSize(void* pDevice, uint64_t* pSize) {
    UINT64 Size = 0;
    EFI_STATUS Status = RtShell()->GetFileSize((SHELL_FILE_HANDLE)pDevice, &Size);
    *pSize = Size;
    return RtErrnoFromStatus(Status);
}

int FileSync(void* pDevice) {
    return RtErrnoFromStatus(RtShell()->FlushFile((SHELL_FILE_HANDLE)pDevice));
}

int FileClose(void* pDevice) {
    return RtErrnoFromStatus(RtShell()->CloseFile((SHELL_FILE_HANDLE)pDevice));
}

const RtStreamOps FileOps = {FileRead,    FileWrite, FileSetPosition,
                             FileGetSize, FileSync,  FileClose};

// Open files, newest first; closed at exit.
RtStream* OpenFiles;

bool IsDirectory(SHELL_FILE_HANDLE Handle) {
    EFI_FILE_INFO* pInfo = RtShell()->GetFileInfo(Handle);
    if (pInfo == NULL) {
        return false;
    }
    bool Directory = (pInfo->Attribute & EFI_FILE_DIRECTORY) != 0;
    RtBootServices()->FreePool(pInfo);
    return Directory;
}

// Opens by name; a directory is refused. Returns an errno value.
int OpenByName(const CHAR16* pName, UINT64 Mode, SHELL_FILE_HANDLE* pHandle) {
    EFI_STATUS Status = RtShell()->OpenFileByName(pName, pHandle, Mode);
    if (Status != EFI_SUCCESS) {
        return RtErrnoFromStatus(Status);
    }
    if (IsDirectory(*pHandle)) {
        RtShell()->CloseFile(*pHandle);
        return EISDIR;
    }
    return 0;
}

// Opens for writing from scratch: an existing file is deleted first, then created anew. With
// Exclusive, an existing file (or directory) of the name is left alone and refused instead.
int CreateEmpty(const CHAR16* pName, bool Exclusive, SHELL_FILE_HANDLE* pHandle) {
    const UINT64 ReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
    int Error = OpenByName(pName, Exclusive ? EFI_FILE_MODE_READ : ReadWrite, pHandle);
    if (Exclusive && (Error == 0 || Error == EISDIR)) {
        if (Error == 0) {
            RtShell()->CloseFile(*pHandle);
        }
        return EEXIST;
    }
    if (Error == 0) {
        EFI_STATUS Status = RtShell()->DeleteFile(*pHandle);
        if (Status != EFI_SUCCESS) {
            return Status == EFI_WARN_DELETE_FAILURE ? EACCES : RtErrnoFromStatus(Status);
        }
    } else if (Error != ENOENT) {
        return Error;
    }
    return OpenByName(pName, ReadWrite | EFI_FILE_MODE_CREATE, pHandle);
}

CHAR16* WidenName(const char* pName) {
    CHAR16* pWide = (CHAR16*)malloc((strlen(pName) + 1) * sizeof(CHAR16));
    if (pWide != NULL) {
        RtWiden(pName, (uint16_t*)pWide);
    }
    return pWide;
}

// Parses "r", "w" or "a", then any of "b" and "+", and for "w" also "x" (fail when the file
// exists). Returns false for anything else.
bool ParseMode(const char* pMode, unsigned* pFlags, char* pKind, bool* pExclusive) {
    *pKind = pMode[0];
    *pExclusive = false;
    if (*pKind != 'r' && *pKind != 'w' && *pKind != 'a') {
        return false;
    }
    bool Plus = false;
    for (const char* p = pMode + 1; *p != '\0'; p++) {
        if (*p == '+') {
            Plus = true;
        } else if (*p == 'x' && *pKind == 'w') {
            *pExclusive = true;
        } else if (*p != 'b') {
            return false;
        }
    }
    if (*pKind == 'r') {
        *pFlags = RT_STREAM_READ | (Plus ? RT_STREAM_WRITE : 0);
    } else {
        *pFlags =
            RT_STREAM_WRITE | (Plus ? RT_STREAM_READ : 0) | (*pKind == 'a' ? RT_STREAM_APPEND : 0);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// printf family.

struct StreamSink {
    RtStream* pStream;
};

void WriteToStream(void* pContext, const char* p, int Count) {
    RtStreamWrite(((StreamSink*)pContext)->pStream, p, (size_t)Count);
}

} // namespace

FILE* stdin = &StdinStream;
FILE* stdout = &StdoutStream;
FILE* stderr = &StderrStream;

void RtStdioStart(void) {
    RtStreamInit(&StdinStream, &StdinOps, NULL, StdinBuffer, sizeof(StdinBuffer), RT_STREAM_READ);
    RtStreamInit(&StdoutStream, &StdoutOps, NULL, StdoutBuffer, sizeof(StdoutBuffer),
                 RT_STREAM_WRITE | RT_STREAM_LINE_BUFFERED);
    RtStreamInit(&StderrStream, &StderrOps, NULL, NULL, 0, RT_STREAM_WRITE);
}

void RtStdioShutdown(void) {
    while (OpenFiles != NULL) {
        fclose(OpenFiles);
    }
    RtStreamFlush(&StdoutStream);
}

FILE* fopen(const char* pName, const char* pMode) {
    unsigned Flags = 0;
    char Kind = 0;
    bool Exclusive = false;
    if (pName == NULL || pMode == NULL || !ParseMode(pMode, &Flags, &Kind, &Exclusive) ||
        pName[0] == '\0') {
        errno = pName != NULL && pName[0] == '\0' ? ENOENT : EINVAL;
        return NULL;
    }
    if (RtShell() == NULL) {
        errno = EIO;
        return NULL;
    }
    CHAR16* pWide = WidenName(pName);
    RtStream* pStream = (RtStream*)malloc(sizeof(RtStream));
    unsigned char* pBuffer = (unsigned char*)malloc(FILE_BUFFER_BYTES);
    if (pWide == NULL || pStream == NULL || pBuffer == NULL) {
        free(pWide);
        free(pStream);
        free(pBuffer);
        errno = ENOMEM;
        return NULL;
    }
    SHELL_FILE_HANDLE Handle = NULL;
    int Error;
    if (Kind == 'r') {
        UINT64 Mode = EFI_FILE_MODE_READ | ((Flags & RT_STREAM_WRITE) ? EFI_FILE_MODE_WRITE : 0);
        Error = OpenByName(pWide, Mode, &Handle);
    } else if (Kind == 'w') {
        Error = CreateEmpty(pWide, Exclusive, &Handle);
    } else {
        Error = OpenByName(pWide, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE,
                           &Handle);
    }
    free(pWide);
    if (Error != 0) {
        free(pStream);
        free(pBuffer);
        errno = Error;
        return NULL;
    }
    RtStreamInit(pStream, &FileOps, Handle, pBuffer, FILE_BUFFER_BYTES, Flags);
    pStream->pNext = OpenFiles;
    OpenFiles = pStream;
    return pStream;
}

int fclose(FILE* pStream) {
    if (pStream == NULL) {
        errno = EBADF;
        return EOF;
    }
    if (pStream == stdin || pStream == stdout || pStream == stderr) {
        return fflush(pStream);
    }
    RtStream** ppLink = &OpenFiles;
    while (*ppLink != NULL && *ppLink != pStream) {
        ppLink = &(*ppLink)->pNext;
    }
    if (*ppLink == NULL) {
        errno = EBADF;
        return EOF;
    }
    *ppLink = pStream->pNext;
    int Result = RtStreamClose(pStream);
    free(pStream->Put.pBuffer);
    free(pStream);
    return Result == 0 ? 0 : EOF;
}

int remove(const char* pName) {
    if (RtShell() == NULL) {
        errno = EIO;
        return -1;
    }
    CHAR16* pWide = WidenName(pName);
    if (pWide == NULL) {
        errno = ENOMEM;
        return -1;
    }
    SHELL_FILE_HANDLE Handle = NULL;
    EFI_STATUS Status =
        RtShell()->OpenFileByName(pWide, &Handle, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE);
    free(pWide);
    if (Status == EFI_SUCCESS) {
        Status = RtShell()->DeleteFile(Handle);
    }
    if (Status != EFI_SUCCESS) {
        errno = Status == EFI_WARN_DELETE_FAILURE ? EACCES : RtErrnoFromStatus(Status);
        return -1;
    }
    return 0;
}

// The FAT file system renames a file by a new name in its EFI_FILE_INFO (a name without a
// directory part stays in the file's directory) and refuses a name that another file already
// has. So an existing file of the new name is deleted first. Everything that can fail before
// the rename (opening both files, building the new information) is done before that delete,
// so that the time without a file of the new name is one SetInfo call; should that call fail
// all the same, the file keeps its old name and nothing of it is lost.
int rename(const char* pOldName, const char* pNewName) {
    if (RtShell() == NULL) {
        errno = EIO;
        return -1;
    }
    const size_t OldOffset = RtPathNameOffset(pOldName);
    const size_t NewOffset = RtPathNameOffset(pNewName);
    if (pOldName[OldOffset] == '\0' || pNewName[NewOffset] == '\0') {
        errno = pOldName[0] == '\0' || pNewName[0] == '\0' ? ENOENT : EISDIR;
        return -1;
    }
    if (OldOffset != NewOffset || strncmp(pOldName, pNewName, OldOffset) != 0) {
        errno = EXDEV;
        return -1;
    }
    CHAR16* pOldWide = WidenName(pOldName);
    CHAR16* pNewWide = WidenName(pNewName);
    const size_t NameBytes = (strlen(pNewName + NewOffset) + 1) * sizeof(CHAR16);
    EFI_FILE_INFO* pNewInfo = (EFI_FILE_INFO*)malloc(SIZE_OF_EFI_FILE_INFO + NameBytes);
    SHELL_FILE_HANDLE Source = NULL;
    SHELL_FILE_HANDLE Target = NULL;
    int Error = pOldWide == NULL || pNewWide == NULL || pNewInfo == NULL ? ENOMEM : 0;
    if (Error == 0) {
        Error = OpenByName(pOldWide, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, &Source);
    }
    if (Error == 0) {
        EFI_FILE_INFO* pInfo = RtShell()->GetFileInfo(Source);
        if (pInfo == NULL) {
            Error = EIO;
        } else {
            memcpy(pNewInfo, pInfo, SIZE_OF_EFI_FILE_INFO);
            RtBootServices()->FreePool(pInfo);
            pNewInfo->Size = SIZE_OF_EFI_FILE_INFO + NameBytes;
            memcpy(pNewInfo->FileName, pNewWide + NewOffset, NameBytes);
        }
    }
    // The same name in other case is the same file on FAT: nothing to delete then.
    const bool SameFile = strcasecmp(pOldName, pNewName) == 0;
    if (Error == 0 && !SameFile) {
        Error = OpenByName(pNewWide, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, &Target);
        if (Error == ENOENT) {
            Error = 0;
            Target = NULL;
        }
    }
    if (Error == 0 && Target != NULL) {
        EFI_STATUS Status = RtShell()->DeleteFile(Target);
        if (Status != EFI_SUCCESS) {
            Error = Status == EFI_WARN_DELETE_FAILURE ? EACCES : RtErrnoFromStatus(Status);
        }
    }
    if (Error == 0) {
        Error = RtErrnoFromStatus(RtShell()->SetFileInfo(Source, pNewInfo));
    }
    if (Source != NULL) {
        RtShell()->CloseFile(Source);
    }
    free(pOldWide);
    free(pNewWide);
    free(pNewInfo);
    if (Error != 0) {
        errno = Error;
        return -1;
    }
    return 0;
}

int fflush(FILE* pStream) {
    if (pStream == NULL) {
        int Result = RtStreamFlush(&StdoutStream);
        for (RtStream* p = OpenFiles; p != NULL; p = p->pNext) {
            if (RtStreamFlush(p) != 0) {
                Result = EOF;
            }
        }
        return Result == 0 ? 0 : EOF;
    }
    return RtStreamFlush(pStream) == 0 ? 0 : EOF;
}

size_t fread(void* pBuffer, size_t Size, size_t Count, FILE* pStream) {
    if (Size == 0 || Count == 0) {
        return 0;
    }
    if (Count > (size_t)-1 / Size) {
        errno = EINVAL;
        return 0;
    }
    return RtStreamRead(pStream, pBuffer, Size * Count) / Size;
}

size_t fwrite(const void* pBuffer, size_t Size, size_t Count, FILE* pStream) {
    if (Size == 0 || Count == 0) {
        return 0;
    }
    if (Count > (size_t)-1 / Size) {
        errno = EINVAL;
        return 0;
    }
    return RtStreamWrite(pStream, pBuffer, Size * Count) / Size;
}

static_assert(offsetof(RtStream, Put) == 0, "the inline fputc of <stdio.h> needs Put first");

int __rt_fputc_slow(int c, FILE* pStream) {
    return RtStreamPutcSlow(pStream, c);
}
int putchar(int c) {
    return RtStreamPutcInline(stdout, c);
}
int fgetc(FILE* pStream) {
    return RtStreamGetc(pStream);
}
int getc(FILE* pStream) {
    return RtStreamGetc(pStream);
}
int getchar(void) {
    return RtStreamGetc(stdin);
}

int fputs(const char* s, FILE* pStream) {
    size_t Length = strlen(s);
    return RtStreamWrite(pStream, s, Length) == Length ? 1 : EOF;
}

int puts(const char* s) {
    if (fputs(s, stdout) == EOF) {
        return EOF;
    }
    return fputc('\n', stdout) == EOF ? EOF : 1;
}

char* fgets(char* pBuffer, int Size, FILE* pStream) {
    if (Size <= 0) {
        errno = EINVAL;
        return NULL;
    }
    int Used = 0;
    while (Used < Size - 1) {
        int c = RtStreamGetc(pStream);
        if (c == EOF) {
            break;
        }
        pBuffer[Used++] = (char)c;
        if (c == '\n') {
            break;
        }
    }
    if (Used == 0) {
        return NULL;
    }
    pBuffer[Used] = '\0';
    return pBuffer;
}

int fseek(FILE* pStream, long Offset, int Whence) {
    return RtStreamSeek(pStream, Offset, Whence);
}
long ftell(FILE* pStream) {
    return RtStreamTell(pStream);
}
void rewind(FILE* pStream) {
    RtStreamSeek(pStream, 0, SEEK_SET);
    clearerr(pStream);
}
void clearerr(FILE* pStream) {
    pStream->Flags &= ~(unsigned)(RT_STREAM_EOF | RT_STREAM_ERROR);
}
int feof(FILE* pStream) {
    return (pStream->Flags & RT_STREAM_EOF) != 0;
}
int ferror(FILE* pStream) {
    return (pStream->Flags & RT_STREAM_ERROR) != 0;
}

void perror(const char* s) {
    const char* pText = RtErrorText(errno);
    if (s != NULL && s[0] != '\0') {
        fprintf(stderr, "%s: %s\n", s, pText);
    } else {
        fprintf(stderr, "%s\n", pText);
    }
}

int vfprintf(FILE* pStream, const char* pFormat, va_list Args) {
    bool HadError = (pStream->Flags & RT_STREAM_ERROR) != 0;
    pStream->Flags &= ~(unsigned)RT_STREAM_ERROR;
    StreamSink Sink = {pStream};
    int Length = RtFormat(WriteToStream, &Sink, pFormat, Args);
    bool Failed = (pStream->Flags & RT_STREAM_ERROR) != 0;
    if (HadError) {
        pStream->Flags |= RT_STREAM_ERROR;
    }
    return Failed ? -1 : Length;
}

int fprintf(FILE* pStream, const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    int Length = vfprintf(pStream, pFormat, Args);
    va_end(Args);
    return Length;
}

int vprintf(const char* pFormat, va_list Args) {
    return vfprintf(stdout, pFormat, Args);
}

int printf(const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    int Length = vfprintf(stdout, pFormat, Args);
    va_end(Args);
    return Length;
}

int vsnprintf(char* pBuffer, size_t Size, const char* pFormat, va_list Args) {
    return RtFormatToBuffer(pBuffer, Size, pFormat, Args);
}

int snprintf(char* pBuffer, size_t Size, const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    int Length = RtFormatToBuffer(pBuffer, Size, pFormat, Args);
    va_end(Args);
    return Length;
}

int vsprintf(char* pBuffer, const char* pFormat, va_list Args) {
    return RtFormatToBuffer(pBuffer, (size_t)-1 / 2, pFormat, Args);
}

int sprintf(char* pBuffer, const char* pFormat, ...) {
    va_list Args;
    va_start(Args, pFormat);
    int Length = RtFormatToBuffer(pBuffer, (size_t)-1 / 2, pFormat, Args);
    va_end(Args);
    return Length;
}
