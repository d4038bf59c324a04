#include "trace_sink.h"

#include <algorithm>
#include <cstdlib>

#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#if defined(__clang__)
#define HARNESS_ONLY __attribute__((no_sanitize("address", "undefined", "coverage")))
#else
#define HARNESS_ONLY
#endif

namespace {

[[noreturn]] void sink_failed(const char* what) {
    std::fprintf(stderr, "segsplice fuzz: %s\n", what);
    std::abort();
}

}  // namespace

// Kept out of the sanitizers and the coverage feedback: hashing is the
// harness's own work, over bytes that the stream hands it.
HARNESS_ONLY void trace_digest::add(const char* p, std::size_t n) {
    constexpr std::uint64_t PRIME = 1099511628211ull;
    if (head.size() < 4096) head.append(p, std::min<std::size_t>(n, 4096 - head.size()));
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        if (size % 8 == 0 && n - i >= 8) {
            std::uint64_t word = 0;
            for (int k = 7; k >= 0; --k) word = word << 8 | bytes[i + k];
            hash = (hash ^ word) * PRIME;
            size += 8;
            i += 7;
            continue;
        }
        tail |= std::uint64_t{bytes[i]} << (8 * (size % 8));
        if (++size % 8 == 0) {
            hash = (hash ^ tail) * PRIME;
            tail = 0;
        }
    }
}

trace_sink::~trace_sink() { std::fclose(stream_); }

#if defined(__GLIBC__)

namespace {

ssize_t sink_write(void* cookie, const char* p, std::size_t n) {
    static_cast<trace_sink*>(cookie)->receive(p, n);
    return static_cast<ssize_t>(n);
}

}  // namespace

trace_sink::trace_sink(std::uint64_t limit) : limit_(limit) {
    cookie_io_functions_t io{};
    io.write = sink_write;
    stream_ = ::fopencookie(this, "w", io);
    if (!stream_) sink_failed("cannot open the trace sink");
    // The stream's own buffer (8 KiB) is how far the trace may run past its
    // limit. No lock, so that leaving a write half-way (run_bounded) leaves
    // none held.
    __fsetlocking(stream_, FSETLOCKING_BYCALLER);
}

void trace_sink::receive(const char* p, std::size_t n) {
    digest_.add(p, n);
    if (stop_ && digest_.size >= limit_) std::longjmp(*stop_, 1);
}

void trace_sink::reset() {
    std::fflush(stream_);
    digest_ = trace_digest{};
}

const trace_digest& trace_sink::digest() {
    std::fflush(stream_);
    return digest_;
}

bool trace_sink::run_bounded(void (*work)(void*), void* context) {
    reset();
    std::jmp_buf stop;
    stop_ = &stop;
    if (setjmp(stop) == 0) {
        work(context);
        std::fflush(stream_);
        stop_ = nullptr;
        return true;
    }
    // Left from inside a write: the buffer still holds text already counted.
    stop_ = nullptr;
    __fpurge(stream_);
    return false;
}

#else

// Standard C only: the text goes to a temporary file that is rewound at each
// reset and read back on demand; bytes past the current end are stale. Work
// always runs to its end.
trace_sink::trace_sink(std::uint64_t limit) : limit_(limit) {
    stream_ = std::tmpfile();
    if (!stream_) sink_failed("cannot open the trace sink");
}

void trace_sink::receive(const char* p, std::size_t n) { digest_.add(p, n); }

void trace_sink::reset() {
    std::fflush(stream_);
    std::rewind(stream_);
}

const trace_digest& trace_sink::digest() {
    std::fflush(stream_);
    long end = std::ftell(stream_);
    if (end < 0) sink_failed("cannot read the trace sink back");
    std::rewind(stream_);
    digest_ = trace_digest{};
    char buffer[8192];
    for (long left = end; left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<long>(left, static_cast<long>(sizeof buffer)));
        std::size_t got = std::fread(buffer, 1, want, stream_);
        if (got == 0) sink_failed("cannot read the trace sink back");
        receive(buffer, got);
        left -= static_cast<long>(got);
    }
    std::fseek(stream_, end, SEEK_SET);
    return digest_;
}

bool trace_sink::run_bounded(void (*work)(void*), void* context) {
    reset();
    work(context);
    return digest().size < limit_;
}

#endif
