// The double's core: requests with their buffers in memory below 4 GiB, as a program hands them.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Double/DoubleCore.h"
#include "Simulator/FirmwareState.h"

namespace {

constexpr uint8_t kSetupSmi = 0x40;
constexpr uint8_t kMfgSmi = 0x20;

// Pages below 4 GiB (ASan's heap lies above), the last one inaccessible.
class LowMemory {
  public:
    LowMemory() {
        pBase_ = static_cast<uint8_t*>(mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
        if (pBase_ == MAP_FAILED) {
            pBase_ = nullptr;
            return;
        }
        mprotect(pBase_ + kPage, kPage, PROT_READ);
        mprotect(pBase_ + 2 * kPage, kPage, PROT_NONE);
    }
    ~LowMemory() {
        if (pBase_ != nullptr) {
            munmap(pBase_, 3 * kPage);
        }
    }
    LowMemory(const LowMemory&) = delete;
    LowMemory& operator=(const LowMemory&) = delete;

    bool Valid() const { return pBase_ != nullptr; }
    void CopyToReadOnly(const void* pSource, size_t Count) {
        mprotect(pBase_ + kPage, kPage, PROT_READ | PROT_WRITE);
        std::memcpy(pBase_ + kPage, pSource, Count);
        mprotect(pBase_ + kPage, kPage, PROT_READ);
    }
    uint8_t* At(size_t Offset) const { return pBase_ + Offset; }
    uint32_t Address(size_t Offset) const { return (uint32_t)(uintptr_t)(pBase_ + Offset); }
    uint32_t ReadOnly() const { return Address(kPage); }
    uint32_t NoAccess() const { return Address(2 * kPage); }

    static constexpr size_t kPage = 4096;

  private:
    uint8_t* pBase_ = nullptr;
};

// Offsets of the buffers in the writable page.
constexpr size_t kPasswordBuffer = 0;
constexpr size_t kChangeRequest = 128;
constexpr size_t kCurrentHash = 256;

class DoubleCore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Memory.Valid());
        DoubleInitState(&State);
    }

    DoubleRegisters Smi(uint32_t Eax, uint32_t Ebx, uint32_t Ecx = 0, uint32_t Esi = 0,
                        uint32_t Edi = 0, DoubleOutcome* pOutcome = nullptr) {
        DoubleRegisters Regs = {Eax, Ebx, Ecx, 0xB2, Esi, Edi};
        const DoubleOutcome Outcome = DoubleHandleSmi(&State, (uint8_t)Eax, &Regs);
        if (pOutcome != nullptr) {
            *pOutcome = Outcome;
        }
        return Regs;
    }

    std::string Hash(const std::string& Text) {
        uint8_t Bytes[DOUBLE_HASH_SIZE];
        EXPECT_TRUE(sim::HashPasswordText(Text, Bytes));
        return std::string(reinterpret_cast<char*>(Bytes), sizeof Bytes);
    }

    // The current password hash the program hands with a checked request.
    uint32_t CurrentHash(const std::string& Hash12) {
        std::memcpy(Memory.At(kCurrentHash), Hash12.data(), DOUBLE_HASH_SIZE);
        return Memory.Address(kCurrentHash);
    }

    uint32_t ChangeRequest(uint8_t Type, const std::string& NewAdmin, const std::string& NewPop) {
        uint8_t* pRequest = Memory.At(kChangeRequest);
        std::memset(pRequest, 0, DOUBLE_CHANGE_REQUEST_SIZE);
        pRequest[0] = DOUBLE_CHANGE_MESSAGE_ID;
        pRequest[1] = Type;
        std::memcpy(pRequest + 2, NewAdmin.data(), NewAdmin.size());
        std::memcpy(pRequest + 14, NewPop.data(), NewPop.size());
        return Memory.Address(kChangeRequest);
    }

    uint32_t ChangePassword(uint8_t Type, const std::string& NewAdmin, const std::string& NewPop,
                            const std::string& Current) {
        return Smi(DOUBLE_FUNCTION_PASSWORD, 3, 0, ChangeRequest(Type, NewAdmin, NewPop),
                   CurrentHash(Current))
            .Eax;
    }

    uint32_t LoadDefaults(const std::string& Current) {
        return Smi(DOUBLE_FUNCTION_SETUP, 9, 0, 0, CurrentHash(Current)).Eax;
    }

    void InstallAdmin(const std::string& Text) {
        State.AdminInstalled = 1;
        std::memcpy(State.AdminHash, Hash(Text).data(), DOUBLE_HASH_SIZE);
    }

    const std::string kZero = std::string(DOUBLE_HASH_SIZE, '\0');
    LowMemory Memory;
    DoubleState State;
};

