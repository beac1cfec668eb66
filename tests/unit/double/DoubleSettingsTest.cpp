// The double's core: setting requests and queries, the TPM item, the settings image and the
// communication buffer service.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "Double/DoubleCore.h"
#include "Double/SettingsImage.h"
#include "Simulator/FirmwareState.h"

namespace {

constexpr uint32_t kArea = 0x20000; // 128 KiB of memory below 4 GiB
constexpr size_t kHashAt = 0;
constexpr size_t kImageAt = 0x1000;

class DoubleSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        void* pArea = mmap(nullptr, kArea, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        ASSERT_NE(pArea, MAP_FAILED);
        pLow = static_cast<uint8_t*>(pArea);
        DoubleInitState(&State);
    }
    void TearDown() override { munmap(pLow, kArea); }

    uint32_t Address(size_t Offset) const { return (uint32_t)(uintptr_t)(pLow + Offset); }

    // The current password hash the program hands with a checked request.
    uint32_t CurrentHash(const std::string& Password) {
        uint8_t Hash[DOUBLE_HASH_SIZE] = {};
        if (!Password.empty()) {
            EXPECT_TRUE(sim::HashPasswordText(Password, Hash));
        }
        std::memcpy(pLow + kHashAt, Hash, sizeof Hash);
        return Address(kHashAt);
    }

    void InstallAdmin(const std::string& Password) {
        State.AdminInstalled = 1;
        EXPECT_TRUE(sim::HashPasswordText(Password, State.AdminHash));
    }

    // A setting request as the program sends it: EDI = the current hash.
    DoubleRegisters Set(uint32_t Eax, uint32_t Ebx, uint32_t Ecx, const std::string& Password = "",
                        DoubleOutcome* pOutcome = nullptr) {
        DoubleRegisters Regs = {Eax, Ebx, Ecx, 0xB2, 0, CurrentHash(Password)};
        const DoubleOutcome Outcome = DoubleHandleSmi(&State, (uint8_t)Eax, &Regs);
        if (pOutcome != nullptr) {
            *pOutcome = Outcome;
        }
        return Regs;
    }

    uint32_t Value(uint32_t Item) const {
        for (uint32_t I = 0; I < State.SettingCount; I++) {
            if (State.Settings[I].Item == Item) {
                return State.Settings[I].Value;
            }
        }
        ADD_FAILURE() << "no item " << Item;
        return 0;
    }

    // Backup size query and backup data, as the program sends them.
    uint32_t ImageSize() {
        DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0A,           16, 0xB2,
                                Address(kImageAt),     CurrentHash("")};
        EXPECT_EQ(DoubleHandleSmi(&State, 0x40, &Regs).Answered, 1);
        EXPECT_EQ(Regs.Eax, 0u);
        return Regs.Ecx;
    }
    std::vector<uint8_t> Backup() {
        const uint32_t Size = ImageSize();
        EXPECT_LE(Size, kArea - kImageAt);
        DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0A,           Size, 0xB2,
                                Address(kImageAt),     CurrentHash("")};
        const DoubleOutcome Outcome = DoubleHandleSmi(&State, 0x40, &Regs);
        EXPECT_EQ(Regs.Eax, 0u);
        EXPECT_EQ(Outcome.OutputWritten, 1);
        return std::vector<uint8_t>(pLow + kImageAt, pLow + kImageAt + Size);
    }
    DoubleRegisters Restore(const std::vector<uint8_t>& Image, DoubleOutcome* pOutcome = nullptr) {
        if (!Image.empty()) {
            std::memcpy(pLow + kImageAt, Image.data(), Image.size());
        }
        DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0B,           (uint32_t)Image.size(), 0xB2,
                                Address(kImageAt),     CurrentHash("")};
        const DoubleOutcome Outcome = DoubleHandleSmi(&State, 0x40, &Regs);
        if (pOutcome != nullptr) {
            *pOutcome = Outcome;
        }
        return Regs;
    }

    uint8_t* pLow = nullptr;
    DoubleState State;
};

