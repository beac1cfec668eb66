// The settings image of the firmware double: what the backup request writes and the restore
// request takes back, checked in full before anything of it is applied.
#ifndef DOUBLE_SETTINGSIMAGE_H
#define DOUBLE_SETTINGSIMAGE_H

#include "DoubleCore.h"

// The settings image (backup and restore), all words little-endian:
//   0  4  magic "DSIM"
//   4  2  version (1)
//   6  2  item count C
//   8  4  flags: bit 0 PAP mode normal, bit 1 Computrace hidden
//  12  4  padding length P
//  16  4  padding seed
//  20  8C the items: item number (32-bit), value (32-bit)
//  ..  P  padding: bytes generated from the seed
//  N-4 4  CRC-32 (IEEE 802.3) of every byte before it
// N = 24 + 8C + P.
#define DOUBLE_IMAGE_MAGIC 0x4D495344u // "DSIM"
#define DOUBLE_IMAGE_VERSION 1u
#define DOUBLE_IMAGE_HEADER_SIZE 20u
#define DOUBLE_IMAGE_ITEM_SIZE 8u
#define DOUBLE_IMAGE_CHECK_SIZE 4u
#define DOUBLE_IMAGE_PAP_NORMAL 0x1u
#define DOUBLE_IMAGE_CPT_HIDDEN 0x2u
#define DOUBLE_IMAGE_DEFAULT_SEED 0x2545F491u

// The length of the settings image the machine hands out now.
uint32_t DoubleImageSize(const DoubleState* pState);

// CRC-32 (IEEE 802.3, reflected): start with Crc = 0, feed the data in pieces.
uint32_t DoubleCrc32(uint32_t Crc, const uint8_t* pData, uint32_t Length);

// Writes the image (DoubleImageSize bytes) at pOut.
void DoubleWriteImage(const DoubleState* pState, uint8_t* pOut);
// Checks an image of Length bytes at pImage: null when it can be applied, else the reason.
const char* DoubleCheckImage(const DoubleState* pState, const uint8_t* pImage, uint32_t Length);
// Applies an image that DoubleCheckImage accepted.
void DoubleApplyImage(DoubleState* pState, const uint8_t* pImage);

// Little-endian 32-bit words in memory.
uint32_t DoubleGet32(const uint8_t* pBytes);
void DoublePut32(uint8_t* pBytes, uint32_t Value);

#endif