TEST_F(DoubleCore, RegisterOnlyRequests) {
    const struct {
        const char* pName;
        uint8_t MfgDone, Admin, PowerOn;
        uint32_t Eax, Ebx;
        uint32_t WantEax, WantEbx, WantEcx;
    } Cases[] = {
        {"mfg not done", 0, 0, 0, DOUBLE_FUNCTION_MFG, 0, 0, 0, 0x77},
        {"mfg done", 1, 0, 0, DOUBLE_FUNCTION_MFG, 0, 0, DOUBLE_MFG_DONE_BIT, 0x77},
        {"no password", 0, 0, 0, DOUBLE_FUNCTION_PASSWORD, 0, 0, 0, 0},
        {"admin password", 0, 1, 0, DOUBLE_FUNCTION_PASSWORD, 0, 0, 0, 1},
        {"power-on password", 0, 0, 1, DOUBLE_FUNCTION_PASSWORD, 0, 0, 0, 1},
        {"update checksum", 0, 0, 0, DOUBLE_FUNCTION_SETUP, 0, 0, 0, 0x77},
        {"unknown function", 0, 0, 0, 0x534D0540, 0, DOUBLE_STATUS_UNSUPPORTED, 0, 0x77},
        {"unknown number", 0, 0, 0, DOUBLE_FUNCTION_PASSWORD, 2, DOUBLE_STATUS_UNSUPPORTED, 2,
         0x77},
        {"mfg with number", 0, 0, 0, DOUBLE_FUNCTION_MFG, 1, DOUBLE_STATUS_UNSUPPORTED, 1, 0x77},
    };
    for (const auto& C : Cases) {
        DoubleInitState(&State);
        State.MfgDone = C.MfgDone;
        State.AdminInstalled = C.Admin;
        State.PowerOnInstalled = C.PowerOn;
        const DoubleRegisters Out = Smi(C.Eax, C.Ebx, 0x77, 0x1234, 0x5678);
        EXPECT_EQ(Out.Eax, C.WantEax) << C.pName;
        EXPECT_EQ(Out.Ebx, C.WantEbx) << C.pName;
        EXPECT_EQ(Out.Ecx, C.WantEcx) << C.pName;
        EXPECT_EQ(Out.Edx, 0xB2u) << C.pName;
        EXPECT_EQ(Out.Esi, 0x1234u) << C.pName;
        EXPECT_EQ(Out.Edi, 0x5678u) << C.pName;
    }
}

TEST_F(DoubleCore, ComputeHashReplacesFirstTwelveBytes) {
    uint8_t* pBuffer = Memory.At(kPasswordBuffer);
    std::memset(pBuffer, 0, DOUBLE_PASSWORD_BUFFER_SIZE);
    std::memcpy(pBuffer, "secret-password", 15);
    pBuffer[DOUBLE_PASSWORD_BUFFER_SIZE] = 0xEE; // just past the buffer

    DoubleOutcome Outcome;
    const DoubleRegisters Out =
        Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Memory.Address(kPasswordBuffer), 0, &Outcome);
    EXPECT_EQ(Out.Eax, 0u);
    EXPECT_TRUE(Outcome.OutputWritten);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pBuffer), 12), Hash("secret-password"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pBuffer + 12), 3), "ord");
    EXPECT_EQ(pBuffer[DOUBLE_PASSWORD_BUFFER_SIZE], 0xEE);
}

TEST_F(DoubleCore, ComputeHashRefusesUnterminatedText) {
    uint8_t* pBuffer = Memory.At(kPasswordBuffer);
    std::memset(pBuffer, 'x', DOUBLE_PASSWORD_BUFFER_SIZE);
    const DoubleRegisters Out =
        Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Memory.Address(kPasswordBuffer));
    EXPECT_EQ(Out.Eax, DOUBLE_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(pBuffer[0], 'x');
}

