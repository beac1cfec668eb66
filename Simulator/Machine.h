// The simulated machine: a description file (JSON) that says what lies in the machine's memory
// and what state its firmware keeps, and the memory image built from it.
#ifndef SIMULATOR_MACHINE_H
#define SIMULATOR_MACHINE_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// The legacy BIOS area, where the firmware tables of a test machine live.
constexpr uint64_t kLegacyBase = 0xE0000;
constexpr uint64_t kLegacySize = 0x20000;

struct MemoryRegion {
    uint64_t Base = 0;
    std::vector<uint8_t> Bytes;
};

// A built memory image: regions of physical memory with their contents.
struct MemoryImage {
    std::vector<MemoryRegion> Regions;

    // Copies Count bytes at Address into pDest; bytes outside every region read as 0xFF
    // (an open bus). Returns false when any byte lay outside.
    bool Read(uint64_t Address, void* pDest, size_t Count) const;
    // Writes bytes into the image; false when any byte lies outside every region.
    bool Write(uint64_t Address, const void* pSource, size_t Count);
    const MemoryRegion* Find(uint64_t Address) const;
};

// Parses a number given as a JSON number or as a string ("0xB2", "178").
uint64_t ParseNumber(const nlohmann::json& Value);

// The built-in machine: a desktop with ACPI tables naming SMI command port 0xB2, an SMBIOS 2.x
// entry point with a type 0 structure whose BIOS Version is "M1KT52AUS", and "AMIBIOS" in the
// F segment.
nlohmann::json DefaultMachineDescription();

// Builds the memory image a description asks for. Throws std::runtime_error on a malformed
// description.
MemoryImage BuildMemoryImage(const nlohmann::json& Description);

// Reads a description file; throws std::runtime_error with the reason on failure.
nlohmann::json LoadMachineFile(const std::string& Path);
// Writes a description file atomically (temporary file, then rename).
void SaveMachineFile(const std::string& Path, const nlohmann::json& Description);

} // namespace sim

#endif
