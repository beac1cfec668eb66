// The part of a stream that the inline fputc of the UEFI runtime's <stdio.h> touches: writing
// one byte into the buffer must not cost a function call (a file written byte by byte should be
// about as fast as one written in one piece).
#ifndef RUNTIME_PORTABLE_RTSTREAMPUT_H
#define RUNTIME_PORTABLE_RTSTREAMPUT_H

#include <stddef.h>

struct RtStreamPut {
    unsigned char* pBuffer; // NULL or BufferSize 0: unbuffered
    size_t Pos;             // reading: next byte to hand out; writing: bytes waiting in the buffer
    size_t PutLimit;        // BufferSize while writing to a fully buffered stream, else 0
};

#endif
