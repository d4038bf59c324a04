#include "common_ifd.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "log.h"
#include "tag.h"

namespace {

// Loads the block that holds position (inside the file) over the least
// recently used one; null when the file cannot be read there.
source_block* load_block(byte_source& source, std::int64_t position) {
    source_block* victim = &source.blocks[0];
    for (source_block& block : source.blocks)
        if (block.used < victim->used) victim = &block;
    victim->pos = position - position % static_cast<std::int64_t>(SOURCE_BLOCK_SIZE);
    victim->len = 0;
    std::uint8_t* storage = source.bytes.data() + (victim - source.blocks.data()) * SOURCE_BLOCK_SIZE;
    std::size_t want = static_cast<std::size_t>(
        std::min<std::int64_t>(source.size - victim->pos, SOURCE_BLOCK_SIZE));
    if (std::fseek(source.file, static_cast<long>(victim->pos), SEEK_SET) == 0)
        victim->len = std::fread(storage, 1, want, source.file);
    if (victim->len < want) {
        source.read_failed = true;
        std::clearerr(source.file);
    }
    return position - victim->pos < static_cast<std::int64_t>(victim->len) ? victim : nullptr;
}

}  // namespace

bool open_source(byte_source& source, const std::string& path) {
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status)) return false;
    // A pipe cannot be positioned anyway, and opening a FIFO waits for a writer.
    if (std::filesystem::is_fifo(status) || std::filesystem::is_socket(status)) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size < 0) {
        std::fclose(file);
        return false;
    }
    // The blocks are the buffer; a stream buffer would only copy twice.
    std::setvbuf(file, nullptr, _IONBF, 0);
    source = byte_source{};
    source.file = file;
    source.size = size;
    source.bytes.resize(SOURCE_BLOCK_SIZE * SOURCE_BLOCKS);
    return true;
}

void close_source(byte_source& source) {
    if (source.file) std::fclose(source.file);
    source.file = nullptr;
}

byte_source memory_source(std::vector<std::uint8_t> bytes) {
    byte_source source;
    source.size = static_cast<std::int64_t>(bytes.size());
    source.bytes = std::move(bytes);
    return source;
}

const std::uint8_t* source_span(byte_source& source, std::size_t& available) {
    std::int64_t position = source.pos;
    available = 0;
    if (position < 0 || position >= source.size) return nullptr;
    if (!source.file) {
        available = static_cast<std::size_t>(source.size - position);
        return source.bytes.data() + position;
    }
    source_block* found = nullptr;
    for (source_block& block : source.blocks)
        if (position >= block.pos && position - block.pos < static_cast<std::int64_t>(block.len)) found = &block;
    if (!found && !(found = load_block(source, position))) return nullptr;
    found->used = ++source.clock;
    std::size_t offset = static_cast<std::size_t>(position - found->pos);
    available = found->len - offset;
    return source.bytes.data() + (found - source.blocks.data()) * SOURCE_BLOCK_SIZE + offset;
}

std::size_t source_read(byte_source& source, std::uint8_t* out, std::size_t n) {
    std::int64_t start = source.pos;
    std::size_t held = 0;
    std::size_t done = 0;
    while (done < n) {
        source.pos = start + static_cast<std::int64_t>(done);
        std::size_t available = 0;
        const std::uint8_t* span = source_span(source, available);
        std::size_t k = std::min(n - done, available);
        if (span) {
            std::memcpy(out + done, span, k);
            held += k;
        } else {
            // Before the file: zeros up to its start. Past its end, or
            // unreadable: zeros for the rest.
            k = n - done;
            if (source.pos < 0) k = static_cast<std::size_t>(std::min<std::int64_t>(-source.pos, k));
            std::memset(out + done, 0, k);
        }
        done += k;
    }
    source.pos = start + static_cast<std::int64_t>(n);
    return held;
}

int source_getc(byte_source& source) {
    std::size_t available = 0;
    const std::uint8_t* span = source_span(source, available);
    if (!span) return -1;
    ++source.pos;
    return *span;
}

std::uint16_t read_u16(byte_source& source, bool big_endian) {
    std::uint8_t bytes[2];
    source_read(source, bytes, sizeof bytes);
    return load_u16(bytes, big_endian);
}

std::uint32_t read_u32(byte_source& source, bool big_endian) {
    std::uint8_t bytes[4];
    source_read(source, bytes, sizeof bytes);
    return load_u32(bytes, big_endian);
}

void get_ifd_tag_count(byte_source& source, std::uint16_t& count, bool big_endian) {
    count = read_u16(source, big_endian);
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
