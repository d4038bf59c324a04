#include <cstdio>

#include "main.h"

int main(int argc, char** argv) {
    // A -d trace can run to tens of megabytes: write it in large pieces.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return segsplice_main(argc, argv);
}
