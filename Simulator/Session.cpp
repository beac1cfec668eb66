#include "Simulator/Session.h"

#include <sys/mman.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>
#include <nlohmann/json.hpp>

namespace sim {

namespace {

struct Mapping {
    uint64_t Base;
    size_t Size; // bytes of the region (the mapping is rounded up to pages)
    bool Readable;
};

struct SessionState {
    bool Active = false;
    std::string MachinePath;
    nlohmann::json Machine;
    std::vector<Mapping> Mappings;
    std::vector<ConfigTableEntry> ConfigTable;
    std::string FirmwareVendor;
    std::vector<FirmwareVariable> Variables;
};

SessionState& State() {
    static SessionState Instance;
    return Instance;
}

std::string Hex32(uint32_t Value) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%08X", Value);
    return Buffer;
}

void MapRegions(const MemoryImage& Image) {
    const long PageSize = sysconf(_SC_PAGESIZE);
    for (const MemoryRegion& Region : Image.Regions) {
        const uint64_t Start = Region.Base & ~(uint64_t)(PageSize - 1);
        const uint64_t End =
            (Region.Base + Region.Bytes.size() + PageSize - 1) & ~(uint64_t)(PageSize - 1);
        void* pWanted = reinterpret_cast<void*>(Start);
        void* pGot = mmap(pWanted, End - Start, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (pGot == MAP_FAILED || pGot != pWanted) {
            char Buffer[160];
            std::snprintf(Buffer, sizeof Buffer,
                          "cannot map the machine's memory at 0x%llX-0x%llX: %s",
                          (unsigned long long)Region.Base,
                          (unsigned long long)(Region.Base + Region.Bytes.size() - 1),
                          pGot == MAP_FAILED ? std::strerror(errno) : "address taken");
            throw std::runtime_error(Buffer);
        }
        std::memcpy(reinterpret_cast<void*>(Region.Base), Region.Bytes.data(), Region.Bytes.size());
        State().Mappings.push_back({Region.Base, Region.Bytes.size(), Region.Readable});
    }
}

// The length of the longest start of the text that is well-formed UTF-8 (glibc's decoder
// refuses overlong forms, surrogates and code points above U+10FFFF).
size_t Utf8Prefix(iconv_t Converter, const char* pText, size_t Length) {
    iconv(Converter, nullptr, nullptr, nullptr, nullptr);
    char* pIn = const_cast<char*>(pText);
    size_t Left = Length;
    char Out[256];
    while (Left > 0) {
        char* pOut = Out;
        size_t Room = sizeof Out;
        if (iconv(Converter, &pIn, &Left, &pOut, &Room) == (size_t)-1 && errno != E2BIG) {
            break; // EILSEQ or EINVAL: no well-formed sequence at pIn
        }
    }
    return Length - Left;
}

} // namespace

std::string LogText(const std::string& Text) {
    iconv_t Converter = iconv_open("UTF-32LE", "UTF-8");
    if (Converter == (iconv_t)-1) {
        return Text;
    }
    std::string Escaped;
    size_t At = Utf8Prefix(Converter, Text.data(), Text.size());
    if (At < Text.size()) {
        At = 0;
        while (At < Text.size()) {
            const size_t Good = Utf8Prefix(Converter, Text.data() + At, Text.size() - At);
            for (size_t Index = At; Index < At + Good; Index++) {
                // A backslash of the text is doubled, so that an escape can be told from it.
                Escaped += Text[Index] == '\\' ? "\\\\" : std::string(1, Text[Index]);
            }
            At += Good;
            if (At < Text.size()) {
                char Hex[8];
                std::snprintf(Hex, sizeof Hex, "\\x%02X", (unsigned char)Text[At]);
                Escaped += Hex;
                At++;
            }
        }
    } else {
        Escaped = Text;
    }
    iconv_close(Converter);
    return Escaped;
}

std::string MachinePathFromEnvironment() {
    const char* pPath = std::getenv("FWSIM_MACHINE");
    return pPath != nullptr && pPath[0] != '\0' ? pPath : "fwsim-machine.json";
}

bool StartSession(int argc, char** argv, std::string& Error) {
    SessionState& S = State();
    try {
        S.MachinePath = MachinePathFromEnvironment();
        if (access(S.MachinePath.c_str(), F_OK) == 0) {
            S.Machine = LoadMachineFile(S.MachinePath);
        } else if (std::getenv("FWSIM_MACHINE") == nullptr) {
            S.Machine = DefaultMachineDescription();
        } else {
            throw std::runtime_error("machine file " + S.MachinePath + " does not exist");
        }
        const MemoryImage Image = BuildMemoryImage(S.Machine);
        MapRegions(Image);
        S.ConfigTable = Image.ConfigTable;
        S.FirmwareVendor = Image.FirmwareVendor;
        S.Variables = Image.Variables;
    } catch (const std::exception& E) {
        Error = E.what();
        return false;
    }
    S.Active = true;
    nlohmann::json Args = nlohmann::json::array();
    for (int Index = 0; Index < argc; Index++) {
        Args.push_back(LogText(argv[Index]));
    }
    LogEvent({{"event", "start"}, {"argv", Args}});
    return true;
}

void FinishSession(uint32_t Status) {
    SessionState& S = State();
    if (!S.Active) {
        return;
    }
    S.Active = false;
    LogEvent({{"event", "exit"}, {"status", Hex32(Status)}});
    S.Machine["lasterror"] = Hex32(Status);
    try {
        SaveMachineFile(S.MachinePath, S.Machine);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "fwsim: %s\n", E.what());
    }
}

