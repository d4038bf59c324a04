// The entry point on POSIX systems.
#include <csignal>
#include <cstdio>

#include "main.h"

int main(int argc, char** argv) {
    // A reader that stops early (segsplice photo.jpg -d -r | head) must not
    // stop the job: write errors on standard output are ignored.
    std::signal(SIGPIPE, SIG_IGN);
    // A -d trace can run to tens of megabytes: write it in large pieces.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return segsplice_main(argc, argv);
}
