// Buffered streams over a memory device that counts calls and can fail on demand.
#include "Runtime/Portable/RtStream.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string>
#include <vector>

namespace {

struct MemoryDevice {
    std::string Data;
    size_t Position = 0;
    size_t Capacity = (size_t)-1; // writes beyond this fail with ENOSPC (a full disk)
    int Writes = 0;
    int Reads = 0;
    int SyncError = 0;
    int CloseError = 0;
    bool Closed = false;
};

int DeviceRead(void* p, void* pBuffer, size_t* pCount) {
    MemoryDevice* d = (MemoryDevice*)p;
    d->Reads++;
    size_t Left = d->Position < d->Data.size() ? d->Data.size() - d->Position : 0;
    size_t Take = *pCount < Left ? *pCount : Left;
    d->Data.copy((char*)pBuffer, Take, d->Position);
    d->Position += Take;
    *pCount = Take;
    return 0;
}

int DeviceWrite(void* p, const void* pBuffer, size_t* pCount) {
    MemoryDevice* d = (MemoryDevice*)p;
    d->Writes++;
    size_t Room = d->Position < d->Capacity ? d->Capacity - d->Position : 0;
    size_t Take = *pCount < Room ? *pCount : Room;
    if (d->Data.size() < d->Position + Take) {
        d->Data.resize(d->Position + Take, '\0');
    }
    d->Data.replace(d->Position, Take, (const char*)pBuffer, Take);
    d->Position += Take;
    int Error = Take < *pCount ? ENOSPC : 0;
    *pCount = Take;
    return Error;
}

int DeviceSetPosition(void* p, uint64_t Position) {
    ((MemoryDevice*)p)->Position = (size_t)Position;
    return 0;
}

int DeviceGetSize(void* p, uint64_t* pSize) {
    *pSize = ((MemoryDevice*)p)->Data.size();
    return 0;
}

int DeviceSync(void* p) {
    return ((MemoryDevice*)p)->SyncError;
}

int DeviceClose(void* p) {
    MemoryDevice* d = (MemoryDevice*)p;
    d->Closed = true;
    return d->CloseError;
}

const RtStreamOps Ops = {DeviceRead,    DeviceWrite, DeviceSetPosition,
                         DeviceGetSize, DeviceSync,  DeviceClose};
const RtStreamOps ConsoleOps = {DeviceRead, DeviceWrite, nullptr, nullptr, nullptr, nullptr};

struct StreamFixture : ::testing::Test {
    MemoryDevice Device;
    std::vector<unsigned char> Buffer;
    RtStream Stream;