// Addresses the handlers cannot use are refused before anything is read, written or counted.
TEST_F(DoubleCore, UnusableAddressesAreInvalidArguments) {
    InstallAdmin("abc");
    const uint32_t Request = ChangeRequest(DOUBLE_CHANGE_ADMIN, kZero, "");
    const uint32_t Good = CurrentHash(Hash("abc"));
    const struct {
        const char* pName;
        uint32_t Ebx, Esi, Edi;
        uint32_t Eax = DOUBLE_FUNCTION_PASSWORD;
    } Cases[] = {
        {"hash of null", 1, 0, 0},
        {"hash wrapping past 4 GiB", 1, 0xFFFFFFF0u, 0},
        {"hash into read-only memory", 1, Memory.ReadOnly(), 0},
        {"hash of unmapped memory", 1, Memory.NoAccess(), 0},
        {"change request running into unmapped memory", 3, Memory.NoAccess() - 20, Good},
        {"change with null request", 3, 0, Good},
        {"change with null current hash", 3, Request, 0},
        {"change with unmapped current hash", 3, Request, Memory.NoAccess()},
        {"defaults with null current hash", 9, 0, 0, DOUBLE_FUNCTION_SETUP},
    };
    for (const auto& C : Cases) {
        const DoubleRegisters Out = Smi(C.Eax, C.Ebx, 0, C.Esi, C.Edi);
        EXPECT_EQ(Out.Eax, DOUBLE_STATUS_INVALID_ARGUMENT) << C.pName;
        EXPECT_EQ(State.AdminInstalled, 1) << C.pName;
        EXPECT_EQ(State.RetryCount, 0u) << C.pName;
    }

    // Reading is enough for an input: a request in read-only memory is accepted.
    Memory.CopyToReadOnly(Memory.At(kChangeRequest), DOUBLE_CHANGE_REQUEST_SIZE);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 3, 0, Memory.ReadOnly(), Good).Eax, 0u);
    EXPECT_EQ(State.AdminInstalled, 0);
}

TEST_F(DoubleCore, PasswordSetCheckAndClear) {
    // No password: the change needs no current password (zeros are handed).
    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_ADMIN, Hash("adm"), "", kZero), 0u);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 0).Ecx, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(State.AdminHash), 12), Hash("adm"));

    EXPECT_EQ(LoadDefaults(kZero), DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(State.RetryCount, 1u);
    EXPECT_EQ(LoadDefaults(Hash("adm")), 0u);
    EXPECT_EQ(State.RetryCount, 0u);

    // Setting the power-on password needs the administrator password; then either authorises.
    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_POWER_ON, kZero, Hash("pop"), Hash("pop")),
              DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(State.PowerOnInstalled, 0);
    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_POWER_ON, kZero, Hash("pop"), Hash("adm")), 0u);
    EXPECT_EQ(LoadDefaults(Hash("pop")), 0u);
    EXPECT_EQ(LoadDefaults(Hash("adm")), 0u);

    // Both at once: clear the administrator password, replace the power-on password.
    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_ADMIN | DOUBLE_CHANGE_POWER_ON, kZero, Hash("new"),
                             Hash("pop")),
              0u);
    EXPECT_EQ(State.AdminInstalled, 0);
    EXPECT_EQ(State.PowerOnInstalled, 1);
    EXPECT_EQ(LoadDefaults(Hash("adm")), DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(LoadDefaults(Hash("new")), 0u);

    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_POWER_ON, kZero, kZero, Hash("new")), 0u);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 0).Ecx, 0u);
    EXPECT_EQ(LoadDefaults(Hash("anything")), 0u); // nothing to check any more
}

