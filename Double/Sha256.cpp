// SHA-256 without library calls or 64-bit arithmetic, so that it builds for 32-bit SMM code.
#include "Sha256.h"

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t RotateRight(uint32_t Value, unsigned Count) {
    return (Value >> Count) | (Value << (32 - Count));
}

void CompressBlock(uint32_t* pHash, const uint8_t* pBlock) {
    uint32_t W[64];
    for (unsigned I = 0; I < 16; I++) {
        W[I] = (uint32_t)pBlock[4 * I] << 24 | (uint32_t)pBlock[4 * I + 1] << 16 |
               (uint32_t)pBlock[4 * I + 2] << 8 | (uint32_t)pBlock[4 * I + 3];
    }
    for (unsigned I = 16; I < 64; I++) {
        const uint32_t S0 =
            RotateRight(W[I - 15], 7) ^ RotateRight(W[I - 15], 18) ^ (W[I - 15] >> 3);
        const uint32_t S1 =
            RotateRight(W[I - 2], 17) ^ RotateRight(W[I - 2], 19) ^ (W[I - 2] >> 10);
        W[I] = W[I - 16] + S0 + W[I - 7] + S1;
    }
    uint32_t A = pHash[0], B = pHash[1], C = pHash[2], D = pHash[3];
    uint32_t E = pHash[4], F = pHash[5], G = pHash[6], H = pHash[7];
    for (unsigned I = 0; I < 64; I++) {
        const uint32_t S1 = RotateRight(E, 6) ^ RotateRight(E, 11) ^ RotateRight(E, 25);
        const uint32_t Choice = (E & F) ^ (~E & G);
        const uint32_t T1 = H + S1 + Choice + kRoundConstants[I] + W[I];
        const uint32_t S0 = RotateRight(A, 2) ^ RotateRight(A, 13) ^ RotateRight(A, 22);
        const uint32_t Majority = (A & B) ^ (A & C) ^ (B & C);
        const uint32_t T2 = S0 + Majority;
        H = G;
        G = F;
        F = E;
        E = D + T1;
        D = C;
        C = B;
        B = A;
        A = T1 + T2;
    }
    pHash[0] += A;
    pHash[1] += B;
    pHash[2] += C;
    pHash[3] += D;
    pHash[4] += E;
    pHash[5] += F;
    pHash[6] += G;
    pHash[7] += H;
}

} // namespace

void Sha256(const uint8_t* pData, uint32_t Length, uint8_t* pDigest) {
    uint32_t Hash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint32_t Offset = 0;
    for (; Length - Offset >= 64; Offset += 64) {
        CompressBlock(Hash, pData + Offset);
    }

    // The tail: the remaining bytes, the 0x80 marker, zeros, and the message length in bits as
    // a 64-bit big-endian number; one block, or two when the tail leaves no room for it.
    uint8_t Tail[128];
    const uint32_t Rest = Length - Offset;
    for (uint32_t I = 0; I < sizeof Tail; I++) {
        Tail[I] = I < Rest ? pData[Offset + I] : 0;
    }
    Tail[Rest] = 0x80;
    const uint32_t TailLength = Rest < 56 ? 64 : 128;
    const uint32_t BitsHigh = Length >> 29;
    const uint32_t BitsLow = Length << 3;
    for (unsigned I = 0; I < 4; I++) {
        Tail[TailLength - 8 + I] = (uint8_t)(BitsHigh >> (24 - 8 * I));
        Tail[TailLength - 4 + I] = (uint8_t)(BitsLow >> (24 - 8 * I));
    }
    for (uint32_t Block = 0; Block < TailLength; Block += 64) {
        CompressBlock(Hash, Tail + Block);
    }

    for (unsigned I = 0; I < 8; I++) {
        pDigest[4 * I] = (uint8_t)(Hash[I] >> 24);
        pDigest[4 * I + 1] = (uint8_t)(Hash[I] >> 16);
        pDigest[4 * I + 2] = (uint8_t)(Hash[I] >> 8);
        pDigest[4 * I + 3] = (uint8_t)Hash[I];
    }
}
