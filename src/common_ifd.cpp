#include "common_ifd.h"

#include <cstring>

#include "log.h"
#include "tag.h"

void get_ifd_tag_count(byte_source& source, std::uint16_t& count, bool big_endian) {
    // A directory at a negative position is empty: its count is not pieced
    // together from the zeros before the file and the file's first byte.
    count = source_tell(source) < 0 ? 0 : read_u16(source, big_endian);
    logoutput("exif_header->tag_count [%04x]\n", count);
}

void get_ifd_tag_data(byte_source& source, std::int32_t offset_base, tag_main& entry, bool big_endian) {
    std::uint8_t raw[12];
    source_read(source, raw, sizeof raw);
    entry.tag = load_u16(raw, big_endian);
    entry.type = load_u16(raw + 2, big_endian);
    entry.datasize = load_u32(raw + 4, big_endian);
    entry.value = load_u32(raw + 8, big_endian);
    logoutput("tag_main->tag [%04x]\n", entry.tag);
    logoutput("tag_main->type [%04x]\n", entry.type);
    logoutput("tag_main->datasize[%08x]\n", entry.datasize);
    logoutput("tag_main->value [%08x]\n", entry.value);
    tag_log(entry);
    if (entry.datasize > 4 || entry.type == TYPE_RATIONAL)
        get_ifd_offsetted_value(source, offset_base, entry, big_endian);
    logoutput("------------------\n");
}

namespace {

// The one number shown for an integer value: its first element.
long long first_element(const tag_main& entry, bool big_endian) {
    switch (entry.type) {
        case TYPE_BYTE: return entry.data[0];
        case TYPE_SHORT: return load_u16(entry.data, big_endian);
        case TYPE_LONG: return load_u32(entry.data, big_endian);
        default: return static_cast<std::int32_t>(load_u32(entry.data, big_endian));
    }
}

// "[%02x]" for each byte, built in one piece: a value dump is a hot line.
void dump_hex(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    char text[TAG_DATA_SIZE * 4];
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        text[k++] = '[';
        text[k++] = digits[data[i] >> 4];
        text[k++] = digits[data[i] & 15];
        text[k++] = ']';
    }
    logoutput("%.*s", static_cast<int>(k), text);
}

void dump_value(const tag_main& entry, std::size_t n, bool big_endian) {
    switch (entry.type) {
        case TYPE_BYTE:
        case TYPE_SHORT:
        case TYPE_LONG:
        case TYPE_SLONG:
            logoutput("[%lld]", first_element(entry, big_endian));
            break;
        case TYPE_ASCII:
        case TYPE_UNDEFINED: {
            const void* end = std::memchr(entry.data, 0, n);
            std::size_t length = end ? static_cast<const std::uint8_t*>(end) - entry.data : n;
            logoutput("[%.*s]", static_cast<int>(length), reinterpret_cast<const char*>(entry.data));
            break;
        }
        default:
            dump_hex(entry.data, n);
    }
}

}  // namespace

void get_ifd_offsetted_value(byte_source& source, std::int32_t offset_base, tag_main& entry, bool big_endian) {
    std::int64_t saved = source_tell(source);
    std::int32_t position = tiff_position(offset_base, entry.value);
    logoutput("get_ifd_offsetted_value offset[%0lx]\n", static_cast<unsigned long>(static_cast<std::uint32_t>(position)));
    if (entry.datasize > TAG_DATA_SIZE) entry.datasize = TAG_DATA_SIZE;
    std::size_t n = entry.type == TYPE_RATIONAL ? 8 : entry.datasize;
    std::memset(entry.data, 0, sizeof entry.data);
    // A negative position cannot be sought: the value stays zero, as past the end.
    if (position >= 0) {
        source_seek(source, position);
        source_read(source, entry.data, n);
    }
    logoutput("true value\n");
    dump_value(entry, n, big_endian);
    logoutput("\n");
    source_seek(source, saved);
}
