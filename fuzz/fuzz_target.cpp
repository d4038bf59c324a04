// The fuzz entry point: arbitrary bytes through the "-d" parse and trace,
// once from memory and once from a file, then through the cut and the two
// replace jobs, each output checked against what it must hold.
//
// Any broken promise aborts, so libFuzzer (and the plain corpus driver in
// CTest) report it like a crash. Linux only: the trace is hashed through a
// glibc cookie stream so that a trace of many megabytes costs no memory.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common_ifd.h"
#include "log.h"
#include "main.h"

namespace fs = std::filesystem;

#if defined(__clang__)
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define NO_COVERAGE
#endif

namespace {

using bytes = std::vector<std::uint8_t>;

// File jobs are only worth their cost on inputs whose walk stays small: a
// 65535-entry directory traced five times would slow the campaign to a crawl.
// The limit lets in files larger than the reader's eight 16 KiB blocks.
constexpr std::size_t FILE_JOB_MAX_INPUT = 256 * 1024;
constexpr std::uint64_t FILE_JOB_MAX_TRACE = 512 * 1024;

// What the tool wrote: a running FNV-1a hash and size of everything, and the
// first bytes verbatim (enough for any message).
struct sink_state {
    std::uint64_t hash = 1469598103934665603ull;
    std::uint64_t size = 0;
    std::string head;

    // Kept out of the coverage feedback: hashing is the harness's own work.
    // Past the largest trace that is ever compared, counting is enough.
    NO_COVERAGE void add(const char* p, std::size_t n) {
        std::size_t hashed = size >= FILE_JOB_MAX_TRACE ? 0 : std::min<std::uint64_t>(n, FILE_JOB_MAX_TRACE - size);
        for (std::size_t i = 0; i < hashed; ++i) {
            hash ^= static_cast<unsigned char>(p[i]);
            hash *= 1099511628211ull;
        }
        size += n;
        if (head.size() < 4096) head.append(p, std::min<std::size_t>(n, 4096 - head.size()));
    }
};

ssize_t sink_write(void* cookie, const char* p, std::size_t n) {
    static_cast<sink_state*>(cookie)->add(p, n);
    return static_cast<ssize_t>(n);
}

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "segsplice fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) fail(what, detail);
}

struct workspace {
    std::string dir;
    std::FILE* stream = nullptr;
    sink_state sink;
    static constexpr int SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                      SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
    static constexpr int SIGNAL_COUNT = sizeof SIGNALS / sizeof SIGNALS[0];
    struct sigaction saved[SIGNAL_COUNT];

