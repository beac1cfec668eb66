// The resident double's state and log files as the host reads and writes them.
#include "Smm/Host/SmmDoubleFiles.h"

#include <cstring>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Double/Sha256.h"
#include "Simulator/FirmwareState.h"

using nlohmann::json;

namespace {

DoubleState StateOf(const json& Section) {
    DoubleState State;
    std::string Error;
    EXPECT_TRUE(sim::FirmwareStateFromJson(Section, State, Error)) << Error;
    return State;
}

TEST(SmmStateFile, KeepsEverySectionThroughTheFile) {
    const json Sections[] = {
        json(),
        {{"mfg_done", true}, {"admin_password", "abc"}, {"retry_count", 2}, {"retry_limit", 5}},
        {{"power_on_password_hash", "00112233445566778899AABB"},
         {"comm_buffer", {{"max_size", "0x1000"}}},
         {"settings",
          {{{"function", "0x534D0040"}, {"item", "0x11"}, {"value", "0x1"}, {"default", "0x0"}}}},
         {"inject", {{{"eax", "0x534D3220"}, {"status", "0x80000000"}, {"times", 1}}}}},
    };
    for (const json& Section : Sections) {
        const DoubleState Original = StateOf(Section);
        DoubleState Read;
        std::string Error;
        ASSERT_TRUE(smm::ParseStateFile(smm::StateFileBytes(Original), Read, Error)) << Error;
        EXPECT_EQ(sim::FirmwareStateToJson(Read), sim::FirmwareStateToJson(Original))
            << Section.dump();
        EXPECT_EQ(std::memcmp(&Read, &Original, sizeof Read), 0);
    }
}

// A valid file with one change applied.
std::vector<uint8_t> Damaged(void (*pChange)(std::vector<uint8_t>&)) {
    DoubleState State;
    DoubleInitState(&State);
    std::vector<uint8_t> File = smm::StateFileBytes(State);
    pChange(File);
    return File;
}

TEST(SmmStateFile, RefusesDamagedFiles) {
    const struct {
        const char* pName;
        std::vector<uint8_t> File;
        const char* pReason;
    } Cases[] = {
        {"empty", {}, "shorter than its header"},
        {"log magic", Damaged([](std::vector<uint8_t>& F) { F[0] = 'X'; }), "wrong magic"},
        {"version 2", Damaged([](std::vector<uint8_t>& F) { F[8] = 2; }), "version 2"},
        {"one byte short", Damaged([](std::vector<uint8_t>& F) { F.pop_back(); }),
         "its header announces"},
        {"one byte long", Damaged([](std::vector<uint8_t>& F) { F.push_back(0); }),
         "its header announces"},
        {"smaller state", Damaged([](std::vector<uint8_t>& F) {
             F.resize(F.size() - 4);
             F[12] = (uint8_t)(F.size() - sizeof(SmmFileHeader));
             F[13] = (uint8_t)((F.size() - sizeof(SmmFileHeader)) >> 8);
         }),
         "this build's state has"},
        {"too many settings", Damaged([](std::vector<uint8_t>& F) {
             const uint32_t Count = DOUBLE_MAX_SETTINGS + 1;
             std::memcpy(F.data() + sizeof(SmmFileHeader) + offsetof(DoubleState, SettingCount),
                         &Count, sizeof Count);
         }),
         "more than the double keeps"},
    };
    for (const auto& Case : Cases) {
        DoubleState State;
        std::string Error;
        EXPECT_FALSE(smm::ParseStateFile(Case.File, State, Error)) << Case.pName;
        EXPECT_NE(Error.find(Case.pReason), std::string::npos) << Case.pName << ": " << Error;
        EXPECT_EQ(State.RetryLimit, (uint32_t)DOUBLE_DEFAULT_RETRY_LIMIT) << Case.pName;
    }
}

// Builds log files record by record, as the handler lays them out.
struct LogBuilder {
    std::vector<uint8_t> Records;
    uint32_t Count = 0;
    uint32_t Dropped = 0;

