#include "byte_map.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "kalvo.h"
#include "mpf.h"
#include "tag.h"

namespace {

// ---------------------------------------------------------------------------
// Names

struct marker_row {
    std::uint8_t first, last;
    const char* names;  // one name per code, each ending in a zero byte
};

// Codes without a row are reserved ("RES").
constexpr marker_row MARKER_ROWS[] = {
    {0x01, 0x01, "TEM"},
    {0xC0, 0xCF, "SOF0\0SOF1\0SOF2\0SOF3\0DHT\0SOF5\0SOF6\0SOF7\0JPG\0SOF9\0SOF10\0SOF11\0DAC\0SOF13\0SOF14\0SOF15"},
    {0xD0, 0xD7, "RST0\0RST1\0RST2\0RST3\0RST4\0RST5\0RST6\0RST7"},
    {0xD8, 0xDF, "SOI\0EOI\0SOS\0DQT\0DNL\0DRI\0DHP\0EXP"},
    {0xE0, 0xEF, "APP0\0APP1\0APP2\0APP3\0APP4\0APP5\0APP6\0APP7\0APP8\0APP9\0APP10\0APP11\0APP12\0APP13\0APP14\0APP15"},
    {0xF0, 0xFD, "JPG0\0JPG1\0JPG2\0JPG3\0JPG4\0JPG5\0JPG6\0JPG7\0JPG8\0JPG9\0JPG10\0JPG11\0JPG12\0JPG13"},
    {0xFE, 0xFE, "COM"},
};

// The segments whose bytes image_sha256 covers: the frame, its tables and
// its scans. DHT (C4), JPG (C8) and DAC (CC) share the SOFn range.
bool is_image_segment(std::uint8_t code) {
    return (code >= 0xC0 && code <= 0xCF && code != 0xC8) || code == MARKER_SOS || code == 0xDB || code == 0xDD;
}

const tag_name MPF_TAG_NAMES[] = {
    {0xB000, "mpf_version"}, {0xB001, "number_of_images"}, {0xB002, "mp_entry"},
    {0xB003, "image_uid_list"}, {0xB004, "total_frames"},
};
const char* mpf_tag_name(std::uint16_t tag) { return find_tag_name(MPF_TAG_NAMES, std::size(MPF_TAG_NAMES), tag); }

// ---------------------------------------------------------------------------
// Reading inside a segment

struct segment_view {
    byte_source* source;
    std::int64_t begin, end;  // file positions: the segment is [begin, end)
};

bool inside(const segment_view& view, std::int64_t at, std::int64_t n) {
    return at >= view.begin && n <= view.end - view.begin && at - view.begin <= (view.end - view.begin) - n;
}

// Reads n bytes at file position at; false, reading nothing, unless they lie
// whole inside the segment.
bool read_inside(const segment_view& view, std::int64_t at, std::uint8_t* out, std::size_t n) {
    if (!inside(view, at, static_cast<std::int64_t>(n))) return false;
    source_seek(*view.source, at);
    return source_read(*view.source, out, n) == n;
}

void hash_bytes(byte_source& source, sha256_hash& hash, std::int64_t at, std::int64_t n) {
    source_seek(source, at);
    while (n > 0) {
        std::size_t available = 0;
        const std::uint8_t* span = source_span(source, available);
        if (!span) return;
        std::size_t take = static_cast<std::int64_t>(available) < n ? available : static_cast<std::size_t>(n);
        sha256_add(hash, span, take);
        n -= static_cast<std::int64_t>(take);
        source_seek(source, source_tell(source) + static_cast<std::int64_t>(take));
    }
}

// ---------------------------------------------------------------------------
// The TIFF walk: a fixed shape, each kind of directory read at most once.

enum dir_kind { IFD0, IFD1, EXIF_IFD, GPS_IFD, INTEROP_IFD, MAKERNOTE, MAKERNOTE_IFD1, MAKERNOTE_IFD2, MP_INDEX,
                DIR_KINDS };

struct dir_shape {
    const char* name;
    int marker;            // bytes before the count
    bool next_link;        // four bytes after the entries
    bool big_endian;       // always big-endian, whatever the TIFF header says
    const char* (*tag_name)(std::uint16_t);
};

// The makernote reads its own layout: see kalvo.h.
constexpr dir_shape DIR_SHAPES[DIR_KINDS] = {
    {"IFD0", 0, true, false, exif_tag_name},
    {"IFD1", 0, true, false, exif_tag_name},
    {"Exif", 0, true, false, exif_tag_name},
    {"GPS", 0, true, false, exif_tag_name},
    {"Interop", 0, true, false, exif_tag_name},
    {"MakerNote", 8, false, true, exif_tag_name},
    {"MakerNote IFD1", 0, false, true, kalvo_tag_name},
    {"MakerNote IFD2", 20, false, true, kalvo_tag_name},
    {"MPIndex", 0, true, false, mpf_tag_name},
};

struct dir_link {
    dir_kind from;
    std::uint16_t tag;
    dir_kind to;
};

constexpr std::uint16_t TAG_MAKERNOTE = 0x927C;
constexpr dir_link DIR_LINKS[] = {
    {IFD0, 0x8769, EXIF_IFD},          {IFD0, 0x8825, GPS_IFD},
    {EXIF_IFD, 0xA005, INTEROP_IFD},   {EXIF_IFD, TAG_MAKERNOTE, MAKERNOTE},
    {MAKERNOTE, 0x4001, MAKERNOTE_IFD1}, {MAKERNOTE, 0x2001, MAKERNOTE_IFD2},
};

constexpr std::uint16_t TAG_THUMBNAIL_OFFSET = 0x0201;
constexpr std::uint16_t TAG_THUMBNAIL_LENGTH = 0x0202;
constexpr char KALVO_MARK[] = "KALVO";

// Bytes per element of TIFF field types 1 to 12; 0 for the rest.
std::int64_t type_size(std::uint16_t type) {
    static const std::uint8_t SIZES[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < std::size(SIZES) ? SIZES[type] : 0;
}

std::string hex_tag(std::uint16_t tag) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(tag >> shift) & 15];
    return out;
}

