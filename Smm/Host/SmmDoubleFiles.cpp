// State and log files of the resident firmware double (formats in Smm/SmmDoubleLayout.h).
#include "Smm/Host/SmmDoubleFiles.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Double/Sha256.h"
#include "Simulator/FirmwareState.h"

using nlohmann::json;

namespace smm {

namespace {

std::string Hex(uint64_t Value, int Digits) {
    char Buffer[24];
    std::snprintf(Buffer, sizeof Buffer, "0x%0*llX", Digits, (unsigned long long)Value);
    return Buffer;
}

bool ReadHeader(const std::vector<uint8_t>& File, uint64_t Magic, const char* pWhat,
                SmmFileHeader& Header, std::string& Error) {
    if (File.size() < sizeof Header) {
        Error = std::string("not a ") + pWhat + " file: " + std::to_string(File.size()) +
                " bytes, shorter than its header";
        return false;
    }
    std::memcpy(&Header, File.data(), sizeof Header);
    if (Header.Magic != Magic) {
        Error = std::string("not a ") + pWhat + " file (wrong magic)";
        return false;
    }
    if (Header.Version != SMM_FILE_VERSION) {
        Error = std::string(pWhat) + " file version " + std::to_string(Header.Version) +
                ", expected " + std::to_string(SMM_FILE_VERSION);
        return false;
    }
    if (File.size() - sizeof Header != Header.PayloadSize) {
        Error = std::string(pWhat) + " file of " + std::to_string(File.size()) +
                " bytes, its header announces " + std::to_string(Header.PayloadSize) +
                " bytes after the header";
        return false;
    }
    return true;
}

json Registers(const char* pPrefix, const DoubleRegisters& Regs) {
    const std::string P = pPrefix;
    return {{P + "eax", Hex(Regs.Eax, 8)}, {P + "ebx", Hex(Regs.Ebx, 8)},
            {P + "ecx", Hex(Regs.Ecx, 8)}, {P + "edx", Hex(Regs.Edx, 8)},
            {P + "esi", Hex(Regs.Esi, 8)}, {P + "edi", Hex(Regs.Edi, 8)}};
}

// A captured buffer as the simulated machine logs it: its bytes up to SMM_LOG_CAPTURE_LIMIT;
// its length and SHA-256 digest when it is longer, and for the settings image requests.
bool BufferJson(json& Event, const char* pKey, const char* pRequest, const uint8_t* pBytes,
                uint32_t Captured, uint32_t Total, const uint8_t* pDigest, bool Digested) {
    if (Digested ? Captured != 0 || Total <= SMM_LOG_CAPTURE_LIMIT : Captured != Total) {
        return false;
    }
    const std::string Name = pRequest;
    const bool Image = Name == "BackupData" || Name == "Restore";
    if (!Digested) {
        Event[pKey] = sim::HexBytes(pBytes, Captured);
    }
    if (Image || Digested) {
        uint8_t Digest[SHA256_DIGEST_SIZE];
        if (!Digested) {
            Sha256(pBytes, Captured, Digest);
            pDigest = Digest;
        }
        Event[std::string(pKey) + "_length"] = Total;
        Event[std::string(pKey) + "_sha256"] = sim::HexBytes(pDigest, SHA256_DIGEST_SIZE);
    }
    return true;
}

} // namespace

std::vector<uint8_t> StateFileBytes(const DoubleState& State) {
    const SmmFileHeader Header = {SMM_STATE_FILE_MAGIC, SMM_FILE_VERSION, sizeof State, 1, 0};
    std::vector<uint8_t> File(sizeof Header + sizeof State);
    std::memcpy(File.data(), &Header, sizeof Header);
    std::memcpy(File.data() + sizeof Header, &State, sizeof State);
    return File;
}

bool ParseStateFile(const std::vector<uint8_t>& File, DoubleState& State, std::string& Error) {
    DoubleInitState(&State);
    SmmFileHeader Header;
    if (!ReadHeader(File, SMM_STATE_FILE_MAGIC, "state", Header, Error)) {
        return false;
    }
    if (Header.PayloadSize != sizeof State) {
        Error = "the state file holds " + std::to_string(Header.PayloadSize) +
                " bytes of state; this build's state has " + std::to_string(sizeof State);
        return false;
    }
    DoubleState Loaded;
    std::memcpy(&Loaded, File.data() + sizeof Header, sizeof Loaded);
    if (Loaded.SettingCount > DOUBLE_MAX_SETTINGS ||
        Loaded.InjectionCount > DOUBLE_MAX_INJECTIONS) {
        Error = "the state file counts " + std::to_string(Loaded.SettingCount) + " settings and " +
                std::to_string(Loaded.InjectionCount) + " injections, more than the double keeps";
        return false;
    }
    State = Loaded;
    return true;
}

namespace {

bool ParseLogRecords(const std::vector<uint8_t>& File, std::vector<json>& Events,
                     std::string& Error) {
    SmmFileHeader Header;
    if (!ReadHeader(File, SMM_LOG_FILE_MAGIC, "log", Header, Error)) {
        return false;
    }
    size_t Offset = sizeof Header;
    for (uint32_t Index = 0; Index < Header.Count; Index++) {
        const std::string Where = "log record " + std::to_string(Index) + ": ";
        SmmLogRecord Record;
        if (File.size() - Offset < sizeof Record) {
            Error = Where + "the file ends inside it";
            return false;
        }
        std::memcpy(&Record, File.data() + Offset, sizeof Record);
        const uint64_t Captured = (uint64_t)SmmPad4(Record.HashLength) +
                                  SmmPad4(Record.InputLength) + SmmPad4(Record.OutputLength) +
                                  SmmPad4(Record.DetailLength);
        if (Record.HashLength > DOUBLE_HASH_SIZE || Record.InputLength > SMM_LOG_CAPTURE_LIMIT ||
            Record.OutputLength > SMM_LOG_CAPTURE_LIMIT ||
            Record.DetailLength > SMM_LOG_DETAIL_LIMIT || Record.Size != sizeof Record + Captured ||
            Record.Size > File.size() - Offset) {
            Error = Where + "its size " + std::to_string(Record.Size) +
                    " does not match its buffers or the file";
            return false;
        }
        const uint8_t* pBytes = File.data() + Offset + sizeof Record;
        DoubleRequestInfo Info;
        DoubleDescribeRequest(Record.Command, &Record.In, &Info);
        json Event = {{"event", "smi"},
                      {"port", Hex(Record.In.Edx & 0xFFFF, 4)},
                      {"value", Hex(Record.Command, 2)},
                      {"request", Info.pName}};
        Event.update(Registers("", Record.In));
        if (Record.HashLength != 0) {
            Event["hash"] = sim::HexBytes(pBytes, Record.HashLength);
        }
        pBytes += SmmPad4(Record.HashLength);
        bool Consistent = true;
        if (Record.InputTotal != 0) {
            Consistent = BufferJson(Event, "input", Info.pName, pBytes, Record.InputLength,
                                    Record.InputTotal, Record.InputDigest,
                                    (Record.Flags & SMM_LOG_INPUT_DIGEST) != 0);
        }
        pBytes += SmmPad4(Record.InputLength);
        if (Record.Flags & SMM_LOG_HAS_BUFFER) {
            Event["in_comm_buffer"] = (Record.Flags & SMM_LOG_IN_COMM_BUFFER) != 0;
        }
        if (Consistent && (Record.Flags & SMM_LOG_OUTPUT_WRITTEN) && Record.OutputTotal != 0) {
            Consistent = BufferJson(Event, "output", Info.pName, pBytes, Record.OutputLength,
                                    Record.OutputTotal, Record.OutputDigest,
                                    (Record.Flags & SMM_LOG_OUTPUT_DIGEST) != 0);
        }
        pBytes += SmmPad4(Record.OutputLength);
        if (!Consistent) {
            Error = Where + "its captured buffers do not match their lengths";
            return false;
        }
        if (Record.DetailLength != 0) {
            Event["detail"] = std::string((const char*)pBytes, Record.DetailLength);
        }
        Event.update(Registers("out_", Record.Out));
        Event["answered"] = (Record.Flags & SMM_LOG_ANSWERED) != 0;
        Event["sequence"] = Record.Sequence;
        Event["rip"] = Hex(Record.Rip, 1);
        if (Record.Flags & SMM_LOG_IMAGE_FOUND) {
            Event["image_base"] = Hex(Record.ImageBase, 1);
            Event["image_size"] = Hex(Record.ImageSize, 1);
            Event["image_entry"] = Hex(Record.ImageEntry, 1);
        }
        Event["code"] = sim::HexBytes(Record.CodeBytes, sizeof Record.CodeBytes);
        Events.push_back(Event);
        Offset += Record.Size;
    }
    if (Offset != File.size()) {
        Error = "the log file has " + std::to_string(File.size() - Offset) +
                " bytes after its last record";
        return false;
    }
    if (Header.Dropped != 0) {
        Events.push_back({{"event", "smi_not_logged"}, {"count", Header.Dropped}});
    }
    return true;
}

} // namespace

bool ParseLogFile(const std::vector<uint8_t>& File, std::vector<json>& Events, std::string& Error) {
    Events.clear();
    if (!ParseLogRecords(File, Events, Error)) {
        Events.clear();
        return false;
    }
    return true;
}

bool FilesFromRegion(const std::vector<uint8_t>& Region, std::vector<uint8_t>& Log,
                     std::vector<uint8_t>& State, std::string& Error) {
    SmmDoubleHeader Header;
    if (Region.size() < sizeof Header) {
        Error = "the memory copy is shorter than the double's header";
        return false;
    }
    std::memcpy(&Header, Region.data(), sizeof Header);
    if (Header.Magic != SMM_DOUBLE_MAGIC || Header.LayoutVersion != SMM_DOUBLE_LAYOUT_VERSION ||
        Header.HeaderSize != sizeof Header) {
        Error = "no firmware double is resident in the memory copy";
        return false;
    }
    // Offsets into the copy, which starts at SMM_DOUBLE_BASE.
    const uint64_t StateAt = (uint64_t)Header.StateAddress - SMM_DOUBLE_BASE;
    const uint64_t LogAt = (uint64_t)Header.LogAddress - SMM_DOUBLE_BASE;
    if (Header.StateAddress < SMM_DOUBLE_BASE || Header.LogAddress < SMM_DOUBLE_BASE ||
        Header.StateSize != sizeof(DoubleState) || StateAt + Header.StateSize > Region.size() ||
        Header.LogUsed > Header.LogCapacity || LogAt + Header.LogUsed > Region.size()) {
        Error = "the double's header in the memory copy does not fit the copy or this build";
        return false;
    }
    const SmmFileHeader StateHeader = {SMM_STATE_FILE_MAGIC, SMM_FILE_VERSION, Header.StateSize, 1,
                                       0};
    State.assign((const uint8_t*)&StateHeader, (const uint8_t*)(&StateHeader + 1));
    State.insert(State.end(), Region.begin() + (long)StateAt,
                 Region.begin() + (long)(StateAt + Header.StateSize));
    const SmmFileHeader LogHeader = {SMM_LOG_FILE_MAGIC, SMM_FILE_VERSION, Header.LogUsed,
                                     Header.LogRecords, Header.LogDropped};
    Log.assign((const uint8_t*)&LogHeader, (const uint8_t*)(&LogHeader + 1));
    Log.insert(Log.end(), Region.begin() + (long)LogAt,
               Region.begin() + (long)(LogAt + Header.LogUsed));
    return true;
}

} // namespace smm