TEST_F(DoubleCore, RetryLimitLocksTheMachine) {
    InstallAdmin("abc");
    for (int Attempt = 0; Attempt < 3; Attempt++) {
        EXPECT_EQ(LoadDefaults(Hash("wrong")), DOUBLE_STATUS_BAD_PASSWORD) << Attempt;
    }
    EXPECT_EQ(State.RetryCount, 3u);
    // Locked: the right password does not help, and nothing is counted further.
    EXPECT_EQ(LoadDefaults(Hash("abc")), DOUBLE_STATUS_RETRY_EXCEEDED);
    EXPECT_EQ(ChangePassword(DOUBLE_CHANGE_ADMIN, kZero, "", Hash("abc")),
              DOUBLE_STATUS_RETRY_EXCEEDED);
    EXPECT_EQ(State.AdminInstalled, 1);
    EXPECT_EQ(LoadDefaults(Hash("wrong")), DOUBLE_STATUS_RETRY_EXCEEDED);
    EXPECT_EQ(State.RetryCount, 3u);
    // Unchecked requests still answer.
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 0).Eax, 0u);

    State.RetryCount = 0; // a power cycle
    EXPECT_EQ(LoadDefaults(Hash("abc")), 0u);

    State.RetryLimit = 0; // no limit
    for (int Attempt = 0; Attempt < 10; Attempt++) {
        EXPECT_EQ(LoadDefaults(Hash("wrong")), DOUBLE_STATUS_BAD_PASSWORD);
    }
    EXPECT_EQ(LoadDefaults(Hash("abc")), 0u);
}

// A malformed change request is refused before the password is checked: no retry is counted.
TEST_F(DoubleCore, MalformedChangeRequests) {
    InstallAdmin("abc");
    const struct {
        const char* pName;
        size_t Offset;
        uint8_t Value;
        uint8_t Type;
    } Cases[] = {
        {"message id", 0, 0x11, DOUBLE_CHANGE_ADMIN},
        {"nothing to change", 1, 0x00, 0},
        {"unknown password bit", 1, 0x05, DOUBLE_CHANGE_ADMIN},
        {"admin hash without its bit", 2, 0x01, DOUBLE_CHANGE_POWER_ON},
        {"power-on hash without its bit", 25, 0x01, DOUBLE_CHANGE_ADMIN},
        {"reserved byte", 62, 0x01, DOUBLE_CHANGE_ADMIN},
    };
    for (const auto& C : Cases) {
        const uint32_t Request = ChangeRequest(C.Type, kZero, kZero);
        Memory.At(kChangeRequest)[C.Offset] = C.Value;
        const DoubleRegisters Out =
            Smi(DOUBLE_FUNCTION_PASSWORD, 3, 0, Request, CurrentHash(Hash("wrong")));
        EXPECT_EQ(Out.Eax, DOUBLE_STATUS_INVALID_ARGUMENT) << C.pName;
        EXPECT_EQ(State.RetryCount, 0u) << C.pName;
        EXPECT_EQ(State.AdminInstalled, 1) << C.pName;
    }
}

