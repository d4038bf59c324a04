#include "location.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "copy_ahead.h"
#include "jobs.h"
#include "mpf.h"
#include "report.h"

namespace {

// The bytes of one segment to blank. Each range costs two counts, however
// long it is: the ranges that start at a byte less those that end there. A
// hostile segment may name the same long value thousands of times.
using byte_mask = std::vector<int>;

constexpr std::int64_t EXIF_TIFF_AT = 10;  // FF E1, length, "Exif" 00 00
constexpr std::int64_t XMP_PACKET_AT = 4 + 29;  // FF E1, length, "http://ns.adobe.com/xap/1.0/" 00
constexpr std::int64_t EXTENSION_CHUNK_AT = 4 + 35 + 32 + 8;  // identifier, GUID, full length, offset
constexpr std::uint16_t TAG_GPS_IFD_POINTER = 0x8825;
constexpr std::string_view EXIF_NAMESPACE = "http://ns.adobe.com/exif/1.0/";

// Bytes of one value of each TIFF type, 1 (BYTE) to 13 (IFD); 0 for a type
// no reader knows, whose value is then taken as held in the entry.
constexpr unsigned TYPE_SIZES[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};

// Of two findings, the one that weighs more: refused over found over none.
location_found worse(location_found a, location_found b) { return a > b ? a : b; }

bool inside(std::int64_t offset, std::int64_t length, std::int64_t size) {
    return offset >= 0 && length <= size && offset <= size - length;
}

bool overlaps(std::int64_t a, std::int64_t a_length, std::int64_t b, std::int64_t b_length) {
    return a < b + b_length && b < a + a_length;
}

byte_mask new_mask(std::size_t size) { return byte_mask(size + 1); }

void mark(byte_mask& mask, std::int64_t offset, std::int64_t length) {
    ++mask[offset];
    --mask[offset + length];
}

// The segment's bytes from offset from (counted from the marker's FF) to its end.
std::vector<std::uint8_t> read_segment(byte_source& source, const jpeg_segment& segment, std::int64_t from) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(segment.length > from ? segment.length - from : 0));
    source_seek(source, segment.offset + from);
    source_read(source, bytes.data(), bytes.size());
    return bytes;
}

// Appends the marked bytes, which start at file position base, as ranges.
void add_ranges(const byte_mask& mask, std::int64_t base, std::uint8_t fill, location_plan& plan) {
    int covering = 0;
    std::int64_t start = -1;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(mask.size()); ++at) {
        covering += mask[at];
        if (covering > 0 && start < 0) start = at;
        if (covering == 0 && start >= 0) {
            plan.ranges.push_back({base + start, at - start, fill});
            start = -1;
        }
    }
}

// ---------------------------------------------------------------------------
// Exif

struct tiff_bytes {
    const std::vector<std::uint8_t>& bytes;
    bool big_endian;
    std::int64_t ifd0, ifd0_length;  // IFD0 with its link, as far as the segment holds it
};

// The TIFF header and IFD0 are what every reader needs: a GPS IFD or value
// said to lie on them cannot be zeroed without breaking the photo.
bool on_header_or_ifd0(const tiff_bytes& tiff, std::int64_t offset, std::int64_t length) {
    return overlaps(offset, length, 0, 8) || overlaps(offset, length, tiff.ifd0, tiff.ifd0_length);
}

// Marks the GPS IFD at offset gps, entries, link and out-of-line values.
location_found mark_gps_ifd(const tiff_bytes& tiff, std::int64_t gps, byte_mask& mask) {
    const std::vector<std::uint8_t>& b = tiff.bytes;
    const auto size = static_cast<std::int64_t>(b.size());
    if (!inside(gps, 2, size)) return location_found::refused;
    const unsigned count = load_u16(&b[gps], tiff.big_endian);
    if (count == 0) return location_found::none;  // what -g leaves
    const std::int64_t length = 2 + 12 * std::int64_t{count} + 4;
    if (!inside(gps, length, size) || on_header_or_ifd0(tiff, gps, length)) return location_found::refused;
    mark(mask, gps, length);
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t* entry = &b[gps + 2 + 12 * std::int64_t{i}];
        const unsigned type = load_u16(entry + 2, tiff.big_endian);
        const std::int64_t value_size =
            type < std::size(TYPE_SIZES) ? TYPE_SIZES[type] * std::int64_t{load_u32(entry + 4, tiff.big_endian)} : 0;
        if (value_size <= 4) continue;
        const std::int64_t at = load_u32(entry + 8, tiff.big_endian);
        if (!inside(at, value_size, size) || on_header_or_ifd0(tiff, at, value_size)) return location_found::refused;
        mark(mask, at, value_size);
    }
    return location_found::found;
}