    void Add(SmmLogRecord Record, const std::vector<uint8_t>& Hash,
             const std::vector<uint8_t>& Input, const std::vector<uint8_t>& Output,
             const std::string& Detail = "") {
        const std::vector<uint8_t> DetailBytes(Detail.begin(), Detail.end());
        Record.HashLength = (uint32_t)Hash.size();
        Record.InputLength = (uint32_t)Input.size();
        Record.OutputLength = (uint32_t)Output.size();
        Record.DetailLength = (uint32_t)Detail.size();
        if (!(Record.Flags & SMM_LOG_INPUT_DIGEST)) {
            Record.InputTotal = Record.InputLength;
        }
        if (!(Record.Flags & SMM_LOG_OUTPUT_DIGEST)) {
            Record.OutputTotal = Record.OutputLength;
        }
        std::vector<uint8_t> Bytes(sizeof Record);
        for (const auto* pPart : {&Hash, &Input, &Output, &DetailBytes}) {
            Bytes.insert(Bytes.end(), pPart->begin(), pPart->end());
            Bytes.resize(Bytes.size() + SmmPad4((uint32_t)pPart->size()) - pPart->size());
        }
        Record.Size = (uint32_t)Bytes.size();
        std::memcpy(Bytes.data(), &Record, sizeof Record);
        Records.insert(Records.end(), Bytes.begin(), Bytes.end());
        Count++;
    }

