// Fuzz target: typed answers and values at Tagwell's two questions.
//
// The first byte picks the question kind and the field's limit; the rest is what was typed.
//
// Invariant: the value read is either refused at end of input (an empty buffer, false) or a
// value in double quotes of 1 to min(limit, 29) characters from 0x20 to 0x7F that does not begin
// with "-?", which the command line accepts as it is (CheckValueText) unless it holds a DEL;
// its characters were
// typed in that order. A Yes/No answer is Yes only when the last of the letters Y, y, N, n
// typed before the Enter that ends the question is Y or y. Reading always ends at end of input.
#include <stdio.h>
#include <string.h>

#include "Applications/Tagwell/Tagwell.h"
#include "FuzzSupport.h"

namespace {

FILE* pSink = NULL;

bool ExpectedAnswer(const uint8_t* pTyped, size_t Size) {
    int Answer = 0;
    for (size_t Index = 0; Index < Size; Index++) {
        const int c = pTyped[Index];
        if (c == 'Y' || c == 'y' || c == 'N' || c == 'n') {
            Answer = c;
        } else if (c == '\n' && Answer != 0) {
            return Answer == 'Y' || Answer == 'y';
        }
    }
    return false;
}

bool IsSubsequence(const char* pValue, size_t Length, const uint8_t* pTyped, size_t Size) {
    size_t At = 0;
    for (size_t Index = 0; Index < Size && At < Length; Index++) {
        if (pTyped[Index] == (uint8_t)pValue[At]) {
            At++;
        }
    }
    return At == Length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 1) {
        return 0;
    }
    if (pSink == NULL) {
        pSink = fopen("/dev/null", "w");
    }
    const uint8_t Choice = pData[0];
    const uint8_t* pTyped = pData + 1;
    const size_t Typed = Size - 1;
    // fmemopen refuses an empty buffer: one byte that is never read stands in.
    static const uint8_t kNothing[1] = {0};
    FILE* pIn = fmemopen((void*)(Typed ? pTyped : kNothing), Typed ? Typed : 1, "rb");
    if (Typed == 0) {
        fgetc(pIn);
    }
    if (Choice & 0x80) {
        const bool Answer = ReadYesNoConfirm(pIn, pSink);
        FUZZ_CHECK(Answer == ExpectedAnswer(pTyped, Typed), "answer %d", (int)Answer);
        fclose(pIn);
        return 0;
    }
    const uint8_t Maximum = Choice & 0x3F;
    char Value[TAGWELL_VALUE_SIZE + 8];
    memset(Value, 0x5A, sizeof Value);
    const bool Taken = ReadSmbiosValue(pIn, pSink, Value, Maximum);
    fclose(pIn);
    FUZZ_CHECK(Value[TAGWELL_VALUE_SIZE] == 0x5A, "%s", "written past the value buffer");
    if (!Taken) {
        FUZZ_CHECK(Value[0] == '\0', "%s", "a refused value left text in the buffer");
        return 0;
    }
    const size_t Length = strlen(Value);
    const size_t Limit = Maximum < TAGWELL_MAX_VALUE_LEN ? Maximum : TAGWELL_MAX_VALUE_LEN;
    FUZZ_CHECK(Length >= 3 && Value[0] == '"' && Value[Length - 1] == '"', "value [%s]", Value);
    FUZZ_CHECK(Length - 2 <= Limit, "value [%s] longer than %zu", Value, Limit);
    Value[Length - 1] = '\0';
    const char* pText = Value + 1;
    for (const char* p = pText; *p != '\0'; p++) {
        FUZZ_CHECK((uint8_t)*p >= 0x20 && (uint8_t)*p <= 0x7F, "character %02X in value",
                   (unsigned)(uint8_t)*p);
    }
    // Typed entry takes DEL (0x7F) as the firmware's own tool did; the command line refuses it
    // as outside printable ASCII. Every other typed value is one the command line takes too.
    FUZZ_CHECK(strchr(pText, 0x7F) != NULL || CheckValueText(pText) == NULL,
               "typed value [%s] refused by the command line", pText);
    FUZZ_CHECK(IsSubsequence(pText, Length - 2, pTyped, Typed), "value [%s] was not typed", pText);
    return 0;
}
