// Unit's walk over db's signature lists, taken as untrusted bytes, and its db line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Applications/Unit/SignatureDb.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kOwnerText[] = "A0BAA8A3-041D-48A8-BC87-C36D121B5E3D";
const Bytes kX509 = {0xA1, 0x59, 0xC0, 0xA5, 0xE4, 0x94, 0xA7, 0x4A,
                     0x87, 0xB5, 0xAB, 0x15, 0x5C, 0x2B, 0xF0, 0x72};
const Bytes kSha256Type = {0x26, 0x16, 0xC4, 0xC1, 0x4C, 0x50, 0x92, 0x40,
                           0xAC, 0xA9, 0x41, 0xF9, 0x36, 0x93, 0x43, 0x28};
// SHA-256 of "abc" (FIPS 180-4's example), the stand-in certificate.
const char kAbcDigest[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

PlatformGuid Owner() {
    PlatformGuid Guid;
    EXPECT_TRUE(ParseGuidText(kOwnerText, &Guid));
    return Guid;
}

Bytes OwnerBytes(const PlatformGuid& Guid) {
    const auto* p = reinterpret_cast<const uint8_t*>(&Guid);
    return Bytes(p, p + 16);
}

void Put32(Bytes& Out, uint32_t Value) {
    for (int Shift = 0; Shift < 32; Shift += 8) {
        Out.push_back((uint8_t)(Value >> Shift));
    }
}

// A signature list of entries that all have the size of the first; ListSize and EntrySize are
// what the entries make unless given.
Bytes List(const Bytes& Type, const std::vector<std::pair<Bytes, std::string>>& Entries,
           uint32_t HeaderSize = 0, int64_t ListSize = -1, int64_t EntrySize = -1) {
    const uint32_t Natural = Entries.empty() ? 16 : 16 + (uint32_t)Entries[0].second.size();
    Bytes Out = Type;
    Put32(Out, ListSize >= 0 ? (uint32_t)ListSize
                             : 28 + HeaderSize + Natural * (uint32_t)Entries.size());
    Put32(Out, HeaderSize);
    Put32(Out, EntrySize >= 0 ? (uint32_t)EntrySize : Natural);
    Out.insert(Out.end(), HeaderSize, 0);
    for (const auto& Entry : Entries) {
        Out.insert(Out.end(), Entry.first.begin(), Entry.first.end());
        Out.insert(Out.end(), Entry.second.begin(), Entry.second.end());
    }
    return Out;
}

Bytes Join(std::initializer_list<Bytes> Parts) {
    Bytes Out;
    for (const Bytes& Part : Parts) {
        Out.insert(Out.end(), Part.begin(), Part.end());
    }
    return Out;
}

std::string Line(const Bytes& Db) {
    const PlatformGuid Guid = Owner();
    SignatureDbReport Report;
    WalkSignatureDb(Db.data(), Db.size(), &Guid, &Report);
    char Text[512];
    FormatDbLine(&Guid, &Report, Text, sizeof Text);
    return Text;
}

TEST(SignatureDbTest, ListsAreWalkedWithinTheirSizes) {
    const Bytes Mine = OwnerBytes(Owner());
    const Bytes Other(16, 0x11);
    const std::string Head = std::string("db owner ") + kOwnerText + ": ";
    const std::string Abc = std::string(", SHA-256 ") + kAbcDigest;
    const Bytes Good = List(kX509, {{Mine, "abc"}});
    const Bytes Tail = List(kX509, {{Other, "xyz"}});
    // Header size 2^32 - 17: 28 more wraps to 11, and two 17-byte entries would seem to fit.
    Bytes Wrapping = List(kSha256Type, {{Other, "h"}});
    Wrapping[20] = 0xEF, Wrapping[21] = Wrapping[22] = Wrapping[23] = 0xFF;
    const struct {
        const char* Name;
        Bytes Db;
        std::string Line;
    } Cases[] = {
        {"a good list", Good,
         "1 certificate" + Abc + "; other entries: 0 of this owner, 0 of other owners"},
        {"empty", {}, "0 certificates; other entries: 0 of this owner, 0 of other owners"},
        {"another owner's certificate and a hash of ours",
         Join({Tail, List(kSha256Type, {{Mine, "h"}})}),
         "0 certificates; other entries: 1 of this owner, 1 of other owners"},
        {"two certificates under the owner, in one list and in two",
         Join({List(kX509, {{Mine, "abc"}, {Mine, "abc"}}), Tail, Good}),
         "3 certificates" + Abc + " " + kAbcDigest + " " + kAbcDigest +
             "; other entries: 0 of this owner, 1 of other owners"},
        {"more certificates than are shown",
         List(kX509, {{Mine, "abc"}, {Mine, "abc"}, {Mine, "abc"}, {Mine, "abc"}, {Mine, "abc"}}),
         "5 certificates" + Abc + " " + kAbcDigest + " " + kAbcDigest + " " + kAbcDigest +
             " and 1 more; other entries: 0 of this owner, 0 of other owners"},
        {"a header cut short", Join({Good, Bytes(27, 0)}),
         "not read (the signature list at byte 47 is cut short)"},
        {"a list cut short after a good one", Join({Good, Bytes(Good.begin(), Good.end() - 1)}),
         "not read (the signature list at byte 47 is cut short)"},
        {"entries that do not fill the list", List(kX509, {{Mine, "abc"}}, 0, 47, 20),
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"an entry size of 0", List(kSha256Type, {{Mine, ""}}, 0, 44, 0),
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"an X.509 entry without a certificate", List(kX509, {{Mine, ""}}),
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"an X.509 list with a header", List(kX509, {{Mine, "abc"}}, 4),
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"a header size that wraps past 32 bits", Wrapping,
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"a list shorter than its own header", List(kSha256Type, {}, 0, 20, 16),
         "not read (the sizes of the signature list at byte 0 disagree)"},
        {"more entries than the cap",
         List(kSha256Type,
              std::vector<std::pair<Bytes, std::string>>(UNIT_DB_MAX_ENTRIES + 1, {Other, ""})),
         "not read (more than 1024 entries)"},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(Line(Case.Db), Head + Case.Line) << Case.Name;
    }
}

TEST(SignatureDbTest, OwnerGuidText) {
    PlatformGuid Guid;
    ASSERT_TRUE(ParseGuidText("a0baa8a3-041d-48a8-bc87-c36d121b5e3d", &Guid));
    // Stored as EFI_GUID: the first three fields little-endian.
    const Bytes Stored = {0xA3, 0xA8, 0xBA, 0xA0, 0x1D, 0x04, 0xA8, 0x48,
                          0xBC, 0x87, 0xC3, 0x6D, 0x12, 0x1B, 0x5E, 0x3D};
    EXPECT_EQ(OwnerBytes(Guid), Stored);
    for (const char* pBad :
         {"A0BAA8A3-041D-48A8-BC87-C36D121B5E3", "A0BAA8A3-041D-48A8-BC87-C36D121B5E3D0",
          "A0BAA8A3_041D-48A8-BC87-C36D121B5E3D", "G0BAA8A3-041D-48A8-BC87-C36D121B5E3D",
          "{0BAA8A3-041D-48A8-BC87-C36D121B5E3}", ""}) {
        EXPECT_FALSE(ParseGuidText(pBad, &Guid)) << pBad;
    }
}

} // namespace
