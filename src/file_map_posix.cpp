// The mapped read on POSIX systems. A page of the mapping past the file's end
// (the file was truncated after its size was checked) raises SIGBUS on
// access; for the moment of the scan a handler turns that into a failed read
// by jumping back out of the scan, and the previous handler returns after it.
#include "file_map.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void (*map_hook)(const input_file&) = nullptr;

// What the handler needs, and nothing else: the range it may take a fault
// in, and where the scan started.
sigjmp_buf scan_start;
volatile std::uintptr_t guarded_begin = 0;
volatile std::uintptr_t guarded_end = 0;

void on_bus_error(int, siginfo_t* info, void*) {
    auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (at >= guarded_begin && at < guarded_end) siglongjmp(scan_start, 1);
    // Not the scan's fault: the access is repeated and meets the default
    // action, as it would without this handler.
    ::signal(SIGBUS, SIG_DFL);
}

std::int64_t page_size() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? size : 4096;
}

}  // namespace

void set_map_hook(void (*hook)(const input_file& in)) { map_hook = hook; }

map_result scan_mapped(const input_file& in, std::int64_t offset, std::size_t n, byte_scan scan, scan_stop& stop) {
    struct stat st;
    if (::fstat(in.fd, &st) != 0) return map_result::read_failed;
    if (static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(st.st_size) || offset < 0 ||
        offset > st.st_size - static_cast<std::int64_t>(n))
        return map_result::read_failed;
    std::int64_t start = offset - offset % page_size();
    std::size_t lead = static_cast<std::size_t>(offset - start);
    if (n > SIZE_MAX - lead) return map_result::unmappable;
    std::size_t length = lead + n;
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, in.fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return map_result::unmappable;
    ::madvise(base, length, MADV_SEQUENTIAL);
    // No SA_RESTART or mask to restore: the handler leaves by the jump, and
    // SA_NODEFER keeps SIGBUS unblocked after it.
    struct sigaction guard = {};
    struct sigaction previous;
    guard.sa_sigaction = on_bus_error;
    guard.sa_flags = SA_SIGINFO | SA_NODEFER;
    ::sigemptyset(&guard.sa_mask);
    volatile map_result result = map_result::unmappable;
    if (::sigaction(SIGBUS, &guard, &previous) == 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(base);
        guarded_begin = reinterpret_cast<std::uintptr_t>(bytes);
        guarded_end = guarded_begin + length;
        if (map_hook) map_hook(in);
        if (sigsetjmp(scan_start, 0) == 0) {
            stop = scan(bytes + lead, n);
            result = map_result::scanned;
        } else {
            result = map_result::read_failed;
        }
        guarded_begin = guarded_end = 0;
        ::sigaction(SIGBUS, &previous, nullptr);
    }
    ::munmap(base, length);
    return result;
}
