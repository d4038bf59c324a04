// Reading a file where it lies: a read-only mapping of a window of it, looked
// through by a scan under a guard, so that the bytes reach the scan without
// being copied, and a file cut short under the mapping fails the read instead
// of ending the process. Where the system cannot map the file (a device, a
// filesystem without mmap, Windows) nothing is mapped and the caller reads it.
#ifndef SEGSPLICE_FILE_MAP_H
#define SEGSPLICE_FILE_MAP_H

#include <cstddef>
#include <cstdint>

#include "output_file.h"

// Where a scan over n bytes stopped: at the byte it looks for (found), or,
// having found nothing, at the first byte it could not judge without the
// bytes that follow the n (n when it judged them all).
struct scan_stop {
    std::size_t at = 0;
    bool found = false;
};

// A scan depends on the bytes it is given alone, judges all but the last few
// (fewer than 16) of them, and holds no object with a destructor: a fault in
// the mapping leaves it by a jump.
using byte_scan = scan_stop (*)(const std::uint8_t* bytes, std::size_t n);

// The most bytes mapped at once, so that any file fits a 32-bit address space
// one window at a time.
constexpr std::size_t MAP_WINDOW = std::size_t{64} << 20;

enum class map_result { scanned, unmappable, read_failed };

// Maps the n bytes (n > 0) of in from offset, read-only, and runs scan over
// them once, into stop. read_failed when the file no longer holds them all:
// it is shorter now, or shrank while it was scanned. unmappable, with nothing
// read, when the system cannot map it. One scan at a time: the guard is the
// process's SIGBUS handler while it runs.
map_result scan_mapped(const input_file& in, std::int64_t offset, std::size_t n, byte_scan scan, scan_stop& stop);

// Tests: hook runs between the mapping and the scan (to cut the file short
// there); null for none.
void set_map_hook(void (*hook)(const input_file& in));

#endif
