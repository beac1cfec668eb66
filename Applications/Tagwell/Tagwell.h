// Tagwell, the SMBIOS data update wrapper: the run record, exit codes and the steps of a run.
//
// Tagwell writes no SMBIOS data itself. It finds out which firmware vendor built the BIOS and
// has the UEFI shell run that vendor's DMI tool, from the current directory, with the values
// given on the command line or typed at two questions.
#ifndef APPLICATIONS_TAGWELL_TAGWELL_H
#define APPLICATIONS_TAGWELL_TAGWELL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "Platform/Platform.h"
#include "TagwellOptions.h"

#define TAGWELL_TITLE "Corvane Firmware Update Utility(DMI Edit)"
#define TAGWELL_VERSION "5.0.0"
#define TAGWELL_NOTICE "Copyright (C) 2026 Corvane. All rights reserved."
#define TAGWELL_FILE_NAME "Tagwell.efi"

// A value buffer holds a double quote, the value, a double quote and a NUL.
#define TAGWELL_VALUE_SIZE 32
#define TAGWELL_MAX_VALUE_LEN (TAGWELL_VALUE_SIZE - 3)
// The vendor tool's argument list: the tool name and at most five word/value pairs.
#define TAGWELL_MAX_TOOL_ARGS 20
// The command line handed to the shell. Every character of a value may need an escape of
// three characters (see BuildVendorCommandLine), so four values of 29 characters with their
// quotes, the tool name and the words need about 520 bytes.
#define TAGWELL_COMMAND_LINE_SIZE 640

// Exit codes handed back to the shell.
#define TAGWELL_EXIT_OK 0x00000000u
#define TAGWELL_EXIT_USAGE 0xC0000001u
#define TAGWELL_EXIT_NO_VENDOR 0xFFFFFFFFu
#define TAGWELL_EXIT_NO_TOOL 0xC0000003u
#define TAGWELL_EXIT_CHILD_FAILED 0xC000000Bu

// The result of the vendor scan.
#define BIOS_VENDOR_AMI 1
#define BIOS_VENDOR_INSYDE 2
#define BIOS_VENDOR_PHOENIX 3
#define BIOS_VENDOR_UNKNOWN 255

// The vendors that have a DMI tool, one row each.
struct VendorTool {
    uint8_t Vendor;        // BIOS_VENDOR_ code
    const char* pName;     // as in "AMI BIOS is found."
    const char* pToolName; // the tool's file in the current directory
};
#define VENDOR_TOOL_COUNT 2
extern const VendorTool kVendorTools[VENDOR_TOOL_COUNT];
// The row of the vendor, or NULL when it has no tool.
const VendorTool* FindVendorTool(uint8_t Vendor);

// The option table: one row per option of Applications/Tagwell/Options.txt (the generated
// TagwellOptions.h, which also names each row OPTION_<WORD>: OPTION_MTM is the row of /mtm:).
// The rows of the fields the vendor tool updates come first, so field F is option row F.
enum TagwellOptionValue { TAGWELL_VALUE_NONE, TAGWELL_VALUE_TEXT };
enum TagwellOptionStick { TAGWELL_STICK_NONE, TAGWELL_STICK_RESETS };
struct TagwellOption {
    const char* pWord;
    uint8_t Match; // characters compared: the word's length
    uint8_t Value; // TagwellOptionValue: whether the value follows the word
    uint8_t Stick; // TagwellOptionStick, for the deployment stick
};
extern const TagwellOption kTagwellOptions[TAGWELL_OPTION_ROWS];
// The fields' rows end where the run's switches begin, with /quiet.
#define TAGWELL_FIELD_COUNT OPTION_QUIET

// The record of one run. Everything starts false or empty; the option parsing and the typed
// entry fill it, the vendor tool step reads it.
struct UpdateRequest {
    bool Verbose;
    bool DefaultMode;
    bool AskUser;
    bool Quiet;
    bool Reboot;
    bool Update;
    uint8_t Vendor; // BIOS_VENDOR_ code of the machine, once found
    // By field: whether the run updates it, and its value in double quotes, NUL-terminated.
    bool UpdateField[TAGWELL_FIELD_COUNT];
    char FieldValue[TAGWELL_FIELD_COUNT][TAGWELL_VALUE_SIZE];
};

extern UpdateRequest Request;

// Clears the run record (the start of a run; tests use it between cases).
void ResetUpdateRequest(void);

// Ends the program with the exit code.
[[noreturn]] void ExitTagwell(uint32_t ExitCode);

// One row of the option table: the option word and whether an argument claimed it.
struct WrapperOption {
    const char* pWord;
    uint8_t Found;
};

