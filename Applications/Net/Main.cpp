// Entry of Net.
#include "Applications/Net/Net.h"

int main(int argc, char** argv) {
    return (int)RunNet(argc, argv);
}
