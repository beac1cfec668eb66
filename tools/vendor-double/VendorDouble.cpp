// Stands in for the vendors' DMI tools (AMIDEEFIx64.efi, H2OSDE-Sx64.efi) in tests on a real
// UEFI shell: copied onto the test disk under a tool's name, it records the arguments it
// received and ends with the status a test asks for.
//
// - ARGS.TXT (current directory) gets every argument after the program name, each followed by
//   a line feed, byte for byte as the program received it.
// - VDSTATUS.TXT, when present, holds the exit status to end with (decimal or 0x hex);
//   otherwise the status is 0.
// - VDPRINT.TXT, when present, is printed as it stands after the arguments: output of a tool
//   that poses as lines of someone else (a deployment script's log).
// - Standard output shows the same: "Vendor tool double received N arguments:", each argument
//   in square brackets on a line of its own, and "Vendor tool double ends with status 0x..".
//   The caller's redirected output captures it, so a test of one run in a longer session
//   need not read the file.
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    FILE* pArgs = fopen("ARGS.TXT", "wb");
    if (pArgs == NULL) {
        printf("Vendor tool double: cannot write ARGS.TXT\n");
        return 2;
    }
    printf("Vendor tool double received %d arguments:\n", argc - 1);
    for (int Index = 1; Index < argc; Index++) {
        fputs(argv[Index], pArgs);
        fputc('\n', pArgs);
        printf("[%s]\n", argv[Index]);
    }
    fclose(pArgs);
    FILE* pPrint = fopen("VDPRINT.TXT", "rb");
    if (pPrint != NULL) {
        char Line[256];
        while (fgets(Line, sizeof Line, pPrint) != NULL) {
            fputs(Line, stdout);
        }
        fclose(pPrint);
    }

    unsigned long Status = 0;
    FILE* pStatus = fopen("VDSTATUS.TXT", "rb");
    if (pStatus != NULL) {
        char Text[32] = {0};
        if (fgets(Text, sizeof Text, pStatus) != NULL) {
            Status = strtoul(Text, NULL, 0);
        }
        fclose(pStatus);
    }
    printf("Vendor tool double ends with status 0x%lX.\n", Status);
    return (int)Status;
}
