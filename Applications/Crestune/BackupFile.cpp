// The backup file is written under a temporary name in the directory of the file named on the
// command line, and takes that file's place only once the image and trailer are written in full
// and the file is closed: a backup that fails leaves an earlier file as it was, and no file
// where there was none.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"

// Temporary names are tried in turn until one is free.
#define TEMP_NAME_TRIES 10000
#define TEMP_NAME_FORMAT "BKUP%04u.TMP"
#define TEMP_NAME_LENGTH 12

// Length of the directory part of a path: up to and including its last '\', '/' or ':'. The
// temporary file must lie in the target's directory, since a file system renames a file only
// within its directory.
static size_t DirectoryLength(const char* pPath) {
    size_t Length = 0;
    for (size_t Index = 0; pPath[Index] != '\0'; Index++) {
        if (pPath[Index] == '\\' || pPath[Index] == '/' || pPath[Index] == ':') {
            Length = Index + 1;
        }
    }
    return Length;
}

size_t BackupTempNameSize(const char* pTarget) {
    return DirectoryLength(pTarget) + TEMP_NAME_LENGTH + 1;
}

void MakeBackupTempName(char* pName, const char* pTarget, uint32_t Number) {
    const size_t Directory = DirectoryLength(pTarget);
    memcpy(pName, pTarget, Directory);
    snprintf(pName + Directory, TEMP_NAME_LENGTH + 1, TEMP_NAME_FORMAT,
             (unsigned)(Number % TEMP_NAME_TRIES));
}

[[noreturn]] static void OpenFailed(int Error) {
    errno = Error;
    perror("Open file failed");
    ExitApplication(EXIT_FILE_OPEN_FAILED);
}

void OpenBackupFile(void) {
    const char* pTarget = Run.FileName;
    if (PlatformIsDevice(pTarget)) {
        Run.SettingFile = fopen(pTarget, "wb");
        if (Run.SettingFile == NULL) {
            OpenFailed(errno);
        }
        return;
    }
    // A target that exists but could not be written is refused now, before anything is sent,
    // as it would have been when it was opened for writing itself.
    FILE* pExisting = fopen(pTarget, "r+b");
    if (pExisting != NULL) {
        fclose(pExisting);
        Run.BackupTargetExisted = true;
    } else if (errno != ENOENT) {
        OpenFailed(errno);
    }
    const size_t Size = BackupTempNameSize(pTarget);
    char* strTemp = (char*)malloc(Size);
    if (strTemp == NULL) {
        perror("Allocate memory failed");
        ExitApplication(EXIT_OUT_OF_MEMORY);
    }
    int Error = EEXIST;
    for (uint32_t Number = 0; Number < TEMP_NAME_TRIES && Error == EEXIST; Number++) {
        MakeBackupTempName(strTemp, pTarget, Number);
        Run.SettingFile = fopen(strTemp, "wbx");
        if (Run.SettingFile != NULL) {
            Run.strTempFile = strTemp;
            return;
        }
        Error = errno;
    }
    free(strTemp);
    OpenFailed(Error);
}

void FinishBackupFile(void) {
    FILE* pFile = Run.SettingFile;
    Run.SettingFile = NULL;
    if (fclose(pFile) != 0) {
        perror("Write file failed");
        ExitApplication(EXIT_FILE_OPEN_FAILED);
    }
    if (Run.strTempFile == NULL) {
        return; // a device, written directly
    }
    if (rename(Run.strTempFile, Run.FileName) != 0) {
        const int Error = errno;
        // Where the file system deletes an earlier file before the rename (UEFI's FAT), a
        // rename that then fails leaves the new backup as the only copy: it stays.
        FILE* pTarget = fopen(Run.FileName, "rb");
        if (pTarget != NULL) {
            fclose(pTarget);
        } else if (Run.BackupTargetExisted) {
            printf("The backup is kept in %s.\n", Run.strTempFile);
            free(Run.strTempFile);
            Run.strTempFile = NULL;
        }
        errno = Error;
        perror("Write file failed");
        ExitApplication(EXIT_FILE_OPEN_FAILED);
    }
    free(Run.strTempFile);
    Run.strTempFile = NULL;
}
