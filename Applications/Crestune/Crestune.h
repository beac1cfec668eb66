// Crestune, the BIOS setting utility: run state, exit codes and the routines of the run.
#ifndef APPLICATIONS_CRESTUNE_CRESTUNE_H
#define APPLICATIONS_CRESTUNE_CRESTUNE_H

#include <stdint.h>
#include <stdio.h>

#include "Applications/Crestune/SmiCall.h"
#include "Catalogue/SettingCatalogue.h"
#include "CrestuneOptions.h"
#include "Platform/Platform.h"

#define CRESTUNE_VERSION "1.6.8"
#define CRESTUNE_FILE_NAME "Crestune.efi"

// Size of a password buffer including its terminating zero byte.
#define MAX_INPUT_PASS_LEN 65

// Exit codes handed back to the shell.
#define EXIT_OK 0x00000000u
#define EXIT_INVALID_ARGUMENT 0xC0000001u
#define EXIT_OUT_OF_MEMORY 0xC0000002u
#define EXIT_FILE_OPEN_FAILED 0xC0000003u
#define EXIT_SMI_FAILED 0xC0000005u
#define EXIT_FIRMWARE_ERROR 0xC0000006u
#define EXIT_PASSWORD_REQUIRED 0xC0000007u
#define EXIT_FILE_CORRUPT 0xC0000008u
#define EXIT_BIOS_MISMATCH 0xC0000009u
#define EXIT_NO_SMI_PORT 0xC000000Au
#define EXIT_BIOS_VERSION 0xC000000Bu
#define EXIT_BAD_SCAN_CODE 0xC000000Du

// The program-wide state of one run. Everything starts false, zero or absent; the parsers and
// the steps of the run fill it once.
struct RunState {
    // Argument fields.
    bool LoadDefault;
    bool BackupMode;
    bool RestoreMode;
    bool ChangeAdminPassword;
    bool ChangePowerOnPassword;
    bool ClearAdminPassword;
    bool ClearPowerOnPassword;
    bool PasswordGiven;
    bool NoReboot;
    bool IgnoreBiosLevel;
    bool SilentMode;
    bool VerboseMode;
    const char* FileName;
    const char* CurrentPassword;
    const char* strInputNewAdp;
    const char* strInputNewPop;
    char ConvertedNewAdp[MAX_INPUT_PASS_LEN];
    char ConvertedNewPop[MAX_INPUT_PASS_LEN];
    char ConvertedPass[MAX_INPUT_PASS_LEN];

    // Filled by the run.
    uint16_t SmiPortNumber;
    bool PortFromConfigTable;
    bool PasswordInstalled;
    uint8_t CurrentPasswordHash[HASHED_PASSWORD_SIZE];
    FILE* SettingFile;
    // A backup's temporary file while it exists (heap), and whether the target existed.
    char* strTempFile;
    bool BackupTargetExisted;
};

extern RunState Run;

// Clears the run state (the start of a run; tests use it between cases).
void ResetRunState(void);

// Closes the settings file when it is open, removes a backup's temporary file, and ends the
// program with the exit code.
[[noreturn]] void ExitApplication(uint32_t ExitCode);

// The backup file: opened under a temporary name in the target's directory (ends the run with
// "Open file failed" when it cannot be created), and put in the target's place once closed.
size_t BackupTempNameSize(const char* pTarget);
void MakeBackupTempName(char* pName, const char* pTarget, uint32_t Number);
void OpenBackupFile(void);
void FinishBackupFile(void);

// Finds the SMI command port through the ACPI RSDP, RSDT and FADT of the legacy BIOS area; when
// they yield no FADT and pConfig is given, through the RSDP of the UEFI configuration table.
// On failure prints the reason (the legacy area's, unless the configuration table's FADT names
// port 0) and returns false. *pThroughConfigTable is set when the configuration table's
// tables named the port.
bool GetSmiPortNumber(const PhysMemReader* pMemory, uint16_t* pPort,
                      const ConfigTableLookup* pConfig = NULL, bool* pThroughConfigTable = NULL);

// Prints the banner and the help text.
void PrintUsage(void);

