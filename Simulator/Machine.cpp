#include "Simulator/Machine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace sim {

namespace {

[[noreturn]] void Fail(const std::string& Message) {
    throw std::runtime_error("machine description: " + Message);
}

std::vector<uint8_t> ParseHex(const std::string& Text) {
    std::vector<uint8_t> Bytes;
    std::string Digits;
    for (char C : Text) {
        if (C == ' ' || C == '\n' || C == '\t' || C == ':' || C == '-') {
            continue;
        }
        Digits += C;
    }
    if (Digits.size() % 2 != 0) {
        Fail("hex text of odd length: " + Text);
    }
    for (size_t I = 0; I < Digits.size(); I += 2) {
        unsigned Value = 0;
        if (std::sscanf(Digits.substr(I, 2).c_str(), "%2x", &Value) != 1 ||
            !isxdigit((unsigned char)Digits[I]) || !isxdigit((unsigned char)Digits[I + 1])) {
            Fail("not hexadecimal: " + Text);
        }
        Bytes.push_back((uint8_t)Value);
    }
    return Bytes;
}

void Put16(std::vector<uint8_t>& B, size_t Offset, uint16_t V) {
    B[Offset] = (uint8_t)V;
    B[Offset + 1] = (uint8_t)(V >> 8);
}

void Put32(std::vector<uint8_t>& B, size_t Offset, uint32_t V) {
    for (int I = 0; I < 4; I++) {
        B[Offset + I] = (uint8_t)(V >> (8 * I));
    }
}

void PutText(std::vector<uint8_t>& B, size_t Offset, const char* Text, size_t Length) {
    std::memcpy(&B[Offset], Text, Length);
}

// Sets byte Offset so that the bytes [Start, Start+Length) sum to zero.
void FixChecksum(std::vector<uint8_t>& B, size_t Start, size_t Length, size_t Offset) {
    B[Offset] = 0;
    uint8_t Sum = 0;
    for (size_t I = Start; I < Start + Length; I++) {
        Sum = (uint8_t)(Sum + B[I]);
    }
    B[Offset] = (uint8_t)(0x100 - Sum);
}

uint64_t Number(const json& Object, const char* Key, uint64_t Default) {
    if (!Object.contains(Key) || Object[Key].is_null()) {
        return Default;
    }
    return ParseNumber(Object[Key]);
}

uint64_t RequiredNumber(const json& Object, const char* Key) {
    if (!Object.contains(Key)) {
        Fail(std::string("missing \"") + Key + "\"");
    }
    return ParseNumber(Object[Key]);
}

void WriteOrFail(MemoryImage& Image, uint64_t Address, const std::vector<uint8_t>& Bytes,
                 const char* What) {
    if (!Image.Write(Address, Bytes.data(), Bytes.size())) {
        char Buffer[64];
        std::snprintf(Buffer, sizeof Buffer, " at 0x%llX", (unsigned long long)Address);
        Fail(std::string(What) + Buffer + " lies outside the machine's memory");
    }
}

void Put64(std::vector<uint8_t>& B, size_t Offset, uint64_t V) {
    Put32(B, Offset, (uint32_t)V);
    Put32(B, Offset + 4, (uint32_t)(V >> 32));
}

// A root table (RSDT or XSDT) listing the addresses in entries of EntrySize bytes.
void BuildRootTable(const json& Acpi, MemoryImage& Image, const char* pSignature, uint64_t Address,
                    const std::vector<uint64_t>& Entries, size_t EntrySize,
                    const char* pLengthKey) {
    const size_t RealLength = 36 + EntrySize * Entries.size();
    std::vector<uint8_t> Root(RealLength, 0);
    PutText(Root, 0, pSignature, 4);
    Put32(Root, 4, (uint32_t)Number(Acpi, pLengthKey, RealLength));
    Root[8] = 1;
    PutText(Root, 10, "CORVAN", 6);
    PutText(Root, 16, "CORVANE ", 8);
    for (size_t I = 0; I < Entries.size(); I++) {
        if (EntrySize == 8) {
            Put64(Root, 36 + 8 * I, Entries[I]);
        } else {
            Put32(Root, 36 + 4 * I, (uint32_t)Entries[I]);
        }
    }
    FixChecksum(Root, 0, Root.size(), 9);
    WriteOrFail(Image, Address, Root, pSignature);
}

void BuildAcpi(const json& Acpi, MemoryImage& Image) {
    const uint64_t RsdpAddress = RequiredNumber(Acpi, "rsdp");
    const uint64_t RsdtAddress = RequiredNumber(Acpi, "rsdt");
    const bool HasXsdt = Acpi.contains("xsdt");
    const uint64_t XsdtAddress = HasXsdt ? RequiredNumber(Acpi, "xsdt") : 0;
    const uint64_t Revision = Number(Acpi, "rsdp_revision", HasXsdt ? 2 : 0);

    // Description tables first: the root tables list their addresses in order ("in": "rsdt" or
    // "xsdt" lists a table in one of them only).
    std::vector<uint64_t> Entries;
    std::vector<uint64_t> XsdtEntries;
    if (Acpi.contains("tables")) {
        for (const json& Table : Acpi["tables"]) {
            const uint64_t Address = RequiredNumber(Table, "address");
            const std::string In = Table.value("in", std::string("both"));
            if (In != "both" && In != "rsdt" && In != "xsdt") {
                Fail("a table is \"in\" \"rsdt\", \"xsdt\" or \"both\": " + In);
            }
            if (In != "xsdt") {
                Entries.push_back((uint32_t)Address);
            }
            if (In != "rsdt") {
                XsdtEntries.push_back(Address);
            }
            if (Table.value("listed_only", false)) {
                continue; // an RSDT entry whose table is not written
            }
            const std::string Signature = Table.value("signature", std::string("FACP"));
            if (Signature.size() != 4) {
                Fail("table signature must have 4 characters: " + Signature);
            }
            const bool IsFadt = Signature == "FACP";
            // "declared_length" writes another Length than the table's real size (a hostile
            // FADT that ends before its SMI_CMD field).
            std::vector<uint8_t> B(Number(Table, "length", IsFadt ? 116 : 36), 0);
            if (B.size() < 36 || (IsFadt && B.size() < 52)) {
                Fail("table too short for its header");
            }
            PutText(B, 0, Signature.data(), 4);
            Put32(B, 4, (uint32_t)Number(Table, "declared_length", B.size()));
            B[8] = 1;
            PutText(B, 10, "CORVAN", 6);
            PutText(B, 16, "CORVANE ", 8);
            if (IsFadt) {
                Put32(B, 48, (uint32_t)Number(Table, "smi_cmd", 0xB2));
            }
            FixChecksum(B, 0, B.size(), 9);
            WriteOrFail(Image, Address, B, "ACPI table");
        }
    }

    BuildRootTable(Acpi, Image, "RSDT", RsdtAddress, Entries, 4, "rsdt_length");
    if (HasXsdt) {
        BuildRootTable(Acpi, Image, "XSDT", XsdtAddress, XsdtEntries, 8, "xsdt_length");
    }

    std::vector<uint8_t> Rsdp(Revision >= 2 ? 36 : 20, 0);
    PutText(Rsdp, 0, "RSD PTR ", 8);
    PutText(Rsdp, 9, "CORVAN", 6);
    Rsdp[15] = (uint8_t)Revision;
    Put32(Rsdp, 16, (uint32_t)RsdtAddress);
    if (Revision >= 2) {
        Put32(Rsdp, 20, 36);
        Put64(Rsdp, 24, XsdtAddress);
    }
    FixChecksum(Rsdp, 0, 20, 8);
    if (Revision >= 2) {
        FixChecksum(Rsdp, 0, 36, 32);
        if (Acpi.value("rsdp_extended_checksum", std::string("good")) == "bad") {
            Rsdp[32] = (uint8_t)(Rsdp[32] + 1);
        }
    }
    if (Acpi.value("rsdp_checksum", std::string("good")) == "bad") {
        Rsdp[8] = (uint8_t)(Rsdp[8] + 1);
    }
    WriteOrFail(Image, RsdpAddress, Rsdp, "RSDP");
}

std::vector<uint8_t> BuildStructure(const json& S, uint16_t Handle) {
    std::vector<uint8_t> B;
    std::vector<std::string> Strings;
    if (S.contains("formatted")) {
        B = ParseHex(S["formatted"].get<std::string>());
        if (B.size() < 4) {
            Fail("an SMBIOS structure's formatted area has at least 4 bytes");
        }
    } else {
        const uint64_t Type = RequiredNumber(S, "type");
        if (Type == 0) {
            // BIOS Information (SMBIOS 2.4 layout, 24 bytes).
            B.assign(24, 0);
            B[0] = 0;
            B[1] = 24;
            B[4] = 1;                                       // vendor: string 1
            B[5] = (uint8_t)Number(S, "version_string", 2); // BIOS Version: string 2
            Put16(B, 6, 0xE800);                            // starting segment
            B[8] = 3;                                       // release date: string 3
            B[9] = 0xFF;                                    // ROM size
            B[10] = 0x80;                                   // characteristics
            B[20] = 1;
            B[22] = 0xFF;
            B[23] = 0xFF;
            Strings = {S.value("vendor", std::string("Corvane")),
                       S.value("bios_version", std::string("M1KT52AUS")),
                       S.value("release_date", std::string("10/01/2026"))};
        } else if (Type == 1 && (S.contains("manufacturer") || S.contains("product") ||
                                 S.contains("serial") || S.contains("uuid"))) {
            // System Information (SMBIOS 2.4 layout, 27 bytes); the UUID's first three fields
            // are stored little-endian, as from SMBIOS 2.6 on.
            B.assign(27, 0);
            B[0] = 1;
            B[1] = 27;
            const std::string Uuid = S.value("uuid", std::string());
            if (!Uuid.empty()) {
                std::string Digits;
                for (char C : Uuid) {
                    if (C != '-') {
                        Digits += C;
                    }
                }
                const std::vector<uint8_t> Bytes = ParseHex(Digits);
                if (Bytes.size() != 16) {
                    Fail("a type 1 uuid has 32 hexadecimal digits: " + Uuid);
                }
                static const int kStored[16] = {3, 2, 1,  0,  5,  4,  7,  6,
                                                8, 9, 10, 11, 12, 13, 14, 15};
                for (int Index = 0; Index < 16; Index++) {
                    B[8 + Index] = Bytes[kStored[Index]];
                }
            }
            B[24] = 6; // wake-up type: power switch
            // Manufacturer, product name, version, serial number; an empty text has no string
            // (number 0).
            const std::string Texts[4] = {S.value("manufacturer", std::string("Corvane")),
                                          S.value("product", std::string("Desk")),
                                          S.value("version", std::string("1.0")),
                                          S.value("serial", std::string())};
            for (int Index = 0; Index < 4; Index++) {
                if (!Texts[Index].empty()) {
                    Strings.push_back(Texts[Index]);
                    B[4 + Index] = (uint8_t)Strings.size();
                }
            }
        } else {
            B.assign(4, 0);
            B[0] = (uint8_t)Type;
            B[1] = 4;
        }
    }
    if (S.contains("strings")) {
        Strings = S["strings"].get<std::vector<std::string>>();
    }
    Put16(B, 2, Handle);
    for (const std::string& Text : Strings) {
        B.insert(B.end(), Text.begin(), Text.end());
        B.push_back(0);
    }
    if (Strings.empty()) {
        B.push_back(0);
    }
    B.push_back(0);
    return B;
}

// The SMBIOS 3 entry point ("_SM3_", 24 bytes, 64-bit table address, maximum table size).
void BuildSmbios3Entry(const json& Smbios, MemoryImage& Image, uint64_t TableAddress,
                       size_t TableSize) {
    std::vector<uint8_t> E(0x18, 0);
    PutText(E, 0, "_SM3_", 5);
    E[6] = 0x18;
    E[7] = (uint8_t)Number(Smbios, "major", 3);
    E[8] = (uint8_t)Number(Smbios, "minor", 2);
    E[10] = 1;
    Put32(E, 0x0C, (uint32_t)Number(Smbios, "max_size", TableSize));
    Put64(E, 0x10, TableAddress);
    FixChecksum(E, 0, 0x18, 5);
    if (Smbios.value("checksum3", std::string("good")) == "bad") {
        E[5] = (uint8_t)(E[5] + 1);
    }
    WriteOrFail(Image, RequiredNumber(Smbios, "entry3"), E, "SMBIOS3 entry point");
}

void BuildSmbios(const json& Smbios, MemoryImage& Image) {
    const uint64_t TableAddress = RequiredNumber(Smbios, "table");
    if (!Smbios.contains("entry") && !Smbios.contains("entry3")) {
        Fail("SMBIOS needs an \"entry\" or an \"entry3\" entry point");
    }

    std::vector<uint8_t> Table;
    uint16_t Count = 0;
    uint16_t MaxSize = 0;
    json Structures = Smbios.value("structures", json::array({{{"type", 0}}}));
    if (Smbios.value("end_of_table", true)) {
        Structures.push_back({{"type", 127}});
    }
    for (const json& S : Structures) {
        std::vector<uint8_t> B = BuildStructure(S, Count);
        MaxSize = std::max<uint16_t>(MaxSize, (uint16_t)B.size());
        Table.insert(Table.end(), B.begin(), B.end());
        Count++;
    }
    WriteOrFail(Image, TableAddress, Table, "SMBIOS structure table");
    if (Smbios.contains("entry3")) {
        BuildSmbios3Entry(Smbios, Image, TableAddress, Table.size());
    }
    if (!Smbios.contains("entry")) {
        return;
    }
    const uint64_t EntryAddress = RequiredNumber(Smbios, "entry");

    std::vector<uint8_t> E(0x1F, 0);
    PutText(E, 0, "_SM_", 4);
    E[5] = 0x1F;
    E[6] = (uint8_t)Number(Smbios, "major", 2);
    E[7] = (uint8_t)Number(Smbios, "minor", 8);
    Put16(E, 8, MaxSize);
    PutText(E, 16, "_DMI_", 5);
    Put16(E, 22, (uint16_t)Table.size());
    Put32(E, 24, (uint32_t)TableAddress);
    Put16(E, 28, (uint16_t)Number(Smbios, "count", Count));
    E[30] = 0x28;
    FixChecksum(E, 16, 15, 21);
    FixChecksum(E, 0, 0x1F, 4);
    if (Smbios.value("checksum", std::string("good")) == "bad") {
        E[4] = (uint8_t)(E[4] + 1);
    }
    WriteOrFail(Image, EntryAddress, E, "SMBIOS entry point");
}

} // namespace

