// Entry of Tagwell.
#include "Applications/Tagwell/Tagwell.h"

int main(int argc, char** argv) {
    return (int)RunTagwell(argc, argv);
}
