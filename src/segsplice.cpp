#include <csignal>
#include <cstdio>

#include "main.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <string>
#include <string_view>
#include <vector>

#include "wtf8.h"
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
// The wide command line carries any name Windows accepts, unpaired
// surrogates included; the tool works in WTF-8 throughout, which the file
// module turns back into exactly the same wide names.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::wstring_view arg(wargv[i]);
        args.push_back(wtf8_encode(std::u16string(arg.begin(), arg.end())));
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