void Put32(std::vector<uint8_t>& Bytes, size_t Offset, uint32_t Value) {
    for (int I = 0; I < 4; I++) {
        Bytes[Offset + I] = (uint8_t)(Value >> (8 * I));
    }
}

// Recomputes the image's check value after a change.
void Reseal(std::vector<uint8_t>& Image) {
    const uint32_t Body = (uint32_t)Image.size() - 4;
    Put32(Image, Body, DoubleCrc32(0, Image.data(), Body));
}

TEST(DoubleCrc32, KnownValuesAndPieces) {
    const uint8_t* pText = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(DoubleCrc32(0, pText, 9), 0xCBF43926u);
    EXPECT_EQ(DoubleCrc32(DoubleCrc32(0, pText, 4), pText + 4, 5), 0xCBF43926u);
    EXPECT_EQ(DoubleCrc32(0, pText, 0), 0u);
}

TEST_F(DoubleSettings, SetupItemsAcceptTheirValuesOnly) {
    const struct {
        const char* pName;
        uint32_t Item, Ecx;
        uint8_t Workstation, BootAgent;
        uint32_t WantStatus;
    } Cases[] = {
        {"csm disable", 0x11, 0, 0, 1, 0},
        {"csm code 2", 0x11, 2, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"vga 1024mb", 0x05, 5, 0, 1, 0},
        {"vga code 6", 0x05, 6, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"sata mode optane", 0x0C, 3, 0, 1, 0},
        {"sSATA code 3", 0xA3, 3, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"misc2 7", 0xFF, 7, 0, 1, 0},
        {"misc2 8", 0xFF, 8, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"tbt slot10", 0xAB, 9, 0, 1, 0},
        {"pbs sata10", 0x01, 0x1A, 0, 1, 0},
        {"ebs fdd", 0x02, 0x01, 0, 1, 0},
        {"abs VMD3", 0x03, 0xD3, 0, 1, 0},
        {"mbs ufdd_group", 0x1D, 0x30, 0, 1, 0},
        {"boot code 0", 0x01, 0x00, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"boot code between sata10 and Mezz", 0x01, 0x1C, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"boot code past PCIe slot 9", 0x1D, 0xBA, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"SATA hot plug all ports", 0xA9, 0x3FF, 0, 1, 0},
        {"SATA hot plug port 11", 0xA9, 0x400, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"VMD on a workstation", 0xAE, 0xF000, 1, 1, 0},
        {"VMD on a desktop", 0xAE, 0x1, 0, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"VMD bit 16", 0xAE, 0x10000, 1, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"pxe enable", 0x16, 1, 0, 1, 0},
        {"pxe smc on a workstation", 0x16, 2, 1, 1, 0},
        {"pxe smc on a desktop", 0x16, 2, 0, 1, DOUBLE_STATUS_FORBIDDEN},
        {"pxe without the variable", 0x16, 0, 1, 0, DOUBLE_STATUS_NOT_PRESENT},
        {"pxe smc, desktop, no variable", 0x16, 2, 0, 0,
         DOUBLE_STATUS_NOT_PRESENT | DOUBLE_STATUS_FORBIDDEN},
        {"pxe code 3", 0x16, 3, 1, 1, DOUBLE_STATUS_INVALID_ARGUMENT},
        {"item without a setting", 0x07, 0, 0, 1, DOUBLE_STATUS_UNSUPPORTED},
    };
    for (const auto& C : Cases) {
        DoubleInitState(&State);
        State.Workstation = C.Workstation;
        State.BootAgentVariable = C.BootAgent;
        const DoubleState Before = State;
        const DoubleRegisters Out = Set(DOUBLE_FUNCTION_SETUP, C.Item, C.Ecx);
        EXPECT_EQ(Out.Eax, C.WantStatus) << C.pName;
        EXPECT_EQ(Out.Ecx, C.Ecx) << C.pName;
        if (C.WantStatus == 0) {
            EXPECT_EQ(Value(C.Item), C.Ecx) << C.pName;
        } else {
            EXPECT_EQ(std::memcmp(&Before, &State, sizeof State), 0) << C.pName;
        }
    }
}

