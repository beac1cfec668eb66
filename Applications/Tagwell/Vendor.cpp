// BIOS vendor detection and the vendor tool's command line.
#include <stdio.h>
#include <string.h>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Tagwell/Tagwell.h"
#include "ShellMetacharacters.h"

namespace {

// The legacy BIOS area that carries the vendor's signature.
const uint64_t kScanBase = 0xF0000;
const uint32_t kScanPositions = 0xFF00;
// Each position is compared through a zero-filled window of 20 bytes holding 19 memory bytes.
const size_t kWindowSize = 20;

struct VendorSignature {
    const char* pText;
    uint8_t Vendor;
};

// At one address AMI is tried before Insyde before Phoenix.
const VendorSignature kSignatures[] = {
    {"AMIBIOS", BIOS_VENDOR_AMI},
    {"Insyde", BIOS_VENDOR_INSYDE},
    {"Phoenix", BIOS_VENDOR_PHOENIX},
};

// Vendor names as the firmware gives them (its FirmwareVendor, the SMBIOS BIOS vendor): a name
// containing one of these texts, in any case, names the vendor. The first entry that matches
// decides.
const VendorSignature kVendorNames[] = {
    {"American Megatrends", BIOS_VENDOR_AMI},
    {"AMIBIOS", BIOS_VENDOR_AMI},
    {"Insyde", BIOS_VENDOR_INSYDE},
    {"Phoenix", BIOS_VENDOR_PHOENIX},
};

// The longest vendor name compared; a longer one is cut.
const size_t kVendorNameSize = 128;
// In SMBIOS type 0, the string number of the BIOS vendor.
const uint8_t kSmbiosVendorNumberOffset = 4;

bool ContainsIgnoringCase(const char* pText, const char* pPart) {
    const size_t PartLength = strlen(pPart);
    for (const char* pAt = pText; *pAt != '\0'; pAt++) {
        if (strncasecmp(pAt, pPart, PartLength) == 0) {
            return true;
        }
    }
    return false;
}

// Characters of a value that the UEFI shell acts on even inside double quotes
// (SHELL_SPECIAL_CHARACTERS): the quote itself, its escape character, variables (%name%),
// comments (#) and pipes; redirection marks are escaped too, which costs nothing. Execute parses
// a command line twice (once for the nested shell it starts, once to run the line), and each parse
// turns "^x" into a plain x, so three escape characters in front of one of these leave it as a
// plain character in the tool's argument.
bool NeedsShellEscape(char Character) {
    return Character != '\0' && strchr(SHELL_SPECIAL_CHARACTERS, Character) != NULL;
}

const char kShellEscape[] = "^^^";

bool AppendText(char* pLine, size_t Capacity, size_t* pLength, const char* pText,
                size_t TextLength) {
    if (TextLength >= Capacity - *pLength) {
        return false;
    }
    memcpy(pLine + *pLength, pText, TextLength);
    *pLength += TextLength;
    pLine[*pLength] = '\0';
    return true;
}

// An entry in double quotes is a value: its quotes stay, its characters are escaped.
bool AppendEntry(char* pLine, size_t Capacity, size_t* pLength, const char* pEntry) {
    const size_t EntryLength = strlen(pEntry);
    if (EntryLength < 2 || pEntry[0] != '"' || pEntry[EntryLength - 1] != '"') {
        return AppendText(pLine, Capacity, pLength, pEntry, EntryLength);
    }
    if (!AppendText(pLine, Capacity, pLength, "\"", 1)) {
        return false;
    }
    for (size_t Index = 1; Index + 1 < EntryLength; Index++) {
        if (NeedsShellEscape(pEntry[Index]) &&
            !AppendText(pLine, Capacity, pLength, kShellEscape, sizeof kShellEscape - 1)) {
            return false;
        }
        if (!AppendText(pLine, Capacity, pLength, pEntry + Index, 1)) {
            return false;
        }
    }
    return AppendText(pLine, Capacity, pLength, "\"", 1);
}

} // namespace

