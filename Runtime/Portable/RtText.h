// Text conversions of the UEFI runtime that do not touch the firmware: narrowing the shell's
// UCS-2 arguments, widening output for the console, turning key strokes into bytes, number
// parsing and error texts. Portable, so the host unit tests check them.
#ifndef RUNTIME_PORTABLE_RTTEXT_H
#define RUNTIME_PORTABLE_RTTEXT_H

#include <stddef.h>
#include <stdint.h>

// Length of a NUL-terminated UCS-2 string.
size_t RtWideLength(const uint16_t* pWide);

// The byte that stands for a character above 0xFF in a narrowed argument: ASCII SUB, a control
// character, so that a program can tell a character it never received from a real '?'.
#define RT_NARROW_SUBSTITUTE 0x1A

// Copies a NUL-terminated UCS-2 string into pNarrow (room for RtWideLength + 1 bytes): each
// character up to 0xFF becomes that byte, any other becomes RT_NARROW_SUBSTITUTE.
void RtNarrow(const uint16_t* pWide, char* pNarrow);

// Where the last part of a path begins: the offset after its last '\\', '/' or ':' (0 when it
// has none). The part before it names the directory.
size_t RtPathNameOffset(const char* pPath);

// Copies a NUL-terminated byte string into pWide (room for strlen + 1 characters); each byte
// becomes the character of the same value (Latin-1).
void RtWiden(const char* pNarrow, uint16_t* pWide);

// Converts bytes for the console's OutputString: "\n" becomes "\r\n", bytes map to the
// characters of the same value. Converts from p[0..Count) as much as fits into pWide, which
// holds WideCapacity characters, leaving room for and writing a terminating NUL.
// Returns the number of input bytes consumed (at least 1 when Count > 0 and WideCapacity >= 3).
size_t RtWidenForConsole(const char* p, size_t Count, uint16_t* pWide, size_t WideCapacity);

// Turns key strokes into the byte stream read by getchar.
// - Carriage return becomes line feed, and a line feed that directly follows a carriage return
//   is dropped, so Enter on the console and both CRLF and LF line ends in a redirected file
//   arrive as one '\n'.
// - A key with a scan code but no character (arrows, function keys) becomes two bytes: NUL and
//   the scan code's low byte.
// - A character above 0xFF becomes RT_NARROW_SUBSTITUTE (a control character, which a typed
//   value refuses), not a '?' that would stand in for it unnoticed.
struct RtKeyState {
    int LastWasCr;
};
// Stores 0, 1 or 2 bytes in pOut and returns their number.
int RtTranslateKey(RtKeyState* pState, uint16_t Unicode, uint16_t ScanCode, unsigned char* pOut);

// strtol / strtoul with the C library's rules (leading space, sign, base 0 / 16 prefixes,
// ERANGE and clamping on overflow, *ppEnd at the first unused character or at s when no digits).
long RtStrToL(const char* s, char** ppEnd, int Base);
unsigned long RtStrToUL(const char* s, char** ppEnd, int Base);

// The text of an error number, as the host C library words it.
const char* RtErrorText(int Error);

#endif
