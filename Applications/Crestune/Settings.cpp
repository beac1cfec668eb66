// The setting options and their parser.
#include "Applications/Crestune/Crestune.h"

uint32_t FindSecondaryArguments(int argc, char** argv) {
    (void)argc;
    (void)argv;
    return 0;
}
