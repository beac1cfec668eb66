// Parsers of the primary and extended arguments.
#include "Applications/Crestune/Crestune.h"

uint32_t FindPrimaryArguments(int argc, char** argv) {
    (void)argc;
    (void)argv;
    return 0;
}

uint32_t FindExtendedArguments(int argc, char** argv) {
    (void)argc;
    (void)argv;
    return 0;
}
