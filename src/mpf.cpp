#include "mpf.h"

#include <algorithm>

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

namespace {

void store_u32(std::uint8_t* p, std::uint32_t v, bool big_endian) {
    for (int i = 0; i < 4; ++i) p[big_endian ? 3 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void store_u16(std::uint8_t* p, std::uint16_t v, bool big_endian) {
    p[big_endian ? 1 : 0] = static_cast<std::uint8_t>(v);
    p[big_endian ? 0 : 1] = static_cast<std::uint8_t>(v >> 8);
}

// True with value set when base + change still fits an unsigned 32-bit field.
bool moved(std::int64_t base, std::int64_t change, std::uint32_t& value) {
    const std::int64_t sum = base + change;
    if (sum <= 0 || sum > 0xFFFFFFFF) return false;
    value = static_cast<std::uint32_t>(sum);
    return true;
}

mp_patch patch_at(std::int64_t position, std::uint32_t value, bool big_endian) {
    mp_patch patch;
    patch.position = position;
    store_u32(patch.bytes.data(), value, big_endian);
    return patch;
}

}  // namespace

std::vector<mp_patch> mp_resize_patches(const mp_index& index, std::int64_t from, std::int64_t resume,
                                        std::int64_t length, std::int64_t primary_end) {
    std::vector<mp_patch> patches;
    const std::int64_t change = length - (resume - from);
    if (change == 0 || index.entries.empty()) return patches;
    std::uint32_t value = 0;
    if (moved(primary_end, change, value)) patches.push_back(patch_at(index.entries[0].field + 4, value, index.big_endian));
    // Before the TIFF header, the change moves the header and the images alike.
    if (from < index.tiff) return patches;
    for (std::size_t i = 1; i < index.entries.size(); ++i) {
        const mp_entry& e = index.entries[i];
        if (e.offset != 0 && mp_image_start(index, e) >= resume && moved(e.offset, change, value))
            patches.push_back(patch_at(e.field + 8, value, index.big_endian));
    }
    return patches;
}

// The layout written, offsets from the TIFF header (segment byte 8):
//
//   0 TIFF header, IFD at 8        8 count 3, then MPFVersion "0100",
//   NumberOfImages, MPEntry (32 bytes at 50), next IFD 0    50 two entries
std::array<std::uint8_t, MPF_TWO_IMAGE_SIZE> mpf_two_image_segment(bool big_endian, const mp_entry& primary,
                                                                  const mp_entry& second) {
    constexpr std::uint32_t ENTRIES_AT = 8 + 2 + 3 * 12 + 4;
    std::array<std::uint8_t, MPF_TWO_IMAGE_SIZE> s{0xFF, 0xE2, 0x00, MPF_TWO_IMAGE_SIZE - 2, 'M', 'P', 'F', 0};
    std::uint8_t* tiff = s.data() + MPF_TIFF_AT;
    tiff[0] = tiff[1] = big_endian ? 'M' : 'I';
    store_u16(tiff + 2, 42, big_endian);
    store_u32(tiff + 4, 8, big_endian);
    store_u16(tiff + 8, 3, big_endian);
    struct field {
        std::uint16_t tag, type;
        std::uint32_t count, value;
    } const fields[] = {{0xB000, TYPE_UNDEFINED, 4, 0}, {0xB001, 4, 1, 2},
                        {TAG_MP_ENTRY, TYPE_UNDEFINED, 2 * MP_ENTRY_SIZE, ENTRIES_AT}};
    std::uint8_t* at = tiff + 10;
    for (const field& f : fields) {
        store_u16(at, f.tag, big_endian);
        store_u16(at + 2, f.type, big_endian);
        store_u32(at + 4, f.count, big_endian);
        store_u32(at + 8, f.value, big_endian);
        at += 12;
    }
    const std::uint8_t version[] = {'0', '1', '0', '0'};  // bytes, in either byte order
    std::copy(version, version + 4, tiff + 10 + 8);
    at += 4;  // next IFD: none
    for (const mp_entry* e : {&primary, &second}) {
        store_u32(at, e->attribute, big_endian);
        store_u32(at + 4, e->size, big_endian);
        store_u32(at + 8, e->offset, big_endian);
        at += MP_ENTRY_SIZE;  // dependent images: none
    }
    return s;
}