bool MemoryImage::Read(uint64_t Address, void* pDest, size_t Count) const {
    auto* pOut = static_cast<uint8_t*>(pDest);
    bool Inside = true;
    for (size_t I = 0; I < Count; I++) {
        const MemoryRegion* pRegion = Find(Address + I);
        if (pRegion == nullptr) {
            pOut[I] = 0xFF;
            Inside = false;
        } else {
            pOut[I] = pRegion->Bytes[Address + I - pRegion->Base];
        }
    }
    return Inside;
}

bool MemoryImage::Write(uint64_t Address, const void* pSource, size_t Count) {
    const auto* pIn = static_cast<const uint8_t*>(pSource);
    for (size_t I = 0; I < Count; I++) {
        const MemoryRegion* pRegion = Find(Address + I);
        if (pRegion == nullptr) {
            return false;
        }
        const_cast<MemoryRegion*>(pRegion)->Bytes[Address + I - pRegion->Base] = pIn[I];
    }
    return true;
}

bool MemoryImage::FindConfigTable(const PlatformGuid& Guid, uint64_t* pAddress) const {
    for (const ConfigTableEntry& Entry : ConfigTable) {
        if (std::memcmp(&Entry.Guid, &Guid, sizeof Guid) == 0) {
            *pAddress = Entry.Address;
            return true;
        }
    }
    return false;
}