bool SessionActive() {
    return State().Active;
}

nlohmann::json& SessionMachine() {
    return State().Machine;
}

void LogEvent(const nlohmann::json& Event) {
    const std::string Path = State().MachinePath + ".log";
    std::ofstream Out(Path, std::ios::app);
    // Texts from outside (arguments, input, command lines) come through LogText; should one slip
    // through, the log shows U+FFFD rather than the run ending in an exception.
    Out << Event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void ReadPhysical(uint64_t Address, void* pDest, size_t Count) {
    auto* pOut = static_cast<uint8_t*>(pDest);
    bool Refused = false;
    for (size_t I = 0; I < Count; I++) {
        const uint64_t A = Address + I;
        pOut[I] = 0xFF;
        bool InRegion = false;
        for (const Mapping& M : State().Mappings) {
            if (A >= M.Base && A - M.Base < M.Size) {
                pOut[I] = *reinterpret_cast<const volatile uint8_t*>(A);
                InRegion = M.Readable;
                break;
            }
        }
        Refused =
            Refused || (!InRegion && (A < PHYS_LEGACY_AREA_START || A >= PHYS_LEGACY_AREA_END));
    }
    // On a real machine such a read reaches device registers or faults: the tool must ask the
    // memory map first.
    if (Refused) {
        char Text[96];
        std::snprintf(Text, sizeof Text, "read of %zu bytes at 0x%llX outside the memory map",
                      Count, (unsigned long long)Address);
        LogEvent({{"event", "violation"}, {"violation", Text}});
    }
}

bool DescribesMemory(uint64_t Address, uint64_t Length) {
    std::vector<PhysMemoryRange> Map;
    for (const Mapping& M : State().Mappings) {
        Map.push_back({M.Base, M.Size, M.Readable});
    }
    return PhysRangeInMap(Map.data(), Map.size(), Address, Length);
}

bool Mapped(uint64_t Address) {
    for (const Mapping& M : State().Mappings) {
        if (Address >= M.Base && Address - M.Base < M.Size) {
            return true;
        }
    }
    return false;
}

void WritePhysical(uint64_t Address, const void* pSource, size_t Count) {
    const auto* pIn = static_cast<const uint8_t*>(pSource);
    for (size_t I = 0; I < Count; I++) {
        if (Mapped(Address + I)) {
            *reinterpret_cast<volatile uint8_t*>(Address + I) = pIn[I];
        }
    }
}

bool FindConfigTable(const PlatformGuid& Guid, uint64_t* pAddress) {
    for (const ConfigTableEntry& Entry : State().ConfigTable) {
        if (std::memcmp(&Entry.Guid, &Guid, sizeof Guid) == 0) {
            *pAddress = Entry.Address;
            return true;
        }
    }
    return false;
}

const std::string& FirmwareVendor() {
    return State().FirmwareVendor;
}

const FirmwareVariable* FindVariable(const char* pName, const PlatformGuid& Vendor) {
    for (const FirmwareVariable& Variable : State().Variables) {
        if (Variable.Name == pName && std::memcmp(&Variable.Vendor, &Vendor, sizeof Vendor) == 0) {
            return &Variable;
        }
    }
    return nullptr;
}

} // namespace sim