TEST_F(DoubleCore, LoadDefaultsRestoresEverySetting) {
    State.SettingCount = 2;
    State.Settings[0] = {DOUBLE_FUNCTION_SETUP, 0x11, 0, 1};
    State.Settings[1] = {DOUBLE_FUNCTION_SETUP, 0xA9, 0x3, 0x3FF};
    InstallAdmin("abc");
    EXPECT_EQ(LoadDefaults(Hash("wrong")), DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(State.Settings[0].Value, 0u);
    EXPECT_EQ(LoadDefaults(Hash("abc")), 0u);
    EXPECT_EQ(State.Settings[0].Value, 1u);
    EXPECT_EQ(State.Settings[1].Value, 0x3FFu);
}

TEST_F(DoubleCore, CommBufferServiceRefusesEveryLock) {
    State.CommBufferMaxSize = 0x1000;
    const struct {
        const char* pName;
        uint32_t Ecx, Size;
        uint32_t WantEcx, WantEsi;
    } Cases[] = {
        {"small lock", DOUBLE_COMM_LOCK, 38, DOUBLE_STATUS_NO_BUFFER, 0x1000},
        {"large lock", DOUBLE_COMM_LOCK, 0x100000, DOUBLE_STATUS_NO_BUFFER, 0x1000},
        {"release while not locked", DOUBLE_COMM_RELEASE, 38, DOUBLE_STATUS_NOT_LOCKED, 38},
        {"other request", 0xC0000003u, 38, DOUBLE_STATUS_UNSUPPORTED, 38},
    };
    for (const auto& C : Cases) {
        const DoubleRegisters Out = Smi(DOUBLE_SMI_COMM_BUFFER, 0, C.Ecx, C.Size, 1);
        EXPECT_EQ(Out.Ecx, C.WantEcx) << C.pName;
        EXPECT_EQ(Out.Esi, C.WantEsi) << C.pName;
        EXPECT_EQ(Out.Eax, DOUBLE_SMI_COMM_BUFFER) << C.pName;
        EXPECT_EQ(Out.Edi, 1u) << C.pName;
    }
}

TEST_F(DoubleCore, InjectedFaults) {
    const struct {
        const char* pName;
        DoubleInjection Entry;
        uint32_t Eax, Ebx, Ecx;
        uint32_t WantEax, WantEcx;
        bool WantAnswered;
    } Cases[] = {
        {"status for one request",
         {DOUBLE_INJECT_MATCH_EAX, DOUBLE_FUNCTION_MFG, 0, 0, 0x10, 1},
         DOUBLE_FUNCTION_MFG,
         0,
         5,
         0x10,
         5,
         true},
        {"no answer",
         {DOUBLE_INJECT_MATCH_EAX | DOUBLE_INJECT_NO_ANSWER, DOUBLE_FUNCTION_MFG, 0, 0, 0, 1},
         DOUBLE_FUNCTION_MFG,
         0,
         5,
         DOUBLE_FUNCTION_MFG,
         5,
         false},
        {"other EBX not matched",
         {DOUBLE_INJECT_MATCH_EAX | DOUBLE_INJECT_MATCH_EBX, DOUBLE_FUNCTION_PASSWORD, 1, 0, 8, 1},
         DOUBLE_FUNCTION_PASSWORD,
         0,
         5,
         0,
         0,
         true},
        {"any request", {DOUBLE_INJECT_ALWAYS, 0, 0, 0, 0x20, 0}, 0x534D0540, 7, 5, 0x20, 5, true},
        {"spent entry",
         {DOUBLE_INJECT_MATCH_EAX, DOUBLE_FUNCTION_MFG, 0, 0, 0x10, 0},
         DOUBLE_FUNCTION_MFG,
         0,
         5,
         0,
         5,
         true},
        {"comm buffer status in ECX",
         {DOUBLE_INJECT_MATCH_ECX, 0, 0, DOUBLE_COMM_RELEASE, 0x44, 1},
         DOUBLE_SMI_COMM_BUFFER,
         0,
         DOUBLE_COMM_RELEASE,
         DOUBLE_SMI_COMM_BUFFER,
         0x44,
         true},
    };
    for (const auto& C : Cases) {
        DoubleInitState(&State);
        State.InjectionCount = 1;
        State.Injections[0] = C.Entry;
        DoubleOutcome Outcome;
        const DoubleRegisters Out = Smi(C.Eax, C.Ebx, C.Ecx, 0x11, 0x22, &Outcome);
        EXPECT_EQ(Out.Eax, C.WantEax) << C.pName;
        EXPECT_EQ(Out.Ebx, C.Ebx) << C.pName;
        EXPECT_EQ(Out.Ecx, C.WantEcx) << C.pName;
        EXPECT_EQ(Out.Esi, 0x11u) << C.pName;
        EXPECT_EQ(Out.Edi, 0x22u) << C.pName;
        EXPECT_EQ(Outcome.Answered != 0, C.WantAnswered) << C.pName;
    }
}

TEST_F(DoubleCore, InjectionCountsDownAndDoesNothingElse) {
    State.InjectionCount = 2;
    State.Injections[0] = {DOUBLE_INJECT_MATCH_EAX | DOUBLE_INJECT_MATCH_EBX,
                           DOUBLE_FUNCTION_PASSWORD,
                           1,
                           0,
                           DOUBLE_STATUS_UNSUPPORTED,
                           2};
    State.Injections[1] = {DOUBLE_INJECT_MATCH_EAX, DOUBLE_FUNCTION_PASSWORD, 0, 0, 0x40, 1};
    uint8_t* pBuffer = Memory.At(kPasswordBuffer);
    std::memset(pBuffer, 0, DOUBLE_PASSWORD_BUFFER_SIZE);
    pBuffer[0] = 'a';
    const uint32_t Address = Memory.Address(kPasswordBuffer);

    // The first entry wins while it lasts; a failed request does not write its buffer.
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Address).Eax, DOUBLE_STATUS_UNSUPPORTED);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Address).Eax, DOUBLE_STATUS_UNSUPPORTED);
    EXPECT_EQ(pBuffer[0], 'a');
    EXPECT_EQ(State.Injections[0].Remaining, 0u);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Address).Eax, 0x40u);
    EXPECT_EQ(Smi(DOUBLE_FUNCTION_PASSWORD, 1, 0, Address).Eax, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pBuffer), 12), Hash("a"));
}