// The option table: one row per word of Applications/Crestune/Options.txt (the generated
// CrestuneOptions.h), the words Crestune claims outside the setting catalogue. A row's class
// names the pass that claims it, its value the value word that follows, its action what the
// parser of its class does with it; its stick column is for the deployment stick.
enum OptionClass {
    OPTION_CLASS_HELP,
    OPTION_CLASS_PRIMARY,
    OPTION_CLASS_EXTENDED,
    OPTION_CLASS_SETTING,
};
enum OptionValue {
    OPTION_VALUE_NONE,
    OPTION_VALUE_FILE,
    OPTION_VALUE_PASSWORD,
    OPTION_VALUE_SCAN_US,
    OPTION_VALUE_SCAN_FR,
    OPTION_VALUE_SCAN_GE,
    OPTION_VALUE_WORD,
};
enum OptionAction {
    OPTION_ACTION_HELP,
    OPTION_ACTION_BACKUP,
    OPTION_ACTION_RESTORE,
    OPTION_ACTION_NEW_ADMIN,
    OPTION_ACTION_NEW_POWER_ON,
    OPTION_ACTION_LOAD_DEFAULTS,
    OPTION_ACTION_CLEAR_ADMIN,
    OPTION_ACTION_CLEAR_POWER_ON,
    OPTION_ACTION_NO_REBOOT,
    OPTION_ACTION_IGNORE_LEVEL,
    OPTION_ACTION_SILENT,
    OPTION_ACTION_VERBOSE,
    OPTION_ACTION_CURRENT,
    OPTION_ACTION_SETTING,
};
enum OptionStick {
    OPTION_STICK_NONE,
    OPTION_STICK_RESETS,
    OPTION_STICK_NO_RESET,
    OPTION_STICK_ASKS,
    OPTION_STICK_SILENCES,
};
struct CrestuneOption {
    const char* pWord;
    uint8_t Match;  // characters compared; 0: the whole word
    uint8_t Class;  // OptionClass
    uint8_t Value;  // OptionValue
    uint8_t Action; // OptionAction
    uint8_t Stick;  // OptionStick
};
extern const CrestuneOption CrestuneOptionTable[CRESTUNE_OPTION_ROWS];
// The first row of the class that the command word names, or NULL.
const CrestuneOption* FindOption(const char* pWord, uint8_t Class);

// Argument parsers: each returns the number of words it claimed, and ends the run on a
// malformed word.
uint32_t FindPrimaryArguments(int argc, char** argv);
uint32_t FindExtendedArguments(int argc, char** argv);
uint32_t FindSecondaryArguments(int argc, char** argv);

// Whole-word and leading-part comparison of command words, ASCII letters without regard to case.
bool WordEquals(const char* pWord, const char* pKeyword);
bool WordPrefixEquals(const char* pWord, const char* pKeyword, uint32_t Count);

// Placement checks: an option followed by exactly one value word, and an option without value
// given once. Both end the run when the check fails.
void CheckOptionValue(int Index, int argc, char** argv);
void SetOptionFlag(bool* pField, int Index, int argc, char** argv);

// Keyboard maps of scan-code passwords and the conversion into password text.
struct ScanCodeMap;
extern const ScanCodeMap ScanCodeMapUs;
extern const ScanCodeMap ScanCodeMapFr;
extern const ScanCodeMap ScanCodeMapGe;
bool ConvertScanCodePassword(char* pDest, const char* strScan, const ScanCodeMap* pMap);

// Firmware requests built by the run.
// Clears the record and sets Eax, Ebx, Ecx and the SMI command port in Edx.
void InitRequest(PortSmiRegisters* pRegisters, uint32_t Eax, uint32_t Ebx, uint32_t Ecx);
// Sets the buffer register codes and, on a machine with a password, the current hash.
void AttachPasswordHash(PortSmiRegisters* pRegisters, uint8_t InBufReg, uint8_t OutBufReg);
// Raises the request; ends the run when it cannot be raised. Returns the status verdict.
bool SendRequest(PortSmiRegisters* pRegisters, const void* pInBuf, uint32_t InBufSize,
                 void* pOutBuf, uint32_t OutBufSize);
// As SendRequest, and ends the run when the firmware refuses.
void SendCheckedRequest(PortSmiRegisters* pRegisters, const void* pInBuf, uint32_t InBufSize,
                        void* pOutBuf, uint32_t OutBufSize);

// Passwords.
bool CheckPasswordInstalled(void);
void ComputeHash(uint8_t* pHash, const char* strInput);
// The password step of a run: demands and hashes the current password where one is installed.
void CheckCurrentPassword(void);
void ProcessChangePassword(void);

// Operations.
void ProcessSettingOptions(void);
void ProcessLoadDefault(void);
void ProcessBackupRestore(void);

// The parse result of one setting option: the request's ECX and whether the run sends it.
struct SettingChoice {
    uint32_t Data;
    uint8_t Selected;
};
// One choice per row of SettingOptionTable, filled by FindSecondaryArguments.
extern SettingChoice SettingSelection[SETTING_OPTION_ROWS];
uint32_t GetSettingOptionCount(void);
// Clears every choice.
void ResetSettingSelection(void);
// Converts hexadecimal text; 0xFFFFFFFF on failure.
uint32_t ExtStrToUL(const char* pText, uint32_t Base);
void ParseBootDevice(int Index, SettingChoice* pChoice, int argc, char** argv);
bool CheckCurrentTpmSetting(uint32_t* pMode);
bool GetYesNoAnswer(void);

// The run sequence; returns the exit code of a run that reaches its end.
uint32_t RunCrestune(int argc, char** argv);

#endif
