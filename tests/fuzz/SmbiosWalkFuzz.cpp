// Fuzz target: the SMBIOS walks over a memory image and configuration table made from the
// fuzzer's bytes (FuzzMemory.h): FindSmbiosTable, FindSmbiosStructure, GetSmbiosString and
// Crestune's copy of a structure (GetSmbStrucAddr). Flag bit 7 hides the configuration table,
// bits 4-6 pick the structure type (7 stands for 127, the end of table), the last input byte
// picks the string number and the copy buffer's size.
//
// Invariant:
//   - finding the table reads only the scan area 0xF0000-0xFFFE3 and the entry points found
//     there or in the configuration table (their declared length, at least their fixed fields);
//     the table is the one such an entry point declares (an SMBIOS3 table cut where the physical
//     address space ends);
//   - no read wraps past 2^64 or reaches beyond the physical address space (FuzzMemory.h);
//   - walking the structures and reading strings reads only inside the declared table; a found
//     structure has the type, lies inside the table and ends with two zero bytes;
//   - a string read is terminated within its buffer, not empty, and is a string of the
//     structure's set (or its start when cut);
//   - a copied structure is the image's bytes, fits the caller's buffer and the rest of the
//     buffer is zero; nothing is written past the buffer.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "Applications/Common/FirmwareTables.h"
#include "Applications/Crestune/SmbiosCopy.h"
#include "FuzzMemory.h"
#include "FuzzSupport.h"

