// Memory layout and file formats of the firmware double as a resident SMM handler in QEMU.
//
// Three programs share these definitions: the handler itself (32-bit, running in SMM), the
// installer (a 64-bit UEFI shell application that puts the handler in place and moves its state
// and request log to and from files) and the host tool that turns those files into the machine
// description's "firmware" section and into log events. Everything here is plain data with
// fixed-width fields, so the 32-bit and 64-bit builds agree on every offset.
//
// Physical memory while the double is resident:
//
//   0x30000-0x3FFFF  SMBASE area: the entry stub at 0x38000 (real mode, CS base 0x30000),
//                    the CPU's state save map at 0x3FE00-0x3FFFF
//   0x40000-...      the handler image: SmmDoubleHeader first, code, data, the firmware state,
//                    the stack and the request log, up to SMM_DOUBLE_REGION_END
#ifndef SMM_SMMDOUBLELAYOUT_H
#define SMM_SMMDOUBLELAYOUT_H

#include <stdint.h>

#include "Double/DoubleCore.h"

#define SMM_SMBASE 0x30000u
#define SMM_ENTRY_ADDRESS 0x38000u
#define SMM_SMBASE_AREA_SIZE 0x10000u
#define SMM_DOUBLE_BASE 0x40000u
#define SMM_DOUBLE_REGION_SIZE 0x40000u
#define SMM_DOUBLE_REGION_END (SMM_DOUBLE_BASE + SMM_DOUBLE_REGION_SIZE)

// Save map of the 64-bit CPU state (revision 0x00020064), offsets from SMBASE.
#define SMM_SAVE_MAP_OFFSET 0xFE00u
#define SMM_SAVE_REVISION_OFFSET 0xFEFCu
#define SMM_SAVE_REVISION_X64 0x00020064u
#define SMM_SAVE_RAX 0xFFF8u
#define SMM_SAVE_RCX 0xFFF0u
#define SMM_SAVE_RDX 0xFFE8u
#define SMM_SAVE_RBX 0xFFE0u
#define SMM_SAVE_RSI 0xFFC8u
#define SMM_SAVE_RDI 0xFFC0u
#define SMM_SAVE_RIP 0xFF78u

// The resident handler's header, at SMM_DOUBLE_BASE. The installer finds the state and the log
// through it, and recognises a double that an earlier run left resident by its magic.
#define SMM_DOUBLE_MAGIC 0x454C42554F445746ull // "FWDOUBLE" as little-endian bytes
#define SMM_DOUBLE_LAYOUT_VERSION 1u

typedef struct SmmDoubleHeader {
    uint64_t Magic;
    uint32_t LayoutVersion;
    uint32_t HeaderSize;      // sizeof(SmmDoubleHeader)
    uint32_t ImageEnd;        // first address after code, data and zero-filled data
    uint32_t StateAddress;    // the DoubleState the handler answers from
    uint32_t StateSize;       // sizeof(DoubleState) in the handler's build
    uint32_t LogAddress;      // the request log: records packed one after the other
    uint32_t LogCapacity;     // bytes available for records
    uint32_t LogUsed;         // bytes of records written since the log was last emptied
    uint32_t LogRecords;      // records written since the log was last emptied
    uint32_t LogDropped;      // SMIs not logged since then because the log was full
    uint32_t SmiCount;        // SMIs taken since installation (logged or not)
    uint32_t UnknownSaveMaps; // SMIs left alone because the save map revision was unknown
    // The pages the installer reserved for the communication buffer that the state grants
    // (its descriptor and the buffer), so that the firmware of the machine does not use them.
    uint32_t CommReservedBase;
    uint32_t CommReservedPages;
} SmmDoubleHeader;

// One logged SMI. The captured bytes follow the fixed part: the password hash, the input
// buffer, the output buffer and the refusal's detail text, each padded to a multiple of 4
// bytes. Size covers all of it. A buffer longer than SMM_LOG_CAPTURE_LIMIT is not captured: its
// SHA-256 digest is kept instead (InputDigest/OutputDigest).
#define SMM_LOG_ANSWERED 0x01u       // the double changed the registers (or chose to answer)
#define SMM_LOG_OUTPUT_WRITTEN 0x02u // the handler wrote the request's output buffer
#define SMM_LOG_IMAGE_FOUND 0x04u    // ImageBase/ImageSize name the PE image holding RIP
#define SMM_LOG_HAS_BUFFER 0x08u     // the request hands a hash, an input or an output buffer
#define SMM_LOG_IN_COMM_BUFFER 0x10u // ... and all of them lay in the locked lent buffer
#define SMM_LOG_INPUT_DIGEST 0x20u   // InputDigest holds the digest of the whole input
#define SMM_LOG_OUTPUT_DIGEST 0x40u  // OutputDigest holds the digest of the whole output
#define SMM_LOG_CAPTURE_LIMIT 4096u
#define SMM_LOG_DETAIL_LIMIT 128u
#define SMM_LOG_CODE_BEFORE 8u // CodeBytes starts this many bytes before RIP

typedef struct SmmLogRecord {
    uint32_t Size;
    uint32_t Sequence;  // SmiCount when the SMI was taken, from 1
    uint64_t Rip;       // the interrupted program's RIP, from the save map
    uint64_t ImageBase; // the PE image around RIP (SMM_LOG_IMAGE_FOUND)
    uint8_t Command;    // the byte written to the SMI command port (AL)
    uint8_t Flags;
    uint16_t Reserved;
    DoubleRegisters In;
    DoubleRegisters Out;
    uint32_t ImageSize; // its SizeOfImage
    uint32_t ImageEntry;
    uint32_t HashLength; // captured bytes of each area
    uint32_t InputLength;
    uint32_t OutputLength;
    uint32_t DetailLength;
    uint32_t InputTotal; // the buffers' whole lengths (0: not readable)
    uint32_t OutputTotal;
    uint32_t Reserved2;
    uint8_t CodeBytes[16]; // code from RIP - SMM_LOG_CODE_BEFORE
    uint8_t InputDigest[32];
    uint8_t OutputDigest[32];
} SmmLogRecord;

// The files the installer reads and writes on the FAT disk (little-endian):
//   state file: SmmFileHeader (Magic SMM_STATE_FILE_MAGIC, PayloadSize = sizeof(DoubleState)),
//               then the DoubleState bytes
//   log file:   SmmFileHeader (Magic SMM_LOG_FILE_MAGIC, PayloadSize = the records' bytes,
//               Count = records, Dropped = SMIs not logged), then the records
#define SMM_STATE_FILE_MAGIC 0x4554415453445746ull // "FWDSTATE"
#define SMM_LOG_FILE_MAGIC 0x474F4C4D53445746ull   // "FWDSMLOG"
#define SMM_FILE_VERSION 1u

typedef struct SmmFileHeader {
    uint64_t Magic;
    uint32_t Version;
    uint32_t PayloadSize;
    uint32_t Count;
    uint32_t Dropped;
} SmmFileHeader;

#ifdef __cplusplus
static_assert(sizeof(SmmDoubleHeader) == 64, "the header has the same layout in every build");
static_assert(sizeof(SmmLogRecord) == 192, "the log record has the same layout in every build");
static_assert(sizeof(SmmFileHeader) == 24, "the file header has the same layout in every build");
#endif

// Captured buffers are padded to 4 bytes.
static inline uint32_t SmmPad4(uint32_t Length) {
    return (Length + 3u) & ~3u;
}

#endif