PlatformGuid ParseGuid(const std::string& Text) {
    const struct {
        const char* pName;
        const char* pText;
    } kNamed[] = {
        {"acpi20", "8868E871-E4F1-11D3-BC22-0080C73C8881"},
        {"acpi10", "EB9D2D30-2D88-11D3-9A16-0090273FC14D"},
        {"smbios", "EB9D2D31-2D88-11D3-9A16-0090273FC14D"},
        {"smbios3", "F2FD1544-9794-4A2C-992E-E5BBCF20E394"},
    };
    std::string Guid = Text;
    for (const auto& Named : kNamed) {
        if (Text == Named.pName) {
            Guid = Named.pText;
        }
    }
    unsigned Data1 = 0, Data2 = 0, Data3 = 0, Bytes[8] = {0};
    int Used = 0;
    if (Guid.size() != 36 ||
        std::sscanf(Guid.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &Data1, &Data2, &Data3,
                    &Bytes[0], &Bytes[1], &Bytes[2], &Bytes[3], &Bytes[4], &Bytes[5], &Bytes[6],
                    &Bytes[7], &Used) != 11 ||
        Used != 36) {
        Fail("not a GUID: \"" + Text + "\"");
    }
    PlatformGuid Result;
    Result.Data1 = Data1;
    Result.Data2 = (uint16_t)Data2;
    Result.Data3 = (uint16_t)Data3;
    for (int I = 0; I < 8; I++) {
        Result.Data4[I] = (uint8_t)Bytes[I];
    }
    return Result;
}

