// A physical memory reader over a memory image built from a machine description.
#ifndef TESTS_UNIT_MEMORYIMAGEREADER_H
#define TESTS_UNIT_MEMORYIMAGEREADER_H

#include "Platform/Platform.h"
#include "Simulator/Machine.h"

#include <nlohmann/json.hpp>

struct ImageReader {
    PhysMemReader Reader;
    ConfigTableLookup Config; // the image's configuration table entries
    sim::MemoryImage Image;

    explicit ImageReader(sim::MemoryImage InImage)
        : Reader{Read, this}, Config{Find, this}, Image(std::move(InImage)) {}
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    static void Read(const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
        static_cast<const ImageReader*>(pSelf->pContext)->Image.Read(Address, pDest, Count);
    }

    static bool Find(const ConfigTableLookup* pSelf, const PlatformGuid* pGuid,
                     uint64_t* pAddress) {
        return static_cast<const ImageReader*>(pSelf->pContext)
            ->Image.FindConfigTable(*pGuid, pAddress);
    }
};

#endif
