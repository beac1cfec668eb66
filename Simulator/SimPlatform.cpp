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
    const sim::FirmwareVariable* pVariable = sim::FindVariable(pName, *pVendor);
    if (pVariable == nullptr) {
        return false;
    }
    const size_t Size = pVariable->Value.size();
    if (Size > *pSize) {
        *pSize = Size;
        return false;
    }
    memcpy(pData, pVariable->Value.data(), Size);
    *pSize = Size;
    return true;
}
