// The settings image of the firmware double (layout in SettingsImage.h): written for a backup,
// checked in full and applied for a restore.
#include "SettingsImage.h"

namespace {

uint32_t ImageBaseSize(uint32_t Count) {
    return DOUBLE_IMAGE_HEADER_SIZE + DOUBLE_IMAGE_ITEM_SIZE * Count + DOUBLE_IMAGE_CHECK_SIZE;
}

// The padding's bytes: a xorshift32 sequence from the seed, four bytes per step.
void WritePadding(uint8_t* pOut, uint32_t Length, uint32_t Seed) {
    uint32_t X = Seed != 0 ? Seed : DOUBLE_IMAGE_DEFAULT_SEED;
    for (uint32_t I = 0; I < Length; I += 4) {
        X ^= X << 13;
        X ^= X >> 17;
        X ^= X << 5;
        for (uint32_t B = 0; B < 4 && I + B < Length; B++) {
            pOut[I + B] = (uint8_t)(X >> (8 * B));
        }
    }
}

uint32_t ImageFlags(const DoubleState* pState) {
    return (pState->PapNormal ? DOUBLE_IMAGE_PAP_NORMAL : 0) |
           (pState->ComputraceHidden ? DOUBLE_IMAGE_CPT_HIDDEN : 0);
}

} // namespace

uint32_t DoubleGet32(const uint8_t* pBytes) {
    return (uint32_t)pBytes[0] | ((uint32_t)pBytes[1] << 8) | ((uint32_t)pBytes[2] << 16) |
           ((uint32_t)pBytes[3] << 24);
}

void DoublePut32(uint8_t* pBytes, uint32_t Value) {
    pBytes[0] = (uint8_t)Value;
    pBytes[1] = (uint8_t)(Value >> 8);
    pBytes[2] = (uint8_t)(Value >> 16);
    pBytes[3] = (uint8_t)(Value >> 24);
}

uint32_t DoubleImageSize(const DoubleState* pState) {
    const uint32_t Count =
        pState->SettingCount < DOUBLE_MAX_SETTINGS ? pState->SettingCount : DOUBLE_MAX_SETTINGS;
    const uint32_t Base = ImageBaseSize(Count);
    if (pState->ImageSize != 0) {
        return pState->ImageSize >= Base ? pState->ImageSize : Base;
    }
    return pState->ImagePadding <= 0xFFFFFFFFu - Base ? Base + pState->ImagePadding : Base;
}

uint32_t DoubleCrc32(uint32_t Crc, const uint8_t* pData, uint32_t Length) {
    // Four bits at a time: a 16-entry table of the reflected polynomial 0xEDB88320.
    static const uint32_t kTable[16] = {0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu,
                                        0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
                                        0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu,
                                        0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu};
    Crc = ~Crc;
    for (uint32_t I = 0; I < Length; I++) {
        Crc ^= pData[I];
        Crc = (Crc >> 4) ^ kTable[Crc & 0x0F];
        Crc = (Crc >> 4) ^ kTable[Crc & 0x0F];
    }
    return ~Crc;
}

void DoubleWriteImage(const DoubleState* pState, uint8_t* pOut) {
    const uint32_t Count =
        pState->SettingCount < DOUBLE_MAX_SETTINGS ? pState->SettingCount : DOUBLE_MAX_SETTINGS;
    const uint32_t Size = DoubleImageSize(pState);
    const uint32_t Padding = Size - ImageBaseSize(Count);
    DoublePut32(pOut, DOUBLE_IMAGE_MAGIC);
    pOut[4] = (uint8_t)DOUBLE_IMAGE_VERSION;
    pOut[5] = (uint8_t)(DOUBLE_IMAGE_VERSION >> 8);
    pOut[6] = (uint8_t)Count;
    pOut[7] = (uint8_t)(Count >> 8);
    DoublePut32(pOut + 8, ImageFlags(pState));
    DoublePut32(pOut + 12, Padding);
    DoublePut32(pOut + 16, pState->ImageSeed);
    uint8_t* pItem = pOut + DOUBLE_IMAGE_HEADER_SIZE;
    for (uint32_t I = 0; I < Count; I++, pItem += DOUBLE_IMAGE_ITEM_SIZE) {
        DoublePut32(pItem, pState->Settings[I].Item);
        DoublePut32(pItem + 4, pState->Settings[I].Value);
    }
    WritePadding(pItem, Padding, pState->ImageSeed);
    const uint32_t Body = Size - DOUBLE_IMAGE_CHECK_SIZE;
    DoublePut32(pOut + Body, DoubleCrc32(0, pOut, Body));
}

