// Runs a program with no arguments at all, not even argument 0.
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    char *no_arguments[] = {nullptr};
    execv(argv[1], no_arguments);
    return 1;
}