struct tiff_walk {
    segment_view view;
    tiff_map& map;
    std::vector<map_claim> claims;      // each checked against the others
    std::vector<map_claim> containers;  // cover bytes, but hold claims of their own
};

void claim(tiff_walk& walk, std::int64_t at, std::int64_t n, std::string by, bool container = false) {
    if (n <= 0) return;
    (container ? walk.containers : walk.claims).push_back({at, n, std::move(by)});
}

// The number in the entry's value field: a SHORT's first element, else the
// four bytes as one.
std::uint32_t entry_number(const std::uint8_t* raw, bool big_endian) {
    std::uint16_t type = load_u16(raw + 2, big_endian);
    return type == TYPE_SHORT ? load_u16(raw + 8, big_endian) : load_u32(raw + 8, big_endian);
}

bool starts_with_kalvo_mark(const segment_view& view, std::int64_t at) {
    std::uint8_t mark[sizeof KALVO_MARK - 1];
    return read_inside(view, at, mark, sizeof mark) && std::equal(mark, mark + sizeof mark, KALVO_MARK);
}

// Reads the directory of kind at file position at, records it and its
// claims, and returns where each directory it links to lies (-1: none).
std::array<std::int64_t, DIR_KINDS> read_directory(tiff_walk& walk, dir_kind kind, std::int64_t at) {
    std::array<std::int64_t, DIR_KINDS> links;
    links.fill(-1);
    const dir_shape& shape = DIR_SHAPES[kind];
    const bool be = shape.big_endian || walk.map.big_endian;
    std::uint8_t count_field[2];
    if (!read_inside(walk.view, at + shape.marker, count_field, sizeof count_field)) {
        claim(walk, at, shape.marker + 2, shape.name);
        return links;
    }
    map_directory dir;
    dir.name = shape.name;
    dir.offset = at;
    dir.count = load_u16(count_field, be);
    const std::int64_t entries_at = at + shape.marker + 2;
    dir.length = shape.marker + 2 + 12 * std::int64_t{dir.count} + (shape.next_link ? 4 : 0);
    claim(walk, at, dir.length, shape.name);
    std::uint32_t thumbnail_offset = 0, thumbnail_length = 0;
    bool has_thumbnail_offset = false;
    for (unsigned i = 0; i < dir.count; ++i) {
        std::uint8_t raw[12];
        map_entry entry;
        entry.offset = entries_at + 12 * std::int64_t{i};
        if (!read_inside(walk.view, entry.offset, raw, sizeof raw)) break;
        entry.tag = load_u16(raw, be);
        entry.type = load_u16(raw + 2, be);
        entry.count = load_u32(raw + 4, be);
        entry.name = shape.tag_name(entry.tag);
        entry.value_length = type_size(entry.type) * entry.count;
        entry.in_entry = entry.value_length <= 4;
        entry.value_offset = entry.in_entry ? entry.offset + 8 : walk.map.tiff + load_u32(raw + 8, be);
        const std::int64_t target = walk.map.tiff + entry_number(raw, be);
        bool container = false;
        for (const dir_link& link : DIR_LINKS) {
            if (link.from != kind || link.tag != entry.tag) continue;
            // Only the layout the trace reads: another vendor's makernote is
            // a value like any other.
            if (link.to == MAKERNOTE) {
                if (entry.in_entry || !starts_with_kalvo_mark(walk.view, entry.value_offset)) continue;
                container = true;
                links[link.to] = entry.value_offset;
            } else {
                links[link.to] = target;
            }
        }
        if (!entry.in_entry)
            claim(walk, entry.value_offset, entry.value_length, std::string(shape.name) + " tag " + hex_tag(entry.tag),
                  container);
        if (kind == IFD1 && entry.tag == TAG_THUMBNAIL_OFFSET) {
            thumbnail_offset = entry_number(raw, be);
            has_thumbnail_offset = true;
        }
        if (kind == IFD1 && entry.tag == TAG_THUMBNAIL_LENGTH) thumbnail_length = entry_number(raw, be);
        dir.entries.push_back(entry);
    }
    if (kind == IFD0 && shape.next_link) {
        std::uint8_t link[4];
        std::uint32_t next = 0;
        if (read_inside(walk.view, entries_at + 12 * std::int64_t{dir.count}, link, sizeof link))
            next = load_u32(link, be);
        if (next != 0) links[IFD1] = walk.map.tiff + next;
    }
    if (has_thumbnail_offset && thumbnail_length > 0) {
        walk.map.thumbnail_offset = walk.map.tiff + thumbnail_offset;
        walk.map.thumbnail_length = thumbnail_length;
        claim(walk, walk.map.thumbnail_offset, thumbnail_length, "thumbnail");
    }
    walk.map.directories.push_back(std::move(dir));
    return links;
}