uint8_t FindBiosVendor(const PhysMemReader* pMemory) {
    char Window[kWindowSize];
    for (uint32_t Position = 0; Position < kScanPositions; Position++) {
        memset(Window, 0, sizeof Window);
        pMemory->Read(pMemory, kScanBase + Position, Window, kWindowSize - 1);
        for (const VendorSignature& Signature : kSignatures) {
            if (strncasecmp(Window, Signature.pText, strlen(Signature.pText)) == 0) {
                return Signature.Vendor;
            }
        }
    }
    return BIOS_VENDOR_UNKNOWN;
}

uint8_t VendorFromName(const char* pName) {
    for (const VendorSignature& Name : kVendorNames) {
        if (ContainsIgnoringCase(pName, Name.pText)) {
            return Name.Vendor;
        }
    }
    return BIOS_VENDOR_UNKNOWN;
}

uint8_t FindSmbiosVendor(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig) {
    SmbiosTable Table;
    uint64_t Structure = 0;
    uint32_t Length = 0;
    if (!FindSmbiosTable(pMemory, pConfig, &Table) ||
        !FindSmbiosStructure(pMemory, &Table, 0, &Structure, &Length) ||
        PhysRead8(pMemory, Structure + 1) <= kSmbiosVendorNumberOffset) {
        return BIOS_VENDOR_UNKNOWN;
    }
    char Name[kVendorNameSize];
    const uint8_t Number = PhysRead8(pMemory, Structure + kSmbiosVendorNumberOffset);
    if (!GetSmbiosString(pMemory, Structure, Length, Number, Name, sizeof Name)) {
        return BIOS_VENDOR_UNKNOWN;
    }
    return VendorFromName(Name);
}

uint8_t FindBiosVendorFallback(const PhysMemReader* pMemory, const ConfigTableLookup* pConfig,
                               const char* pFirmwareVendor) {
    const uint8_t Vendor = FindBiosVendor(pMemory);
    if (Vendor != BIOS_VENDOR_UNKNOWN) {
        return Vendor;
    }
    // No signature in the legacy area (a machine without a legacy BIOS): the firmware's own name,
    // then the BIOS vendor that SMBIOS names.
    const uint8_t Named = VendorFromName(pFirmwareVendor);
    if (Named != BIOS_VENDOR_UNKNOWN) {
        return Named;
    }
    return FindSmbiosVendor(pMemory, pConfig);
}

uint8_t GetBiosVendor(void) {
    char FirmwareVendor[kVendorNameSize];
    PlatformFirmwareVendor(FirmwareVendor, sizeof FirmwareVendor);
    return FindBiosVendorFallback(PlatformMemory(), PlatformConfigTable(), FirmwareVendor);
}

const VendorTool kVendorTools[VENDOR_TOOL_COUNT] = {
    {BIOS_VENDOR_AMI, "AMI", "AMIDEEFIx64.efi"},
    {BIOS_VENDOR_INSYDE, "Insyde", "H2OSDE-Sx64.efi"},
};

const VendorTool* FindVendorTool(uint8_t Vendor) {
    for (const VendorTool& Tool : kVendorTools) {
        if (Tool.Vendor == Vendor) {
            return &Tool;
        }
    }
    return NULL;
}

const char* VendorToolName(const UpdateRequest* pRequest) {
    const VendorTool* pTool = FindVendorTool(pRequest->Vendor);
    return pTool != NULL ? pTool->pToolName : NULL;
}

void CheckVendorTool(void) {
    const char* pToolName = VendorToolName(&Request);
    FILE* pTool = fopen(pToolName, "rb");
    if (pTool == NULL) {
        printf("%s is not in the current directory.\n", pToolName);
        ExitTagwell(TAGWELL_EXIT_NO_TOOL);
    }
    fclose(pTool);
}