const char* DoubleCheckImage(const DoubleState* pState, const uint8_t* pImage, uint32_t Length) {
    if (Length < ImageBaseSize(0)) {
        return "image too short";
    }
    if (DoubleGet32(pImage) != DOUBLE_IMAGE_MAGIC) {
        return "bad magic";
    }
    if ((uint32_t)(pImage[4] | (pImage[5] << 8)) != DOUBLE_IMAGE_VERSION) {
        return "unknown version";
    }
    const uint32_t Count = (uint32_t)(pImage[6] | (pImage[7] << 8));
    if (Count > DOUBLE_MAX_SETTINGS) {
        return "too many items";
    }
    const uint32_t Padding = DoubleGet32(pImage + 12);
    if (Padding > 0xFFFFFFFFu - ImageBaseSize(Count) || ImageBaseSize(Count) + Padding != Length) {
        return "length does not match";
    }
    const uint32_t Body = Length - DOUBLE_IMAGE_CHECK_SIZE;
    if (DoubleCrc32(0, pImage, Body) != DoubleGet32(pImage + Body)) {
        return "check value wrong";
    }
    if ((DoubleGet32(pImage + 8) & ~(DOUBLE_IMAGE_PAP_NORMAL | DOUBLE_IMAGE_CPT_HIDDEN)) != 0) {
        return "unknown flags";
    }
    uint8_t Seen[DOUBLE_MAX_SETTINGS];
    for (uint32_t I = 0; I < DOUBLE_MAX_SETTINGS; I++) {
        Seen[I] = 0;
    }
    const uint8_t* pItem = pImage + DOUBLE_IMAGE_HEADER_SIZE;
    for (uint32_t I = 0; I < Count; I++, pItem += DOUBLE_IMAGE_ITEM_SIZE) {
        const uint32_t Item = DoubleGet32(pItem);
        uint32_t Index = 0;
        while (Index < pState->SettingCount && Index < DOUBLE_MAX_SETTINGS &&
               (pState->Settings[Index].Function != DOUBLE_FUNCTION_SETUP ||
                pState->Settings[Index].Item != Item)) {
            Index++;
        }
        const DoubleSettingDef* pDef = DoubleFindSettingDef(Item);
        if (pDef == 0 || Index >= pState->SettingCount || Index >= DOUBLE_MAX_SETTINGS) {
            return "unknown item";
        }
        if (Seen[Index]) {
            return "item repeated";
        }
        Seen[Index] = 1;
        if (!DoubleSettingValueValid(pDef, DoubleGet32(pItem + 4))) {
            return "invalid value";
        }
    }
    return 0;
}

void DoubleApplyImage(DoubleState* pState, const uint8_t* pImage) {
    const uint32_t Count = (uint32_t)(pImage[6] | (pImage[7] << 8));
    const uint8_t* pItem = pImage + DOUBLE_IMAGE_HEADER_SIZE;
    for (uint32_t I = 0; I < Count; I++, pItem += DOUBLE_IMAGE_ITEM_SIZE) {
        DoubleFindStoreSetting(pState, DoubleGet32(pItem))->Value = DoubleGet32(pItem + 4);
    }
    const uint32_t Flags = DoubleGet32(pImage + 8);
    pState->PapNormal = (Flags & DOUBLE_IMAGE_PAP_NORMAL) ? 1 : 0;
    pState->ComputraceHidden = (Flags & DOUBLE_IMAGE_CPT_HIDDEN) ? 1 : 0;
}
