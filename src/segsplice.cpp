#include <csignal>
#include <cstdio>

#include "main.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>
#include <vector>
#endif

namespace {

int run(int argc, const char* const* argv) {
#ifdef SIGPIPE
    // A reader that stops early (segsplice photo.jpg -d -r | head) must not
    // stop the job: write errors on standard output are ignored.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef _WIN32
    // Lines end in LF alone, so that traces match the Linux build byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    // A -d trace can run to tens of megabytes: write it in large pieces.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return segsplice_main(argc, argv);
}

}  // namespace

#ifdef _WIN32
// The wide command line carries any Unicode name; the tool works in UTF-8
// throughout, and the file module turns names back into wide ones.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, arg.data(), n, nullptr, nullptr);
        arg.resize(arg.size() - 1);
        args.push_back(arg);
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
