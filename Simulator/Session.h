// One run of a host tool on a simulated machine: the machine's description and state, its
// memory mapped into the process at the physical addresses, and the machine's log.
#ifndef SIMULATOR_SESSION_H
#define SIMULATOR_SESSION_H

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Simulator/Machine.h"

namespace sim {

// The machine file: $FWSIM_MACHINE, else fwsim-machine.json in the current directory (made from
// the built-in machine when it does not exist yet).
std::string MachinePathFromEnvironment();

// Loads the machine and maps its memory. Returns false (with the reason in Error) when the
// machine cannot be set up.
bool StartSession(int argc, char** argv, std::string& Error);

// Records the run's full 32-bit exit status (the shell's %lasterror%) and saves the machine.
void FinishSession(uint32_t Status);

bool SessionActive();

// The machine's description and state; changes are saved when the run ends.
nlohmann::json& SessionMachine();

// A text for the log: unchanged when it is UTF-8; otherwise every byte that is not part of a
// well-formed UTF-8 sequence is written \xNN (two upper-case hex digits) and every backslash \\,
// so that the bytes can be told back from the text.
std::string LogText(const std::string& Text);

// Appends one event to the machine's log (JSON lines in MACHINE.log).
void LogEvent(const nlohmann::json& Event);

// Reads physical memory of the running machine (mapped regions; 0xFF elsewhere). A read outside
// the memory map is logged as a violation.
void ReadPhysical(uint64_t Address, void* pDest, size_t Count);
// Whether the machine's memory map (its regions, "mmio" and "unusable" ones excepted, and the
// legacy BIOS area) covers the range.
bool DescribesMemory(uint64_t Address, uint64_t Length);
// Writes physical memory of the running machine; bytes outside the mapped regions are dropped.
void WritePhysical(uint64_t Address, const void* pSource, size_t Count);

// The running machine's configuration table and firmware vendor name.
bool FindConfigTable(const PlatformGuid& Guid, uint64_t* pAddress);
const std::string& FirmwareVendor();
// The running machine's variable of that name and vendor GUID; null when there is none.
const FirmwareVariable* FindVariable(const char* pName, const PlatformGuid& Vendor);

} // namespace sim

#endif