// The GPS IFD of every 0x8825 entry of IFD0: readers differ on which of
// several they take.
location_found find_exif_location(byte_source& source, const jpeg_segment& exif, location_plan& plan) {
    const std::vector<std::uint8_t> bytes = read_segment(source, exif, EXIF_TIFF_AT);
    const auto size = static_cast<std::int64_t>(bytes.size());
    if (size < 8) return location_found::none;
    const bool big_endian = bytes[0] == 'M' && bytes[1] == 'M';
    if (!big_endian && !(bytes[0] == 'I' && bytes[1] == 'I')) return location_found::none;
    const std::int64_t ifd0 = load_u32(&bytes[4], big_endian);
    // An IFD0 cut by the segment's end may hold a GPS pointer in what is cut.
    if (!inside(ifd0, 2, size)) return location_found::refused;
    const unsigned count = load_u16(&bytes[ifd0], big_endian);
    const std::int64_t entries_end = ifd0 + 2 + 12 * std::int64_t{count};
    if (entries_end > size) return location_found::refused;
    const tiff_bytes tiff{bytes, big_endian, ifd0, std::min(entries_end + 4, size) - ifd0};
    byte_mask mask = new_mask(bytes.size());
    location_found found = location_found::none;
    for (unsigned i = 0; i < count && found != location_found::refused; ++i) {
        const std::uint8_t* entry = &bytes[ifd0 + 2 + 12 * std::int64_t{i}];
        if (load_u16(entry, big_endian) == TAG_GPS_IFD_POINTER)
            found = worse(found, mark_gps_ifd(tiff, load_u32(entry + 8, big_endian), mask));
    }
    if (found == location_found::found) add_ranges(mask, exif.offset + EXIF_TIFF_AT, 0x00, plan);
    return found;
}

// ---------------------------------------------------------------------------
// XMP

struct xml_attribute {
    std::string_view name, value;
    std::size_t begin = 0, end = 0;  // from the name through the closing quote
};

struct xml_tag {
    std::string_view name;
    std::size_t begin = 0, end = 0;  // from < through >
    bool closing = false;            // </name>
    bool empty = false;              // <name ... />
    std::vector<xml_attribute> attributes;
};