// Checks the claims against the segment and each other.
void check_claims(tiff_walk& walk) {
    const segment_view& view = walk.view;
    std::vector<map_claim> covering;  // each claim's part inside the segment
    for (int pass = 0; pass < 2; ++pass) {
        for (const map_claim& c : pass == 0 ? walk.claims : walk.containers) {
            std::int64_t begin = std::max(c.offset, view.begin);
            std::int64_t end = c.length > view.end - c.offset ? view.end : c.offset + c.length;
            if (c.offset < view.begin || c.length > view.end - c.offset) {
                // The part past the segment, or the whole claim where it lies before it.
                std::int64_t out_at = c.offset < view.begin ? c.offset : std::max(c.offset, view.end);
                std::int64_t out_length = c.offset < view.begin ? c.length : c.offset + c.length - out_at;
                walk.map.outside.push_back({out_at, out_length, c.by});
            }
            if (begin < end) covering.push_back({begin, end - begin, pass == 0 ? c.by : std::string()});
        }
    }
    std::stable_sort(covering.begin(), covering.end(),
                     [](const map_claim& a, const map_claim& b) { return a.offset < b.offset; });
    // Overlaps between the claims proper: each against the one reaching furthest before it.
    const map_claim* furthest = nullptr;
    for (const map_claim& c : covering) {
        if (c.by.empty()) continue;
        if (furthest && c.offset < furthest->offset + furthest->length) {
            std::int64_t end = std::min(furthest->offset + furthest->length, c.offset + c.length);
            walk.map.overlap.push_back({{c.offset, end - c.offset, furthest->by}, c.by});
        }
        if (!furthest || c.offset + c.length > furthest->offset + furthest->length) furthest = &c;
    }
    std::int64_t covered_to = view.begin;
    for (const map_claim& c : covering) {
        if (c.offset > covered_to) walk.map.unreferenced.push_back({covered_to, c.offset - covered_to, ""});
        covered_to = std::max(covered_to, c.offset + c.length);
    }
    if (covered_to < view.end) walk.map.unreferenced.push_back({covered_to, view.end - covered_to, ""});
}

