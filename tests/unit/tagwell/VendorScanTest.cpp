// Vendor detection over memory images of the legacy BIOS area.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "Applications/Tagwell/Tagwell.h"
#include "tests/unit/MemoryImageReader.h"

namespace {

struct ScanCase {
    const char* Name;
    const char* Bytes; // the "bytes" entries placed into an area of 0xFF
    uint8_t Vendor;
};

const ScanCase kScanCases[] = {
    {"LowerCaseAmi", R"([{"address": "0xF7123", "ascii": "amibios"}])", BIOS_VENDOR_AMI},
    {"MixedCaseInsyde", R"([{"address": "0xF0000", "ascii": "iNSYDE"}])", BIOS_VENDOR_INSYDE},
    {"PhoenixBelowAmiIsUnsupported",
     R"([{"address": "0xF1000", "ascii": "Phoenix"}, {"address": "0xF1008", "ascii": "AMIBIOS"}])",
     BIOS_VENDOR_PHOENIX},
    {"InsydeBelowAmiWins",
     R"([{"address": "0xF2000", "ascii": "Insyde"}, {"address": "0xF9000", "ascii": "AMIBIOS"}])",
     BIOS_VENDOR_INSYDE},
    {"AmiBelowInsydeWins",
     R"([{"address": "0xF2000", "ascii": "AMIBIOS"}, {"address": "0xF2007", "ascii": "Insyde"}])",
     BIOS_VENDOR_AMI},
    {"NoSignature", R"([])", BIOS_VENDOR_UNKNOWN},
    {"TruncatedSignature", R"([{"address": "0xF5000", "ascii": "AMIBIO"}])", BIOS_VENDOR_UNKNOWN},
    {"BelowTheFSegment", R"([{"address": "0xEFFF9", "ascii": "AMIBIOS"}])", BIOS_VENDOR_UNKNOWN},
    {"AtTheLastPosition", R"([{"address": "0xFFEFF", "ascii": "Phoenix"}])", BIOS_VENDOR_PHOENIX},
    {"PastTheLastPosition", R"([{"address": "0xFFF00", "ascii": "AMIBIOS"}])", BIOS_VENDOR_UNKNOWN},
};

TEST(TagwellVendorScan, SignatureAtTheLowestAddressDecides) {
    for (const ScanCase& Case : kScanCases) {
        nlohmann::json Description = {
            {"memory", {{{"base", "0xE0000"}, {"size", "0x20000"}, {"fill", "0xFF"}}}},
            {"bytes", nlohmann::json::parse(Case.Bytes)}};
        ImageReader Memory(sim::BuildMemoryImage(Description));
        EXPECT_EQ(FindBiosVendor(&Memory.Reader), Case.Vendor) << Case.Name;
    }
}

// The scan reads 18 bytes past its last position; nothing beyond 0xFFF11 is read.
TEST(TagwellVendorScan, ReadsStayWithinTheScannedArea) {
    struct Bounds {
        uint64_t Lowest = UINT64_MAX;
        uint64_t Highest = 0;
    } Seen;
    PhysMemReader Reader = {
        [](const PhysMemReader* pSelf, uint64_t Address, void* pDest, size_t Count) {
            Bounds* pSeen = (Bounds*)pSelf->pContext;
            pSeen->Lowest = std::min(pSeen->Lowest, Address);
            pSeen->Highest = std::max(pSeen->Highest, Address + Count - 1);
            memset(pDest, 0xFF, Count);
        },
        &Seen};
    EXPECT_EQ(FindBiosVendor(&Reader), BIOS_VENDOR_UNKNOWN);
    EXPECT_EQ(Seen.Lowest, 0xF0000u);
    EXPECT_EQ(Seen.Highest, 0xFFF11u);
}

} // namespace
