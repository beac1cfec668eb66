// Format strings and values that the tools print, shared by the host unit test of the runtime's
// formatting core (compared with the host snprintf) and the UEFI probe application (whose output
// a QEMU test compares with the host's).
//
// FWTOOLS_FORMAT_CASES(X) expands X(format, values...) once per case.
#ifndef TESTS_FORMATCASES_H
#define TESTS_FORMATCASES_H

#define FWTOOLS_FORMAT_CASES(X)                                                                    \
    X("%s", "text")                                                                                \
    X("[%s]", "")                                                                                  \
    X("%s - Undefined BIOS version.\n", "N1CET99W")                                                \
    X("%s is not in the current directory.\n", "AMIDEEFIx64.efi")                                  \
    X("%c", 'A')                                                                                   \
    X("%c%c", 'O', 'K')                                                                            \
    X("%d", 0)                                                                                     \
    X("%d", 42)                                                                                    \
    X("%d", -1)                                                                                    \
    X("%d", -2147483647 - 1)                                                                       \
    X("%d", 2147483647)                                                                            \
    X("%ld", -9223372036854775807l - 1)                                                            \
    X("\nChild process failed. Return code: %d\n", 1)                                              \
    X("\rRebooting Countdown: %d", 5)                                                              \
    X("%u", 0u)                                                                                    \
    X("%u", 4294967295u)                                                                           \
    X("%x", 0xC0000001u)                                                                           \
    X("%X", 0xC000000Au)                                                                           \
    X("%X", 0u)                                                                                    \
    X("%lX", 0x534D0040ul)                                                                         \
    X("%lX", 0xFFFFFFFFFFFFFFFFul)                                                                 \
    X("%.8lX", 0x1234ul)                                                                           \
    X("%.8lX", 0ul)                                                                                \
    X("%.8lXh", 0xFFFF0000ul)                                                                      \
    X("Eax: %.8lXh Ebx: %.8lXh\n", 0x534D0040ul, 0x11ul)                                           \
    X("%.16lX", 0xFEDCBA9876543210ul)                                                              \
    X("%.16lXh", 0x10ul)                                                                           \
    X("%.2X", 0x7u)                                                                                \
    X("%.2X ", 0xABu)                                                                              \
    X("%.2X", 0x1FFu)                                                                              \
    X("%2.2X", 0x5u)                                                                               \
    X("%4.4X :  ", 0x10u)                                                                          \
    X("%4.4X", 0xFFFFFu)                                                                           \
    X("%.4X", 0x0u)                                                                                \
    X("%.0X", 0u)                                                                                  \
    X("%5d|", 42)                                                                                  \
    X("%-5d|", 42)                                                                                 \
    X("%-5d|", -42)                                                                                \
    X("%05d|", -42)                                                                                \
    X("%8s|", "abc")                                                                               \
    X("%-8s|", "abc")                                                                              \
    X("%.2s|", "abcdef")                                                                           \
    X("%-20s%s\n", "/csm", "enable")                                                               \
    X("%d%%\n", 100)                                                                               \
    X("%d%%", 50)                                                                                  \
    X("%s %d %X %c\n", "mix", -7, 0xBEEFu, 'z')                                                    \
    X("%08X", 0xABCu)                                                                              \
    X("%#x", 0x1Fu)                                                                                \
    X("%ld", -9000000000l)                                                                         \
    X("%lu", 18446744073709551615ul)                                                               \
    X("%zu", (size_t)65536)                                                                        \
    X("%i", -3)

#endif