namespace {

const uint64_t kScanStart = 0xF0000;
const uint64_t kScanLast = 0xFFFE0;

struct Declared {
    uint64_t Address;
    uint64_t Length;
    uint32_t MaxCount;
};

void AllowEntry(const FuzzMemory& Memory, uint64_t Entry, bool Smbios3,
                std::vector<FuzzRange>* pAllowed, std::vector<Declared>* pTables) {
    if (Smbios3) {
        const uint8_t Length = Memory.Byte(Entry + 6);
        AllowRange(pAllowed, Entry, Length > 0x18 ? Length : 0x18);
        const uint32_t MaxSize = Memory.Word32(Entry + 0x0C);
        const uint64_t Table = Memory.Word64(Entry + 0x10);
        uint64_t Walk = MaxSize < SMBIOS3_MAX_WALK ? MaxSize : SMBIOS3_MAX_WALK;
        // The walk stops where the physical address space ends.
        if (Table >= PHYS_ADDRESS_LIMIT) {
            Walk = 0;
        } else if (Walk > PHYS_ADDRESS_LIMIT - Table) {
            Walk = PHYS_ADDRESS_LIMIT - Table;
        }
        pTables->push_back({Table, Walk, 0xFFFFFFFFu});
    } else {
        const uint8_t Length = Memory.Byte(Entry + 5);
        AllowRange(pAllowed, Entry, Length > 0x20 ? Length : 0x20);
        pTables->push_back({Memory.Word32(Entry + 0x18), Memory.Word16(Entry + 0x16),
                            Memory.Word16(Entry + 0x1C)});
    }
}

void CheckReads(const FuzzMemory& Memory, size_t From, const std::vector<FuzzRange>& Allowed,
                const char* pWhat) {
    for (size_t Index = From; Index < Memory.Reads.size(); Index++) {
        const FuzzRange& Read = Memory.Reads[Index];
        FUZZ_CHECK(RangeAllowed(Read, Allowed), "%s: read of %u bytes at 0x%llX outside", pWhat,
                   (unsigned)(Read.End - Read.Start), (unsigned long long)Read.Start);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    static FuzzMemory Memory;
    if (Size < 2 || !Memory.Parse(pData, Size - 1)) {
        return 0;
    }
    const bool UseConfig = (pData[0] & 0x80) == 0;
    const uint8_t TypeBits = (pData[0] >> 4) & 7;
    const uint8_t Type = TypeBits == 7 ? SMBIOS_END_OF_TABLE_TYPE : TypeBits;
    const uint8_t Last = pData[Size - 1];
    const uint8_t StringNumber = Last & 7;
    const uint32_t BufferSize = 8u + 16u * (Last >> 3);
    const ConfigTableLookup* pConfig = UseConfig ? &Memory.Config : NULL;

    // Where finding the table may read, and the tables the entry points declare.
    std::vector<FuzzRange> EntryAreas;
    std::vector<Declared> Tables;
    AllowRange(&EntryAreas, kScanStart, kScanLast + 4 - kScanStart);
    for (uint64_t Address = kScanStart; Address <= kScanLast; Address += 16) {
        if (Memory.Word32(Address) == 0x5F4D535F) {
            AllowEntry(Memory, Address, false, &EntryAreas, &Tables);
        }
    }
    if (UseConfig) {
        if (Memory.HasEntry[FUZZ_SMBIOS3]) {
            AllowEntry(Memory, Memory.Entry[FUZZ_SMBIOS3], true, &EntryAreas, &Tables);
        }
        if (Memory.HasEntry[FUZZ_SMBIOS]) {
            AllowEntry(Memory, Memory.Entry[FUZZ_SMBIOS], false, &EntryAreas, &Tables);
        }
    }

    SmbiosTable Table;
    const bool FoundTable = FindSmbiosTable(&Memory.Reader, pConfig, &Table);
    CheckReads(Memory, 0, EntryAreas, "finding the table");
    if (!FoundTable) {
        return 0;
    }
    bool IsDeclared = false;
    for (const Declared& Candidate : Tables) {
        IsDeclared =
            IsDeclared || (Candidate.Address == Table.Address && Candidate.Length == Table.Length &&
                           Candidate.MaxCount == Table.MaxCount);
    }
    FUZZ_CHECK(IsDeclared, "table at 0x%llX (%llu bytes) declared by no entry point",
               (unsigned long long)Table.Address, (unsigned long long)Table.Length);

    std::vector<FuzzRange> TableArea;
    AllowRange(&TableArea, Table.Address, Table.Length);
    size_t From = Memory.Reads.size();
    uint64_t Structure = 0;
    uint32_t TotalLength = 0;
    const bool FoundStructure =
        FindSmbiosStructure(&Memory.Reader, &Table, Type, &Structure, &TotalLength);
    CheckReads(Memory, From, TableArea, "walking the structures");
    if (FoundStructure) {
        const unsigned __int128 End = (unsigned __int128)Structure + TotalLength;
        FUZZ_CHECK(Structure >= Table.Address &&
                       End <= (unsigned __int128)Table.Address + Table.Length,
                   "structure at 0x%llX (%u bytes) outside the table",
                   (unsigned long long)Structure, (unsigned)TotalLength);
        FUZZ_CHECK(Memory.Byte(Structure) == Type, "structure of type %u for type %u",
                   (unsigned)Memory.Byte(Structure), (unsigned)Type);
        FUZZ_CHECK(TotalLength >= (uint32_t)Memory.Byte(Structure + 1) + 2 &&
                       Memory.Word16(Structure + TotalLength - 2) == 0,
                   "structure of %u bytes does not end with its string set", (unsigned)TotalLength);

        std::vector<FuzzRange> StructureArea;
        AllowRange(&StructureArea, Structure, TotalLength);
        char Text[21];
        memset(Text, 0x5A, sizeof Text);
        From = Memory.Reads.size();
        const bool GotString = GetSmbiosString(&Memory.Reader, Structure, TotalLength, StringNumber,
                                               Text, sizeof Text - 1);
        CheckReads(Memory, From, StructureArea, "reading a string");
        FUZZ_CHECK(Text[sizeof Text - 1] == 0x5A, "%s", "string written past its buffer");
        if (GotString) {
            const size_t Length = strnlen(Text, sizeof Text - 1);
            FUZZ_CHECK(Length > 0 && Length < sizeof Text - 1, "string of %zu characters", Length);
            bool InSet = false;
            const uint64_t Strings = Structure + Memory.Byte(Structure + 1);
            for (uint64_t At = Strings; At + Length <= Structure + TotalLength && !InSet; At++) {
                if (At != Strings && Memory.Byte(At - 1) != 0) {
                    continue;
                }
                bool Same = true;
                for (size_t Index = 0; Index < Length && Same; Index++) {
                    Same = Memory.Byte(At + Index) == (uint8_t)Text[Index];
                }
                InSet = Same;
            }
            FUZZ_CHECK(InSet, "string [%s] is no string of the structure", Text);
        }
    }

    // The copy: the same search, then the structure into the caller's buffer.
    uint8_t* pBuffer = (uint8_t*)malloc(BufferSize);
    memset(pBuffer, 0xA5, BufferSize);
    From = Memory.Reads.size();
    const bool Copied = GetSmbStrucAddr(&Memory.Reader, Type, pBuffer, BufferSize, pConfig);
    std::vector<FuzzRange> Everything = EntryAreas;
    AllowRange(&Everything, Table.Address, Table.Length);
    CheckReads(Memory, From, Everything, "copying a structure");
    if (Copied) {
        FUZZ_CHECK(FoundStructure && Table.MaxCount != 0 && TotalLength <= BufferSize,
                   "copied a structure the walk did not find or that does not fit (%u > %u)",
                   (unsigned)TotalLength, (unsigned)BufferSize);
        for (uint32_t Index = 0; Index < BufferSize; Index++) {
            const uint8_t Expected = Index < TotalLength ? Memory.Byte(Structure + Index) : 0;
            FUZZ_CHECK(pBuffer[Index] == Expected, "copy differs at byte %u", (unsigned)Index);
        }
    } else {
        FUZZ_CHECK(!FoundStructure || Table.MaxCount == 0 || TotalLength > BufferSize, "%s",
                   "a structure the walk finds was not copied");
    }
    free(pBuffer);
    return 0;
}
