// Entry of Crestune.
#include "Applications/Crestune/Crestune.h"

int main(int argc, char** argv) {
    return (int)RunCrestune(argc, argv);
}
