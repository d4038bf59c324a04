#include "copy_ahead.h"

#include <algorithm>
#include <limits>
#include <system_error>

namespace {

// Each piece a thread copies ends on a multiple of this in the source, so
// that pieces keep the alignment that the kernel's copy wants, and the copy
// notices its limit within a piece of it.
constexpr std::int64_t PIECE = std::int64_t{1} << 20;

std::int64_t thread_least = COPY_AHEAD_THREAD_LEAST;

void copy_pieces(copy_ahead& ahead) {
    const input_file& in = ahead.source->file;
    for (;;) {
        const std::int64_t end = std::min(in.size, ahead.limit.load(std::memory_order_acquire));
        if (ahead.reached >= end) return;
        const std::int64_t stop = std::min((ahead.reached / PIECE + 1) * PIECE, end);
        // A failure is left for finish_copy_ahead to meet again, or not.
        if (copy_range(*ahead.out, in, ahead.reached, stop - ahead.reached) != copy_result::done) {
            ahead.stalled = true;
            return;
        }
        ahead.reached = stop;
    }
}

// The scan's bytes, written as they are judged, after the bytes between the
// last run and this one (segments the walk read, which the scan did not).
// A run before the last (answered from memory) or a failed write leaves the
// rest to finish_copy_ahead.
void write_scanned(void* context, std::int64_t position, const std::uint8_t* bytes, std::size_t n) {
    copy_ahead& ahead = *static_cast<copy_ahead*>(context);
    if (ahead.stalled || position < ahead.reached ||
        (position > ahead.reached &&
         copy_range(*ahead.out, ahead.source->file, ahead.reached, position - ahead.reached) != copy_result::done) ||
        !write_output(*ahead.out, bytes, n)) {
        ahead.stalled = true;
        return;
    }
    ahead.reached = position + static_cast<std::int64_t>(n);
}

bool start_thread(copy_ahead& ahead) {
    const std::int64_t from = ahead.limit.exchange(std::numeric_limits<std::int64_t>::max());
    try {
        ahead.worker = std::thread(copy_pieces, std::ref(ahead));
        return true;
    } catch (const std::system_error&) {
        ahead.limit.store(from);
        return false;
    }
}

}  // namespace

void set_copy_ahead_thread_least(std::int64_t least) { thread_least = least; }

void start_copy_ahead(copy_ahead& ahead, output_file& out, byte_source& source, std::int64_t offset) {
    ahead.out = &out;
    ahead.source = &source;
    ahead.from = ahead.reached = offset;
    ahead.start = out.written;
    ahead.stalled = false;
    ahead.limit.store(offset);
    const input_file& in = source.file;
    if (!output_is_temporary(out) || !in.regular || !in.seekable) return;
    if (out.regular && in.size - offset >= thread_least && start_thread(ahead)) return;
    source.watch = write_scanned;
    source.watch_context = &ahead;
}

copy_result finish_copy_ahead(copy_ahead& ahead, std::int64_t end) {
    ahead.limit.store(end, std::memory_order_release);
    if (ahead.worker.joinable()) ahead.worker.join();
    if (ahead.source->watch_context == &ahead) {
        ahead.source->watch = nullptr;
        ahead.source->watch_context = nullptr;
    }
    output_file& out = *ahead.out;
    // What went past end, or into a piece that failed, is cut off, and the
    // rest up to end copied here: a failure shows again only if it lies
    // before end.
    ahead.reached = std::min(ahead.reached, end);
    const std::int64_t kept = ahead.start + (ahead.reached - ahead.from);
    // After a failure the file may hold more than out.written counts.
    if ((out.written != kept || ahead.stalled) && !truncate_output(out, kept)) return copy_result::write_failed;
    if (ahead.reached == end) return copy_result::done;
    copy_result result = copy_range(out, ahead.source->file, ahead.reached, end - ahead.reached);
    if (result == copy_result::done) ahead.reached = end;
    return result;
}