bool is_name_char(char c) {
    return !(c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '<' || c == '>' || c == '/' || c == '=' ||
             c == '"' || c == '\'' || c == '\0');
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view read_name(std::string_view text, std::size_t& at) {
    const std::size_t from = at;
    while (at < text.size() && is_name_char(text[at])) ++at;
    return text.substr(from, at - from);
}

void skip_space(std::string_view text, std::size_t& at) {
    while (at < text.size() && is_space(text[at])) ++at;
}

// The attributes and the end of the tag whose name ends at at. False when
// it is not well-formed.
bool read_tag_rest(std::string_view text, std::size_t at, xml_tag& tag) {
    for (;;) {
        skip_space(text, at);
        if (at >= text.size()) return false;
        if (text[at] == '>') break;
        if (text.compare(at, 2, "/>") == 0 && !tag.closing) {
            tag.empty = true;
            ++at;
            break;
        }
        xml_attribute attribute;
        attribute.begin = at;
        attribute.name = read_name(text, at);
        skip_space(text, at);
        if (tag.closing || attribute.name.empty() || at >= text.size() || text[at] != '=') return false;
        skip_space(text, ++at);
        if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return false;
        const std::size_t close = text.find(text[at], at + 1);
        if (close == std::string_view::npos) return false;
        attribute.value = text.substr(at + 1, close - at - 1);
        attribute.end = at = close + 1;
        tag.attributes.push_back(attribute);
    }
    tag.end = at + 1;
    return true;
}

// Markup that holds no element: skipped whole.
struct xml_skipped {
    std::string_view open, close;
};
constexpr xml_skipped SKIPPED[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};

// The packet's tags in order, text, comments, CDATA and processing
// instructions skipped. False when it is not well-formed enough to tell
// (a document type declaration included: its entities could hide names).
bool read_tags(std::string_view text, std::vector<xml_tag>& tags) {
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const xml_skipped* skipped = nullptr;
        for (const xml_skipped& s : SKIPPED)
            if (text.compare(at, s.open.size(), s.open) == 0) skipped = &s;
        if (skipped) {
            const std::size_t close = text.find(skipped->close, at + skipped->open.size());
            if (close == std::string_view::npos) return false;
            at = close + skipped->close.size();
            continue;
        }
        xml_tag tag;
        tag.begin = at++;
        tag.closing = at < text.size() && text[at] == '/';
        if (tag.closing) ++at;
        tag.name = read_name(text, at);
        if (tag.name.empty() || !read_tag_rest(text, at, tag)) return false;
        at = tag.end;
        tags.push_back(std::move(tag));
    }
    return true;
}

// The prefixes bound to the Exif namespace. False when a name cannot be
// told by its prefix alone: the Exif namespace as the default one, or a
// prefix bound to it in one place and to another namespace in another.
bool exif_prefixes(const std::vector<xml_tag>& tags, std::vector<std::string_view>& prefixes) {
    std::vector<std::string_view> others;
    for (const xml_tag& tag : tags) {
        for (const xml_attribute& a : tag.attributes) {
            if (a.name == "xmlns" && a.value == EXIF_NAMESPACE) return false;
            if (a.name.substr(0, 6) != "xmlns:") continue;
            (a.value == EXIF_NAMESPACE ? prefixes : others).push_back(a.name.substr(6));
        }
    }
    for (std::string_view p : prefixes)
        if (std::find(others.begin(), others.end(), p) != others.end()) return false;
    return true;
}

bool is_gps_property(std::string_view name, const std::vector<std::string_view>& prefixes) {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos || name.compare(colon + 1, 3, "GPS") != 0) return false;
    return std::find(prefixes.begin(), prefixes.end(), name.substr(0, colon)) != prefixes.end();
}

// Marks each Exif GPS property of the packet: an attribute from its name
// through its closing quote, an element from its start tag through its end
// tag, whatever it holds.
location_found mark_xmp_gps(std::string_view text, byte_mask& mask) {
    std::vector<xml_tag> tags;
    std::vector<std::string_view> prefixes;
    if (!read_tags(text, tags) || !exif_prefixes(tags, prefixes)) return location_found::refused;
    location_found found = location_found::none;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const xml_tag& tag = tags[i];
        if (tag.closing) continue;
        for (const xml_attribute& a : tag.attributes) {
            if (!is_gps_property(a.name, prefixes)) continue;
            mark(mask, static_cast<std::int64_t>(a.begin), static_cast<std::int64_t>(a.end - a.begin));
            found = location_found::found;
        }
        if (!is_gps_property(tag.name, prefixes)) continue;
        std::size_t end = i;
        for (int depth = tag.empty ? 0 : 1; depth > 0;) {
            if (++end >= tags.size()) return location_found::refused;
            if (!tags[end].empty) depth += tags[end].closing ? -1 : 1;
        }
        if (tags[end].name != tag.name) return location_found::refused;
        mark(mask, static_cast<std::int64_t>(tag.begin), static_cast<std::int64_t>(tags[end].end - tag.begin));
        found = location_found::found;
        i = end;
    }
    return found;
}