const MemoryRegion* MemoryImage::Find(uint64_t Address) const {
    for (const MemoryRegion& Region : Regions) {
        if (Address >= Region.Base && Address - Region.Base < Region.Bytes.size()) {
            return &Region;
        }
    }
    return nullptr;
}

uint64_t ParseNumber(const json& Value) {
    if (Value.is_number_unsigned() || Value.is_number_integer()) {
        return Value.get<uint64_t>();
    }
    if (Value.is_string()) {
        const std::string Text = Value.get<std::string>();
        char* pEnd = nullptr;
        const unsigned long long Number = std::strtoull(Text.c_str(), &pEnd, 0);
        if (!Text.empty() && pEnd != nullptr && *pEnd == '\0') {
            return Number;
        }
    }
    Fail("not a number: " + Value.dump());
}

json DefaultMachineDescription() {
    return json::parse(R"({
  "description": "Desktop: ACPI tables naming SMI command port 0xB2, SMBIOS 2.8 with BIOS Version M1KT52AUS, AMI BIOS signature",
  "memory": [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"}],
  "acpi": {
    "rsdp": "0xF6000",
    "rsdt": "0xF6040",
    "tables": [
      {"address": "0xF6100", "signature": "APIC"},
      {"address": "0xF6200", "signature": "FACP", "smi_cmd": "0xB2"}
    ]
  },
  "smbios": {
    "entry": "0xF5000",
    "table": "0xF5040",
    "structures": [{"type": 0, "bios_version": "M1KT52AUS"}, {"type": 1}]
  },
  "bytes": [{"address": "0xF0040", "ascii": "AMIBIOS"}],
  "firmware": {
    "mfg_done": false,
    "admin_password_hash": null,
    "power_on_password_hash": null,
    "retry_count": 0,
    "retry_limit": 3,
    "comm_buffer": {"max_size": "0x0", "grant": false, "address": "0x00000000", "size": "0x0",
                    "descriptor": "0x00000000", "locked": false},
    "settings": {},
    "tpm_mode": "ftpm2.0",
    "tpm_code": 6,
    "pap_mode": "custom",
    "computrace_hidden": false,
    "computrace_message": true,
    "computrace_disabled": false,
    "me_gpio": {"present": true, "value": 0},
    "boot_agent_variable": true,
    "workstation": false,
    "image": {"size": "0x0", "padding": "0x0", "seed": "0x2545F491"},
    "inject": []
  }
})");
}

