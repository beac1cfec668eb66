#include <stdio.h>
int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    printf("Tagwell placeholder\n");
    return 0;
}
