// Buffered streams (see RtStream.h).
//
// A stream is idle, reading or writing. Reading: pBuffer[Pos..End) holds bytes read ahead of the
// caller, and DevicePos is the device position after them. Writing: pBuffer[0..Pos) waits to be
// written at DevicePos. Changing direction first settles the buffer (written out, or the device
// moved back over the unread bytes).
#include "RtStream.h"

#include <errno.h>
#include <string.h>

namespace {

const int SEEK_FROM_START = 0;
const int SEEK_FROM_CURRENT = 1;
const int SEEK_FROM_END = 2;

int Fail(RtStream* pStream, int Error) {
    pStream->Flags |= RT_STREAM_ERROR;
    errno = Error;
    return -1;
}

// Writes Count bytes to the device at DevicePos. Returns 0 or -1.
int DeviceWrite(RtStream* pStream, const unsigned char* p, size_t Count) {
    if ((pStream->Flags & RT_STREAM_APPEND) != 0 && pStream->pOps->GetSize != NULL) {
        uint64_t Size = 0;
        int Error = pStream->pOps->GetSize(pStream->pDevice, &Size);
        if (Error == 0 && Size != pStream->DevicePos) {
            Error = pStream->pOps->SetPosition(pStream->pDevice, Size);
        }
        if (Error != 0) {
            return Fail(pStream, Error);
        }
        pStream->DevicePos = Size;
    }
    while (Count > 0) {
        size_t Done = Count;
        int Error = pStream->pOps->Write(pStream->pDevice, p, &Done);
        if (Done > Count) {
            Done = Count;
        }
        pStream->DevicePos += Done;
        p += Done;
        Count -= Done;
        if (Error != 0) {
            return Fail(pStream, Error);
        }
        if (Done == 0) {
            return Fail(pStream, EIO);
        }
    }
    return 0;
}

// Writes out the buffered bytes. The buffer is emptied even on failure (those bytes are lost,
// and the error flag records it).
int FlushWrites(RtStream* pStream) {
    size_t Pending = pStream->Put.Pos;
    pStream->Put.Pos = 0;
    if (Pending == 0) {
        return 0;
    }
    return DeviceWrite(pStream, pStream->Put.pBuffer, Pending);
}

// Makes the stream idle: writes out pending bytes, or moves the device back over read-ahead.
int Settle(RtStream* pStream) {
    int Result = 0;
    if (pStream->Direction == RT_WRITING) {
        Result = FlushWrites(pStream);
    } else if (pStream->Direction == RT_READING) {
        size_t Unread = pStream->End - pStream->Put.Pos;
        if (Unread > 0 && pStream->pOps->SetPosition != NULL) {
            uint64_t Position = pStream->DevicePos - Unread;
            int Error = pStream->pOps->SetPosition(pStream->pDevice, Position);
            if (Error != 0) {
                Result = Fail(pStream, Error);
            } else {
                pStream->DevicePos = Position;
            }
        }
        pStream->Put.Pos = 0;
        pStream->End = 0;
    }
    pStream->Direction = RT_IDLE;
    pStream->Put.PutLimit = 0;
    return Result;
}

bool StartWriting(RtStream* pStream) {
    if ((pStream->Flags & RT_STREAM_WRITE) == 0) {
        Fail(pStream, EBADF);
        return false;
    }
    if (pStream->Direction != RT_WRITING) {
        if (Settle(pStream) != 0) {
            return false;
        }
        pStream->Direction = RT_WRITING;
        pStream->Put.Pos = 0;
        if ((pStream->Flags & RT_STREAM_LINE_BUFFERED) == 0) {
            pStream->Put.PutLimit = pStream->BufferSize;
        }
    }
    return true;
}

bool StartReading(RtStream* pStream) {
    if ((pStream->Flags & RT_STREAM_READ) == 0) {
        Fail(pStream, EBADF);
        return false;
    }
    if (pStream->Direction != RT_READING) {
        if (Settle(pStream) != 0) {
            return false;
        }
        pStream->Direction = RT_READING;
        pStream->Put.Pos = 0;
        pStream->End = 0;
    }
    return true;
}

// Reads from the device into p. Returns the count, 0 at the end (EOF flag) or on error.
size_t DeviceRead(RtStream* pStream, void* p, size_t Count) {
    size_t Done = Count;
    int Error = pStream->pOps->Read(pStream->pDevice, p, &Done);
    if (Done > Count) {
        Done = Count;
    }
    pStream->DevicePos += Done;
    if (Error != 0) {
        Fail(pStream, Error);
        return Done;
    }
    if (Done == 0) {
        pStream->Flags |= RT_STREAM_EOF;
    }
    return Done;
}

} // namespace

void RtStreamInit(RtStream* pStream, const RtStreamOps* pOps, void* pDevice, unsigned char* pBuffer,
                  size_t BufferSize, unsigned Flags) {
    memset(pStream, 0, sizeof(*pStream));
    pStream->pOps = pOps;
    pStream->pDevice = pDevice;
    pStream->Put.pBuffer = pBuffer;
    pStream->BufferSize = pBuffer != NULL ? BufferSize : 0;
    pStream->Direction = RT_IDLE;
    pStream->Flags = Flags;
}

int RtStreamPutcSlow(RtStream* pStream, int c) {
    unsigned char Byte = (unsigned char)c;
    return RtStreamWrite(pStream, &Byte, 1) == 1 ? Byte : -1;
}

int RtStreamPutc(RtStream* pStream, int c) {
    return RtStreamPutcInline(pStream, c);
}

