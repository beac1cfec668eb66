// Tagwell's banner and usage text.
#include <stdio.h>

#include "Applications/Tagwell/Tagwell.h"

void PrintBanner(void) {
    printf("\n%s %s\n", TAGWELL_TITLE, TAGWELL_VERSION);
    printf("%s\n\n", TAGWELL_NOTICE);
}

void PrintErrorBanner(void) {
    printf("%s %s\n", TAGWELL_TITLE, TAGWELL_VERSION);
    printf("%s\n\n", TAGWELL_NOTICE);
}

void PrintUsage(void) {
    printf("Usage1: Operating in default mode\n   %s\nUsage2: Update SMBIOS data.\n   %s "
           "[arg1] [arg2]...\n",
           TAGWELL_FILE_NAME, TAGWELL_FILE_NAME);
    printf("\nArguments:\n"
           "   /mtm:nnnnnnn       Update system Machine Type and Model\n"
           "   /sn:nnnnnnn        Update system Serial Number\n"
           "   /csn:nnnnnnn       Update Chassis Serial Number\n"
           "   /tag:nnnnnnn       Update Asset Tag\n"
           "   /uuid              Generate and update system UUID\n"
           "   /quiet             Operating without physical presence\n"
           "   /reboot            Reboot after all requests done\n");
    printf("\nExamples:\n   Update SMBIOS data\n     %s /sn:abcd /mtm:1234 /uuid\n",
           TAGWELL_FILE_NAME);
}
