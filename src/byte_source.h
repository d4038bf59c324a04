// The positioned, read-only view of the source that every reader shares, and
// the numbers assembled from its bytes in a byte order the caller names.
#ifndef SEGSPLICE_BYTE_SOURCE_H
#define SEGSPLICE_BYTE_SOURCE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "file_map.h"
#include "output_file.h"

constexpr std::size_t SOURCE_BLOCK_SIZE = 16 * 1024;
// A scan reads all the blocks at once. More than 64 KiB in all cost more than
// they saved on the machines measured: each page a read first fills is a
// fault, and a 4 MiB photo is over before fewer reads pay for them.
constexpr std::size_t SOURCE_BLOCKS = 4;
constexpr std::size_t SOURCE_MARKS = 64;  // more scans than progressive JPEGs have
// A scan maps the file only where at least this much of it is left. Never,
// for now: on the virtual machines measured, scanning a mapping cost 1.2 to
// 1.5 times the CPU time of reading the same bytes into the blocks, at 4 MiB
// and at 200 MiB alike (page faults and TLB misses cost more than the copy).
constexpr std::int64_t MAP_LEAST = std::numeric_limits<std::int64_t>::max();

struct source_block {
    std::int64_t pos = 0;    // file position of the block's first byte
    std::size_t len = 0;     // valid bytes
    std::uint64_t used = 0;  // when it was last used, for replacement
};

// Where a scan from a position found its mark, kept so that a second walk
// over the same file need not look at the same bytes again.
struct found_mark {
    byte_scan scan = nullptr;
    std::int64_t from = 0;
    std::int64_t at = 0;
};

// A view of a file or of bytes in memory. Every byte outside [0, size) reads
// as zero, at any position, negative ones included, so readers need no bounds
// checks of their own. A file is read through a few fixed blocks, so that a
// directory and the values it points at stay cached together while memory
// stays flat whatever the file claims.
// Shown each run of bytes that a scan has judged, in order, while they are
// at hand, so that a job that keeps them can write them without reading
// them again. Runs answered from memory or looked at where they lie in a
// mapping are not shown.
using scan_watch_fn = void (*)(void* context, std::int64_t position, const std::uint8_t* bytes, std::size_t n);

struct byte_source {
    input_file file;                  // not open for an in-memory source
    std::vector<std::uint8_t> bytes;  // the content, for a source in memory
    std::unique_ptr<std::uint8_t[]> storage;  // a file's blocks, one after another
    std::size_t stored_blocks = 0;
    std::array<source_block, SOURCE_BLOCKS> blocks{};
    std::uint64_t clock = 0;
    std::int64_t size = 0;            // bytes in the source
    std::int64_t pos = 0;             // current position
    bool read_failed = false;         // the file held fewer bytes than its size, or a read failed
    bool mappable = false;            // a regular file that scans look at where it lies
    std::array<found_mark, SOURCE_MARKS> marks{};
    std::size_t next_mark = 0;        // the mark that the next one found replaces
    scan_watch_fn watch = nullptr;    // shown what scans judge; null for none
    void* watch_context = nullptr;
};

// Opens path for reading ("-": standard input, copied aside where it is a
// pipe). False, with source.file.error saying why, when it cannot be opened,
// is a directory or cannot be positioned (a named pipe, say). The caller
// closes it with close_source.
bool open_source(byte_source& source, const std::string& path);
void close_source(byte_source& source);

// A source over a file the caller has opened, can position and closes itself,
// after the source's last use; close_source must not be called on it.
byte_source file_source(const input_file& file);

// A source over the given bytes; used by tests and the fuzz targets.
byte_source memory_source(std::vector<std::uint8_t> bytes);

// The bytes that follow the current position without a break, available of
// them; null outside the source or when the file cannot be read there.
// Does not move the position.
const std::uint8_t* source_span(byte_source& source, std::size_t& available);

// The position of the first mark that scan finds from position on, or -1
// when the source ends first or cannot be read (read_failed is then set). A
// regular file with at least MAP_LEAST bytes left is looked at where it lies,
// a mapped window at a time, each starting where scan stopped in the one
// before; the rest through the spans. A scan repeated from the same position
// is answered from memory (the last SOURCE_MARKS marks found), so walking a
// file twice looks at its image data once. Does not move the position.
std::int64_t source_scan(byte_source& source, std::int64_t position, byte_scan scan);

// Tests: the most bytes a scan maps at once and the fewest left that it
// maps; (MAP_WINDOW, MAP_LEAST) restores them.
void set_scan_mapping(std::size_t window, std::int64_t least);

// Reads n bytes at the current position into out and moves on by n, even past
// the end. Returns how many of them the source really held; the rest are zero.
std::size_t source_read(byte_source& source, std::uint8_t* out, std::size_t n);

// Reads one byte and moves on; -1 at or past the end of the source.
int source_getc(byte_source& source);

inline void source_seek(byte_source& source, std::int64_t position) { source.pos = position; }
inline std::int64_t source_tell(const byte_source& source) { return source.pos; }

// Numbers assembled from bytes in the byte order the caller names.
inline std::uint16_t load_u16(const std::uint8_t* p, bool big_endian) {
    return big_endian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                      : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}
inline std::uint32_t load_u32(const std::uint8_t* p, bool big_endian) {
    return big_endian
               ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]
               : std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

// Reads a 16- or 32-bit number at the current position; missing bytes are zero.
std::uint16_t read_u16(byte_source& source, bool big_endian);
std::uint32_t read_u32(byte_source& source, bool big_endian);

#endif
