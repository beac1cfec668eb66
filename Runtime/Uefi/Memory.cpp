// The heap of the UEFI runtime: the portable allocator over boot-services pages that lie at or
// below 0xFFFEFFFF, so every address handed out fits the firmware's 32-bit buffer registers.
// Everything is handed back at exit.
#include "RuntimeUefi.h"
#include "Runtime/Portable/RtHeap.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

const EFI_PHYSICAL_ADDRESS HIGHEST_ADDRESS = 0xFFFEFFFF;

void* GetPages(void*, size_t Bytes) {
    EFI_PHYSICAL_ADDRESS Address = HIGHEST_ADDRESS;
    EFI_STATUS Status = RtBootServices()->AllocatePages(AllocateMaxAddress, EfiLoaderData,
                                                        EFI_SIZE_TO_PAGES(Bytes), &Address);
    return Status == EFI_SUCCESS ? (void*)(UINTN)Address : NULL;
}

void ReleasePages(void*, void* p, size_t Bytes) {
    RtBootServices()->FreePages((EFI_PHYSICAL_ADDRESS)(UINTN)p, EFI_SIZE_TO_PAGES(Bytes));
}

RtHeap Heap = {GetPages, ReleasePages, NULL, NULL};

} // namespace

void RtMemoryShutdown(void) {
    RtHeapReleaseAll(&Heap);
}

void* malloc(size_t Size) {
    void* p = RtHeapAlloc(&Heap, Size);
    if (p == NULL) {
        errno = ENOMEM;
    }
    return p;
}

void* calloc(size_t Count, size_t Size) {
    if (Size != 0 && Count > (size_t)-1 / Size) {
        errno = ENOMEM;
        return NULL;
    }
    void* p = malloc(Count * Size);
    if (p != NULL) {
        memset(p, 0, Count * Size);
    }
    return p;
}

void* realloc(void* p, size_t Size) {
    void* pNew = RtHeapRealloc(&Heap, p, Size);
    if (pNew == NULL) {
        errno = ENOMEM;
    }
    return pNew;
}

void free(void* p) {
    if (p != NULL && !RtHeapFree(&Heap, p)) {
        // Not a block of this heap, or freed twice: stop before the heap is damaged.
        abort();
    }
}
