#include "mpf.h"

namespace {

constexpr std::int64_t MPF_TIFF_AT = 8;  // from the marker's FF: FF E2, length, "MPF\0"
constexpr std::uint16_t TYPE_UNDEFINED = 7;

// Reads n bytes at offset from the MPF TIFF header into out; false when they
// do not lie whole inside the segment's size TIFF bytes.
bool read_inside(byte_source& source, std::int64_t tiff, std::int64_t size, std::int64_t offset,
                 std::uint8_t* out, std::size_t n) {
    if (offset < 0 || static_cast<std::int64_t>(n) > size || offset > size - static_cast<std::int64_t>(n))
        return false;
    source_seek(source, tiff + offset);
    return source_read(source, out, n) == n;
}

}  // namespace

bool read_mp_index(byte_source& source, const jpeg_segment& segment, mp_index& index) {
    index = mp_index{};
    index.tiff = segment.offset + MPF_TIFF_AT;
    const std::int64_t size = segment.length - MPF_TIFF_AT;
    std::uint8_t header[8];
    if (!read_inside(source, index.tiff, size, 0, header, sizeof header)) return false;
    index.big_endian = header[0] == 'M' && header[1] == 'M';
    if (!index.big_endian && !(header[0] == 'I' && header[1] == 'I')) return false;
    const std::int64_t ifd = load_u32(header + 4, index.big_endian);
    std::uint8_t count_field[2];
    if (!read_inside(source, index.tiff, size, ifd, count_field, sizeof count_field)) return false;
    const unsigned count = load_u16(count_field, index.big_endian);
    for (unsigned i = 0; i < count; ++i) {
        std::uint8_t entry[12];
        if (!read_inside(source, index.tiff, size, ifd + 2 + 12 * static_cast<std::int64_t>(i), entry, sizeof entry))
            return false;
        if (load_u16(entry, index.big_endian) != TAG_MP_ENTRY) continue;
        const std::uint32_t bytes = load_u32(entry + 4, index.big_endian);
        const std::int64_t at = load_u32(entry + 8, index.big_endian);
        // The segment bounds the count: at most 65535 / 16 entries are read.
        if (load_u16(entry + 2, index.big_endian) != TYPE_UNDEFINED || bytes == 0 || bytes % MP_ENTRY_SIZE != 0 ||
            bytes > size || at > size - bytes)
            return false;
        for (std::int64_t k = 0; k < bytes / static_cast<std::int64_t>(MP_ENTRY_SIZE); ++k) {
            std::uint8_t raw[MP_ENTRY_SIZE];
            std::int64_t offset = at + k * static_cast<std::int64_t>(MP_ENTRY_SIZE);
            read_inside(source, index.tiff, size, offset, raw, sizeof raw);
            mp_entry e;
            e.attribute = load_u32(raw, index.big_endian);
            e.size = load_u32(raw + 4, index.big_endian);
            e.offset = load_u32(raw + 8, index.big_endian);
            e.field = index.tiff + offset;
            index.entries.push_back(e);
        }
        return true;
    }
    return false;
}

std::int64_t mp_image_start(const mp_index& index, const mp_entry& entry) {
    return entry.offset == 0 ? 0 : index.tiff + entry.offset;
}
