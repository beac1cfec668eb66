// Fuzz target: Crestune's command line, from the first word to the first firmware request.
//
// The run goes through RunCrestune on a machine whose ACPI tables name port 0xB2. A TPM switch
// asks the firmware for the current TPM mode during parsing (answered from the input's first
// byte) and reads its confirmation from an empty standard input. The first request after the
// class rules (IsMfgDoneSet) ends the iteration.
//
// Invariant: a run either ends before that request with one of the statuses a command line
// can cause (0xC0000001 argument error or help, 0xC000000D malformed scan code, 0 a declined
// TPM switch, 0xC0000005 an unknown TPM mode), or it reaches the request only when
//   - every command word is a known option word, words of the option table given once,
//   - exactly one operation is asked for: one primary operation (load defaults, backup,
//     restore, or password change/clear, where an administrator and a power-on change count as
//     one) and no setting, or no primary operation and at least one setting,
//   - backup and restore carry a file name, password changes their new password, and every
//     typed password is at most 64 characters,
//   - no word asks for help and the first word is a command word;
// and never a request on port 0 or before the class rules.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"
#include "FuzzPlatform.h"
#include "FuzzSupport.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The machine: an RSDP at 0xE0000, an RSDT with one entry, a FADT naming port 0xB2.
const uint64_t kRsdp = 0xE0000, kRsdt = 0xE0100, kFadt = 0xE0200;

uint8_t TableByte(uint64_t At) {
    if (At >= kRsdp && At < kRsdp + 20) {
        static const char kSignature[] = "RSD PTR ";
        const uint64_t Offset = At - kRsdp;
        return Offset < 8 ? (uint8_t)kSignature[Offset] : (uint8_t)(kRsdt >> (8 * (Offset - 16)));
    }
    if (At >= kRsdt && At < kRsdt + 40) {
        static const char kSignature[] = "RSDT";
        const uint64_t Offset = At - kRsdt;
        return Offset < 4     ? (uint8_t)kSignature[Offset]
               : Offset == 4  ? 40
               : Offset >= 36 ? (uint8_t)(kFadt >> (8 * (Offset - 36)))
                              : 0;
    }
    if (At >= kFadt && At < kFadt + 116) {
        static const char kSignature[] = "FACP";
        const uint64_t Offset = At - kFadt;
        return Offset < 4     ? (uint8_t)kSignature[Offset]
               : Offset == 4  ? 116
               : Offset == 48 ? 0xB2
                              : 0;
    }
    return 0xFF;
}

void ReadTables(const PhysMemReader*, uint64_t Address, void* pDest, size_t Count) {
    for (size_t Index = 0; Index < Count; Index++) {
        ((uint8_t*)pDest)[Index] = TableByte(Address + Index);
    }
}

const PhysMemReader kTables = {ReadTables, nullptr};

uint32_t TpmAnswer = 1;
bool RulesChecked = false;
jmp_buf* pFirstRequest = nullptr;

// The legacy area holds the tables, so the configuration table (empty) is never consulted. The
// machine lends no communication buffer, so nothing is ever written.
void AnswerRequest(const uint32_t* pInput, uint32_t* pOutput) {
    // Words: unused, EAX, EBX, ECX, EDX, EDI, ESI in; EAX, EBX, ECX, EDX, EDI, ESI out.
    memcpy(pOutput, pInput + 1, 6 * sizeof(uint32_t));
    FUZZ_CHECK((pInput[4] & 0xFFFF) == 0xB2, "a request on port 0x%X", (unsigned)pInput[4]);
    if ((pInput[1] & 0xFF) == 0xD9) {
        pOutput[2] = 0xC0000001u; // no communication buffer to lend
        return;
    }
    if (pInput[1] == 0x534D0040 && pInput[3] == 0xFFFFFFFFu) {
        pOutput[0] = 0;
        pOutput[2] = TpmAnswer; // the current TPM mode
        return;
    }
    FUZZ_CHECK(pInput[1] == 0x534D3220, "request EAX %08X before the class rules",
               (unsigned)pInput[1]);
    RulesChecked = true;
    longjmp(*pFirstRequest, 1);
}

// A word of the option table that the primary or the extended pass claims.
bool IsOptionWord(const char* pWord) {
    return FindOption(pWord, OPTION_CLASS_PRIMARY) != NULL ||
           FindOption(pWord, OPTION_CLASS_EXTENDED) != NULL;
}

bool IsKnownWord(const char* pWord) {
    for (uint32_t Row = 0; Row < GetSettingOptionCount(); Row++) {
        if (WordEquals(pWord, SettingOptionTable[Row].Name)) {
            return true;
        }
    }
    return IsOptionWord(pWord);
}

