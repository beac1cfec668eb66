// The runtime's heap over ordinary memory: data integrity, reuse, large blocks, release.
#include "Runtime/Portable/RtHeap.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <map>
#include <random>
#include <vector>

namespace {

struct Provider {
    std::map<void*, size_t> Live;
    size_t Limit = (size_t)-1; // refuse chunks once this many bytes are out
    size_t Out = 0;
};

void* GetPages(void* pContext, size_t Bytes) {
    Provider* p = (Provider*)pContext;
    EXPECT_EQ(Bytes % 4096, 0u);
    if (p->Out + Bytes > p->Limit) {
        return nullptr;
    }
    void* pMemory = aligned_alloc(4096, Bytes);
    p->Live[pMemory] = Bytes;
    p->Out += Bytes;
    return pMemory;
}

void ReleasePages(void* pContext, void* pMemory, size_t Bytes) {
    Provider* p = (Provider*)pContext;
    ASSERT_EQ(p->Live.count(pMemory), 1u);
    EXPECT_EQ(p->Live[pMemory], Bytes);
    p->Live.erase(pMemory);
    p->Out -= Bytes;
    free(pMemory);
}

struct HeapFixture : ::testing::Test {
    Provider Pages;
    RtHeap Heap = {GetPages, ReleasePages, &Pages, nullptr};
    ~HeapFixture() override { RtHeapReleaseAll(&Heap); }
};

TEST_F(HeapFixture, RandomWorkloadKeepsEveryBlocksData) {
    std::mt19937 Random(7);
    struct Block {
        unsigned char* p;
        size_t Size;
        unsigned char Fill;
    };
    std::vector<Block> Blocks;
    size_t Live = 0;
    size_t MostLive = 0;
    for (int Step = 0; Step < 4000; Step++) {
        if (!Blocks.empty() && Random() % 3 == 0) {
            size_t i = Random() % Blocks.size();
            Block b = Blocks[i];
            for (size_t k = 0; k < b.Size; k++) {
                ASSERT_EQ(b.p[k], b.Fill) << "block damaged";
            }
            ASSERT_TRUE(RtHeapFree(&Heap, b.p));
            Live -= b.Size;
            Blocks.erase(Blocks.begin() + (long)i);
            continue;
        }
        size_t Size = Random() % 4 == 0 ? Random() % 40000 : Random() % 200;
        unsigned char* p = (unsigned char*)RtHeapAlloc(&Heap, Size);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ((uintptr_t)p % 16, 0u);
        unsigned char Fill = (unsigned char)Random();
        memset(p, Fill, Size);
        Blocks.push_back({p, Size, Fill});
        Live += Size;
        MostLive = Live > MostLive ? Live : MostLive;
    }
    for (const Block& b : Blocks) {
        for (size_t k = 0; k < b.Size; k++) {
            ASSERT_EQ(b.p[k], b.Fill);
        }
        ASSERT_TRUE(RtHeapFree(&Heap, b.p));
    }
    EXPECT_LE(Pages.Out, 2 * MostLive + 2 * RT_HEAP_CHUNK_BYTES) << "freed space is reused";
}

TEST_F(HeapFixture, LargeBlocksGetTheirOwnPagesAndGiveThemBack) {
    const size_t Big = 16u * 1024 * 1024;
    unsigned char* p = (unsigned char*)RtHeapAlloc(&Heap, Big);
    ASSERT_NE(p, nullptr);
    memset(p, 0x5A, Big);
    EXPECT_EQ(Pages.Live.size(), 1u);
    EXPECT_GE(Pages.Out, Big);
    EXPECT_TRUE(RtHeapFree(&Heap, p));
    EXPECT_EQ(Pages.Out, 0u);
}

TEST_F(HeapFixture, ReallocKeepsTheContents) {
    char* p = (char*)RtHeapAlloc(&Heap, 10);
    memcpy(p, "0123456789", 10);
    EXPECT_EQ(RtHeapRealloc(&Heap, p, 5), p) << "shrinking stays in place";
    char* q = (char*)RtHeapRealloc(&Heap, p, 500000);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
    char* r = (char*)RtHeapRealloc(&Heap, nullptr, 3);
    EXPECT_NE(r, nullptr);
    EXPECT_TRUE(RtHeapFree(&Heap, q));
    EXPECT_TRUE(RtHeapFree(&Heap, r));
}

TEST_F(HeapFixture, ForeignAndDoubleFreesAreRefused) {
    char* p = (char*)RtHeapAlloc(&Heap, 32);
    char Local[32];
    EXPECT_FALSE(RtHeapFree(&Heap, Local));
    EXPECT_FALSE(RtHeapFree(&Heap, p + 16));
    EXPECT_TRUE(RtHeapFree(&Heap, p));
    EXPECT_FALSE(RtHeapFree(&Heap, p));
    EXPECT_EQ(RtHeapRealloc(&Heap, Local, 10), nullptr);
}

TEST_F(HeapFixture, ExhaustionAndHugeSizesGiveNull) {
    Pages.Limit = RT_HEAP_CHUNK_BYTES;
    EXPECT_EQ(RtHeapAlloc(&Heap, (size_t)-1), nullptr);
    EXPECT_EQ(RtHeapAlloc(&Heap, (size_t)-1 - 8), nullptr);
    EXPECT_EQ(RtHeapAlloc(&Heap, 2 * RT_HEAP_CHUNK_BYTES), nullptr);
    EXPECT_NE(RtHeapAlloc(&Heap, 100), nullptr);
}

TEST_F(HeapFixture, ReleaseAllHandsBackEveryChunk) {
    for (int i = 0; i < 50; i++) {
        RtHeapAlloc(&Heap, (size_t)i * 10000);
    }
    EXPECT_GT(Pages.Out, 0u);
    RtHeapReleaseAll(&Heap);
    EXPECT_EQ(Pages.Out, 0u);
    EXPECT_TRUE(Pages.Live.empty());
}

} // namespace
