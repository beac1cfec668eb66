#include "Simulator/Machine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

void BuildAcpi(const json& Acpi, MemoryImage& Image) {
    const uint64_t RsdpAddress = RequiredNumber(Acpi, "rsdp");
    const uint64_t RsdtAddress = RequiredNumber(Acpi, "rsdt");
    const uint64_t Revision = Number(Acpi, "rsdp_revision", 0);

    // Description tables first: the RSDT lists their addresses in order.
    std::vector<uint32_t> Entries;
    if (Acpi.contains("tables")) {
        for (const json& Table : Acpi["tables"]) {
            const uint64_t Address = RequiredNumber(Table, "address");
            Entries.push_back((uint32_t)Address);
            if (Table.value("listed_only", false)) {
                continue; // an RSDT entry whose table is not written
            }
            const std::string Signature = Table.value("signature", std::string("FACP"));
            if (Signature.size() != 4) {
                Fail("table signature must have 4 characters: " + Signature);
            }
            const bool IsFadt = Signature == "FACP";
            std::vector<uint8_t> B(Number(Table, "length", IsFadt ? 116 : 36), 0);
            if (B.size() < 36 || (IsFadt && B.size() < 52)) {
                Fail("table too short for its header");
            }
            PutText(B, 0, Signature.data(), 4);
            Put32(B, 4, (uint32_t)B.size());
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

    const size_t RealLength = 36 + 4 * Entries.size();
    std::vector<uint8_t> Rsdt(RealLength, 0);
    PutText(Rsdt, 0, "RSDT", 4);
    Put32(Rsdt, 4, (uint32_t)Number(Acpi, "rsdt_length", RealLength));
    Rsdt[8] = 1;
    PutText(Rsdt, 10, "CORVAN", 6);
    PutText(Rsdt, 16, "CORVANE ", 8);
    for (size_t I = 0; I < Entries.size(); I++) {
        Put32(Rsdt, 36 + 4 * I, Entries[I]);
    }
    FixChecksum(Rsdt, 0, Rsdt.size(), 9);
    WriteOrFail(Image, RsdtAddress, Rsdt, "RSDT");

    std::vector<uint8_t> Rsdp(Revision >= 2 ? 36 : 20, 0);
    PutText(Rsdp, 0, "RSD PTR ", 8);
    PutText(Rsdp, 9, "CORVAN", 6);
    Rsdp[15] = (uint8_t)Revision;
    Put32(Rsdp, 16, (uint32_t)RsdtAddress);
    FixChecksum(Rsdp, 0, 20, 8);
    if (Revision >= 2) {
        Put32(Rsdp, 20, 36);
        FixChecksum(Rsdp, 0, 36, 32);
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

void BuildSmbios(const json& Smbios, MemoryImage& Image) {
    const uint64_t EntryAddress = RequiredNumber(Smbios, "entry");
    const uint64_t TableAddress = RequiredNumber(Smbios, "table");

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

    std::vector<uint8_t> E(0x1F, 0);
    PutText(E, 0, "_SM_", 4);
    E[5] = 0x1F;
    E[6] = 2;
    E[7] = 8;
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
        Image.Regions.push_back(std::move(R));
    }
    if (Description.contains("acpi")) {
        BuildAcpi(Description["acpi"], Image);
    }
    if (Description.contains("smbios")) {
        BuildSmbios(Description["smbios"], Image);
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
