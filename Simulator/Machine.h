// The simulated machine: a description file (JSON) that says what lies in the machine's memory
// and what state its firmware keeps, and the memory image built from it.
#ifndef SIMULATOR_MACHINE_H
#define SIMULATOR_MACHINE_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Platform/Platform.h"

namespace sim {

// The legacy BIOS area, where the firmware tables of a test machine live.
constexpr uint64_t kLegacyBase = PHYS_LEGACY_AREA_START;
constexpr uint64_t kLegacySize = PHYS_LEGACY_AREA_END - PHYS_LEGACY_AREA_START;

struct MemoryRegion {
    uint64_t Base = 0;
    std::vector<uint8_t> Bytes;
    // What the firmware's memory map says of the region: memory ("ram", "reserved", "acpi") may
    // be read; device registers ("mmio") and "unusable" memory must not be.
    bool Readable = true;
};

// An entry of the UEFI configuration table: a GUID and the physical address of its table.
struct ConfigTableEntry {
    PlatformGuid Guid;
    uint64_t Address = 0;
};

// A UEFI variable: its name, vendor GUID and value.
struct FirmwareVariable {
    std::string Name;
    PlatformGuid Vendor;
    std::vector<uint8_t> Value;
};

// A built memory image: regions of physical memory with their contents, and what the machine's
// UEFI system table names (configuration table entries, firmware vendor, variables).
struct MemoryImage {
    std::vector<MemoryRegion> Regions;
    std::vector<ConfigTableEntry> ConfigTable;
    std::string FirmwareVendor;
    std::vector<FirmwareVariable> Variables;

    // The address of the configuration table entry with the GUID; false when there is none.
    bool FindConfigTable(const PlatformGuid& Guid, uint64_t* pAddress) const;

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

// The built-in machine without a legacy BIOS: nothing in 0xE0000-0xFFFFF; an ACPI 2.0 RSDP with
// XSDT and RSDT above 1 MiB naming SMI command port 0xB2, only an SMBIOS3 entry point (type 0
// BIOS Version "M1KT52AUS"), both published in the configuration table; firmware vendor
// "American Megatrends".
nlohmann::json UefiDesktopDescription();

// Parses a configuration table GUID: "acpi20", "acpi10", "smbios", "smbios3" or the text form
// "8868E871-E4F1-11D3-BC22-0080C73C8881". Throws std::runtime_error when malformed.
PlatformGuid ParseGuid(const std::string& Text);

// Builds the memory image a description asks for. Throws std::runtime_error on a malformed
// description.
MemoryImage BuildMemoryImage(const nlohmann::json& Description);

// Reads a description file; throws std::runtime_error with the reason on failure.
nlohmann::json LoadMachineFile(const std::string& Path);
// Writes a description file atomically (temporary file, then rename).
void SaveMachineFile(const std::string& Path, const nlohmann::json& Description);

} // namespace sim

#endif
