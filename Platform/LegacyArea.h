// The legacy BIOS area: machines with a legacy BIOS keep their firmware tables there. Its bounds
// are written here only: the C++ builds include this file, and tools/uefirun/firmware.py reads
// the two lines below (keep their form: #define NAME 0x...ULL).
#ifndef PLATFORM_LEGACYAREA_H
#define PLATFORM_LEGACYAREA_H

#define PHYS_LEGACY_AREA_START 0xE0000ULL
#define PHYS_LEGACY_AREA_END 0x100000ULL

#endif