// Maps the TIFF structure of an Exif (header 10 bytes: marker, length,
// "Exif\0\0") or MPF (8 bytes: marker, length, "MPF\0") segment.
std::shared_ptr<tiff_map> map_tiff(byte_source& source, const jpeg_segment& segment, dir_kind first,
                                   std::int64_t header, const char* header_name) {
    auto map = std::make_shared<tiff_map>();
    tiff_walk walk{{&source, segment.offset, segment.offset + segment.length}, *map, {}, {}};
    map->tiff = segment.offset + header;
    claim(walk, segment.offset, header, header_name);
    std::uint8_t raw[8];
    if (read_inside(walk.view, map->tiff, raw, sizeof raw)) {
        map->big_endian = raw[0] == 'M' && raw[1] == 'M';
        map->valid = (map->big_endian || (raw[0] == 'I' && raw[1] == 'I')) && load_u16(raw + 2, map->big_endian) == 42;
    }
    if (map->valid) {
        claim(walk, map->tiff, 8, "TIFF header");
        std::array<std::int64_t, DIR_KINDS> at;
        at.fill(-1);
        at[first] = map->tiff + load_u32(raw + 4, map->big_endian);
        // Each kind once, in a fixed order that only moves forward.
        for (int kind = 0; kind < DIR_KINDS; ++kind) {
            if (at[kind] < 0) continue;
            std::array<std::int64_t, DIR_KINDS> links = read_directory(walk, static_cast<dir_kind>(kind), at[kind]);
            for (int k = kind + 1; k < DIR_KINDS; ++k)
                if (links[k] >= 0 && at[k] < 0) at[k] = links[k];
        }
    }
    if (first == MP_INDEX) {
        mp_index index;
        read_mp_index(source, segment, index);
        for (const mp_entry& entry : index.entries)
            map->images.push_back({entry.attribute, mp_image_start(index, entry), entry.size, false});
    }
    check_claims(walk);
    return map;
}

// ---------------------------------------------------------------------------
// The top level

void add_range(byte_map& map, range_type type, std::int64_t at, std::int64_t end, const char* reason = "") {
    if (end <= at) return;
    map_range range;
    range.type = type;
    range.offset = at;
    range.length = end - at;
    range.reason = reason;
    map.ranges.push_back(std::move(range));
}

int byte_at(byte_source& source, std::int64_t at) {
    source_seek(source, at);
    return source_getc(source);
}