    workspace() {
        std::string pattern = (fs::temp_directory_path() / "segsplice-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fail("cannot make a scratch directory");
        dir = pattern;
        cookie_io_functions_t io{};
        io.write = sink_write;
        stream = ::fopencookie(&sink, "w", io);
        if (!stream) fail("cannot open the trace sink");
        std::setvbuf(stream, nullptr, _IOFBF, 1 << 16);
        for (int i = 0; i < SIGNAL_COUNT; ++i) ::sigaction(SIGNALS[i], nullptr, &saved[i]);
        std::atexit([] { std::error_code ec; fs::remove_all(get().dir, ec); });
    }

    // Never destroyed: the exit hook that removes the directory runs last.
    static workspace& get() {
        static workspace* instance = new workspace;
        return *instance;
    }

    std::string path(const char* name) const { return dir + "/" + name; }

    // The sink starts afresh for each run whose output is checked.
    void reset_sink() {
        std::fflush(stream);
        sink = sink_state{};
    }

    int run(std::vector<std::string> args) {
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        int status = segsplice_main(static_cast<int>(args.size()), argv.data());
        std::fflush(stream);
        // The tool claims the termination signals while it writes; give them
        // back to the fuzzer so that its own stop and timeout handling work.
        for (int i = 0; i < SIGNAL_COUNT; ++i) ::sigaction(SIGNALS[i], &saved[i], nullptr);
        return status;
    }
};

void write_bytes(const std::string& path, const std::uint8_t* p, std::size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    if (!out.flush()) fail("cannot write", path);
}

bool read_bytes(const std::string& path, bytes& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Only the files the jobs are meant to leave: no temporary file survives a job.
void check_directory(const workspace& w, std::size_t expected_entries) {
    std::size_t n = 0;
    for (const auto& item : fs::directory_iterator(w.dir)) {
        ++n;
        if (item.path().filename().string().find(".tmp") != std::string::npos)
            fail("temporary file left behind", item.path().string());
    }
    check(n == expected_entries, "unexpected file count in", w.dir);
}

const bytes OLD_TARGET = {'o', 'l', 'd'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    workspace& w = workspace::get();
    set_output_stream(w.stream);

    // The parse and trace from memory: the fastest path, run on every input.
    w.reset_sink();
    set_log_enable(1);
    byte_source memory = memory_source(bytes(data, data + size));
    app1_info info;
    bool found = search_app1_start(memory);
    if (found) {
        info.start_address = source_tell(memory);
        // The run sequence's own line between the scan and the header.
        logoutput("app1 start_address = %lld.\n", static_cast<long long>(info.start_address));
        get_app1_data(memory, info);
    }
    set_log_enable(0);
    std::fflush(w.stream);
    sink_state memory_trace = w.sink;
    if (size > FILE_JOB_MAX_INPUT || memory_trace.size > FILE_JOB_MAX_TRACE) return 0;

    const std::string src = w.path("src.jpg");
    const std::string cut = src + ".app1";
    const std::string app1 = w.path("in.app1");
    const std::string out = w.path("out.jpg");
    write_bytes(src, data, size);

    // The same trace read through the file window, then the one message.
    w.reset_sink();
    int status = w.run({"segsplice", src, "-d"});
    set_log_enable(0);
    sink_state expected = memory_trace;
    if (!found) {
        static const char NO_MARKER[] = "can't find app1 maker. Abort.\n";
        expected.add(NO_MARKER, sizeof NO_MARKER - 1);
    }
    check(status == 0, "parse-only run failed");
    check(w.sink.size == expected.size && w.sink.hash == expected.hash,
          "file trace differs from memory trace");

    auto start = static_cast<std::size_t>(info.start_address);
    std::size_t end = start + info.app1_length;
    std::size_t rest = std::min(end, size);

    // Cut: exactly the segment, or an untouched target and one message.
    write_bytes(cut, OLD_TARGET.data(), OLD_TARGET.size());
    w.reset_sink();
    status = w.run({"segsplice", src, "-r"});
    bytes got;
    check(read_bytes(cut, got), "cut target vanished");
    if (!found) {
        check(status == 0 && got == OLD_TARGET, "cut without a marker touched its target");
    } else if (end <= size) {
        check(status == 0, "cut failed", w.sink.head);
        check(got == bytes(data + start, data + end), "cut holds the wrong bytes");
    } else {
        check(status == 1 && got == OLD_TARGET, "truncated cut replaced its target");
        check(w.sink.head == "app1 segment truncated [" + src + "].\n", "truncated cut message",
              w.sink.head);
    }
    check_directory(w, 2);

    // Replace with a segment of our own: the cut when it worked, so the round
    // trip must give the source back, else a slice of the input.
    bytes segment = found && end <= size ? bytes(data + start, data + end)
                                         : bytes(data, data + std::min<std::size_t>(size, 40));
    write_bytes(app1, segment.data(), segment.size());
    for (const char* mode : {"-w", "-wvireo"}) {
        write_bytes(out, OLD_TARGET.data(), OLD_TARGET.size());
        w.reset_sink();
        status = w.run({"segsplice", src, mode, app1, out});
        check(read_bytes(out, got), "replace target vanished");
        check(status == 0, "replace failed", w.sink.head);
        if (!found) {
            check(got == OLD_TARGET, "replace without a marker touched its target");
            continue;
        }
        bytes want;
        if (std::strcmp(mode, "-w") == 0) want.assign(data, data + start);
        else want = {0xFF, 0xD8, 0xFF, 0xE1};
        want.insert(want.end(), segment.begin(), segment.end());
        want.insert(want.end(), data + rest, data + size);
        check(got == want, "replace holds the wrong bytes", mode);
        if (std::strcmp(mode, "-w") == 0 && end <= size)
            check(got == bytes(data, data + size), "cut and replace do not round-trip");
    }
    check_directory(w, 4);

    fs::remove(src);
    fs::remove(cut);
    fs::remove(app1);
    fs::remove(out);
    return 0;
}
