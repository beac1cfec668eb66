// SMI entry stub of the resident firmware double.
//
// The CPU enters SMM at SMBASE + 0x8000 (0x38000) in real mode, with CS based at SMBASE and the
// data segments based at 0 with 4 GiB limits. The stub switches to flat 32-bit protected mode
// (paging stays off, so addresses are physical), sets up a stack inside the double's region,
// calls SmmDoubleMain, which reads and writes the interrupted program's registers in the save
// map, and resumes the program with RSM. RSM restores the whole saved context, long mode
// included, from protected mode as from real mode.

#define CODE_SELECTOR 0x08
#define DATA_SELECTOR 0x10
#define ENTRY_OFFSET 0x8000

    .section .smm.entry, "ax"
    .code16
    .globl SmmEntry
SmmEntry:
    // The GDT descriptor is addressed through CS, whose base is SMBASE: the stub starts at
    // offset 0x8000 of that segment.
    lgdtl %cs:(ENTRY_OFFSET + SmmGdtDescriptor - SmmEntry)
    movl %cr0, %eax
    orl $1, %eax
    movl %eax, %cr0
    ljmpl $CODE_SELECTOR, $SmmEntry32

    .code32
SmmEntry32:
    movw $DATA_SELECTOR, %ax
    movw %ax, %ds
    movw %ax, %es
    movw %ax, %ss
    movw %ax, %fs
    movw %ax, %gs
    movl $SmmStackTop, %esp
    cld
    call SmmDoubleMain
    rsm

    .p2align 3
SmmGdt:
    .quad 0                  // null
    .quad 0x00CF9A000000FFFF // flat 32-bit code, base 0, limit 4 GiB
    .quad 0x00CF92000000FFFF // flat 32-bit data, base 0, limit 4 GiB
SmmGdtEnd:
SmmGdtDescriptor:
    .word SmmGdtEnd - SmmGdt - 1
    .long SmmGdt
