// A physical memory reader over a memory image built from a machine description.
#ifndef TESTS_UNIT_MEMORYIMAGEREADER_H
#define TESTS_UNIT_MEMORYIMAGEREADER_H

#include "Platform/Platform.h"
#include "Simulator/Machine.h"

#include <vector>

#include <nlohmann/json.hpp>

struct ImageReader {
    PhysMemReader Reader;
    ConfigTableLookup Config; // the image's configuration table entries
    sim::MemoryImage Image;

    explicit ImageReader(sim::MemoryImage InImage)
        : Reader{Read, this, Describes}, Config{Find, this}, Image(std::move(InImage)) {}
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    static void Read(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
        static_cast<const ImageReader*>(pSelf->pContext)->Image.Read(Address, pDest, Count);
    }

    // The image's regions are its memory map, as on the simulated machine.
    static bool Describes(const PhysMemReader* pSelf, uint64_t Address, uint64_t Length) {
        std::vector<PhysMemoryRange> Map;
        for (const sim::MemoryRegion& Region :
             static_cast<const ImageReader*>(pSelf->pContext)->Image.Regions) {
            Map.push_back({Region.Base, Region.Bytes.size(), Region.Readable});
        }
        return PhysRangeInMap(Map.data(), Map.size(), Address, Length);
    }

    static bool Find(const ConfigTableLookup* pSelf, const PlatformGuid* pGuid,
                     uint64_t* pAddress) {
        return static_cast<const ImageReader*>(pSelf->pContext)
            ->Image.FindConfigTable(*pGuid, pAddress);
    }
};

#endif