// Why the marker walk stopped at position at, where a marker must stand.
const char* broken_reason(byte_source& source, std::int64_t at) {
    if (at == 0) return "no SOI at the start of the file";
    if (byte_at(source, at) != 0xFF) return "no marker where one must stand";
    while (byte_at(source, at + 1) == 0xFF) ++at;
    int code = byte_at(source, at + 1);
    if (code < 0) return "the file ends before EOI";
    if (code == 0x00 || code == MARKER_SOI) return "FF 00 or a second SOI where a marker must stand";
    if (at + 4 > source.size) return "the file ends inside a length field";
    std::uint8_t field[2];
    source_seek(source, at + 2);
    source_read(source, field, sizeof field);
    if (load_u16(field, true) < 2) return "a length field below 2";
    return "a segment runs past the end of the file";
}

// Places the further images of the MPF index after the primary, in file
// order; an image that overlaps what is placed or runs past the end stays
// only in the index.
void place_images(byte_map& map, tiff_map* mpf, std::int64_t& cursor) {
    if (!mpf) return;
    std::vector<map_image*> order;
    for (std::size_t i = 1; i < mpf->images.size(); ++i) order.push_back(&mpf->images[i]);
    std::stable_sort(order.begin(), order.end(), [](const map_image* a, const map_image* b) { return a->offset < b->offset; });
    for (map_image* image : order) {
        if (image->size == 0 || image->offset < cursor || image->size > map.size - image->offset) continue;
        add_range(map, range_type::unparsed, cursor, image->offset, "between images: no index entry claims it");
        add_range(map, range_type::image, image->offset, image->offset + image->size);
        map.ranges.back().image = static_cast<int>(image - mpf->images.data());
        image->placed = true;
        cursor = image->offset + image->size;
    }
}

}  // namespace

const char* marker_name(std::uint8_t code) {
    for (const marker_row& row : MARKER_ROWS) {
        if (code < row.first || code > row.last) continue;
        const char* name = row.names;
        for (int skip = code - row.first; skip > 0; --skip) name += std::char_traits<char>::length(name) + 1;
        return name;
    }
    return "RES";
}

byte_map build_byte_map(byte_source& source) {
    byte_map map;
    map.size = source.size;
    sha256_hash hash = sha256_start();
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    std::int64_t cursor = 0;  // where the last range ended
    bool after_scan = false;
    tiff_map* mpf = nullptr;
    while (next_segment(walk, segment)) {
        add_range(map, after_scan ? range_type::entropy_data : range_type::fill, cursor, segment.offset);
        if (after_scan && hash) hash_bytes(source, hash, cursor, segment.offset - cursor);
        map_range range;
        range.offset = segment.offset;
        range.length = segment.length;
        range.marker = segment.marker;
        range.id = segment.id;
        if (segment.id == segment_id::exif) range.tiff = map_tiff(source, segment, IFD0, 10, "Exif header");
        if (segment.id == segment_id::mpf && !mpf) {
            range.tiff = map_tiff(source, segment, MP_INDEX, 8, "MPF header");
            mpf = range.tiff.get();
        }
        map.ranges.push_back(range);
        if (hash && (is_image_segment(segment.marker) || segment.marker == MARKER_EOI))
            hash_bytes(source, hash, segment.offset, segment.length);
        cursor = segment.offset + segment.length;
        after_scan = segment.marker == MARKER_SOS;
    }
    if (walk.state == walk_state::finished) {
        map.complete = true;
        map.hashed = hash && sha256_finish(hash, map.image_sha256);
        place_images(map, mpf, cursor);
        add_range(map, range_type::trailer, cursor, map.size);
    } else if (walk.pos < 0) {
        add_range(map, range_type::unparsed, cursor, map.size, "the file ends in entropy-coded data, before EOI");
    } else {
        add_range(map, range_type::entropy_data, cursor, after_scan ? walk.pos : cursor);
        cursor = std::max(cursor, walk.pos);
        add_range(map, range_type::unparsed, cursor, map.size, broken_reason(source, cursor));
    }
    return map;
}

// ---------------------------------------------------------------------------
// JSON