TEST_F(DoubleCore, DescribeNamesRequestsAndBuffers) {
    const struct {
        uint8_t Command;
        uint32_t Eax, Ebx, Ecx;
        const char* pName;
        uint32_t InputLength, OutputLength;
        bool HasHash;
    } Cases[] = {
        {kMfgSmi, DOUBLE_FUNCTION_MFG, 0, 0, "IsMfgDoneSet", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_PASSWORD, 0, 0, "CheckPasswordInstalled", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_PASSWORD, 1, 0, "ComputeHash", 65, 12, false},
        {kSetupSmi, DOUBLE_FUNCTION_PASSWORD, 3, 0, "ChangePassword", 63, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 9, 0, "LoadDefaults", 0, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 0, 0, "UpdateChecksum", 0, 0, false},
        {DOUBLE_SMI_COMM_BUFFER, 0xD9, 0, DOUBLE_COMM_LOCK, "CommBufferLock", 0, 0, false},
        {DOUBLE_SMI_COMM_BUFFER, 0xD9, 0, DOUBLE_COMM_RELEASE, "CommBufferRelease", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_ME, 3, 0, "MeControlGpio", 0, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_ME, 4, 0, "Unknown", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 0x11, 1, "SetSetting", 0, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 0x07, 1, "Unknown", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 4, 0xFFFFFFFF, "ReadTpmMode", 0, 0, false},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 4, 8, "SetTpm", 0, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 0x20, 0, "ReadPapMode", 0, 0, true},
        {kSetupSmi, DOUBLE_FUNCTION_SETUP, 0x0B, 0x300, "Restore", 0x300, 0, true},
        {kMfgSmi, DOUBLE_FUNCTION_CPT_HIDDEN, 0, 0, "ReadComputraceHidden", 0, 0, true},
        {kMfgSmi, DOUBLE_FUNCTION_CPT_DISABLE, 0, 0, "DisableComputracePermanently", 0, 0, true},
    };
    for (const auto& C : Cases) {
        const DoubleRegisters Regs = {C.Eax, C.Ebx, C.Ecx, 0xB2, 0x1000, 0x2000};
        DoubleRequestInfo Info;
        DoubleDescribeRequest(C.Command, &Regs, &Info);
        EXPECT_STREQ(Info.pName, C.pName);
        EXPECT_EQ(Info.InputLength, C.InputLength) << C.pName;
        EXPECT_EQ(Info.OutputLength, C.OutputLength) << C.pName;
        EXPECT_EQ(Info.HasHash != 0, C.HasHash) << C.pName;
        EXPECT_EQ(Info.InputAddress, C.InputLength ? 0x1000u : 0u) << C.pName;
        EXPECT_EQ(Info.HashAddress, C.HasHash ? 0x2000u : 0u) << C.pName;
    }
    // The backup request: ECX 16 asks for the size (a 16-byte block), any other ECX is the
    // length of the image's buffer.
    const struct {
        uint32_t Ecx;
        const char* pName;
    } Backups[] = {{16, "BackupSize"}, {0x168, "BackupData"}, {0, "BackupData"}};
    for (const auto& B : Backups) {
        const DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0A, B.Ecx, 0xB2, 0x1000, 0x2000};
        DoubleRequestInfo Info;
        DoubleDescribeRequest(kSetupSmi, &Regs, &Info);
        EXPECT_STREQ(Info.pName, B.pName);
        EXPECT_EQ(Info.OutputAddress, 0x1000u);
        EXPECT_EQ(Info.OutputLength, B.Ecx);
        EXPECT_EQ(Info.HashAddress, 0x2000u);
    }
}

} // namespace