TEST_F(DoubleSettings, SettingsNeedThePasswordButBadValuesCostNoRetry) {
    InstallAdmin("abc");
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 0, "wrong").Eax, DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(Value(0x11), 1u);
    EXPECT_EQ(State.RetryCount, 1u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 5, "wrong").Eax, DOUBLE_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(State.RetryCount, 1u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_ME, 3, 1, "wrong").Eax, DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_HIDDEN, 0, 0, "wrong").Eax, DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(State.RetryCount, 3u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 0, "abc").Eax, DOUBLE_STATUS_RETRY_EXCEEDED);
    State.RetryCount = 0;
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 0, "abc").Eax, 0u);
    EXPECT_EQ(Value(0x11), 0u);
    // The TPM mode read hands no hash (EDI 0) and is not checked.
    DoubleRegisters Read = {DOUBLE_FUNCTION_SETUP, 4, DOUBLE_TPM_READ, 0xB2, 0, 0};
    DoubleHandleSmi(&State, 0x40, &Read);
    EXPECT_EQ(Read.Eax, 0u);
    EXPECT_EQ(Read.Ecx, DOUBLE_TPM_FTPM20);
    // Every other request of the item is: without a hash address it is refused.
    DoubleRegisters Switch = {DOUBLE_FUNCTION_SETUP, 4, 8, 0xB2, 0, 0};
    DoubleHandleSmi(&State, 0x40, &Switch);
    EXPECT_EQ(Switch.Eax, DOUBLE_STATUS_INVALID_ARGUMENT);
}

TEST_F(DoubleSettings, TpmCodesSwitchTheDevice) {
    const struct {
        uint8_t Mode;
        uint32_t Code;
        uint32_t WantStatus;
        uint32_t WantMode;
    } Cases[] = {
        {DOUBLE_TPM_FTPM20, 0, 0, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_FTPM20, 2, 0, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_DTPM12, 4, 0, DOUBLE_TPM_FTPM20},
        {DOUBLE_TPM_DTPM20, 6, 0, DOUBLE_TPM_FTPM20},
        {DOUBLE_TPM_FTPM20, 7, 0, DOUBLE_TPM_DTPM20},
        {DOUBLE_TPM_NONE, 8, 0, DOUBLE_TPM_DTPM20},
        {DOUBLE_TPM_DTPM12, 1, 0, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_DTPM12, 3, DOUBLE_STATUS_INVALID_ARGUMENT, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_DTPM12, 5, DOUBLE_STATUS_INVALID_ARGUMENT, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_DTPM12, 9, DOUBLE_STATUS_INVALID_ARGUMENT, DOUBLE_TPM_DTPM12},
        {DOUBLE_TPM_DTPM12, 0xFFFFFFFE, DOUBLE_STATUS_INVALID_ARGUMENT, DOUBLE_TPM_DTPM12},
    };
    for (const auto& C : Cases) {
        State.TpmMode = C.Mode;
        State.TpmCode = 1;
        EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 4, C.Code).Eax, C.WantStatus) << C.Code;
        EXPECT_EQ(State.TpmCode, C.WantStatus == 0 ? C.Code : 1u) << C.Code;
        const DoubleRegisters Read = Set(DOUBLE_FUNCTION_SETUP, 4, DOUBLE_TPM_READ);
        EXPECT_EQ(Read.Eax, 0u);
        EXPECT_EQ(Read.Ecx, C.WantMode) << C.Code;
    }
}

