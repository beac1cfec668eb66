// The platform primitives on the simulated machine.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <nlohmann/json.hpp>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

namespace {

void ReadMachineMemory(const PhysMemReader*, uint64_t Address, void* pDest, size_t Count) {
    sim::ReadPhysical(Address, pDest, Count);
}

bool DescribedByMachine(const PhysMemReader*, uint64_t Address, uint64_t Length) {
    return sim::DescribesMemory(Address, Length);
}

const PhysMemReader kMachineMemory = {ReadMachineMemory, nullptr, DescribedByMachine};

bool FindMachineConfigTable(const ConfigTableLookup*, const PlatformGuid* pGuid,
                            uint64_t* pAddress) {
    return sim::FindConfigTable(*pGuid, pAddress);
}

const ConfigTableLookup kMachineConfigTable = {FindMachineConfigTable, nullptr};

} // namespace

const PhysMemReader* PlatformMemory(void) {
    return &kMachineMemory;
}

void PlatformWritePhysical(uint64_t Address, const void* pSource, size_t Count) {
    sim::WritePhysical(Address, pSource, Count);
}

const ConfigTableLookup* PlatformConfigTable(void) {
    return &kMachineConfigTable;
}

void PlatformFirmwareVendor(char* pBuffer, size_t Size) {
    if (Size == 0) {
        return;
    }
    const std::string& Name = sim::FirmwareVendor();
    const size_t Length = Name.size() < Size - 1 ? Name.size() : Size - 1;
    memcpy(pBuffer, Name.data(), Length);
    pBuffer[Length] = '\0';
}

void PlatformStall(uint32_t Microseconds) {
    sim::LogEvent({{"event", "stall"}, {"microseconds", Microseconds}});
    if (sim::SessionMachine().value("stall", std::string("real")) == "real") {
        usleep(Microseconds);
    }
}

bool PlatformIsDevice(const char* pName) {
    struct stat Info;
    if (stat(pName, &Info) != 0) {
        return false;
    }
    return !S_ISREG(Info.st_mode) && !S_ISDIR(Info.st_mode);
}

bool PlatformReadVariable(const char* pName, const PlatformGuid* pVendor, void* pData,
                          size_t* pSize) {
    // The machine's "variables": global variables (the EFI global variable GUID) by name, each
    // a number (one byte) or {"hex": "..."} (its bytes).
    const nlohmann::json& Machine = sim::SessionMachine();
    if (memcmp(pVendor, &kPlatformGlobalVariableGuid, sizeof *pVendor) != 0 ||
        !Machine.contains("variables") || !Machine["variables"].contains(pName)) {
        return false;
    }
    const nlohmann::json& Value = Machine["variables"][pName];
    std::string Bytes;
    if (Value.is_object()) {
        const std::string Hex = Value.value("hex", std::string());
        for (size_t Index = 0; Index + 1 < Hex.size(); Index += 2) {
            Bytes.push_back((char)std::stoul(Hex.substr(Index, 2), nullptr, 16));
        }
    } else {
        Bytes.push_back((char)sim::ParseNumber(Value));
    }
    if (Bytes.size() > *pSize) {
        return false;
    }
    memcpy(pData, Bytes.data(), Bytes.size());
    *pSize = Bytes.size();
    return true;
}
