#include "byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Loads the block that holds position (inside the file) over the least
// recently used one; null when the file cannot be read there.
source_block* load_block(byte_source& source, std::int64_t position) {
    std::size_t stored = source.stored_blocks;
    source_block* victim = &source.blocks[0];
    for (std::size_t i = 1; i < stored; ++i)
        if (source.blocks[i].used < victim->used) victim = &source.blocks[i];
    victim->pos = position - position % static_cast<std::int64_t>(SOURCE_BLOCK_SIZE);
    victim->len = 0;
    std::uint8_t* storage = source.storage.get() + (victim - source.blocks.data()) * SOURCE_BLOCK_SIZE;
    std::size_t want = static_cast<std::size_t>(
        std::min<std::int64_t>(source.size - victim->pos, SOURCE_BLOCK_SIZE));
    std::int64_t got = read_at(source.file, victim->pos, storage, want);
    if (got < 0) source.file.error = errno;
    victim->len = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (victim->len < want) source.read_failed = true;
    return position - victim->pos < static_cast<std::int64_t>(victim->len) ? victim : nullptr;
}

// Loads the blocks from the one that holds position (inside the file) on
// into the whole storage with one read, for a scan that goes through them in
// order: the same bytes in an eighth of the reads. Returns the bytes from
// position on, available of them; null when the file cannot be read there.
const std::uint8_t* load_run(byte_source& source, std::int64_t position, std::size_t& available) {
    const auto block = static_cast<std::int64_t>(SOURCE_BLOCK_SIZE);
    std::int64_t start = position - position % block;
    const std::size_t room = source.stored_blocks * SOURCE_BLOCK_SIZE;
    std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(source.size - start, static_cast<std::int64_t>(room)));
    std::int64_t got = read_at(source.file, start, source.storage.get(), want);
    std::size_t held = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (held < want) source.read_failed = true;
    for (std::size_t i = 0; i < source.stored_blocks; ++i) {
        std::size_t first = i * SOURCE_BLOCK_SIZE;
        source.blocks[i].pos = start + static_cast<std::int64_t>(first);
        source.blocks[i].len = held > first ? std::min(held - first, SOURCE_BLOCK_SIZE) : 0;
        source.blocks[i].used = ++source.clock;
    }
    auto offset = static_cast<std::size_t>(position - start);
    available = held > offset ? held - offset : 0;
    return available ? source.storage.get() + offset : nullptr;
}

}  // namespace

bool open_source(byte_source& source, const std::string& path) {
    input_file file;
    if (!open_input(file, path, true)) {
        source.file.error = file.error;
        return false;
    }
    source = file_source(file);
    return true;
}

byte_source file_source(const input_file& file) {
    byte_source source;
    source.file = file;
    source.size = file.size;
    source.mappable = file.regular;
    // Room for as many blocks as the file can fill, not cleared: a block is
    // read before it is used, and memory that no read reaches is never touched.
    std::int64_t blocks = (file.size + static_cast<std::int64_t>(SOURCE_BLOCK_SIZE) - 1) / SOURCE_BLOCK_SIZE;
    source.stored_blocks = static_cast<std::size_t>(std::clamp<std::int64_t>(blocks, 1, SOURCE_BLOCKS));
    source.storage.reset(new std::uint8_t[source.stored_blocks * SOURCE_BLOCK_SIZE]);
    return source;
}

void close_source(byte_source& source) { close_input(source.file); }

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
    if (!is_open(source.file)) {
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
    return source.storage.get() + (found - source.blocks.data()) * SOURCE_BLOCK_SIZE + offset;
}

namespace {

std::size_t map_window = MAP_WINDOW;
std::int64_t map_least = MAP_LEAST;

// Runs scan over the bytes from position on that the source holds in one
// piece: a mapped window, else a span. False when they cannot be read.
bool scan_piece(byte_source& source, std::int64_t position, byte_scan scan, scan_stop& stop) {
    if (source.mappable && source.size - position >= map_least) {
        std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(source.size - position, static_cast<std::int64_t>(map_window)));
        switch (scan_mapped(source.file, position, n, scan, stop)) {
            case map_result::scanned:
                return true;
            case map_result::read_failed:
                source.read_failed = true;
                return false;
            case map_result::unmappable:
                source.mappable = false;
                break;
        }
    }
    source_seek(source, position);
    std::size_t available = 0;
    const std::uint8_t* span =
        is_open(source.file) ? load_run(source, position, available) : source_span(source, available);
    if (!span) return false;
    stop = scan(span, available);
    if (source.watch && stop.at > 0) source.watch(source.watch_context, position, span, stop.at);
    return true;
}

}  // namespace

void set_scan_mapping(std::size_t window, std::int64_t least) {
    map_window = window;
    map_least = least;
}

std::int64_t source_scan(byte_source& source, std::int64_t position, byte_scan scan) {
    for (const found_mark& mark : source.marks)
        if (mark.scan == scan && mark.from == position) return mark.at;
    std::int64_t kept_pos = source.pos;
    std::int64_t from = position;
    std::int64_t found = -1;
    scan_stop stop;
    while (found < 0 && position >= 0 && position < source.size && scan_piece(source, position, scan, stop)) {
        if (stop.at == 0 && !stop.found) {
            // The piece ended within the bytes the scan needs together: a
            // few read across the break decide.
            std::uint8_t joined[16];
            source_seek(source, position);
            stop = scan(joined, source_read(source, joined, sizeof joined));
            if (stop.at == 0 && !stop.found) break;
        }
        if (stop.found) found = position + static_cast<std::int64_t>(stop.at);
        position += static_cast<std::int64_t>(stop.at);
    }
    source.pos = kept_pos;
    if (found >= 0) {
        source.marks[source.next_mark] = found_mark{scan, from, found};
        source.next_mark = (source.next_mark + 1) % SOURCE_MARKS;
    }
    return found;
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
