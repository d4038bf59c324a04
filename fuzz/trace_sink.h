// Where the fuzz targets send the tool's trace and messages: a stream whose
// text is hashed as it comes, so that a trace of many megabytes costs no memory.
#ifndef SEGSPLICE_FUZZ_TRACE_SINK_H
#define SEGSPLICE_FUZZ_TRACE_SINK_H

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// What was written: a hash and the size of all of it, and the first bytes
// verbatim (enough for any message). The hash takes the text in 8-byte words
// counted from its start, so it does not depend on how the text was split.
struct trace_digest {
    std::uint64_t hash = 1469598103934665603ull;
    std::uint64_t size = 0;
    std::uint64_t tail = 0;  // the bytes after the last whole word
    std::string head;

    // Takes n more bytes of text.
    void add(const char* p, std::size_t n);
};

inline bool same_text(const trace_digest& a, const trace_digest& b) {
    return a.size == b.size && a.hash == b.hash && a.tail == b.tail;
}

// A write-only stream and the digest of what reached it since the last reset.
// With glibc the text reaches the digest as the stream flushes; elsewhere it
// goes to a temporary file that digest() reads back.
class trace_sink {
public:
    // limit: the most trace that run_bounded lets through.
    explicit trace_sink(std::uint64_t limit);
    ~trace_sink();
    trace_sink(const trace_sink&) = delete;
    trace_sink& operator=(const trace_sink&) = delete;

    // The stream to hand to set_output_stream.
    std::FILE* stream() const { return stream_; }

    // Forgets everything written so far.
    void reset();

    // Everything written since the last reset.
    const trace_digest& digest();

    // Resets, then calls work(context), which writes to stream(). False when
    // the trace reached limit; with glibc work is then abandoned where it
    // stands: a walk of five 65535-entry directories costs no more than its
    // first entries. So work must not own anything that needs destroying, and
    // nor may the code it calls (the reader's frames hold plain records only).
    bool run_bounded(void (*work)(void*), void* context);

    // Where the stream's flushed text goes; not for other callers.
    void receive(const char* p, std::size_t n);

private:
    std::FILE* stream_ = nullptr;
    std::uint64_t limit_;
    [[maybe_unused]] std::jmp_buf* stop_ = nullptr;  // set while run_bounded may abandon its work
    trace_digest digest_;
};

#endif
