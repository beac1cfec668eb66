// Fixed-width reads through a physical memory reader (little-endian, as on x86).
#include "Platform.h"

uint8_t PhysRead8(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Value = 0;
    pReader->Read(pReader, Address, &Value, 1);
    return Value;
}

uint16_t PhysRead16(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Bytes[2] = {0, 0};
    pReader->Read(pReader, Address, Bytes, 2);
    return (uint16_t)(Bytes[0] | (Bytes[1] << 8));
}

uint32_t PhysRead32(const PhysMemReader* pReader, uint64_t Address) {
    uint8_t Bytes[4] = {0, 0, 0, 0};
    pReader->Read(pReader, Address, Bytes, 4);
    return (uint32_t)Bytes[0] | ((uint32_t)Bytes[1] << 8) | ((uint32_t)Bytes[2] << 16) |
           ((uint32_t)Bytes[3] << 24);
}

uint64_t PhysRead64(const PhysMemReader* pReader, uint64_t Address) {
    return (uint64_t)PhysRead32(pReader, Address) |
           ((uint64_t)PhysRead32(pReader, Address + 4) << 32);
}

const PlatformGuid kPlatformGlobalVariableGuid = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