    void Open(unsigned Flags, size_t BufferSize = 64, const RtStreamOps* pOps = &Ops) {
        Buffer.assign(BufferSize, 0);
        RtStreamInit(&Stream, pOps, &Device, BufferSize ? Buffer.data() : nullptr, BufferSize,
                     Flags);
    }
};

std::string Pattern(size_t Count) {
    std::string s;
    for (size_t i = 0; i < Count; i++) {
        s.push_back((char)((i * 7) ^ (i >> 8)));
    }
    return s;
}

TEST_F(StreamFixture, ByteByByteWriteReadsBackIdenticalWithFewDeviceCalls) {
    const std::string Expected = Pattern(1000);
    Open(RT_STREAM_WRITE);
    for (char c : Expected) {
        ASSERT_EQ(RtStreamPutc(&Stream, (unsigned char)c), (unsigned char)c);
    }
    EXPECT_EQ(RtStreamTell(&Stream), 1000);
    ASSERT_EQ(RtStreamClose(&Stream), 0);
    EXPECT_EQ(Device.Data, Expected);
    EXPECT_EQ(Device.Writes, 16); // 1000 bytes through a 64-byte buffer
    EXPECT_TRUE(Device.Closed);

    Device.Position = 0;
    Device.Closed = false;
    Open(RT_STREAM_READ);
    std::string Read;
    for (int c; (c = RtStreamGetc(&Stream)) != -1;) {
        Read.push_back((char)c);
    }
    EXPECT_EQ(Read, Expected);
    EXPECT_NE(Stream.Flags & RT_STREAM_EOF, 0u);
    EXPECT_EQ(Stream.Flags & RT_STREAM_ERROR, 0u);
    EXPECT_EQ(RtStreamClose(&Stream), 0);
}

TEST_F(StreamFixture, SeekTellAndReadsAcrossTheBuffer) {
    Device.Data = Pattern(500);
    Open(RT_STREAM_READ);
    char Block[100];
    EXPECT_EQ(RtStreamRead(&Stream, Block, 10), 10u);
    EXPECT_EQ(RtStreamTell(&Stream), 10);
    EXPECT_EQ(RtStreamSeek(&Stream, 300, 0), 0);
    EXPECT_EQ(RtStreamRead(&Stream, Block, 100), 100u);
    EXPECT_EQ(std::string(Block, 100), Device.Data.substr(300, 100));
    EXPECT_EQ(RtStreamTell(&Stream), 400);
    EXPECT_EQ(RtStreamSeek(&Stream, -50, 1), 0);
    EXPECT_EQ(RtStreamGetc(&Stream), (unsigned char)Device.Data[350]);
    EXPECT_EQ(RtStreamSeek(&Stream, -5, 2), 0);
    EXPECT_EQ(RtStreamTell(&Stream), 495);
    EXPECT_EQ(RtStreamRead(&Stream, Block, 20), 5u);
    EXPECT_NE(Stream.Flags & RT_STREAM_EOF, 0u);
    EXPECT_EQ(RtStreamSeek(&Stream, 0, 0), 0);
    EXPECT_EQ(Stream.Flags & RT_STREAM_EOF, 0u) << "a seek clears the end flag";
    EXPECT_EQ(RtStreamSeek(&Stream, -1, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(RtStreamSeek(&Stream, 0, 7), -1);
}

TEST_F(StreamFixture, SwitchingBetweenReadingAndWritingKeepsPositions) {
    Device.Data = "abcdefghij";
    Open(RT_STREAM_READ | RT_STREAM_WRITE);
    EXPECT_EQ(RtStreamGetc(&Stream), 'a');
    EXPECT_EQ(RtStreamGetc(&Stream), 'b');
    EXPECT_EQ(RtStreamPutc(&Stream, 'X'), 'X'); // lands at position 2 despite the read-ahead
    EXPECT_EQ(RtStreamTell(&Stream), 3);
    EXPECT_EQ(RtStreamGetc(&Stream), 'd');
    EXPECT_EQ(RtStreamClose(&Stream), 0);
    EXPECT_EQ(Device.Data, "abXdefghij");
}

TEST_F(StreamFixture, LargeWritesAndReadsBypassTheBuffer) {
    const std::string Data = Pattern(5000);
    Open(RT_STREAM_WRITE | RT_STREAM_READ);
    EXPECT_EQ(RtStreamWrite(&Stream, "xy", 2), 2u);
    EXPECT_EQ(RtStreamWrite(&Stream, Data.data(), Data.size()), Data.size());
    EXPECT_EQ(Device.Writes, 2);
    EXPECT_EQ(RtStreamSeek(&Stream, 2, 0), 0);
    std::string Read(5000, '\0');
    EXPECT_EQ(RtStreamRead(&Stream, &Read[0], Read.size()), Read.size());
    EXPECT_EQ(Read, Data);
    EXPECT_EQ(RtStreamClose(&Stream), 0);
}

TEST_F(StreamFixture, FullDiskIsReportedByWriteFlushAndClose) {
    Device.Capacity = 100;
    Open(RT_STREAM_WRITE);
    const std::string Data = Pattern(150);
    size_t Taken = 0;
    for (char c : Data) {
        if (RtStreamPutc(&Stream, (unsigned char)c) == -1) {
            break;
        }
        Taken++;
    }
    EXPECT_LT(Taken, Data.size()) << "a byte-by-byte write must fail once the disk is full";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_NE(Stream.Flags & RT_STREAM_ERROR, 0u);
    EXPECT_EQ(RtStreamClose(&Stream), -1) << "a file that lost data must not close cleanly";
}

TEST_F(StreamFixture, ShortBlockWriteCountsOnlyWhatReachedTheDevice) {
    Device.Capacity = 1000;
    Open(RT_STREAM_WRITE);
    const std::string Data = Pattern(4000);
    EXPECT_EQ(RtStreamWrite(&Stream, Data.data(), Data.size()), 1000u);
    EXPECT_EQ(errno, ENOSPC);
}

TEST_F(StreamFixture, FailingSyncOrCloseFailsTheClose) {
    Open(RT_STREAM_WRITE);
    Device.SyncError = EIO;
    RtStreamPutc(&Stream, 'a');
    EXPECT_EQ(RtStreamClose(&Stream), -1);
    EXPECT_EQ(errno, EIO);

    MemoryDevice Other;
    Other.CloseError = EIO;
    RtStreamInit(&Stream, &Ops, &Other, Buffer.data(), Buffer.size(), RT_STREAM_WRITE);
    EXPECT_EQ(RtStreamClose(&Stream), -1);
}

TEST_F(StreamFixture, LineBufferedStreamPushesOutCompleteLines) {
    Open(RT_STREAM_WRITE | RT_STREAM_LINE_BUFFERED, 64, &ConsoleOps);
    RtStreamWrite(&Stream, "Rebooting", 9);
    EXPECT_EQ(Device.Data, "");
    RtStreamPutc(&Stream, '\n');
    EXPECT_EQ(Device.Data, "Rebooting\n");
    RtStreamWrite(&Stream, "a\nb", 3);
    EXPECT_EQ(Device.Data, "Rebooting\na\nb");
    EXPECT_EQ(RtStreamFlush(&Stream), 0);
    EXPECT_EQ(RtStreamTell(&Stream), -1);
    EXPECT_EQ(errno, ESPIPE);
    EXPECT_EQ(RtStreamSeek(&Stream, 0, 0), -1);
}

TEST_F(StreamFixture, UnbufferedStreamWritesAtOnce) {
    Open(RT_STREAM_WRITE, 0, &ConsoleOps);
    EXPECT_EQ(RtStreamPutc(&Stream, 'E'), 'E');
    EXPECT_EQ(RtStreamWrite(&Stream, "rr", 2), 2u);
    EXPECT_EQ(Device.Data, "Err");
    EXPECT_EQ(Device.Writes, 2);
}

TEST_F(StreamFixture, AppendWritesGoToTheEnd) {
    Device.Data = "head";
    Open(RT_STREAM_WRITE | RT_STREAM_READ | RT_STREAM_APPEND);
    EXPECT_EQ(RtStreamGetc(&Stream), 'h');
    RtStreamWrite(&Stream, "+tail", 5);
    EXPECT_EQ(RtStreamClose(&Stream), 0);
    EXPECT_EQ(Device.Data, "head+tail");
}

TEST_F(StreamFixture, WrongDirectionIsRefused) {
    Open(RT_STREAM_READ);
    EXPECT_EQ(RtStreamPutc(&Stream, 'x'), -1);
    EXPECT_EQ(errno, EBADF);
    Open(RT_STREAM_WRITE);
    EXPECT_EQ(RtStreamGetc(&Stream), -1);
    EXPECT_EQ(errno, EBADF);
}

} // namespace