    std::vector<uint8_t> File() const {
        const SmmFileHeader Header = {SMM_LOG_FILE_MAGIC, SMM_FILE_VERSION,
                                      (uint32_t)Records.size(), Count, Dropped};
        std::vector<uint8_t> Bytes(sizeof Header);
        std::memcpy(Bytes.data(), &Header, sizeof Header);
        Bytes.insert(Bytes.end(), Records.begin(), Records.end());
        return Bytes;
    }
};

SmmLogRecord Request(uint8_t Command, DoubleRegisters In, DoubleRegisters Out, uint8_t Flags) {
    SmmLogRecord Record;
    std::memset(&Record, 0, sizeof Record);
    Record.Command = Command;
    Record.In = In;
    Record.Out = Out;
    Record.Flags = Flags;
    Record.Sequence = 7;
    Record.Rip = 0x7E1238F1;
    Record.ImageBase = 0x7E120000;
    Record.ImageSize = 0x1C000;
    Record.ImageEntry = 0x2000;
    Record.CodeBytes[8] = 0xE6;
    return Record;
}

std::string Hex(const std::vector<uint8_t>& Bytes) {
    return sim::HexBytes(Bytes.data(), Bytes.size());
}

std::string Sha256Hex(const std::vector<uint8_t>& Bytes) {
    uint8_t Digest[SHA256_DIGEST_SIZE];
    Sha256(Bytes.data(), (uint32_t)Bytes.size(), Digest);
    return sim::HexBytes(Digest, sizeof Digest);
}

TEST(SmmLogFile, EventsCarryRegistersBuffersAndPlace) {
    LogBuilder Log;
    const DoubleRegisters HashIn = {0x534D0140, 1, 0, 0xB2, 0x1000, 0};
    DoubleRegisters HashOut = HashIn;
    HashOut.Eax = 0;
    const std::vector<uint8_t> Password(65, 0x61), Hash(12, 0xAB);
    Log.Add(Request(0x40, HashIn, HashOut,
                    SMM_LOG_ANSWERED | SMM_LOG_OUTPUT_WRITTEN | SMM_LOG_IMAGE_FOUND |
                        SMM_LOG_HAS_BUFFER),
            {}, Password, Hash);
    const DoubleRegisters ChangeIn = {0x534D0140, 3, 0, 0xB2, 0x2000, 0x3000};
    const std::vector<uint8_t> Given = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Log.Add(Request(0x40, ChangeIn, ChangeIn, SMM_LOG_HAS_BUFFER | SMM_LOG_IN_COMM_BUFFER), Given,
            {0x10, 0x01}, {}, "bad message id");
    // A settings image read: its bytes, and its length and digest as for every image.
    const DoubleRegisters BackupIn = {0x534D0040, 0x0A, 4, 0xB2, 0x4000, 0};
    const std::vector<uint8_t> Image = {0xDE, 0xAD, 0xBE, 0xEF};
    Log.Add(Request(0x40, BackupIn, BackupIn, SMM_LOG_ANSWERED | SMM_LOG_OUTPUT_WRITTEN), {}, {},
            Image);
    // A restore longer than the log keeps: the digest that the handler computed.
    const DoubleRegisters RestoreIn = {0x534D0040, 0x0B, 5000, 0xB2, 0x5000, 0};
    SmmLogRecord Long = Request(0x40, RestoreIn, RestoreIn, SMM_LOG_INPUT_DIGEST);
    Long.InputTotal = 5000;
    std::memset(Long.InputDigest, 0x5A, sizeof Long.InputDigest);
    Log.Add(Long, {}, {}, {});
    Log.Dropped = 3;

    std::vector<json> Events;
    std::string Error;
    ASSERT_TRUE(smm::ParseLogFile(Log.File(), Events, Error)) << Error;
    ASSERT_EQ(Events.size(), 5u);
    const json& HashEvent = Events[0];
    EXPECT_EQ(HashEvent["request"], "ComputeHash");
    EXPECT_EQ(HashEvent["port"], "0x00B2");
    EXPECT_EQ(HashEvent["value"], "0x40");
    EXPECT_EQ(HashEvent["esi"], "0x00001000");
    EXPECT_EQ(HashEvent["out_eax"], "0x00000000");
    EXPECT_EQ(HashEvent["input"], Hex(Password));
    EXPECT_EQ(HashEvent["output"], "ABABABABABABABABABABABAB");
    EXPECT_EQ(HashEvent["in_comm_buffer"], false);
    EXPECT_FALSE(HashEvent.contains("hash"));
    EXPECT_FALSE(HashEvent.contains("input_sha256")); // short, and no image
    EXPECT_FALSE(HashEvent.contains("detail"));
    EXPECT_EQ(HashEvent["answered"], true);
    EXPECT_EQ(HashEvent["rip"], "0x7E1238F1");
    EXPECT_EQ(HashEvent["image_base"], "0x7E120000");
    EXPECT_EQ(HashEvent["code"], "0000000000000000E600000000000000");

    const json& Change = Events[1];
    EXPECT_EQ(Change["request"], "ChangePassword");
    EXPECT_EQ(Change["hash"], "0102030405060708090A0B0C");
    EXPECT_EQ(Change["input"], "1001");
    EXPECT_EQ(Change["in_comm_buffer"], true);
    EXPECT_EQ(Change["detail"], "bad message id");
    EXPECT_FALSE(Change.contains("output")); // not written by the handler
    EXPECT_FALSE(Change.contains("image_base"));
    EXPECT_EQ(Change["answered"], false);

    const json& Backup = Events[2];
    EXPECT_EQ(Backup["request"], "BackupData");
    EXPECT_EQ(Backup["output"], "DEADBEEF");
    EXPECT_EQ(Backup["output_length"], 4);
    EXPECT_EQ(Backup["output_sha256"], Sha256Hex(Image));
    EXPECT_FALSE(Backup.contains("in_comm_buffer"));

    const json& Restore = Events[3];
    EXPECT_EQ(Restore["request"], "Restore");
    EXPECT_FALSE(Restore.contains("input"));
    EXPECT_EQ(Restore["input_length"], 5000);
    EXPECT_EQ(Restore["input_sha256"], Hex(std::vector<uint8_t>(32, 0x5A)));

    EXPECT_EQ(Events[4], json({{"event", "smi_not_logged"}, {"count", 3}}));
}

TEST(SmmLogFile, RefusesDamagedLogs) {
    LogBuilder Log;
    const DoubleRegisters In = {0x534D3220, 0, 0, 0xB2, 0, 0};
    Log.Add(Request(0x20, In, In, SMM_LOG_ANSWERED), {}, {1, 2, 3}, {});
    const std::vector<uint8_t> Good = Log.File();
    const size_t Record = sizeof(SmmFileHeader);
    const struct {
        const char* pName;
        size_t Offset; // byte to change (SIZE_MAX: none)
        uint8_t Value;
        long Resize; // bytes to add or remove at the end, header kept consistent
        uint32_t Count;
        const char* pReason;
    } Cases[] = {
        {"state magic", 3, 'Q', 0, 1, "wrong magic"},
        {"record size too small", Record, 4, 0, 1, "does not match its buffers"},
        {"input longer than the limit", Record + offsetof(SmmLogRecord, InputLength) + 2, 1, 0, 1,
         "does not match its buffers"},
        {"captured bytes and a digest", Record + offsetof(SmmLogRecord, Flags),
         SMM_LOG_ANSWERED | SMM_LOG_INPUT_DIGEST, 0, 1, "do not match their lengths"},
        {"fewer bytes than the input's length", Record + offsetof(SmmLogRecord, InputTotal), 4, 0,
         1, "do not match their lengths"},
        {"one record more than present", SIZE_MAX, 0, 0, 2, "the file ends inside it"},
        {"bytes after the last record", SIZE_MAX, 0, 4, 1, "after its last record"},
    };
    for (const auto& Case : Cases) {
        std::vector<uint8_t> File = Good;
        if (Case.Offset != SIZE_MAX) {
            File[Case.Offset] = Case.Value;
        }
        File.resize(File.size() + Case.Resize);
        SmmFileHeader Header;
        std::memcpy(&Header, File.data(), sizeof Header);
        Header.PayloadSize = (uint32_t)(File.size() - sizeof Header);
        Header.Count = Case.Count;
        if (Case.Offset >= sizeof Header) {
            std::memcpy(File.data(), &Header, sizeof Header);
        }
        std::vector<json> Events;
        std::string Error;
        EXPECT_FALSE(smm::ParseLogFile(File, Events, Error)) << Case.pName;
        EXPECT_NE(Error.find(Case.pReason), std::string::npos) << Case.pName << ": " << Error;
        EXPECT_TRUE(Events.empty()) << Case.pName;
    }
}

// A copy of the double's region as a stopped machine leaves it: header, state, two records.
std::vector<uint8_t> RegionCopy(const DoubleState& State, const std::vector<uint8_t>& Records,
                                uint32_t Count) {
    const uint32_t StateAt = 0x2000, LogAt = 0x6000;
    std::vector<uint8_t> Region(0x8000);
    SmmDoubleHeader Header = {SMM_DOUBLE_MAGIC,
                              SMM_DOUBLE_LAYOUT_VERSION,
                              sizeof Header,
                              LogAt,
                              SMM_DOUBLE_BASE + StateAt,
                              sizeof State,
                              SMM_DOUBLE_BASE + LogAt,
                              0x2000,
                              (uint32_t)Records.size(),
                              Count,
                              1,
                              Count + 1,
                              0,
                              0,
                              0};
    std::memcpy(Region.data(), &Header, sizeof Header);
    std::memcpy(Region.data() + StateAt, &State, sizeof State);
    std::memcpy(Region.data() + LogAt, Records.data(), Records.size());
    return Region;
}

TEST(SmmRegionCopy, GivesTheStateAndTheLogOfAStoppedMachine) {
    const DoubleState State = StateOf({{"mfg_done", true}, {"retry_count", 1}});
    LogBuilder Log;
    const DoubleRegisters In = {0x534D3220, 0, 0, 0xB2, 0, 0};
    Log.Add(Request(0x20, In, In, SMM_LOG_ANSWERED), {}, {}, {});
    Log.Add(Request(0x20, In, In, SMM_LOG_ANSWERED), {}, {}, {});
    Log.Dropped = 1;
    std::vector<uint8_t> LogFile, StateFile;
    std::string Error;
    ASSERT_TRUE(smm::FilesFromRegion(RegionCopy(State, Log.Records, 2), LogFile, StateFile, Error))
        << Error;
    EXPECT_EQ(LogFile, Log.File());
    EXPECT_EQ(StateFile, smm::StateFileBytes(State));
}

TEST(SmmRegionCopy, RefusesCopiesWithoutADouble) {
    DoubleState State;
    DoubleInitState(&State);
    const std::vector<uint8_t> Good = RegionCopy(State, std::vector<uint8_t>(16), 0);
    const struct {
        const char* pName;
        size_t Offset;
        uint32_t Value;
        size_t Size;
        const char* pReason;
    } Cases[] = {
        {"too short for the header", 0, 0, 40, "shorter than the double's header"},
        {"cleared magic", offsetof(SmmDoubleHeader, Magic), 0, 0, "no firmware double"},
        {"other layout", offsetof(SmmDoubleHeader, LayoutVersion), 2, 0, "no firmware double"},
        {"state of another build", offsetof(SmmDoubleHeader, StateSize), 8, 0, "this build"},
        {"state below the region", offsetof(SmmDoubleHeader, StateAddress), 0x3F000, 0,
         "this build"},
        {"log past the copy", 0, 0, 0x6008, "this build"},
        {"more used than its capacity", offsetof(SmmDoubleHeader, LogCapacity), 8, 0, "this build"},
    };
    for (const auto& Case : Cases) {
        std::vector<uint8_t> Region = Good;
        if (Case.Size != 0) {
            Region.resize(Case.Size);
        } else {
            std::memcpy(Region.data() + Case.Offset, &Case.Value, sizeof Case.Value);
        }
        std::vector<uint8_t> Log, StateFile;
        std::string Error;
        EXPECT_FALSE(smm::FilesFromRegion(Region, Log, StateFile, Error)) << Case.pName;
        EXPECT_NE(Error.find(Case.pReason), std::string::npos) << Case.pName << ": " << Error;
    }
}

} // namespace
