#include <stdio.h>
int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    printf("Crestune placeholder\n");
    return 0;
}
