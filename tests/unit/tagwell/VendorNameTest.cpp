// Vendor detection on machines without a signature in the legacy area: the firmware vendor name,
// then the BIOS vendor of SMBIOS type 0.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Applications/Tagwell/Tagwell.h"
#include "tests/unit/MemoryImageReader.h"

using nlohmann::json;

namespace {

TEST(TagwellVendorName, NamesContainingAVendor) {
    const struct {
        const char* Name;
        uint8_t Vendor;
    } Cases[] = {
        {"American Megatrends", BIOS_VENDOR_AMI},
        {"American Megatrends Inc.", BIOS_VENDOR_AMI},
        {"AMERICAN MEGATRENDS INTERNATIONAL, LLC.", BIOS_VENDOR_AMI},
        {"AMIBIOS", BIOS_VENDOR_AMI},
        {"INSYDE Corp.", BIOS_VENDOR_INSYDE},
        {"Insyde Software", BIOS_VENDOR_INSYDE},
        {"Phoenix Technologies Ltd.", BIOS_VENDOR_PHOENIX},
        {"EDK II", BIOS_VENDOR_UNKNOWN},
        {"EFI Development Kit II / OVMF", BIOS_VENDOR_UNKNOWN},
        {"American", BIOS_VENDOR_UNKNOWN},
        {"Insyd", BIOS_VENDOR_UNKNOWN},
        {"", BIOS_VENDOR_UNKNOWN},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(VendorFromName(C.Name), C.Vendor) << C.Name;
    }
}

// A machine with an SMBIOS3 table above 1 MiB whose type 0 names the vendor, and optionally a
// signature in the legacy area.
json Machine(const json& Type0, const char* pLegacySignature) {
    json D = {
        {"memory",
         {{{"base", "0xE0000"}, {"size", "0x20000"}},
          {{"base", "0x10000000"}, {"size", "0x1000"}, {"fill", "0x00"}}}},
        {"smbios", {{"entry3", "0x10000000"}, {"table", "0x10000040"}, {"structures", {Type0}}}},
        {"configuration_table", {{{"guid", "smbios3"}, {"address", "0x10000000"}}}}};
    if (pLegacySignature != nullptr) {
        D["bytes"] = {{{"address", "0xF8000"}, {"ascii", pLegacySignature}}};
    }
    return D;
}

TEST(TagwellVendorName, SignatureThenFirmwareVendorThenSmbios) {
    const json kAmiType0 = {{"type", 0}, {"vendor", "American Megatrends Inc."}};
    const json kInsydeType0 = {{"type", 0}, {"vendor", "INSYDE Corp."}};
    const json kPhoenixType0 = {{"type", 0}, {"vendor", "Phoenix Technologies Ltd."}};
    const json kMakerType0 = {{"type", 0}, {"vendor", "Corvane"}};
    const json kNoVendorField = {{"formatted", "00 04 00 00"}, {"strings", {"AMIBIOS"}}};
    const struct {
        const char* Name;
        json Type0;
        const char* Signature;
        const char* FirmwareVendor;
        uint8_t Vendor;
    } Cases[] = {
        {"legacy signature wins", kAmiType0, "Insyde", "American Megatrends", BIOS_VENDOR_INSYDE},
        {"firmware vendor before SMBIOS", kInsydeType0, nullptr, "American Megatrends",
         BIOS_VENDOR_AMI},
        {"firmware vendor Phoenix decides", kAmiType0, nullptr, "Phoenix", BIOS_VENDOR_PHOENIX},
        {"SMBIOS AMI", kAmiType0, nullptr, "EDK II", BIOS_VENDOR_AMI},
        {"SMBIOS Insyde", kInsydeType0, nullptr, "EDK II", BIOS_VENDOR_INSYDE},
        {"SMBIOS Phoenix", kPhoenixType0, nullptr, "", BIOS_VENDOR_PHOENIX},
        {"SMBIOS names the maker", kMakerType0, nullptr, "EDK II", BIOS_VENDOR_UNKNOWN},
        {"type 0 without a vendor field", kNoVendorField, nullptr, "", BIOS_VENDOR_UNKNOWN},
    };
    for (const auto& C : Cases) {
        ImageReader Memory(sim::BuildMemoryImage(Machine(C.Type0, C.Signature)));
        EXPECT_EQ(FindBiosVendorFallback(&Memory.Reader, &Memory.Config, C.FirmwareVendor),
                  C.Vendor)
            << C.Name;
    }
}

TEST(TagwellVendorName, NoSmbiosAnywhere) {
    ImageReader Memory(
        sim::BuildMemoryImage({{"memory", {{{"base", "0xE0000"}, {"size", "0x20000"}}}}}));
    EXPECT_EQ(FindBiosVendorFallback(&Memory.Reader, &Memory.Config, "EDK II"),
              BIOS_VENDOR_UNKNOWN);
}

} // namespace
