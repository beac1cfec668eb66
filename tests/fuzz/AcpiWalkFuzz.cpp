// Fuzz target: the search for the SMI command port (GetSmiPortNumber) over a memory image and
// configuration table made from the fuzzer's bytes (FuzzMemory.h): the legacy RSDP scan and
// RSDT walk, then the configuration table's RSDPs with their XSDT or RSDT.
//
// Invariant: every read lies within what the walk may read:
//   - the scan area 0xE0000-0xFFFF7 (an 8-byte signature at each 16-byte step up to 0xFFFF0);
//   - an RSDP the scan or the configuration table found: its 20 bytes, from revision 2 on its
//     36 bytes and its declared length when that is 36 to 1024;
//   - a root table it names (RSDT at 16, from revision 2 on also XSDT at 24): its 8-byte header,
//     and when the signature is right and it declares at most 256 entries, those entries;
//   - a table an entry names: its 8-byte header, and when it is a FADT of at least 52 bytes,
//     its SMI_CMD field (48-49).
// No read wraps past 2^64 or reaches beyond the physical address space (FuzzMemory.h).
// A port reported found is never 0 and is the SMI_CMD of a FADT listed in such a root table.
#include <string.h>

#include <vector>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/Crestune.h"
#include "FuzzMemory.h"
#include "FuzzSupport.h"

namespace {

const uint64_t kScanStart = 0xE0000;
const uint64_t kScanLast = 0xFFFF0;

// Allows a root table and what its entries name; collects the ports its FADTs name.
void AllowRoot(const FuzzMemory& Memory, uint64_t Root, uint32_t Signature, uint32_t EntrySize,
               std::vector<FuzzRange>* pAllowed, std::vector<uint16_t>* pPorts) {
    AllowRange(pAllowed, Root, 8);
    if (Memory.Word32(Root) != Signature) {
        return;
    }
    const uint32_t Length = Memory.Word32(Root + 4);
    const uint32_t Count = Length > 36 ? (Length - 36) / EntrySize : 0;
    if (Count > 256) {
        return;
    }
    AllowRange(pAllowed, Root + 36, (uint64_t)Count * EntrySize);
    for (uint32_t Index = 0; Index < Count; Index++) {
        const uint64_t At = Root + 36 + (uint64_t)Index * EntrySize;
        const uint64_t Table = EntrySize == 8 ? Memory.Word64(At) : Memory.Word32(At);
        AllowRange(pAllowed, Table, 8);
        if (Memory.Word32(Table) == ACPI_SIGNATURE_FADT && Memory.Word32(Table + 4) >= 52) {
            AllowRange(pAllowed, Table + 48, 2);
            pPorts->push_back(Memory.Word16(Table + 48));
        }
    }
}

void AllowRsdp(const FuzzMemory& Memory, uint64_t Rsdp, std::vector<FuzzRange>* pAllowed,
               std::vector<uint16_t>* pPorts) {
    AllowRange(pAllowed, Rsdp, 20);
    AllowRoot(Memory, Memory.Word32(Rsdp + 16), ACPI_SIGNATURE_RSDT, 4, pAllowed, pPorts);
    if (Memory.Byte(Rsdp + 15) >= 2) {
        AllowRange(pAllowed, Rsdp, 36);
        const uint32_t Length = Memory.Word32(Rsdp + 20);
        if (Length >= 36 && Length <= 1024) {
            AllowRange(pAllowed, Rsdp, Length);
        }
        AllowRoot(Memory, Memory.Word64(Rsdp + 24), ACPI_SIGNATURE_XSDT, 8, pAllowed, pPorts);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    static FuzzMemory Memory;
    if (!Memory.Parse(pData, Size)) {
        return 0;
    }
    const bool UseConfig = (pData[0] & 0x80) == 0;
    uint16_t Port = 0;
    bool ThroughConfig = false;
    const bool Found =
        GetSmiPortNumber(&Memory.Reader, &Port, UseConfig ? &Memory.Config : NULL, &ThroughConfig);

    std::vector<FuzzRange> Allowed;
    std::vector<uint16_t> Ports;
    AllowRange(&Allowed, kScanStart, kScanLast + 8 - kScanStart);
    for (uint64_t Address = kScanStart; Address <= kScanLast; Address += 16) {
        if (Memory.Word32(Address) == 0x20445352 && Memory.Word32(Address + 4) == 0x20525450) {
            AllowRsdp(Memory, Address, &Allowed, &Ports);
            break; // the lowest anchor is the RSDP
        }
    }
    if (UseConfig) {
        for (int Index : {FUZZ_ACPI20, FUZZ_ACPI10}) {
            if (Memory.HasEntry[Index]) {
                AllowRsdp(Memory, Memory.Entry[Index], &Allowed, &Ports);
            }
        }
    }
    for (const FuzzRange& Read : Memory.Reads) {
        FUZZ_CHECK(RangeAllowed(Read, Allowed), "read of %u bytes at 0x%llX outside the tables",
                   (unsigned)(Read.End - Read.Start), (unsigned long long)Read.Start);
    }
    if (Found) {
        FUZZ_CHECK(Port != 0, "%s", "port 0 reported as found");
        bool Listed = false;
        for (uint16_t Candidate : Ports) {
            Listed = Listed || Candidate == Port;
        }
        FUZZ_CHECK(Listed, "port 0x%X is no listed FADT's SMI_CMD", (unsigned)Port);
        FUZZ_CHECK(UseConfig || !ThroughConfig, "%s", "configuration table used without one");
    }
    return 0;
}