// The fields the vendor tool updates, one row each in the order of the tool's argument list;
// field F is named by option row F.
struct TagwellField {
    const char* pToolSwitch[VENDOR_TOOL_COUNT]; // the tool's switch, by vendor tool row
    const char* pFixedValue[VENDOR_TOOL_COUNT]; // the value of a field whose option has none
    // Asked when no value option is given (NULL: never): what the question names, and the
    // longest value that can be typed. The questions come in reverse table order.
    const char* pQuestionName;
    uint8_t MaxTyped;
};
extern const TagwellField kTagwellFields[TAGWELL_FIELD_COUNT];

// Fills pTable (TAGWELL_OPTION_ROWS + 1 rows) with the option words, none found.
void InitOptionTable(WrapperOption* pTable);

// True when the argument starts with the option word, ASCII case ignored.
bool MatchesOption(const char* pArgument, const char* pWord);

// The index of the first row the argument matches, or -1.
int FindOptionRow(const WrapperOption* pTable, const char* pArgument);

// Marks the rows the arguments name. Returns false at the first argument that names no row or
// a row already found.
bool MarkOptions(WrapperOption* pTable, int argc, char** argv);

// Applies the found rows to the run record, in table order.
void ProcessArguments(int argc, char** argv, WrapperOption* pTable);

// Fills pBuffer from the argument that carries the option word. Ends the program with the usage
// error when the value is empty or cannot be passed on unchanged (see CheckValueText).
void GetArgumentValue(int argc, char** argv, const char* pWord, char* pBuffer);

// Whether a value can reach the vendor tool exactly as given. Returns NULL when it can, else
// the reason, a text that completes "The value of /sn: ...".
const char* CheckValueText(const char* pValue);

// Banner ("\n%s %s\n" and the notice) and the usage text.
void PrintBanner(void);
void PrintErrorBanner(void);
void PrintUsage(void);

// Scans 0xF0000-0xFFEFF for a vendor signature; returns a BIOS_VENDOR_ code.
uint8_t FindBiosVendor(const PhysMemReader* pMemory);
// The vendor a name contains ("American Megatrends" or "AMIBIOS", "Insyde", "Phoenix"; in any
// case), or BIOS_VENDOR_UNKNOWN.
uint8_t VendorFromName(const char* pName);
// The vendor of the BIOS vendor string of SMBIOS type 0, or BIOS_VENDOR_UNKNOWN.
uint8_t FindSmbiosVendor(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig);
// The signature scan; when it finds none, the firmware vendor name, then the SMBIOS BIOS vendor.
uint8_t FindBiosVendorFallback(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                               const char* pFirmwareVendor);
uint8_t GetBiosVendor(void);

// The vendor's tool file name (from the run record's vendor), NULL when it has no tool.
const char* VendorToolName(const UpdateRequest* pRequest);

// Ends the program when the vendor's tool file does not open in the current directory.
void CheckVendorTool(void);

// The tool's argument list for the run record: entry 0 the tool name, then word/value pairs
// in the vendor's fixed order. Returns the number of entries.
int BuildVendorArguments(const UpdateRequest* pRequest, const char** ppEntries);

// Joins the argument list into the command line for the shell, escaping the characters of
// the values that the shell would otherwise act on. Returns false when it does not fit.
bool BuildVendorCommandLine(const char* const* ppEntries, int EntryCount, char* pLine,
                            size_t Capacity);

// The 32-bit form of a tool's status as the shell shows it in %lasterror%: the low 32 bits, with
// bit 31 set for a UEFI error status (bit 63) or a sign-extended negative status.
uint32_t ToolStatusText(uint64_t Status);

// Builds the command line and has the shell run it; ends the program when the shell cannot, when
// the tool ran and the shell reports that it failed ("%s failed with status 0x%X.", status
// 0xC000000B), and when the shell could not start the tool ("%s could not be started: status
// 0x%X.", status 0xC000000B).
void RunVendorTool(void);

// The two questions and the typed values. The stream forms take the console streams as
// parameters so that tests can feed them.
bool ReadYesNoConfirm(FILE* pIn, FILE* pOut);
bool ReadSmbiosValue(FILE* pIn, FILE* pOut, char* strsmb, uint8_t maximum);
bool GetYesNoConfirm(void);
// Returns false when input ended before any character of the value was typed.
bool GetEnteredSmbiosInfo(char* strsmb, uint8_t maximum);
void AskUserQuestions(void);

// The counted reboot at the end of a /reboot run.
void RebootCountdown(void);

// One run; returns the exit code of a normal end (failures end the program directly).
uint32_t RunTagwell(int argc, char** argv);

#endif
