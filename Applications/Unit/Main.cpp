// Entry of Unit.
#include "Applications/Unit/Unit.h"

int main(int argc, char** argv) {
    return (int)RunUnit(argc, argv);
}