json UefiDesktopDescription() {
    json Machine = DefaultMachineDescription();
    const json Tables = json::parse(R"({
  "description": "UEFI-only desktop: nothing in the legacy BIOS area; an ACPI 2.0 RSDP with XSDT and RSDT above 1 MiB naming SMI command port 0xB2 and an SMBIOS3 entry point with BIOS Version M1KT52AUS, both in the UEFI configuration table; firmware vendor American Megatrends",
  "memory": [{"base": "0xE0000", "size": "0x20000", "fill": "0xFF"},
             {"base": "0x7E800000", "size": "0x10000", "fill": "0x00"}],
  "acpi": {
    "rsdp": "0x7E800000",
    "rsdt": "0x7E800040",
    "xsdt": "0x7E800080",
    "rsdp_revision": 2,
    "tables": [
      {"address": "0x7E800200", "signature": "APIC"},
      {"address": "0x7E800400", "signature": "FACP", "smi_cmd": "0xB2"}
    ]
  },
  "smbios": {
    "entry3": "0x7E801000",
    "table": "0x7E801040",
    "structures": [{"type": 0, "vendor": "American Megatrends International, LLC.",
                    "bios_version": "M1KT52AUS"}, {"type": 1}]
  },
  "configuration_table": [{"guid": "acpi20", "address": "0x7E800000"},
                          {"guid": "smbios3", "address": "0x7E801000"}],
  "firmware_vendor": "American Megatrends"
})");
    Machine.erase("bytes");
    for (const auto& Item : Tables.items()) {
        Machine[Item.key()] = Item.value();
    }
    return Machine;
}

