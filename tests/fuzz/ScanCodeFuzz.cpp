// Fuzz target: passwords given as scan codes (ConvertScanCodePassword), for the three layouts.
//
// The first byte picks the layout; the rest is the text of the scan codes.
//
// Invariant: the text is accepted only when every pair is two hexadecimal digits (no odd
// digit left), at most 64 codes come before the first 00 and each of them is in the layout's
// map. The result is then the map's characters for those codes in order, at most 64 of them,
// terminated within the 65-byte buffer; converting its characters back through the map gives
// the codes. A malformed text leaves the buffer all zeros; a text with a code the map lacks
// leaves the characters before that code and the raw codes from it on, terminated. Nothing is
// written past the buffer.
#include <ctype.h>
#include <string.h>

#include "Applications/Crestune/Crestune.h"
#include "FuzzSupport.h"

namespace {

// The map as the conversion gives it, one code at a time: the character of each code, -1 for
// a code the map lacks. Read once per layout.
int Characters[3][256];
bool Known[3];

int ConvertOne(const ScanCodeMap* pMap, uint8_t Code) {
    char Text[3] = {"0123456789ABCDEF"[Code >> 4], "0123456789ABCDEF"[Code & 15], '\0'};
    char Result[MAX_INPUT_PASS_LEN];
    if (Code == 0 || !ConvertScanCodePassword(Result, Text, pMap)) {
        return -1;
    }
    return (unsigned char)Result[0];
}

const int* CharactersOf(int Layout, const ScanCodeMap* pMap) {
    if (!Known[Layout]) {
        for (int Code = 0; Code < 256; Code++) {
            Characters[Layout][Code] = ConvertOne(pMap, (uint8_t)Code);
        }
        Known[Layout] = true;
    }
    return Characters[Layout];
}

int HexValue(char c) {
    return isdigit((unsigned char)c)                          ? c - '0'
           : (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ? (c | 0x20) - 'a' + 10
                                                              : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 1 || Size > 400) {
        return 0;
    }
    const ScanCodeMap* const kMaps[3] = {&ScanCodeMapUs, &ScanCodeMapFr, &ScanCodeMapGe};
    const int Layout = pData[0] % 3;
    const ScanCodeMap* pMap = kMaps[Layout];
    const int* pCharacters = CharactersOf(Layout, pMap);
    char Text[401];
    memcpy(Text, pData + 1, Size - 1);
    Text[Size - 1] = '\0';
    const size_t TextLength = strlen(Text);

    // What the text asks for.
    bool WellFormed = TextLength % 2 == 0;
    uint8_t Codes[200];
    size_t Count = 0; // codes before the first 00
    bool Ended = false;
    for (size_t Index = 0; Index + 1 < TextLength + 1 && WellFormed; Index += 2) {
        const int High = HexValue(Text[Index]);
        const int Low = HexValue(Text[Index + 1]);
        WellFormed = High >= 0 && Low >= 0;
        if (WellFormed && !Ended) {
            const uint8_t Code = (uint8_t)(High * 16 + Low);
            Ended = Code == 0;
            if (!Ended) {
                Codes[Count++] = Code;
            }
        }
    }
    bool Mapped = WellFormed && Count <= 64;
    for (size_t Index = 0; Index < Count && Mapped; Index++) {
        Mapped = pCharacters[Codes[Index]] >= 0;
    }

    char Result[MAX_INPUT_PASS_LEN + 8];
    memset(Result, 0x5A, sizeof Result);
    const bool Converted = ConvertScanCodePassword(Result, Text, pMap);
    for (size_t Index = MAX_INPUT_PASS_LEN; Index < sizeof Result; Index++) {
        FUZZ_CHECK(Result[Index] == 0x5A, "%s", "written past the password buffer");
    }
    FUZZ_CHECK(Converted == Mapped, "\"%s\" %s", Text,
               Converted ? "accepted" : "refused although every code is known");
    if (!Converted && (!WellFormed || Count > 64)) {
        for (size_t Index = 0; Index < MAX_INPUT_PASS_LEN; Index++) {
            FUZZ_CHECK(Result[Index] == 0, "%s", "a malformed text left bytes in the buffer");
        }
        return 0;
    }
    if (!Converted) {
        // The walk stopped at the first code the map lacks: the characters before it, the raw
        // codes from it on (what verbose mode shows), terminated.
        size_t Stop = 0;
        while (pCharacters[Codes[Stop]] >= 0) {
            Stop++;
        }
        for (size_t Index = 0; Index < Count; Index++) {
            const int Due = Index < Stop ? pCharacters[Codes[Index]] : Codes[Index];
            FUZZ_CHECK((unsigned char)Result[Index] == Due, "byte %zu of a refused text is %02X",
                       Index, (unsigned)(unsigned char)Result[Index]);
        }
        FUZZ_CHECK(Result[Count] == 0, "%s", "a refused text is not terminated");
        return 0;
    }
    const size_t Length = strnlen(Result, MAX_INPUT_PASS_LEN);
    FUZZ_CHECK(Length < MAX_INPUT_PASS_LEN && Length == Count, "%zu characters for %zu codes",
               Length, Count);
    for (size_t Index = 0; Index < Count; Index++) {
        FUZZ_CHECK((unsigned char)Result[Index] == pCharacters[Codes[Index]],
                   "character %zu is %02X", Index, (unsigned)(unsigned char)Result[Index]);
        // Round trip: the character stands for this code in the map and no other.
        int Back = -1;
        for (int Code = 1; Code < 256 && Back < 0; Code++) {
            if (pCharacters[Code] == (unsigned char)Result[Index]) {
                Back = Code;
            }
        }
        FUZZ_CHECK(Back == Codes[Index], "character %c maps back to %02X, not %02X", Result[Index],
                   (unsigned)Back, (unsigned)Codes[Index]);
    }
    return 0;
}
