// The entry point on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "main.h"
#include "wtf8.h"

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
    // Lines end in LF alone, so that traces match the Linux build byte for
    // byte, and the reasons on standard error too. There is no SIGPIPE:
    // writes to a reader that stopped just fail.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A -d trace can run to tens of megabytes: write it in large pieces.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return segsplice_main(argc, argv.data());
}