MemoryImage BuildMemoryImage(const json& Description) {
    MemoryImage Image;
    json Memory = Description.value(
        "memory", json::array({{{"base", kLegacyBase}, {"size", kLegacySize}, {"fill", 0xFF}}}));
    for (const json& Region : Memory) {
        MemoryRegion R;
        R.Base = RequiredNumber(Region, "base");
        const uint64_t Size = RequiredNumber(Region, "size");
        if (Size == 0 || Size > 0x10000000 || R.Base + Size > 0x100000000ULL) {
            Fail("a memory region lies below 4 GiB and holds at most 256 MiB");
        }
        if (Image.Find(R.Base) != nullptr || Image.Find(R.Base + Size - 1) != nullptr) {
            Fail("memory regions overlap");
        }
        R.Bytes.assign(Size, (uint8_t)Number(Region, "fill", 0xFF));
        const std::string Type = Region.value("type", std::string("ram"));
        if (Type != "ram" && Type != "reserved" && Type != "acpi" && Type != "mmio" &&
            Type != "unusable") {
            Fail("a memory region's type is \"ram\", \"reserved\", \"acpi\", \"mmio\" or "
                 "\"unusable\", not \"" +
                 Type + "\"");
        }
        R.Readable = Type != "mmio" && Type != "unusable";
        Image.Regions.push_back(std::move(R));
    }
    // "acpi" and "smbios" are one set of tables or a list of them (legacy tables beside those
    // of the configuration table).
    for (const char* pKey : {"acpi", "smbios"}) {
        if (!Description.contains(pKey)) {
            continue;
        }
        const json& Value = Description[pKey];
        for (const json& Tables : Value.is_array() ? Value : json::array({Value})) {
            if (std::string(pKey) == "acpi") {
                BuildAcpi(Tables, Image);
            } else {
                BuildSmbios(Tables, Image);
            }
        }
    }
    if (Description.contains("configuration_table")) {
        for (const json& Entry : Description["configuration_table"]) {
            ConfigTableEntry E;
            E.Guid = ParseGuid(Entry.value("guid", std::string()));
            E.Address = RequiredNumber(Entry, "address");
            Image.ConfigTable.push_back(E);
        }
    }
    Image.FirmwareVendor = Description.value("firmware_vendor", std::string());
    // "variables": by name, a number (one byte of the global variable GUID) or {"hex", "guid"}.
    const json Variables = Description.value("variables", json::object());
    for (const auto& Item : Variables.items()) {
        FirmwareVariable Variable{Item.key(), kPlatformGlobalVariableGuid, {}};
        const json& Value = Item.value();
        if (Value.is_object()) {
            Variable.Value = ParseHex(Value.value("hex", std::string()));
            if (Value.contains("guid")) {
                Variable.Vendor = ParseGuid(Value["guid"].get<std::string>());
            }
        } else if (ParseNumber(Value) <= 0xFF) {
            Variable.Value.push_back((uint8_t)ParseNumber(Value));
        } else {
            Fail("variables: " + Item.key() + ": a number is one byte (0 to 0xFF)");
        }
        Image.Variables.push_back(std::move(Variable));
    }
    if (Description.contains("bytes")) {
        for (const json& Patch : Description["bytes"]) {
            const uint64_t Address = RequiredNumber(Patch, "address");
            std::vector<uint8_t> Bytes;
            if (Patch.contains("ascii")) {
                const std::string Text = Patch["ascii"].get<std::string>();
                Bytes.assign(Text.begin(), Text.end());
            } else if (Patch.contains("hex")) {
                Bytes = ParseHex(Patch["hex"].get<std::string>());
            } else {
                Fail("a \"bytes\" entry needs \"ascii\" or \"hex\"");
            }
            WriteOrFail(Image, Address, Bytes, "bytes");
        }
    }
    return Image;
}

json LoadMachineFile(const std::string& Path) {
    std::ifstream In(Path);
    if (!In) {
        throw std::runtime_error("cannot open machine file " + Path);
    }
    try {
        return json::parse(In);
    } catch (const json::exception& E) {
        throw std::runtime_error("machine file " + Path + ": " + E.what());
    }
}

void SaveMachineFile(const std::string& Path, const json& Description) {
    const std::string Temporary = Path + ".tmp";
    {
        std::ofstream Out(Temporary, std::ios::trunc);
        Out << Description.dump(2) << "\n";
        if (!Out) {
            throw std::runtime_error("cannot write machine file " + Temporary);
        }
    }
    if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
        throw std::runtime_error("cannot replace machine file " + Path);
    }
}

} // namespace sim