TEST_F(DoubleSettings, QueriesAnswerInEcxBitZero) {
    const struct {
        const char* pName;
        uint32_t Eax, Ebx, Ecx;
        uint32_t WantStatus, WantEcx;
    } Steps[] = {
        {"PAP mode starts custom", DOUBLE_FUNCTION_SETUP, 0x20, 0x77, 0, 0},
        {"set PAP normal", DOUBLE_FUNCTION_SETUP, 0x21, 1, 0, 1},
        {"PAP mode now normal", DOUBLE_FUNCTION_SETUP, 0x20, 0x77, 0, 1},
        {"set PAP code 2", DOUBLE_FUNCTION_SETUP, 0x21, 2, DOUBLE_STATUS_INVALID_ARGUMENT, 2},
        {"PAP mode still normal", DOUBLE_FUNCTION_SETUP, 0x20, 0, 0, 1},
        {"Computrace starts visible", DOUBLE_FUNCTION_CPT_HIDDEN, 0, 0x77, 0, 0},
        {"hide Computrace", DOUBLE_FUNCTION_CPT_HIDDEN, 1, 1, 0, 1},
        {"Computrace now hidden", DOUBLE_FUNCTION_CPT_HIDDEN, 0, 0, 0, 1},
        {"Computrace code 2", DOUBLE_FUNCTION_CPT_HIDDEN, 1, 2, DOUBLE_STATUS_INVALID_ARGUMENT, 2},
        {"Computrace item 2", DOUBLE_FUNCTION_CPT_HIDDEN, 2, 0, DOUBLE_STATUS_UNSUPPORTED, 0},
    };
    for (const auto& S : Steps) {
        const DoubleRegisters Out = Set(S.Eax, S.Ebx, S.Ecx);
        EXPECT_EQ(Out.Eax, S.WantStatus) << S.pName;
        EXPECT_EQ(Out.Ecx, S.WantEcx) << S.pName;
    }
}

TEST_F(DoubleSettings, ComputraceMessageAndPermanentDisable) {
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_MESSAGE_OFF, 0, 0).Eax, 0u);
    EXPECT_EQ(State.ComputraceMessage, 0);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_MESSAGE_ON, 0, 0).Eax, 0u);
    EXPECT_EQ(State.ComputraceMessage, 1);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_MESSAGE_OFF, 0, 1).Eax, DOUBLE_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(State.ComputraceMessage, 1);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_DISABLE, 0, 0).Eax, 0u);
    EXPECT_EQ(State.ComputraceDisabled, 1);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_DISABLE, 1, 0).Eax, DOUBLE_STATUS_UNSUPPORTED);
}

TEST_F(DoubleSettings, MeControlGpio) {
    const struct {
        const char* pName;
        uint8_t Present, MfgDone, Value;
        uint32_t Code;
        uint32_t WantStatus, WantEcx, WantValue;
    } Cases[] = {
        {"status", 1, 0, 1, 2, 0, 1, 1},
        {"enable", 1, 0, 0, 1, 0, 1, 1},
        {"disable", 1, 0, 1, 0, 0, 0, 0},
        {"no GPIO", 0, 0, 0, 2, DOUBLE_STATUS_NOT_PRESENT, 2, 0},
        {"no GPIO, mfg done, change", 0, 1, 0, 1, DOUBLE_STATUS_NOT_PRESENT, 1, 0},
        {"mfg done, change", 1, 1, 0, 1, DOUBLE_STATUS_FORBIDDEN, 1, 0},
        {"mfg done, no change", 1, 1, 1, 1, 0, 1, 1},
        {"mfg done, status", 1, 1, 0, 2, 0, 0, 0},
        {"code 3", 1, 0, 0, 3, DOUBLE_STATUS_INVALID_ARGUMENT, 3, 0},
    };
    for (const auto& C : Cases) {
        State.MeGpioPresent = C.Present;
        State.MfgDone = C.MfgDone;
        State.MeGpioValue = C.Value;
        const DoubleRegisters Out = Set(DOUBLE_FUNCTION_ME, 3, C.Code);
        EXPECT_EQ(Out.Eax, C.WantStatus) << C.pName;
        EXPECT_EQ(Out.Ecx, C.WantEcx) << C.pName;
        EXPECT_EQ(State.MeGpioValue, C.WantValue) << C.pName;
    }
}

