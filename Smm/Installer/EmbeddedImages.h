// The resident double's two flat images, embedded in the installer at build time
// (Smm/CMakeLists.txt makes them from the handler's ELF file).
#ifndef SMM_INSTALLER_EMBEDDEDIMAGES_H
#define SMM_INSTALLER_EMBEDDEDIMAGES_H

#include <stdint.h>

// The SMI entry stub, copied to SMM_ENTRY_ADDRESS.
extern const uint8_t SmmEntryImage[];
extern const uint32_t SmmEntryImageSize;
// The handler: header, code and initialised data, copied to SMM_DOUBLE_BASE (the rest of the
// region is zeroed first).
extern const uint8_t SmmDoubleImage[];
extern const uint32_t SmmDoubleImageSize;

#endif
