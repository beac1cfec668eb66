// The catalogue of setting options: one constant row per option word, with everything that
// differs between options, and the boot device words. The simulated machine names the firmware's
// items and values from the same rows.
#ifndef APPLICATIONS_CRESTUNE_SETTINGOPTIONS_H
#define APPLICATIONS_CRESTUNE_SETTINGOPTIONS_H

#include <stddef.h>
#include <stdint.h>

#define SETTING_OPTION_ROWS 80
#define SETTING_VALUE_SLOTS 10

// The request function of the setup items (the other rows ask the ME control and Computrace
// handlers).
#define SETTING_FUNCTION 0x534D0040u

// Columns a row leaves out are empty (0, NULL).

// How the parser takes an option's word and what follows it.
enum SettingHandling {
    HANDLING_VALUE_LIST,   // one of the row's value words; its slot is the value code
    HANDLING_BOOT_DEVICE,  // a boot device word; its code is the value
    HANDLING_TPM12_SWITCH, // a value word, after the warning and confirmation of a switch to
    HANDLING_TPM20_SWITCH, // a discrete TPM 1.2 or 2.0
    HANDLING_NO_VALUE,     // the option alone: a query or an action
    HANDLING_MASK_GROUP,   // the first value word clears the mask, the second sets every bit of
                           // it, any other word is a hexadecimal mask within the row's Mask
    HANDLING_SINGLE_SLOT,  // the option alone sets its one bit
};

struct SettingOption {
    const char* Name;
    uint32_t Function; // EAX of the request
    uint32_t Item;     // EBX
    uint8_t Handling;  // SettingHandling
    // The slot index is the value code; a slot that is NULL or "" has no word.
    const char* Values[SETTING_VALUE_SLOTS];
    // Mask rows: the bits the option may set (a single slot: its bit). It is also the request's
    // ECX until a value word replaces it; 0 for every other row.
    uint32_t Mask = 0;
    const char* pMaskRefusal = NULL; // printed when a mask group's value sets a bit outside Mask
    // The firmware's reasons for a refusal, by status bit 0x8 and 0x10.
    const char* pRefusals[2] = {};
    // An answer in bit 0 of the returned ECX: pAnswer, the bit in decimal, then the word for it.
    const char* pAnswer = NULL;
    const char* pAnswerWords[2] = {};
};

// The 80 options, then an end row whose Name is "".
extern const SettingOption SettingOptionTable[SETTING_OPTION_ROWS + 1];

struct BootDevice {
    const char* Word;
    uint8_t Code;
};
#define BOOT_DEVICE_COUNT 57
extern const BootDevice BootDeviceTable[BOOT_DEVICE_COUNT];

#endif
