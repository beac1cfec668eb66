// The catalogue of the firmware's setting requests: the request words, one constant row per
// option word with everything that differs between options, and the boot device words. Crestune
// parses its command line by these rows; the simulated machine names the firmware's items and
// values from the same rows, so neither depends on the other.
#ifndef CATALOGUE_SETTINGCATALOGUE_H
#define CATALOGUE_SETTINGCATALOGUE_H

#include <stddef.h>
#include <stdint.h>

#define SETTING_OPTION_ROWS 80
#define SETTING_VALUE_SLOTS 10

// The request words (EAX) of the firmware's handlers.
#define SETTING_FUNCTION 0x534D0040u         // setup items, load defaults, backup and restore
#define PASSWORD_FUNCTION 0x534D0140u        // password state, hashing and changes
#define ME_FUNCTION 0x534D0740u              // the ME control GPIO
#define MFG_DONE_FUNCTION 0x534D3220u        // whether manufacturing is done
#define CPT_MESSAGE_OFF_FUNCTION 0x534D8D20u // Computrace: message off
#define CPT_MESSAGE_ON_FUNCTION 0x534D8E20u  // Computrace: message on
#define CPT_DISABLE_FUNCTION 0x534D9020u     // Computrace: disable for good
#define CPT_HIDDEN_FUNCTION 0x534DAB20u      // Computrace: hidden setting

// Columns a row leaves out are empty (0, NULL); the catalogue names the refusal and answer
// columns through WithRefusals and WithAnswer (SettingCatalogue.cpp).

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
