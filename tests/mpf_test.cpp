#include "mpf.h"

#include <gtest/gtest.h>

#include "fixture.h"

using fixture::bytes;

namespace {

// Reads the index of the MPF segment at the start of bytes.
bool read_index(const bytes& segment, mp_index& index) {
    byte_source source = memory_source(segment);
    jpeg_segment mpf{MARKER_APP2, 0, static_cast<std::int64_t>(segment.size()), segment_id::mpf};
    return read_mp_index(source, mpf, index);
}

}  // namespace

TEST(Mpf, ReadsEveryEntryInEitherByteOrder) {
    for (bool big_endian : {false, true}) {
        bytes segment = fixture::mpf_segment({{5000, 0, 0x030000}, {1200, 4900, 0}}, big_endian);
        mp_index index;
        ASSERT_TRUE(read_index(segment, index)) << big_endian;
        EXPECT_EQ(index.big_endian, big_endian);
        EXPECT_EQ(index.tiff, 8);
        ASSERT_EQ(index.entries.size(), 2u);
        EXPECT_EQ(index.entries[0].attribute, 0x030000u);
        EXPECT_EQ(index.entries[0].size, 5000u);
        EXPECT_EQ(mp_image_start(index, index.entries[0]), 0);
        EXPECT_EQ(index.entries[1].size, 1200u);
        EXPECT_EQ(mp_image_start(index, index.entries[1]), 8 + 4900);
        // The entry's bytes lie where field says: its size follows the attribute.
        EXPECT_EQ(load_u32(segment.data() + index.entries[1].field + 4, big_endian), 1200u);
    }
}

TEST(Mpf, RefusesAnIndexThatLeavesItsSegment) {
    const bytes good = fixture::mpf_segment({{5000, 0}, {1200, 4900}}, true);
    auto patched = [&](std::size_t at, std::initializer_list<std::uint8_t> values) {
        bytes out = good;
        for (std::uint8_t v : values) out[at++] = v;
        return out;
    };
    struct row {
        const char* name;
        bytes segment;
    } rows[] = {
        {"no TIFF header", bytes(good.begin(), good.begin() + 12)},
        {"no byte order mark", patched(8, {'X', 'X'})},
        {"IFD past the end", patched(12, {0x7F, 0xFF, 0xFF, 0xF0})},
        {"entries cut off", bytes(good.begin(), good.end() - 4)},
        {"MPEntry count not whole entries", patched(8 + 8 + 2 + 24 + 4, {0x00, 0x00, 0x00, 0x11})},
        {"MPEntry count wraps", patched(8 + 8 + 2 + 24 + 4, {0xFF, 0xFF, 0xFF, 0xF0})},
        {"MPEntry not UNDEFINED", patched(8 + 8 + 2 + 24 + 2, {0x00, 0x04})},
        {"no MPEntry", patched(8 + 8 + 2 + 24, {0xB0, 0x09})},
    };
    for (const row& r : rows) {
        mp_index index;
        EXPECT_FALSE(read_index(r.segment, index)) << r.name;
        EXPECT_TRUE(index.entries.empty()) << r.name;
    }
}