size_t RtStreamWrite(RtStream* pStream, const void* p, size_t Count) {
    if (Count == 0) {
        return 0;
    }
    if (!StartWriting(pStream)) {
        return 0;
    }
    const unsigned char* pBytes = (const unsigned char*)p;
    if (pStream->Put.Pos + Count <= pStream->BufferSize) {
        memcpy(pStream->Put.pBuffer + pStream->Put.Pos, pBytes, Count);
        pStream->Put.Pos += Count;
        if ((pStream->Flags & RT_STREAM_LINE_BUFFERED) != 0 && memchr(pBytes, '\n', Count)) {
            if (FlushWrites(pStream) != 0) {
                return 0;
            }
        }
        return Count;
    }
    // Does not fit: push out what waits, then either buffer the rest or write it directly.
    uint64_t Start = pStream->DevicePos + pStream->Put.Pos;
    if (FlushWrites(pStream) != 0) {
        return 0;
    }
    if (Count < pStream->BufferSize && (pStream->Flags & RT_STREAM_LINE_BUFFERED) == 0) {
        memcpy(pStream->Put.pBuffer, pBytes, Count);
        pStream->Put.Pos = Count;
        return Count;
    }
    if (DeviceWrite(pStream, pBytes, Count) != 0) {
        uint64_t Written = pStream->DevicePos - Start;
        return Written < Count ? (size_t)Written : Count;
    }
    return Count;
}

int RtStreamGetc(RtStream* pStream) {
    if (pStream->Direction == RT_READING && pStream->Put.Pos < pStream->End) {
        return pStream->Put.pBuffer[pStream->Put.Pos++];
    }
    unsigned char Byte;
    return RtStreamRead(pStream, &Byte, 1) == 1 ? Byte : -1;
}

size_t RtStreamRead(RtStream* pStream, void* p, size_t Count) {
    if (Count == 0) {
        return 0;
    }
    if (!StartReading(pStream)) {
        return 0;
    }
    unsigned char* pOut = (unsigned char*)p;
    size_t Done = 0;
    while (Done < Count) {
        size_t Buffered = pStream->End - pStream->Put.Pos;
        if (Buffered > 0) {
            size_t Take = Buffered < Count - Done ? Buffered : Count - Done;
            memcpy(pOut + Done, pStream->Put.pBuffer + pStream->Put.Pos, Take);
            pStream->Put.Pos += Take;
            Done += Take;
            continue;
        }
        size_t Got;
        if (Count - Done >= pStream->BufferSize) {
            Got = DeviceRead(pStream, pOut + Done, Count - Done);
            Done += Got;
        } else {
            pStream->Put.Pos = 0;
            pStream->End = 0;
            Got = DeviceRead(pStream, pStream->Put.pBuffer, pStream->BufferSize);
            pStream->End = Got;
        }
        if (Got == 0) {
            break;
        }
    }
    return Done;
}

int RtStreamFlush(RtStream* pStream) {
    if (pStream->Direction == RT_WRITING) {
        return FlushWrites(pStream);
    }
    if (pStream->Direction == RT_READING && pStream->pOps->SetPosition != NULL) {
        return Settle(pStream);
    }
    return 0;
}

long RtStreamTell(RtStream* pStream) {
    if (pStream->pOps->SetPosition == NULL) {
        errno = ESPIPE;
        return -1;
    }
    uint64_t Position = pStream->DevicePos;
    if (pStream->Direction == RT_WRITING) {
        Position += pStream->Put.Pos;
    } else if (pStream->Direction == RT_READING) {
        Position -= pStream->End - pStream->Put.Pos;
    }
    return (long)Position;
}

int RtStreamSeek(RtStream* pStream, long Offset, int Whence) {
    if (pStream->pOps->SetPosition == NULL) {
        errno = ESPIPE;
        return -1;
    }
    int64_t Base;
    if (Whence == SEEK_FROM_START) {
        Base = 0;
    } else if (Whence == SEEK_FROM_CURRENT) {
        Base = RtStreamTell(pStream);
    } else if (Whence == SEEK_FROM_END) {
        if (Settle(pStream) != 0) {
            return -1;
        }
        uint64_t Size = 0;
        int Error = pStream->pOps->GetSize != NULL ? pStream->pOps->GetSize(pStream->pDevice, &Size)
                                                   : ESPIPE;
        if (Error != 0) {
            return Fail(pStream, Error);
        }
        Base = (int64_t)Size;
    } else {
        errno = EINVAL;
        return -1;
    }
    if ((Offset < 0 && Base + Offset < 0)) {
        errno = EINVAL;
        return -1;
    }
    if (Settle(pStream) != 0) {
        return -1;
    }
    uint64_t Target = (uint64_t)(Base + Offset);
    int Error = pStream->pOps->SetPosition(pStream->pDevice, Target);
    if (Error != 0) {
        return Fail(pStream, Error);
    }
    pStream->DevicePos = Target;
    pStream->Flags &= ~(unsigned)RT_STREAM_EOF;
    return 0;
}

int RtStreamClose(RtStream* pStream) {
    int Result = 0;
    bool Wrote = (pStream->Flags & RT_STREAM_WRITE) != 0;
    if (Settle(pStream) != 0) {
        Result = -1;
    }
    if (Wrote && pStream->pOps->Sync != NULL) {
        int Error = pStream->pOps->Sync(pStream->pDevice);
        if (Error != 0) {
            Result = Fail(pStream, Error);
        }
    }
    if (pStream->pOps->Close != NULL) {
        int Error = pStream->pOps->Close(pStream->pDevice);
        if (Error != 0) {
            Result = Fail(pStream, Error);
        }
    }
    if (Wrote && (pStream->Flags & RT_STREAM_ERROR) != 0) {
        Result = -1;
    }
    return Result;
}
