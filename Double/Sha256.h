// SHA-256 (FIPS 180-4), one-shot, freestanding: the firmware double's password hash.
#ifndef DOUBLE_SHA256_H
#define DOUBLE_SHA256_H

#include <stdint.h>

#define SHA256_DIGEST_SIZE 32

// Digest of Length bytes at pData.
void Sha256(const uint8_t* pData, uint32_t Length, uint8_t* pDigest);

#endif
