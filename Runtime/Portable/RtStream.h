// Buffered byte streams of the runtime (the FILE of the UEFI C library), independent of where
// the bytes go: a stream calls a small set of device operations (shell file, console, or a memory
// device in the host unit tests).
#ifndef RUNTIME_PORTABLE_RTSTREAM_H
#define RUNTIME_PORTABLE_RTSTREAM_H

#include "RtStreamPut.h"

#include <stddef.h>
#include <stdint.h>

// Device operations. Each returns 0 or an errno value.
struct RtStreamOps {
    // Reads up to *pCount bytes; *pCount receives the number read, 0 at the end of the data.
    int (*Read)(void* pDevice, void* pBuffer, size_t* pCount);
    // Writes *pCount bytes; *pCount receives the number written.
    int (*Write)(void* pDevice, const void* pBuffer, size_t* pCount);
    // Moves the device position; NULL for devices without positions (the console).
    int (*SetPosition)(void* pDevice, uint64_t Position);
    // Size of the data; NULL for devices without positions.
    int (*GetSize)(void* pDevice, uint64_t* pSize);
    // Pushes written data to the medium; may be NULL.
    int (*Sync)(void* pDevice);
    // Releases the device; may be NULL.
    int (*Close)(void* pDevice);
};

enum {
    RT_STREAM_READ = 1,          // opened for reading
    RT_STREAM_WRITE = 2,         // opened for writing
    RT_STREAM_APPEND = 4,        // every write goes to the end
    RT_STREAM_LINE_BUFFERED = 8, // a written '\n' pushes the buffer out
    RT_STREAM_EOF = 16,          // end of data seen by a read
    RT_STREAM_ERROR = 32,        // a device operation failed
};

enum RtStreamDirection { RT_IDLE, RT_READING, RT_WRITING };

// Standard layout, Put first: the inline fputc of <stdio.h> sees a FILE as its RtStreamPut.
struct RtStream {
    RtStreamPut Put;
    const RtStreamOps* pOps;
    void* pDevice;
    size_t BufferSize;
    size_t End; // reading: end of the valid bytes
    int Direction;
    unsigned Flags;
    uint64_t DevicePos; // position of the device (after the buffered read data)
    RtStream* pNext;    // list of open streams, kept by the owner
};

void RtStreamInit(RtStream* pStream, const RtStreamOps* pOps, void* pDevice, unsigned char* pBuffer,
                  size_t BufferSize, unsigned Flags);

// The stdio operations. Failures set errno and the stream's error flag.
int RtStreamPutc(RtStream* pStream, int c);                           // c, or -1
size_t RtStreamWrite(RtStream* pStream, const void* p, size_t Count); // bytes taken
int RtStreamGetc(RtStream* pStream);                           // byte, or -1 at end or on error
size_t RtStreamRead(RtStream* pStream, void* p, size_t Count); // bytes read
int RtStreamFlush(RtStream* pStream);                          // 0, or -1
int RtStreamSeek(RtStream* pStream, long Offset, int Whence);  // 0, or -1
long RtStreamTell(RtStream* pStream);                          // position, or -1
// Flushes, syncs and closes the device. Returns -1 when any of that failed or when an earlier
// write failed, so that a file that lost data never looks complete. The buffer is not freed.
int RtStreamClose(RtStream* pStream);

// Out-of-line part of RtStreamPutc; call RtStreamPutc.
int RtStreamPutcSlow(RtStream* pStream, int c);

// The fast path of fputc: one comparison and a store while the buffer has room.
__attribute__((always_inline)) inline int RtStreamPutcInline(RtStream* pStream, int c) {
    if (pStream->Put.Pos < pStream->Put.PutLimit) {
        pStream->Put.pBuffer[pStream->Put.Pos++] = (unsigned char)c;
        return (unsigned char)c;
    }
    return RtStreamPutcSlow(pStream, c);
}

#endif