TEST_F(DoubleSettings, LoadDefaultsResetsTheStoreOnly) {
    State.Workstation = 1;
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 0).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0xAE, 0xFFF).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x21, 1).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 4, 8).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 9, 0).Eax, 0u);
    uint32_t Count = 0;
    const DoubleSettingDef* pCatalogue = DoubleSettingCatalogue(&Count);
    ASSERT_EQ(State.SettingCount, Count);
    for (uint32_t I = 0; I < Count; I++) {
        EXPECT_EQ(State.Settings[I].Value, pCatalogue[I].DefaultValue) << pCatalogue[I].Item;
    }
    EXPECT_EQ(State.PapNormal, 1);
    EXPECT_EQ(State.TpmMode, DOUBLE_TPM_DTPM20);
}

TEST_F(DoubleSettings, ImageRoundTrip) {
    State.Workstation = 1;
    const std::vector<uint8_t> Saved = Backup();
    ASSERT_EQ(Saved.size(), 24u + 8u * State.SettingCount);
    EXPECT_EQ(std::string(Saved.begin(), Saved.begin() + 4), "DSIM");
    EXPECT_EQ(Backup(), Saved); // the same machine gives the same image
    const DoubleState Original = State;

    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x11, 0).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x01, 0x71).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0xAE, 0x3000).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_SETUP, 0x21, 1).Eax, 0u);
    EXPECT_EQ(Set(DOUBLE_FUNCTION_CPT_HIDDEN, 1, 1).Eax, 0u);
    EXPECT_NE(Backup(), Saved);

    const DoubleRegisters Out = Restore(Saved);
    EXPECT_EQ(Out.Eax, 0u);
    EXPECT_EQ(std::memcmp(&State, &Original, sizeof State), 0);
}

TEST_F(DoubleSettings, BackupRefusesAnotherLengthAndAWrongPassword) {
    const uint32_t Size = ImageSize();
    std::memset(pLow + kImageAt, 0xAB, Size + 1);
    for (uint32_t Ecx : {Size - 1, Size + 1, 0u, 17u}) {
        DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0A,           Ecx, 0xB2,
                                Address(kImageAt),     CurrentHash("")};
        const DoubleOutcome Outcome = DoubleHandleSmi(&State, 0x40, &Regs);
        EXPECT_EQ(Regs.Eax, DOUBLE_STATUS_INVALID_ARGUMENT) << Ecx;
        EXPECT_EQ(Outcome.OutputWritten, 0) << Ecx;
    }
    InstallAdmin("abc");
    DoubleRegisters Regs = {DOUBLE_FUNCTION_SETUP, 0x0A, Size, 0xB2, Address(kImageAt),
                            CurrentHash("wrong")};
    DoubleHandleSmi(&State, 0x40, &Regs);
    EXPECT_EQ(Regs.Eax, DOUBLE_STATUS_BAD_PASSWORD);
    DoubleRegisters Query = {DOUBLE_FUNCTION_SETUP, 0x0A, 16, 0xB2, Address(kImageAt),
                             CurrentHash("wrong")};
    DoubleHandleSmi(&State, 0x40, &Query);
    EXPECT_EQ(Query.Eax, DOUBLE_STATUS_BAD_PASSWORD);
    EXPECT_EQ(Query.Ecx, 16u);
    // Nothing was written past or into the buffer.
    for (uint32_t I = 0; I <= Size; I++) {
        ASSERT_EQ(pLow[kImageAt + I], 0xAB) << I;
    }
}

