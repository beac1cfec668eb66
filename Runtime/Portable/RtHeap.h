// The runtime's heap: a first-fit allocator over chunks of pages that a provider hands out
// (under UEFI: boot-services pages below 4 GiB). Portable, so the host unit tests run it over
// ordinary memory under the address sanitizer.
#ifndef RUNTIME_PORTABLE_RTHEAP_H
#define RUNTIME_PORTABLE_RTHEAP_H

#include <stddef.h>

struct RtHeapChunk;

struct RtHeap {
    // Returns Bytes (a multiple of 4096) of memory aligned to 16, or NULL.
    void* (*GetPages)(void* pContext, size_t Bytes);
    void (*ReleasePages)(void* pContext, void* p, size_t Bytes);
    void* pContext;
    RtHeapChunk* pChunks;
};

// Requests up to this size share chunks of RT_HEAP_CHUNK_BYTES; larger ones get their own.
#define RT_HEAP_CHUNK_BYTES (1024u * 1024u)
#define RT_HEAP_SHARED_LIMIT (RT_HEAP_CHUNK_BYTES / 4)

void* RtHeapAlloc(RtHeap* pHeap, size_t Size);
void* RtHeapRealloc(RtHeap* pHeap, void* p, size_t Size);
// Returns false when p is not a live block of this heap (nothing is changed then).
bool RtHeapFree(RtHeap* pHeap, void* p);
// Hands every chunk back to the provider.
void RtHeapReleaseAll(RtHeap* pHeap);

#endif
