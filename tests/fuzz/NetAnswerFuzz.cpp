// Fuzz target: the reading of an HTTP answer (NetAnswerTake), as a hostile server sends it.
//
// The first byte picks the body buffer (255: none, else that many bytes), the second the size
// of the pieces the answer arrives in (1 to 256 bytes); the rest is the answer.
//
// Invariant: read in pieces, the answer ends exactly as read whole (state, status, lengths,
// the kept body and the reason of a refusal): where the head's end or the body's end falls
// within a piece must not matter. A kept body fits its buffer and, when the answer is done,
// is exactly its Content-Length. Nothing is written past the head or the body buffer (ASan:
// the buffers are allocated at their size).
#include <stdlib.h>
#include <string.h>

#include "Applications/Net/Net.h"
#include "FuzzSupport.h"

namespace {

void Read(const char* pText, size_t Length, size_t Piece, char* pBody, size_t Capacity,
          NetAnswer* pAnswer) {
    NetAnswerStart(pAnswer, pBody, Capacity);
    for (size_t At = 0; At < Length && pAnswer->State == NET_ANSWER_MORE; At += Piece) {
        NetAnswerTake(pAnswer, pText + At, Length - At < Piece ? Length - At : Piece);
    }
    NetAnswerEnded(pAnswer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
    if (Size < 2) {
        return 0;
    }
    const bool Keep = pData[0] != 255;
    const size_t Capacity = Keep ? pData[0] : 0;
    const size_t Piece = (size_t)pData[1] + 1;
    const char* pText = (const char*)pData + 2;
    const size_t Length = Size - 2;
    char* pWholeBody = Keep ? (char*)malloc(Capacity) : NULL;
    char* pPiecesBody = Keep ? (char*)malloc(Capacity) : NULL;
    static NetAnswer Whole;
    static NetAnswer Pieces;
    Read(pText, Length, Length == 0 ? 1 : Length, pWholeBody, Capacity, &Whole);
    Read(pText, Length, Piece, pPiecesBody, Capacity, &Pieces);

    FUZZ_CHECK(Whole.State != NET_ANSWER_MORE, "an ended answer still wants more");
    FUZZ_CHECK(Whole.State == Pieces.State && Whole.Status == Pieces.Status &&
                   Whole.HeadLength == Pieces.HeadLength &&
                   Whole.ContentLength == Pieces.ContentLength &&
                   Whole.BodyLength == Pieces.BodyLength,
               "in pieces of %zu: state %d status %u head %zu body %zu, whole: %d %u %zu %zu",
               Piece, Pieces.State, Pieces.Status, Pieces.HeadLength, Pieces.BodyLength,
               Whole.State, Whole.Status, Whole.HeadLength, Whole.BodyLength);
    FUZZ_CHECK((Whole.pProblem == NULL) == (Pieces.pProblem == NULL) &&
                   (Whole.pProblem == NULL || strcmp(Whole.pProblem, Pieces.pProblem) == 0),
               "refused for another reason in pieces of %zu", Piece);
    FUZZ_CHECK(Whole.HeadLength <= NET_HEAD_MAX && Whole.BodyLength <= Capacity,
               "head %zu, body %zu of %zu", Whole.HeadLength, Whole.BodyLength, Capacity);
    FUZZ_CHECK(Whole.BodyLength == 0 || memcmp(pWholeBody, pPiecesBody, Whole.BodyLength) == 0,
               "the body kept differs in pieces of %zu", Piece);
    FUZZ_CHECK(Whole.State != NET_ANSWER_DONE || Whole.pBody == NULL || Whole.Status != 200 ||
                   Whole.BodyLength == Whole.ContentLength,
               "done with %zu of %zu body bytes", Whole.BodyLength, Whole.ContentLength);
    free(pWholeBody);
    free(pPiecesBody);
    return 0;
}
