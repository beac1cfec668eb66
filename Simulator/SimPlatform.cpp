// The platform primitives on the simulated machine.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Platform/Platform.h"
#include "Simulator/Session.h"

namespace {

void ReadMachineMemory(const PhysMemReader*, uint64_t Address, void* pDest, size_t Count) {
    sim::ReadPhysical(Address, pDest, Count);
}

const PhysMemReader kMachineMemory = {ReadMachineMemory, nullptr};

} // namespace

const PhysMemReader* PlatformMemory(void) {
    return &kMachineMemory;
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
