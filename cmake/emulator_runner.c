/* Runs one program of a cross build under the user-mode emulator, passing on
 * the caller's argv[0] (a shell script wrapper would lose it). Built for the
 * build machine with EMULATOR and PROGRAM defined as paths. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    char** args = calloc((size_t)argc + 4, sizeof *args);
    if (args == NULL) {
        perror("emulator runner");
        return 127;
    }
    args[0] = EMULATOR;
    args[1] = "-0";
    args[2] = argc > 0 ? argv[0] : PROGRAM;
    args[3] = PROGRAM;
    for (int i = 1; i < argc; ++i) {
        args[3 + i] = argv[i];
    }
    execv(EMULATOR, args);
    perror(EMULATOR);
    return 127;
}
