// Reading TIFF-style directories: the 12-byte entry and the out-of-line value
// an entry may point at.
#ifndef SEGSPLICE_COMMON_IFD_H
#define SEGSPLICE_COMMON_IFD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "byte_source.h"

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

// A directory's fixed table of N records, each cleared as it is handed out:
// a directory of a few entries need not clear all N. Entries beyond N still
// need reading (their pointer tags count), so they go into a spare record
// that each overflowing entry overwrites.
template <std::size_t N>
struct ifd_table {
    union slot {
        tag_main record;
        slot() {}
    };
    std::array<slot, N> slots;
    tag_main spare;
    std::size_t used = 0;

    tag_main& next() {
        tag_main* record = used < N ? &slots[used++].record : &spare;
        return *new (record) tag_main{};
    }

    // Hands the records out again from the first, for the next directory.
    void restart() { used = 0; }
};

// Reads the 2-byte count at the current position and logs it; 0 at a
// negative position.
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