location_found find_xmp_location(byte_source& source, const jpeg_segment& xmp, location_plan& plan) {
    const std::vector<std::uint8_t> bytes = read_segment(source, xmp, XMP_PACKET_AT);
    const std::string text(bytes.begin(), bytes.end());
    // Most packets say nothing of GPS: they need no parse, and may be odd.
    if (text.find("GPS") == std::string::npos) return location_found::none;
    byte_mask mask = new_mask(bytes.size());
    location_found found = mark_xmp_gps(text, mask);
    if (found == location_found::found) add_ranges(mask, xmp.offset + XMP_PACKET_AT, ' ', plan);
    return found;
}

// ---------------------------------------------------------------------------
// The walk

// Extended XMP is a packet cut into chunks, so a property may straddle two of
// them; -g does not edit it, and refuses a file whose chunks name the Exif
// namespace and a GPS property (Base64 data never holds the colon).
struct extension_signs {
    bool exif_namespace = false;
    bool gps_property = false;
};

void look_at_extension(byte_source& source, const jpeg_segment& segment, extension_signs& signs) {
    const std::vector<std::uint8_t> bytes = read_segment(source, segment, EXTENSION_CHUNK_AT);
    const std::string text(bytes.begin(), bytes.end());
    signs.exif_namespace = signs.exif_namespace || text.find(EXIF_NAMESPACE) != std::string::npos;
    signs.gps_property = signs.gps_property || text.find(":GPS") != std::string::npos;
}

struct image_scan {
    location_plan& plan;
    extension_signs signs;
    jpeg_segment mpf;  // the primary's first MPF segment; length 0 when none
};

void scan_segment(byte_source& source, const jpeg_segment& segment, image_scan& scan) {
    location_plan& plan = scan.plan;
    switch (segment.id) {
        case segment_id::exif:
            plan.found = worse(plan.found, find_exif_location(source, segment, plan));
            break;
        case segment_id::xmp:
            plan.found = worse(plan.found, find_xmp_location(source, segment, plan));
            break;
        case segment_id::xmp_extension:
            look_at_extension(source, segment, scan.signs);
            break;
        case segment_id::mpf:
            if (scan.mpf.length == 0) scan.mpf = segment;
            break;
        default:
            break;
    }
}

// Scans the segments of the image whose SOI stands at start. Returns how far
// the walk read: the image's end, or the end of the file where a broken walk
// had scanned entropy-coded data to it.
std::int64_t scan_image(byte_source& source, std::int64_t start, image_scan& scan, walk_state& state) {
    marker_walk walk = start_marker_walk_at(source, start);
    jpeg_segment segment;
    std::int64_t reached = start;
    for (;;) {
        const bool in_scan = walk.in_scan;
        if (!next_segment(walk, segment)) {
            if (walk.state == walk_state::broken && in_scan) reached = source.size;
            break;
        }
        reached = segment.offset + segment.length;
        scan_segment(source, segment, scan);
    }
    state = walk.state;
    return reached;
}

// The further images of the MPF index, each walked once: an image listed
// twice, or starting inside one walked already, is not walked again, so the
// walks read the file at most once whatever the index claims.
void scan_further_images(byte_source& source, std::int64_t primary_end, image_scan& scan) {
    mp_index index;
    if (scan.mpf.length == 0 || !read_mp_index(source, scan.mpf, index)) return;
    std::vector<std::int64_t> starts;
    for (const mp_entry& entry : index.entries) {
        const std::int64_t start = mp_image_start(index, entry);
        if (start >= primary_end && start < source.size) starts.push_back(start);
    }
    std::sort(starts.begin(), starts.end());
    std::int64_t walked_to = primary_end;
    for (std::int64_t start : starts) {
        if (start < walked_to) continue;
        walk_state state;
        walked_to = std::max(walked_to, scan_image(source, start, scan, state));
    }
}

// The ranges, in file order, each cut to what the ones before it leave: a
// range that overlaps the one before it only blanks what lies beyond it.
std::vector<blank_range> disjoint_ranges(const std::vector<blank_range>& ranges) {
    std::vector<blank_range> disjoint;
    std::int64_t blanked_to = 0;
    for (const blank_range& range : ranges) {
        const std::int64_t from = std::max(range.offset, blanked_to);
        const std::int64_t end = range.offset + range.length;
        if (end <= from) continue;
        disjoint.push_back(blank_range{from, end - from, range.fill});
        blanked_to = end;
    }
    return disjoint;
}

