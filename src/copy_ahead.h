// A copy that runs beside the walk: the image data that a job keeps whatever
// the walk finds in it goes into the output while the walk looks through it,
// so that the two costs overlap instead of adding up. A large range is
// copied by a second thread; a smaller one is written from the bytes the
// walk's scan has just read.
#ifndef SEGSPLICE_COPY_AHEAD_H
#define SEGSPLICE_COPY_AHEAD_H

#include <atomic>
#include <cstdint>
#include <thread>

#include "byte_source.h"
#include "copy_engine.h"
#include "output_file.h"

// From this much image data on a second thread copies. Below it, waking a
// second processor and waiting for it cost more than it saves on the virtual
// machines measured; above it, writing the scanned bytes on from the scan's
// buffer cost more than the kernel's copy (at 4 MiB it was the cheaper, at
// 12 MiB the dearer, by about a tenth of what cp takes).
constexpr std::int64_t COPY_AHEAD_THREAD_LEAST = std::int64_t{8} << 20;

struct copy_ahead {
    output_file* out = nullptr;
    byte_source* source = nullptr;
    std::int64_t from = 0;     // where in the source the copy starts
    std::int64_t start = 0;    // where in the output it starts
    std::int64_t reached = 0;  // the source position up to which it is in the output
    std::atomic<std::int64_t> limit{0};  // the thread's copy stops there
    bool stalled = false;      // a copy or write failed, or the scanned bytes came out of order
    std::thread worker;

    // A copy left unfinished stops at its next piece rather than end the
    // process, as a running std::thread destroyed would, and the source
    // stops showing it what it scans.
    ~copy_ahead() {
        limit.store(from);
        if (worker.joinable()) worker.join();
        if (source && source->watch_context == this) source->watch = nullptr;
    }
};

// Starts copying source from offset on into out, after what out holds, while
// the caller walks source (one walk forward, or one scan); until
// finish_copy_ahead the caller writes nothing into out. Only a temporary file
// is copied into ahead of the walk, since a walk that fails leaves what was
// copied; into anything else, the copy is done by finish_copy_ahead.
void start_copy_ahead(copy_ahead& ahead, output_file& out, byte_source& source, std::int64_t offset);

// Ends the copy at end (offset <= end <= the source's end as opened): out
// then holds what copy_range of the source from offset to end would have
// appended, or the result says why not. A failure past end does not count.
copy_result finish_copy_ahead(copy_ahead& ahead, std::int64_t end);

// Tests: the least image data a thread copies (COPY_AHEAD_THREAD_LEAST
// restores it).
void set_copy_ahead_thread_least(std::int64_t least);

#endif
