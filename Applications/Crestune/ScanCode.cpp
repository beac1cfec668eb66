// Passwords given as keyboard scan codes (set 1 make codes) for US, French and German layouts.
#include <string.h>

#include "Applications/Crestune/Crestune.h"

#define SCAN_CODE_MAP_SIZE 36

struct ScanCodePair {
    char Character;
    uint8_t ScanCode;
};

struct ScanCodeMap {
    ScanCodePair Pairs[SCAN_CODE_MAP_SIZE];
};

// Digits, then the letter rows, in ascending order of scan code.
const ScanCodeMap ScanCodeMapUs = {{
    {'1', 0x02}, {'2', 0x03}, {'3', 0x04}, {'4', 0x05}, {'5', 0x06}, {'6', 0x07},
    {'7', 0x08}, {'8', 0x09}, {'9', 0x0A}, {'0', 0x0B}, {'Q', 0x10}, {'W', 0x11},
    {'E', 0x12}, {'R', 0x13}, {'T', 0x14}, {'Y', 0x15}, {'U', 0x16}, {'I', 0x17},
    {'O', 0x18}, {'P', 0x19}, {'A', 0x1E}, {'S', 0x1F}, {'D', 0x20}, {'F', 0x21},
    {'G', 0x22}, {'H', 0x23}, {'J', 0x24}, {'K', 0x25}, {'L', 0x26}, {'Z', 0x2C},
    {'X', 0x2D}, {'C', 0x2E}, {'V', 0x2F}, {'B', 0x30}, {'N', 0x31}, {'M', 0x32},
}};

const ScanCodeMap ScanCodeMapFr = {{
    {'1', 0x02}, {'2', 0x03}, {'3', 0x04}, {'4', 0x05}, {'5', 0x06}, {'6', 0x07},
    {'7', 0x08}, {'8', 0x09}, {'9', 0x0A}, {'0', 0x0B}, {'A', 0x10}, {'Z', 0x11},
    {'E', 0x12}, {'R', 0x13}, {'T', 0x14}, {'Y', 0x15}, {'U', 0x16}, {'I', 0x17},
    {'O', 0x18}, {'P', 0x19}, {'Q', 0x1E}, {'S', 0x1F}, {'D', 0x20}, {'F', 0x21},
    {'G', 0x22}, {'H', 0x23}, {'J', 0x24}, {'K', 0x25}, {'L', 0x26}, {'M', 0x27},
    {'W', 0x2C}, {'X', 0x2D}, {'C', 0x2E}, {'V', 0x2F}, {'B', 0x30}, {'N', 0x31},
}};

const ScanCodeMap ScanCodeMapGe = {{
    {'1', 0x02}, {'2', 0x03}, {'3', 0x04}, {'4', 0x05}, {'5', 0x06}, {'6', 0x07},
    {'7', 0x08}, {'8', 0x09}, {'9', 0x0A}, {'0', 0x0B}, {'Q', 0x10}, {'W', 0x11},
    {'E', 0x12}, {'R', 0x13}, {'T', 0x14}, {'Z', 0x15}, {'U', 0x16}, {'I', 0x17},
    {'O', 0x18}, {'P', 0x19}, {'A', 0x1E}, {'S', 0x1F}, {'D', 0x20}, {'F', 0x21},
    {'G', 0x22}, {'H', 0x23}, {'J', 0x24}, {'K', 0x25}, {'L', 0x26}, {'Y', 0x2C},
    {'X', 0x2D}, {'C', 0x2E}, {'V', 0x2F}, {'B', 0x30}, {'N', 0x31}, {'M', 0x32},
}};

static int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ConvertScanCodePassword(char* pDest, const char* strScan, const ScanCodeMap* pMap) {
    // Every pair must be two hexadecimal digits; anything else would silently stand for
    // another password. The code 00 ends the password: the codes after it are checked but not
    // used. The destination is always terminated after the codes.
    memset(pDest, 0, MAX_INPUT_PASS_LEN);
    uint32_t Length = 0;
    bool Ended = false;
    bool Converted = true;
    for (const char* p = strScan; p[0] != '\0' && Converted; p += 2) {
        const int High = HexDigitValue(p[0]);
        const int Low = p[1] == '\0' ? -1 : HexDigitValue(p[1]);
        const uint8_t Code = (uint8_t)(High * 16 + Low);
        Ended = Ended || Code == 0;
        if (High < 0 || Low < 0 || (!Ended && Length == MAX_INPUT_PASS_LEN - 1)) {
            memset(pDest, 0, MAX_INPUT_PASS_LEN);
            Converted = false;
        } else if (!Ended) {
            pDest[Length++] = (char)Code;
        }
    }

    for (char* p = pDest; *p != '\0' && Converted; p++) {
        int Found = -1;
        for (int Index = 0; Index < SCAN_CODE_MAP_SIZE; Index++) {
            if (pMap->Pairs[Index].ScanCode == (uint8_t)*p) {
                Found = Index;
                break;
            }
        }
        if (Found < 0) {
            Converted = false;
            break;
        }
        *p = pMap->Pairs[Found].Character;
    }
    if (Run.VerboseMode) {
        printf("Converted password is: %s\n", pDest);
    }
    return Converted;
}
