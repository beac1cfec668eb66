// First-fit heap over page chunks (see RtHeap.h).
//
// A chunk starts with an RtHeapChunk header followed by blocks laid end to end; every block
// starts with a BlockHeader and its payload is 16-byte aligned. Free neighbours are merged when a
// block is freed and while searching. A large request gets a chunk holding exactly one block,
// which goes back to the provider when freed.
#include "RtHeap.h"

#include <stdint.h>
#include <string.h>

struct RtHeapChunk {
    RtHeapChunk* pNext;
    size_t Bytes;
    size_t Large;
    size_t Reserved;
};

namespace {

const uint32_t BLOCK_MAGIC = 0x6B6C4252; // "RBlk"
const uint32_t FLAG_USED = 1;

struct BlockHeader {
    uint32_t Magic;
    uint32_t Flags;
    size_t Size; // whole block including this header, a multiple of 16
};

const size_t PAGE_BYTES = 4096;

BlockHeader* FirstBlock(RtHeapChunk* pChunk) {
    return (BlockHeader*)(pChunk + 1);
}

char* ChunkEnd(RtHeapChunk* pChunk) {
    return (char*)pChunk + pChunk->Bytes;
}

BlockHeader* NextBlock(BlockHeader* pBlock) {
    return (BlockHeader*)((char*)pBlock + pBlock->Size);
}

// Merges the free blocks that follow pBlock into it.
void MergeFollowing(RtHeapChunk* pChunk, BlockHeader* pBlock) {
    for (;;) {
        BlockHeader* pNext = NextBlock(pBlock);
        if ((char*)pNext >= ChunkEnd(pChunk) || (pNext->Flags & FLAG_USED) != 0) {
            return;
        }
        pBlock->Size += pNext->Size;
    }
}

// Finds the chunk that holds a block, or NULL.
RtHeapChunk* ChunkOf(RtHeap* pHeap, const void* p) {
    for (RtHeapChunk* pChunk = pHeap->pChunks; pChunk != NULL; pChunk = pChunk->pNext) {
        if ((const char*)p > (const char*)pChunk && (const char*)p < ChunkEnd(pChunk)) {
            return pChunk;
        }
    }
    return NULL;
}

// The header of a live block, or NULL when p is not one.
BlockHeader* LiveBlock(RtHeap* pHeap, void* p, RtHeapChunk** ppChunk) {
    if (p == NULL || ((uintptr_t)p & 15) != 0) {
        return NULL;
    }
    RtHeapChunk* pChunk = ChunkOf(pHeap, p);
    if (pChunk == NULL) {
        return NULL;
    }
    BlockHeader* pBlock = (BlockHeader*)p - 1;
    if ((char*)pBlock < (char*)FirstBlock(pChunk) || pBlock->Magic != BLOCK_MAGIC ||
        (pBlock->Flags & FLAG_USED) == 0) {
        return NULL;
    }
    *ppChunk = pChunk;
    return pBlock;
}

RtHeapChunk* NewChunk(RtHeap* pHeap, size_t Bytes, bool Large) {
    RtHeapChunk* pChunk = (RtHeapChunk*)pHeap->GetPages(pHeap->pContext, Bytes);
    if (pChunk == NULL) {
        return NULL;
    }
    pChunk->Bytes = Bytes;
    pChunk->Large = Large ? 1 : 0;
    pChunk->Reserved = 0;
    pChunk->pNext = pHeap->pChunks;
    pHeap->pChunks = pChunk;
    BlockHeader* pBlock = FirstBlock(pChunk);
    pBlock->Magic = BLOCK_MAGIC;
    pBlock->Flags = 0;
    pBlock->Size = Bytes - sizeof(RtHeapChunk);
    return pChunk;
}

// Takes Need bytes from the front of a free block, splitting off the rest.
void* Claim(BlockHeader* pBlock, size_t Need) {
    if (pBlock->Size - Need >= 2 * sizeof(BlockHeader)) {
        BlockHeader* pRest = (BlockHeader*)((char*)pBlock + Need);
        pRest->Magic = BLOCK_MAGIC;
        pRest->Flags = 0;
        pRest->Size = pBlock->Size - Need;
        pBlock->Size = Need;
    }
    pBlock->Flags = FLAG_USED;
    return pBlock + 1;
}

} // namespace

void* RtHeapAlloc(RtHeap* pHeap, size_t Size) {
    if (Size > SIZE_MAX / 2) {
        return NULL;
    }
    if (Size == 0) {
        Size = 1;
    }
    size_t Need = (Size + sizeof(BlockHeader) + 15) & ~(size_t)15;
    if (Need > RT_HEAP_SHARED_LIMIT) {
        size_t Bytes = (Need + sizeof(RtHeapChunk) + PAGE_BYTES - 1) & ~(PAGE_BYTES - 1);
        RtHeapChunk* pChunk = NewChunk(pHeap, Bytes, true);
        return pChunk == NULL ? NULL : Claim(FirstBlock(pChunk), FirstBlock(pChunk)->Size);
    }
    for (RtHeapChunk* pChunk = pHeap->pChunks; pChunk != NULL; pChunk = pChunk->pNext) {
        if (pChunk->Large) {
            continue;
        }
        for (BlockHeader* pBlock = FirstBlock(pChunk); (char*)pBlock < ChunkEnd(pChunk);
             pBlock = NextBlock(pBlock)) {
            if ((pBlock->Flags & FLAG_USED) != 0) {
                continue;
            }
            MergeFollowing(pChunk, pBlock);
            if (pBlock->Size >= Need) {
                return Claim(pBlock, Need);
            }
        }
    }
    RtHeapChunk* pChunk = NewChunk(pHeap, RT_HEAP_CHUNK_BYTES, false);
    return pChunk == NULL ? NULL : Claim(FirstBlock(pChunk), Need);
}

bool RtHeapFree(RtHeap* pHeap, void* p) {
    RtHeapChunk* pChunk = NULL;
    BlockHeader* pBlock = LiveBlock(pHeap, p, &pChunk);
    if (pBlock == NULL) {
        return false;
    }
    pBlock->Flags = 0;
    if (!pChunk->Large) {
        MergeFollowing(pChunk, pBlock);
        return true;
    }
    RtHeapChunk** ppLink = &pHeap->pChunks;
    while (*ppLink != pChunk) {
        ppLink = &(*ppLink)->pNext;
    }
    *ppLink = pChunk->pNext;
    pHeap->ReleasePages(pHeap->pContext, pChunk, pChunk->Bytes);
    return true;
}

void* RtHeapRealloc(RtHeap* pHeap, void* p, size_t Size) {
    if (p == NULL) {
        return RtHeapAlloc(pHeap, Size);
    }
    RtHeapChunk* pChunk = NULL;
    BlockHeader* pBlock = LiveBlock(pHeap, p, &pChunk);
    if (pBlock == NULL) {
        return NULL;
    }
    size_t Capacity = pBlock->Size - sizeof(BlockHeader);
    if (Size <= Capacity) {
        return p;
    }
    void* pNew = RtHeapAlloc(pHeap, Size);
    if (pNew == NULL) {
        return NULL;
    }
    memcpy(pNew, p, Capacity);
    RtHeapFree(pHeap, p);
    return pNew;
}

void RtHeapReleaseAll(RtHeap* pHeap) {
    while (pHeap->pChunks != NULL) {
        RtHeapChunk* pChunk = pHeap->pChunks;
        pHeap->pChunks = pChunk->pNext;
        pHeap->ReleasePages(pHeap->pContext, pChunk, pChunk->Bytes);
    }
}