struct Iteration {
    FuzzCommandLine* pLine;
};

void RunOnce(void* pContext) {
    Iteration* pIteration = (Iteration*)pContext;
    jmp_buf Target;
    if (setjmp(Target) != 0) {
        return; // reached the first request after the rules
    }
    pFirstRequest = &Target;
    RunCrestune(pIteration->pLine->argc, pIteration->pLine->argv);
    FUZZ_CHECK(false, "%s", "the run ended without a firmware request");
}

void CheckAcceptedRun(const FuzzCommandLine& Line) {
    FUZZ_CHECK(Line.argc > 1 && Line.argv[1][0] == '/', "%s", "no command word first");
    for (int Index = 1; Index < Line.argc; Index++) {
        const char* pWord = Line.argv[Index];
        if (pWord[0] != '/') {
            continue;
        }
        FUZZ_CHECK(FindOption(pWord, OPTION_CLASS_HELP) == NULL, "help word %s accepted", pWord);
        FUZZ_CHECK(IsKnownWord(pWord), "unknown word %s accepted", pWord);
        const bool Setting = !IsOptionWord(pWord);
        for (int Other = Index + 1; Other < Line.argc && !Setting; Other++) {
            FUZZ_CHECK(!WordEquals(pWord, Line.argv[Other]), "word %s given twice", pWord);
        }
    }
    const bool PasswordChange = Run.ChangeAdminPassword || Run.ChangePowerOnPassword;
    const int Primary =
        (int)Run.LoadDefault + (int)Run.BackupMode + (int)Run.RestoreMode + (int)PasswordChange;
    uint32_t Settings = 0;
    for (uint32_t Row = 0; Row < GetSettingOptionCount(); Row++) {
        Settings += SettingSelection[Row].Selected ? 1 : 0;
    }
    FUZZ_CHECK((Primary == 1 && Settings == 0) || (Primary == 0 && Settings > 0),
               "%d primary operations and %u settings accepted", Primary, (unsigned)Settings);
    if (Run.BackupMode || Run.RestoreMode) {
        FUZZ_CHECK(Run.FileName != NULL, "%s", "backup or restore without a file name");
    }
    if (Run.ChangeAdminPassword && !Run.ClearAdminPassword) {
        FUZZ_CHECK(Run.strInputNewAdp != NULL && strlen(Run.strInputNewAdp) <= 64, "%s",
                   "administrator password change without a valid new password");
    }
    if (Run.ChangePowerOnPassword && !Run.ClearPowerOnPassword) {
        FUZZ_CHECK(Run.strInputNewPop != NULL && strlen(Run.strInputNewPop) <= 64, "%s",
                   "power-on password change without a valid new password");
    }
    FUZZ_CHECK(Run.PasswordGiven == (Run.CurrentPassword != NULL), "%s",
               "current password flag and text disagree");
    if (Run.CurrentPassword != NULL) {
        FUZZ_CHECK(strlen(Run.CurrentPassword) <= 64, "%s", "current password over 64 characters");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A TPM switch waits for a confirmation: end of input declines it.
    if (freopen("/dev/null", "r", stdin) == NULL) {
        abort();
    }
    FuzzPlatform.pMemory = &kTables;
    FuzzPlatform.pTrigger = AnswerRequest;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 1) {
        return 0;
    }
    static const uint32_t kTpmAnswers[4] = {1, 2, 4, 3};
    TpmAnswer = kTpmAnswers[pData[0] & 3];
    static FuzzCommandLine Line;
    SplitCommandLine(pData + 1, Size - 1, CRESTUNE_FILE_NAME, &Line);
    ResetRunState();
    RulesChecked = false;
    Iteration It = {&Line};
    int Status = 0;
    if (RunOnLowStackUntilExit(RunOnce, &It, &Status)) {
        const uint32_t Code = (uint32_t)Status;
        FUZZ_CHECK(Code == EXIT_INVALID_ARGUMENT || Code == EXIT_BAD_SCAN_CODE || Code == EXIT_OK ||
                       Code == EXIT_SMI_FAILED,
                   "exit status %08X from the command line", (unsigned)Code);
        FUZZ_CHECK(!RulesChecked, "%s", "exit after the class rules");
        FUZZ_CHECK(Code != EXIT_SMI_FAILED || TpmAnswer == 3, "%s",
                   "port SMI failure without an unknown TPM mode");
        FUZZ_CHECK(Run.SettingFile == NULL, "%s", "a file open at the end of a refused run");
    } else {
        FUZZ_CHECK(RulesChecked, "%s", "the run returned without reaching the first request");
        CheckAcceptedRun(Line);
    }
    return 0;
}