TEST_F(DoubleSettings, RestoreRefusesImagesItCannotApply) {
    const std::vector<uint8_t> Good = Backup();
    const auto Changed = [&](void (*pChange)(std::vector<uint8_t>&), bool Seal) {
        std::vector<uint8_t> Image = Good;
        pChange(Image);
        if (Seal) {
            Reseal(Image);
        }
        return Image;
    };
    const struct {
        const char* pName;
        std::vector<uint8_t> Image;
        const char* pDetail;
    } Cases[] = {
        {"empty", {}, "image too short"},
        {"23 bytes", std::vector<uint8_t>(Good.begin(), Good.begin() + 23), "image too short"},
        {"magic", Changed([](std::vector<uint8_t>& I) { I[0] = 'X'; }, true), "bad magic"},
        {"version 2", Changed([](std::vector<uint8_t>& I) { I[4] = 2; }, true), "unknown version"},
        {"129 items", Changed([](std::vector<uint8_t>& I) { I[6] = 129; }, true), "too many items"},
        {"one item fewer", Changed([](std::vector<uint8_t>& I) { I[6]--; }, true),
         "length does not match"},
        {"padding announced", Changed([](std::vector<uint8_t>& I) { I[12] = 1; }, true),
         "length does not match"},
        {"huge padding", Changed([](std::vector<uint8_t>& I) { Put32(I, 12, 0xFFFFFFF0u); }, true),
         "length does not match"},
        {"one byte more", Changed([](std::vector<uint8_t>& I) { I.push_back(0); }, false),
         "length does not match"},
        {"value changed, check not", Changed([](std::vector<uint8_t>& I) { I[24] ^= 1; }, false),
         "check value wrong"},
        {"check value changed", Changed([](std::vector<uint8_t>& I) { I.back() ^= 0x80; }, false),
         "check value wrong"},
        {"unknown flag", Changed([](std::vector<uint8_t>& I) { I[8] = 4; }, true), "unknown flags"},
        {"unknown item", Changed([](std::vector<uint8_t>& I) { Put32(I, 20, 0x07); }, true),
         "unknown item"},
        {"TPM item", Changed([](std::vector<uint8_t>& I) { Put32(I, 20, 0x04); }, true),
         "unknown item"},
        {"item twice", Changed([](std::vector<uint8_t>& I) { Put32(I, 28, 0x01); }, true),
         "item repeated"},
        {"invalid boot code", Changed([](std::vector<uint8_t>& I) { Put32(I, 24, 0x00); }, true),
         "invalid value"},
        {"invalid csm code",
         Changed(
             [](std::vector<uint8_t>& I) {
                 for (size_t At = 20; At + 8 < I.size(); At += 8) {
                     if (I[At] == 0x11) {
                         Put32(I, At + 4, 2);
                     }
                 }
             },
             true),
         "invalid value"},
    };
    InstallAdmin("abc");
    for (const auto& C : Cases) {
        State.RetryCount = 0;
        const DoubleState Before = State;
        DoubleOutcome Outcome;
        const DoubleRegisters Out = Restore(C.Image, &Outcome);
        EXPECT_EQ(Out.Eax, DOUBLE_STATUS_INVALID_ARGUMENT) << C.pName;
        ASSERT_NE(Outcome.pDetail, nullptr) << C.pName;
        EXPECT_STREQ(Outcome.pDetail, C.pDetail) << C.pName;
        EXPECT_EQ(std::memcmp(&Before, &State, sizeof State), 0) << C.pName; // no retry either
    }
    // A good image still needs the password.
    EXPECT_EQ(Restore(Good).Eax, DOUBLE_STATUS_BAD_PASSWORD);
    // An image with fewer items restores those it names.
    State.RetryCount = 0;
    State.AdminInstalled = 0;
    std::vector<uint8_t> One(Good.begin(), Good.begin() + 28);
    One[6] = 1;
    Put32(One, 20, 0x11);
    Put32(One, 24, 0);
    One.resize(32);
    Reseal(One);
    EXPECT_EQ(Restore(One).Eax, 0u);
    EXPECT_EQ(Value(0x11), 0u);
    EXPECT_EQ(Value(0x01), 0x11u);
}

