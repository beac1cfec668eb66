// format_cases_host: the shared format cases printed with the host C library, the expected
// output of "RuntimeProbe.efi format" (the QEMU test compares the two after UTF-16 decoding and
// CRLF to LF conversion).
#include "FormatCasePrinter.h"

int main() {
    PrintFormatCases();
    return 0;
}