int BuildVendorArguments(const UpdateRequest* pRequest, const char** ppEntries) {
    // A vendor without a tool never gets here; its switches would be the first tool's.
    const VendorTool* pTool = FindVendorTool(pRequest->Vendor);
    const size_t Column = pTool != NULL ? (size_t)(pTool - kVendorTools) : 0;
    int Count = 0;
    ppEntries[Count++] = VendorToolName(pRequest);
    for (int Row = 0; Row < TAGWELL_FIELD_COUNT; Row++) {
        if (pRequest->UpdateField[Row]) {
            ppEntries[Count++] = kTagwellFields[Row].pToolSwitch[Column];
            ppEntries[Count++] = kTagwellOptions[Row].Value == TAGWELL_VALUE_TEXT
                                     ? pRequest->FieldValue[Row]
                                     : kTagwellFields[Row].pFixedValue[Column];
        }
    }
    return Count;
}

bool BuildVendorCommandLine(const char* const* ppEntries, int EntryCount, char* pLine,
                            size_t Capacity) {
    if (Capacity == 0) {
        return false;
    }
    size_t Length = 0;
    pLine[0] = '\0';
    for (int Index = 0; Index < EntryCount; Index++) {
        if (Index > 0 && !AppendText(pLine, Capacity, &Length, " ", 1)) {
            return false;
        }
        if (!AppendEntry(pLine, Capacity, &Length, ppEntries[Index])) {
            return false;
        }
    }
    return true;
}

uint32_t ToolStatusText(uint64_t Status) {
    // A UEFI error status has bit 63 set; a program's 32-bit status comes back sign-extended.
    // Both show in the 32-bit form the shell's %lasterror% uses.
    return (uint32_t)Status | ((Status >> 63) != 0 ? 0x80000000u : 0u);
}

void RunVendorTool(void) {
    const char* pToolName = VendorToolName(&Request);
    if (Request.Verbose) {
        printf("Processing update smbios...\n");
    }
    const char* Entries[TAGWELL_MAX_TOOL_ARGS];
    const int EntryCount = BuildVendorArguments(&Request, Entries);
    if (Request.Verbose) {
        printf("Arguments passed to %s: \n", pToolName);
        for (int Index = 0; Index < EntryCount; Index++) {
            printf("%s ", Entries[Index]);
        }
        printf("\n");
    }
    char CommandLine[TAGWELL_COMMAND_LINE_SIZE];
    if (!BuildVendorCommandLine(Entries, EntryCount, CommandLine, sizeof CommandLine)) {
        // Values are checked for their length when they are taken, so this cannot happen.
        printf("The command line for %s is too long.\n", pToolName);
        ExitTagwell(TAGWELL_EXIT_USAGE);
    }
    if (Request.Verbose) {
        printf("Arguments passed to %s :\n%s\n", pToolName, CommandLine);
    }
    bool StatusKnown = false;
    uint64_t ToolStatus = 0;
    const int Result = PlatformRunShellCommandStatus(CommandLine, &StatusKnown, &ToolStatus);
    // A tool the shell could not start (not a valid image, refused under Secure Boot or by a
    // pinned shell): a shell that runs the line itself says so; a nested shell hands back its
    // reason as if the tool had ended with it, and then the file tells the two apart. The tool
    // is started only through the shell, which checks it.
    if (Result == PLATFORM_COMMAND_NOT_STARTED ||
        (Result == PLATFORM_COMMAND_RAN && StatusKnown && ToolStatus != 0 &&
         !PlatformIsProgramFile(pToolName))) {
        printf("\n%s could not be started: status 0x%X.\n", pToolName, ToolStatusText(ToolStatus));
        ExitTagwell(TAGWELL_EXIT_CHILD_FAILED);
    }
    if (Result != PLATFORM_COMMAND_RAN) {
        printf("\nChild process failed. Return code: %d\n", Result);
        ExitTagwell(TAGWELL_EXIT_CHILD_FAILED);
    }
    // A tool that ran and failed has not updated the data: the run fails with it. The older
    // shell interface hands back no status, so there the run goes on as before.
    if (StatusKnown && ToolStatus != 0) {
        printf("\n%s failed with status 0x%X.\n", pToolName, ToolStatusText(ToolStatus));
        ExitTagwell(TAGWELL_EXIT_CHILD_FAILED);
    }
}