TEST_F(DoubleSettings, PaddedImagesAreGeneratedAndChecked) {
    State.ImageSize = 0x10000;
    std::vector<uint8_t> Image = Backup();
    ASSERT_EQ(Image.size(), 0x10000u);
    EXPECT_EQ(Backup(), Image);
    State.ImageSeed = 99;
    const std::vector<uint8_t> OtherSeed = Backup();
    EXPECT_NE(OtherSeed, Image);
    EXPECT_EQ(std::vector<uint8_t>(OtherSeed.begin(), OtherSeed.begin() + 16),
              std::vector<uint8_t>(Image.begin(), Image.begin() + 16));
    EXPECT_EQ(Restore(OtherSeed).Eax, 0u); // the padding is opaque filler

    Image[0x8000] ^= 0xFF; // padding is covered by the check value
    DoubleOutcome Outcome;
    EXPECT_EQ(Restore(Image, &Outcome).Eax, DOUBLE_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(Outcome.pDetail, "check value wrong");

    State.ImageSize = 0;
    State.ImagePadding = 1000;
    EXPECT_EQ(ImageSize(), 24u + 8u * State.SettingCount + 1000u);
}

TEST_F(DoubleSettings, CommBufferLockAndRelease) {
    State.CommBufferGrant = 1;
    State.CommBufferAddress = Address(0x2000);
    State.CommBufferSize = 0x1000;
    State.CommDescriptorAddress = Address(0x1FF0);
    State.CommBufferMaxSize = 0x55; // not reported while a buffer is lent
    const struct {
        const char* pName;
        uint32_t Ecx, Size;
        uint32_t WantEcx, WantEsi, WantEdi;
        uint8_t WantLocked;
    } Steps[] = {
        {"release while free", DOUBLE_COMM_RELEASE, 0, DOUBLE_STATUS_NOT_LOCKED, 0, 0x99, 0},
        {"lock too large", DOUBLE_COMM_LOCK, 0x1001, DOUBLE_STATUS_NO_BUFFER, 0x1000, 0x99, 0},
        {"lock", DOUBLE_COMM_LOCK, 0x1000, 0, Address(0x1FF0), 0, 1},
        {"second lock", DOUBLE_COMM_LOCK, 0x10, DOUBLE_STATUS_BUFFER_BUSY, 0x1000, 0x99, 1},
        {"release", DOUBLE_COMM_RELEASE, 0, 0, 0, 0x99, 0},
        {"second release", DOUBLE_COMM_RELEASE, 0, DOUBLE_STATUS_NOT_LOCKED, 0, 0x99, 0},
        {"lock again", DOUBLE_COMM_LOCK, 38, 0, Address(0x1FF0), 0, 1},
        {"other request", 0xC0000003u, 0, DOUBLE_STATUS_UNSUPPORTED, 0, 0x99, 1},
    };
    for (const auto& S : Steps) {
        DoubleRegisters Regs = {DOUBLE_SMI_COMM_BUFFER, 0, S.Ecx, 0xB2, S.Size, 0x99};
        DoubleHandleSmi(&State, DOUBLE_SMI_COMM_BUFFER, &Regs);
        EXPECT_EQ(Regs.Ecx, S.WantEcx) << S.pName;
        EXPECT_EQ(Regs.Esi, S.WantEsi) << S.pName;
        EXPECT_EQ(Regs.Edi, S.WantEdi) << S.pName;
        EXPECT_EQ(State.CommBufferLocked, S.WantLocked) << S.pName;
    }
    // The descriptor: the buffer's size, then its address, as 64-bit words.
    uint64_t Words[2];
    std::memcpy(Words, pLow + 0x1FF0, sizeof Words);
    EXPECT_EQ(Words[0], 0x1000u);
    EXPECT_EQ(Words[1], Address(0x2000));

    // A request whose buffers lie in the lent buffer is served as usual.
    std::memset(pLow + 0x2000, 0, 0x100);
    DoubleRegisters Hash = {DOUBLE_FUNCTION_PASSWORD, 1, 0, 0xB2, Address(0x2000 + 304), 0};
    DoubleHandleSmi(&State, 0x40, &Hash);
    EXPECT_EQ(Hash.Eax, 0u);

    // A buffer the service cannot reach is never lent.
    State.CommBufferLocked = 0;
    State.CommBufferAddress = 0xFFFFF000u;
    DoubleRegisters Regs = {DOUBLE_SMI_COMM_BUFFER, 0, DOUBLE_COMM_LOCK, 0xB2, 38, 1};
    DoubleHandleSmi(&State, DOUBLE_SMI_COMM_BUFFER, &Regs);
    EXPECT_EQ(Regs.Ecx, DOUBLE_STATUS_NO_BUFFER);
    EXPECT_EQ(State.CommBufferLocked, 0);
}

} // namespace
