// Reading TIFF-style directories: the source they are read from, the 12-byte
// entry, and the out-of-line value an entry may point at.
#ifndef SEGSPLICE_COMMON_IFD_H
#define SEGSPLICE_COMMON_IFD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr std::size_t SOURCE_BLOCK_SIZE = 16 * 1024;
constexpr std::size_t SOURCE_BLOCKS = 8;

struct source_block {
    std::int64_t pos = 0;    // file position of the block's first byte
    std::size_t len = 0;     // valid bytes
    std::uint64_t used = 0;  // when it was last used, for replacement
};

// A positioned, read-only view of a file or of bytes in memory.
// Every byte outside [0, size) reads as zero, at any position, negative ones
// included, so readers need no bounds checks of their own. A file is read
// through a few fixed blocks, so that a directory and the values it points at
// stay cached together while memory stays flat whatever the file claims.
struct byte_source {
    std::FILE* file = nullptr;        // null for an in-memory source
    std::vector<std::uint8_t> bytes;  // the content in memory, or the blocks' storage
    std::array<source_block, SOURCE_BLOCKS> blocks{};
    std::uint64_t clock = 0;
    std::int64_t size = 0;            // bytes in the source
    std::int64_t pos = 0;             // current position
    bool read_failed = false;         // the file held fewer bytes than its size, or a read failed
};

// Opens path for reading. False when it cannot be opened, is a directory or
// cannot be positioned (a pipe, say). The caller closes it with close_source.
bool open_source(byte_source& source, const std::string& path);
void close_source(byte_source& source);

// A source over the given bytes; used by tests and the fuzz target.
byte_source memory_source(std::vector<std::uint8_t> bytes);

// The bytes that follow the current position without a break, available of
// them; null outside the source or when the file cannot be read there.
// Does not move the position.
const std::uint8_t* source_span(byte_source& source, std::size_t& available);

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

// TIFF offsets count from the TIFF header and positions inside the structure
// are signed 32-bit: offset_base + value wraps modulo 2^32 (never a signed
// overflow), and a negative result is a position that cannot be sought.
inline std::int32_t tiff_position(std::int32_t offset_base, std::uint32_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(offset_base) + value);
}

constexpr std::size_t TAG_DATA_SIZE = 256;

// One directory entry. On file it is 12 bytes in the directory's byte order:
//
//   +0 tag (2)  +2 type (2)  +4 datasize = count (4)  +8 value or offset (4)
//
// data holds the out-of-line value as it stands on file, zero when none.
struct tag_main {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t datasize = 0;
    std::uint32_t value = 0;
    std::uint8_t data[TAG_DATA_SIZE] = {};
};

// A directory's fixed table of N records, cleared at construction. Entries
// beyond N still need reading (their pointer tags count), so they go into a
// spare record that each overflowing entry overwrites.
template <std::size_t N>
struct ifd_table {
    std::array<tag_main, N> records{};
    tag_main spare{};
    std::size_t used = 0;

    tag_main& next() {
        if (used < N) return records[used++];
        spare = tag_main{};
        return spare;
    }
};

// Reads the 2-byte count at the current position and logs it.
void get_ifd_tag_count(byte_source& source, std::uint16_t& count, bool big_endian);

// Reads the 12-byte entry at the current position into entry, traces and
// describes it, and fetches its value when it lies outside the entry (count
// above 4, or RATIONAL). Leaves the source directly after the 12 bytes.
void get_ifd_tag_data(byte_source& source, std::int32_t offset_base, tag_main& entry, bool big_endian);

// Fetches up to 256 bytes (8 for RATIONAL) from offset_base + entry.value into
// entry.data, lowers entry.datasize to 256 when larger, and dumps the value.
// big_endian decodes the number shown for integer types. Restores the position.
void get_ifd_offsetted_value(byte_source& source, std::int32_t offset_base, tag_main& entry, bool big_endian);

#endif
