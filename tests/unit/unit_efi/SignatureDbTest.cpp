// Unit's walk over db's signature lists, taken as untrusted bytes, and its db line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Applications/Unit/SignatureDb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The owner as stored: the first three fields little-endian.
const Bytes kMine = {0xA3, 0xA8, 0xBA, 0xA0, 0x1D, 0x04, 0xA8, 0x48,
                     0xBC, 0x87, 0xC3, 0x6D, 0x12, 0x1B, 0x5E, 0x3D};
// Another owner: the same but for its last byte.
const Bytes kOther = {0xA3, 0xA8, 0xBA, 0xA0, 0x1D, 0x04, 0xA8, 0x48,
                      0xBC, 0x87, 0xC3, 0x6D, 0x12, 0x1B, 0x5E, 0x3E};
const Bytes kX509 = {0xA1, 0x59, 0xC0, 0xA5, 0xE4, 0x94, 0xA7, 0x4A,
                     0x87, 0xB5, 0xAB, 0x15, 0x5C, 0x2B, 0xF0, 0x72};
const Bytes kHash(16, 0x26); // any other signature type
// SHA-256 of "abc" (FIPS 180-4's example), the stand-in certificate.
const std::string kAbc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

Bytes With(Bytes Db, size_t At, uint32_t Value) {
    for (int Byte = 0; Byte < 4; Byte++) {
        Db[At + Byte] = (uint8_t)(Value >> 8 * Byte);
    }
    return Db;
}

Bytes operator+(Bytes Head, const Bytes& Tail) {
    Head.insert(Head.end(), Tail.begin(), Tail.end());
    return Head;
}

// A signature list of Count entries of Owner and Data, after HeaderSize bytes of header.
Bytes List(const Bytes& Type, const Bytes& Owner, const std::string& Data, uint32_t Count = 1,
           uint32_t HeaderSize = 0) {
    Bytes Out = Type + Bytes(12 + HeaderSize);
    for (uint32_t Index = 0; Index < Count; Index++) {
        Out = Out + Owner + Bytes(Data.begin(), Data.end());
    }
    const uint32_t Size = 16 + (uint32_t)Data.size();
    return With(With(With(Out, 16, 28 + HeaderSize + Size * Count), 20, HeaderSize), 24, Size);
}

TEST(SignatureDbTest, ListsAreWalkedWithinTheirSizes) {
    const Bytes Good = List(kX509, kMine, "abc");
    const std::string Disagree = "not read (the sizes of the signature list at byte 0 disagree)";
    const std::string CutShort = "not read (the signature list at byte 47 is cut short)";
    const std::string NoOthers = "; other entries: 0 of this owner, 0 of other owners";
    const struct {
        const char* Name;
        Bytes Db;
        std::string Line;
    } Cases[] = {
        {"a good list", Good, "1 certificate, SHA-256 " + kAbc + NoOthers},
        {"another owner's certificate and a hash of ours",
         List(kX509, kOther, "xyz") + List(kHash, kMine, "h"),
         "0 certificates; other entries: 1 of this owner, 1 of other owners"},
        {"five certificates of ours in two lists, another owner's between",
         List(kX509, kMine, "abc", 2) + List(kX509, kOther, "xyz") + List(kX509, kMine, "abc", 3),
         "5 certificates, SHA-256 " + kAbc + " " + kAbc + " " + kAbc + " " + kAbc +
             " and 1 more; other entries: 0 of this owner, 1 of other owners"},
        {"a header cut short", Good + Bytes(27), CutShort},
        {"a list cut short", Good + Bytes(Good.begin(), Good.end() - 1), CutShort},
        {"entries that do not fill the list", With(Good, 24, 20), Disagree},
        {"an entry size of 0", With(List(kHash, kMine, "h"), 24, 0), Disagree},
        {"an X.509 list with a header", List(kX509, kMine, "abc", 1, 4), Disagree},
        // 28 more than 2^32 - 17 wraps to 11, and two 17-byte entries would seem to fit.
        {"a header size that wraps", With(List(kHash, kOther, "h"), 20, 0xFFFFFFEF), Disagree},
        {"more entries than the cap", List(kHash, kOther, "", UNIT_DB_MAX_ENTRIES + 1),
         "not read (more than 1024 entries)"},
    };
    PlatformGuid Owner;
    ASSERT_TRUE(ParseGuidText("a0baa8a3-041d-48a8-bc87-c36d121b5e3d", &Owner));
    for (const auto& Case : Cases) {
        SignatureDbReport Report;
        WalkSignatureDb(Case.Db.data(), Case.Db.size(), &Owner, &Report);
        char Line[512];
        FormatDbLine(&Owner, &Report, Line, sizeof Line);
        EXPECT_EQ(Line, "db owner A0BAA8A3-041D-48A8-BC87-C36D121B5E3D: " + Case.Line) << Case.Name;
    }
}

} // namespace