// The source with the ranges overwritten.
copy_result write_blanked(output_file& out, const byte_source& source, const std::vector<blank_range>& ranges) {
    std::int64_t kept_from = 0;
    std::vector<std::uint8_t> fill;
    for (const blank_range& range : disjoint_ranges(ranges)) {
        copy_result result = copy_source(out, source, kept_from, range.offset - kept_from);
        if (result != copy_result::done) return result;
        fill.assign(static_cast<std::size_t>(range.length), range.fill);
        result = write_bytes(out, fill.data(), fill.size());
        if (result != copy_result::done) return result;
        kept_from = range.offset + range.length;
    }
    return copy_source(out, source, kept_from, source.size - kept_from);
}

}  // namespace

bool plan_location(byte_source& source, location_plan& plan) {
    plan = location_plan{};
    image_scan scan{plan, {}, {}};
    walk_state state;
    const std::int64_t primary_end = scan_image(source, 0, scan, state);
    if (state != walk_state::finished) return false;
    scan_further_images(source, primary_end, scan);
    if (scan.signs.exif_namespace && scan.signs.gps_property) plan.found = location_found::refused;
    std::sort(plan.ranges.begin(), plan.ranges.end(),
              [](const blank_range& a, const blank_range& b) { return a.offset < b.offset; });
    return true;
}

namespace {

// True when the walk gets past the primary image's first SOS: only then is
// the output opened before the walk ends, so that a photo broken before its
// image data is reported as such first.
bool reaches_image_data(byte_source& source) {
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    while (next_segment(walk, segment))
        if (segment.marker == MARKER_SOS) return !source.read_failed;
    return false;
}

// The ranges written over a copy of the source, in its place.
copy_result blank_in_place(output_file& out, const std::vector<blank_range>& ranges) {
    std::vector<std::uint8_t> fill;
    for (const blank_range& range : disjoint_ranges(ranges)) {
        fill.assign(static_cast<std::size_t>(range.length), range.fill);
        if (!write_output_at(out, range.offset, fill.data(), fill.size())) return copy_result::write_failed;
    }
    return copy_result::done;
}

}  // namespace

// Into a temporary file the photo is copied while it is walked, and blanked
// where the walk says; anything else gets nothing before the walk ends.
int remove_location(const run_options& options, byte_source& source) {
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    const bool opened = reaches_image_data(source);
    if (opened && (!open_job_output(out, options, messages) || output_feeds_input(out, source.file, messages))) return 1;
    const bool along = opened && output_is_temporary(out);
    copy_ahead ahead;
    if (along) start_copy_ahead(ahead, out, source, 0);
    location_plan plan;
    const bool walked = plan_location(source, plan);
    const bool wanted = walked && !source.read_failed && plan.found != location_found::refused;
    copy_result result = along ? finish_copy_ahead(ahead, wanted ? source.file.size : 0) : copy_result::done;
    if (!wanted && opened) discard_output(out);
    if (source.read_failed || !walked) {
        report_unwalkable(source, options.source);
        return 1;
    }
    if (plan.found == location_found::refused) {
        report_failure("location not removed [%s].\n", options.source,
                       "its GPS data or XMP cannot be reached whole inside its segment; nothing was written");
        return 1;
    }
    if (!opened && (!open_job_output(out, options, messages) || output_feeds_input(out, source.file, messages))) return 1;
    if (result == copy_result::short_input) result = copy_result::read_failed;
    if (result == copy_result::done) result = along ? blank_in_place(out, plan.ranges) : write_blanked(out, source, plan.ranges);
    close_source(source);
    int status = finish_job(out, result, messages, options.source);
    if (status == 0 && plan.found == location_found::none) report_failure("no location found [%s].\n", options.source,
                                                                                  "no GPS data in its Exif or XMP; copied as it is");
    return status;
}
