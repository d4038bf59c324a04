#include "strip.h"

#include <vector>

#include "copy_ahead.h"
#include "gain_map.h"
#include "jobs.h"
#include "report.h"

namespace {

struct kept_application_segment {
    std::uint8_t marker;
    segment_id id;
};

// What a viewer needs to show the image as it was meant: the JFIF density and
// colour space, the colour profile, Adobe's colour transform. JFXX holds
// nothing but a thumbnail, where an uncropped original would survive a crop.
constexpr kept_application_segment KEPT_APPLICATION_SEGMENTS[] = {
    {MARKER_APP0, segment_id::jfif},
    {MARKER_APP2, segment_id::icc_profile},
    {MARKER_APP14, segment_id::adobe},
};

bool is_metadata(const jpeg_segment& segment) {
    if (segment.marker == MARKER_COM) return true;
    if (segment.marker < MARKER_APP0 || segment.marker > 0xEF) return false;
    for (const kept_application_segment& kept : KEPT_APPLICATION_SEGMENTS)
        if (segment.marker == kept.marker && segment.id == kept.id) return false;
    return true;
}

constexpr std::size_t PLAIN_JFIF_SIZE = 18;  // FF E0, length 16, "JFIF" 00, version, units, densities, 0, 0

// True when segment is a JFIF segment holding a thumbnail (Xthumbnail or
// Ythumbnail non-zero); plain is then the segment without it.
bool jfif_without_thumbnail(byte_source& source, const jpeg_segment& segment,
                            std::array<std::uint8_t, PLAIN_JFIF_SIZE>& plain) {
    if (segment.id != segment_id::jfif || segment.length < static_cast<std::int64_t>(PLAIN_JFIF_SIZE)) return false;
    source_seek(source, segment.offset);
    source_read(source, plain.data(), plain.size());
    if (plain[16] == 0 && plain[17] == 0) return false;
    plain[2] = 0;
    plain[3] = 16;
    plain[16] = plain[17] = 0;
    return true;
}

// Where a strip's bytes go: counted only (the first pass, which learns the
// sizes an MPF index must give) or written as they are met.
struct strip_sink {
    output_file* out = nullptr;  // null: count only
    const input_file* file = nullptr;
    std::int64_t length = 0;  // bytes counted or written
    copy_result result = copy_result::done;
};

void sink_range(strip_sink& sink, std::int64_t offset, std::int64_t length) {
    if (sink.result != copy_result::done || length == 0) return;
    if (sink.out) {
        sink.result = copy_range(*sink.out, *sink.file, offset, length);
        // Read a moment ago: a shortfall now is a failing read.
        if (sink.result == copy_result::short_input) sink.result = copy_result::read_failed;
    }
    sink.length += length;
}

void sink_bytes(strip_sink& sink, const std::uint8_t* bytes, std::size_t n) {
    if (sink.result != copy_result::done || n == 0) return;
    if (sink.out) sink.result = write_bytes(*sink.out, bytes, n);
    sink.length += static_cast<std::int64_t>(n);
}

// Puts the source's bytes from kept_from up to end into sink; returns end.
std::int64_t sink_to(strip_sink& sink, std::int64_t kept_from, std::int64_t end) {
    sink_range(sink, kept_from, end - kept_from);
    return end;
}

// Ends a copy started at kept_from beside the walk where the walk found the
// image data's end.
void sink_ahead_end(strip_sink& sink, copy_ahead& ahead, std::int64_t kept_from, std::int64_t end) {
    copy_result result = finish_copy_ahead(ahead, end);
    if (sink.result == copy_result::done)
        sink.result = result == copy_result::short_input ? copy_result::read_failed : result;
    sink.length += end - kept_from;
}

// What a strip does with a part of a gain-map photo: drops it, keeps it as
// it is, or puts in its place what the caller filled in (nothing at first).
enum class part_rule { drop, keep, fill };
using strip_rule = std::array<part_rule, GAIN_MAP_PARTS>;  // by gain_map_part

constexpr strip_rule PRIMARY_RULE = {part_rule::fill, part_rule::fill, part_rule::fill};
constexpr strip_rule GAIN_MAP_RULE = {part_rule::keep, part_rule::keep, part_rule::drop};

struct stripped_image {
    gain_map_segments found;  // the first segment of each part
    std::array<std::int64_t, GAIN_MAP_PARTS> at{};  // where the sink stood when each part was met
    std::array<std::vector<std::uint8_t>, GAIN_MAP_PARTS> fill;
    std::int64_t start = 0;  // the SOI's position
    std::int64_t end = 0;    // the byte after the EOI
};

// Puts the image whose SOI stands at start into sink without its metadata,
// the orientation segment (when there is an orientation) where its first
// Exif segment stood, and the first segment of each gain-map part as rule
// says. False when the walk does not end at an EOI.
bool strip_image(byte_source& source, std::int64_t start, const strip_rule& rule, stripped_image& image,
                 strip_sink& sink) {
    marker_walk walk = start_marker_walk_at(source, start);
    jpeg_segment segment;
    std::int64_t kept_from = start;
    bool seen_exif = false;
    std::array<std::uint8_t, PLAIN_JFIF_SIZE> plain_jfif;
    copy_ahead ahead;
    bool ahead_running = false;
    while (next_segment(walk, segment)) {
        if (ahead_running) {
            ahead_running = false;
            sink_ahead_end(sink, ahead, kept_from, segment.offset);
            kept_from = segment.offset;
        }
        if (segment.marker == MARKER_SOS && sink.out && sink.result == copy_result::done) {
            // The image data that follows is kept whatever the walk finds
            // in it: it goes into the output while the walk looks at it.
            kept_from = sink_to(sink, kept_from, segment.offset + segment.length);
            start_copy_ahead(ahead, *sink.out, source, kept_from);
            ahead_running = true;
            continue;
        }
        const bool thumbnail = jfif_without_thumbnail(source, segment, plain_jfif);
        if (!thumbnail && !is_metadata(segment)) continue;
        const gain_map_part part = gain_map_part_of(source, segment);
        const auto p = static_cast<std::size_t>(part);
        const bool first = part != gain_map_part::none && !image.found.has[p];
        if (first) {
            image.found.has[p] = true;
            image.found.at[p] = segment;
            if (rule[p] == part_rule::keep) continue;
        }
        sink_range(sink, kept_from, segment.offset - kept_from);
        kept_from = segment.offset + segment.length;
        if (thumbnail) sink_bytes(sink, plain_jfif.data(), plain_jfif.size());
        if (first && rule[p] == part_rule::fill) {
            image.at[p] = sink.length;
            sink_bytes(sink, image.fill[p].data(), image.fill[p].size());
        }
        if (segment.id == segment_id::exif && !seen_exif) {
            seen_exif = true;
            int orientation = exif_orientation(source, segment);
            if (orientation) {
                std::array<std::uint8_t, 36> upright = orientation_segment(orientation);
                sink_bytes(sink, upright.data(), upright.size());
            }
        }
    }
    if (ahead_running) finish_copy_ahead(ahead, kept_from);
    if (walk.state != walk_state::finished) return false;
    sink_range(sink, kept_from, walk.image_end - kept_from);
    image.start = start;
    image.end = walk.image_end;
    return true;
}

enum class gain_map_outcome { none, kept, dropped };

constexpr auto ISO = static_cast<std::size_t>(gain_map_part::iso);
constexpr auto XMP = static_cast<std::size_t>(gain_map_part::xmp);
constexpr auto MPF = static_cast<std::size_t>(gain_map_part::mpf);
using part_fills = std::array<std::vector<std::uint8_t>, GAIN_MAP_PARTS>;

// Finds the gain map that the primary's parts lead to and counts it
// stripped: kept when a whole JPEG lies there, with length its size.
gain_map_outcome count_gain_map(byte_source& source, const gain_map_segments& found, std::int64_t primary_end,
                                gain_map_target& target, stripped_image& gain_map, std::int64_t& length) {
    gain_map_search search = find_gain_map(source, found, primary_end, target);
    if (search == gain_map_search::none) return gain_map_outcome::none;
    strip_sink counted;
    if (search == gain_map_search::broken || !strip_image(source, target.start, GAIN_MAP_RULE, gain_map, counted) ||
        gain_map.end != target.start + target.size)
        return gain_map_outcome::dropped;
    length = counted.length;
    return gain_map_outcome::kept;
}

// What the primary puts in place of its parts: the ISO 21496-1 segment as it
// was, the minimal XMP packet, and room for the index of the two images.
part_fills primary_fills(byte_source& source, const gain_map_segments& found, const gain_map_target& target,
                         std::int64_t gain_map_length) {
    part_fills fill;
    if (found.has[ISO]) {
        const jpeg_segment& segment = found.at[ISO];
        fill[ISO].resize(static_cast<std::size_t>(segment.length));
        source_seek(source, segment.offset);
        source_read(source, fill[ISO].data(), fill[ISO].size());
    }
    if (target.xmp_layout) fill[XMP] = minimal_xmp_segment(target, gain_map_length);
    fill[MPF].resize(MPF_TWO_IMAGE_SIZE);
    return fill;
}

// The index of a primary of primary_size bytes, its TIFF header at tiff, and
// the gain map right after it; false when the primary is too large for it.
bool two_image_index(const gain_map_target& target, std::int64_t primary_size, std::int64_t tiff,
                     std::int64_t gain_map_length, std::vector<std::uint8_t>& index) {
    if (primary_size > 0xFFFFFFFF) return false;
    mp_entry first = target.index.entries[0], second = target.index.entries[1];
    first.size = static_cast<std::uint32_t>(primary_size);
    second.size = static_cast<std::uint32_t>(gain_map_length);
    second.offset = static_cast<std::uint32_t>(primary_size - tiff);
    std::array<std::uint8_t, MPF_TWO_IMAGE_SIZE> bytes = mpf_two_image_segment(target.index.big_endian, first, second);
    index.assign(bytes.begin(), bytes.end());
    return true;
}

// After a counting pass over the primary: counts the gain map and fills the
// primary's parts when a whole JPEG lies where the primary says its gain map
// does. Sets length to the size of the whole output.
gain_map_outcome plan_gain_map(byte_source& source, stripped_image& primary, std::int64_t& length,
                               stripped_image& gain_map) {
    gain_map_target target;
    std::int64_t gain_map_length = 0;
    gain_map_outcome outcome = count_gain_map(source, primary.found, primary.end, target, gain_map, gain_map_length);
    if (outcome != gain_map_outcome::kept) return outcome;
    part_fills fill = primary_fills(source, primary.found, target, gain_map_length);
    // The parts before the index move it by their length.
    std::int64_t primary_size = length, tiff = primary.at[MPF] + 8;
    for (std::size_t p = 0; p < GAIN_MAP_PARTS; ++p) {
        primary_size += static_cast<std::int64_t>(fill[p].size());
        if (p != MPF && primary.found.has[p] && primary.found.at[p].offset < primary.found.at[MPF].offset)
            tiff += static_cast<std::int64_t>(fill[p].size());
    }
    if (!two_image_index(target, primary_size, tiff, gain_map_length, fill[MPF])) return gain_map_outcome::dropped;
    primary.fill = std::move(fill);
    length = primary_size + gain_map_length;
    return gain_map_outcome::kept;
}

// Writes what the counting pass planned; a walk that now goes otherwise met
// a changed file.
copy_result write_stripped(output_file& out, byte_source& source, stripped_image& primary,
                           const stripped_image* gain_map, std::int64_t length) {
    strip_sink sink{&out, &source.file};
    stripped_image again;
    again.fill = std::move(primary.fill);
    bool same = strip_image(source, 0, PRIMARY_RULE, again, sink) && again.end == primary.end;
    if (same && gain_map) {
        stripped_image image;
        same = strip_image(source, gain_map->start, GAIN_MAP_RULE, image, sink) && image.end == gain_map->end;
    }
    if (sink.result != copy_result::done) return sink.result;
    return same && sink.length == length ? copy_result::done : copy_result::read_failed;
}

// The primary image up to its first scan: whether the walk gets there, where
// its image data starts, and the first segment of each gain-map part before.
struct primary_header {
    bool reaches_scan = false;
    std::int64_t scan_at = 0;
    gain_map_segments found;
};

primary_header walk_primary_header(byte_source& source) {
    primary_header header;
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    while (next_segment(walk, segment)) {
        const auto p = static_cast<std::size_t>(gain_map_part_of(source, segment));
        if (p < GAIN_MAP_PARTS && is_metadata(segment) && !header.found.has[p]) {
            header.found.has[p] = true;
            header.found.at[p] = segment;
        }
        if (segment.marker == MARKER_SOS) {
            header.reaches_scan = !source.read_failed;
            header.scan_at = segment.offset + segment.length;
            break;
        }
    }
    return header;
}

// One pass over a photo whose header names a gain map, counted already
// where the index says it lies: the primary is written with its image data
// copied while it is walked, and the index given the sizes afterwards, in
// its place. False, with out holding anything, where the photo turns out
// otherwise than its header said: it is then counted first.
bool strip_gain_map_first(byte_source& source, const primary_header& header, const gain_map_target& target,
                          const stripped_image& gain_map, std::int64_t gain_map_length, output_file& out,
                          copy_result& result) {
    stripped_image primary;
    primary.fill = primary_fills(source, header.found, target, gain_map_length);
    strip_sink sink{&out, &source.file};
    std::vector<std::uint8_t> index;
    if (!strip_image(source, 0, PRIMARY_RULE, primary, sink) || primary.found.has != header.found.has ||
        target.start < primary.end || !two_image_index(target, sink.length, primary.at[MPF] + 8, gain_map_length, index))
        return false;
    if (sink.result == copy_result::done && !write_output_at(out, primary.at[MPF], index.data(), index.size()))
        sink.result = copy_result::write_failed;
    stripped_image image;
    const bool same = strip_image(source, target.start, GAIN_MAP_RULE, image, sink) && image.end == gain_map.end;
    result = sink.result != copy_result::done ? sink.result : same ? copy_result::done : copy_result::read_failed;
    return true;
}

// Writes the stripped photo in the pass that walks it; false, with out
// holding anything, where that cannot be done: the walk fails, the gain map
// is not whole, or a gain map is named where the header did not name one.
bool strip_in_one_pass(byte_source& source, const primary_header& header, output_file& out, copy_result& result) {
    gain_map_target target;
    stripped_image primary, gain_map;
    std::int64_t gain_map_length = 0;
    switch (count_gain_map(source, header.found, header.scan_at, target, gain_map, gain_map_length)) {
        case gain_map_outcome::kept:
            return strip_gain_map_first(source, header, target, gain_map, gain_map_length, out, result);
        case gain_map_outcome::dropped:
            return false;
        case gain_map_outcome::none:
            break;
    }
    strip_sink sink{&out, &source.file};
    if (!strip_image(source, 0, PRIMARY_RULE, primary, sink) ||
        find_gain_map(source, primary.found, primary.end, target) != gain_map_search::none)
        return false;
    result = sink.result;
    return true;
}

job_messages strip_messages(const run_options& options) {
    return {"output file open error 1 [%s].\n", options.output, options.source};
}

bool open_strip_output(output_file& out, const run_options& options, byte_source& source) {
    return open_job_output(out, options, strip_messages(options)) &&
           !output_feeds_input(out, source.file, strip_messages(options));
}

// Counts the photo stripped, then writes it: what the index must say is
// known before it is written. out is opened here unless opened is set.
int strip_counting_first(const run_options& options, byte_source& source, output_file& out, bool opened) {
    stripped_image primary, gain_map;
    strip_sink counted;
    bool walked = strip_image(source, 0, PRIMARY_RULE, primary, counted);
    std::int64_t length = counted.length;
    gain_map_outcome outcome = walked ? plan_gain_map(source, primary, length, gain_map) : gain_map_outcome::none;
    if (source.read_failed || !walked) {
        if (opened) discard_output(out);
        report_unwalkable(source, options.source);
        return 1;
    }
    if (!opened && !open_strip_output(out, options, source)) return 1;
    const bool kept = outcome == gain_map_outcome::kept;
    copy_result result = write_stripped(out, source, primary, kept ? &gain_map : nullptr, length);
    close_source(source);
    int status = finish_job(out, result, strip_messages(options), options.source);
    if (status == 0 && outcome == gain_map_outcome::dropped) report_failure("gain map dropped [%s].\n", options.source,
                                                                           "the MPF index does not lead to a whole gain map; the photo is stripped without it");
    return status;
}

}  // namespace

// -s: the primary image without its metadata; whatever follows its EOI
// (further frames, trailers) goes too, except a gain map, which is kept with
// just what it takes to render it. A photo is written in the pass that walks
// it, its image data copied while the walk looks through it; one that cannot
// be (a target written directly, which cannot be cut back, or a photo that
// turns out otherwise than its header said) is counted first, so that the
// index can give the sizes of what the second pass writes. Memory stays flat.
int strip_metadata(const run_options& options, byte_source& source) {
    const primary_header header = walk_primary_header(source);
    output_file out;
    const bool opened = header.reaches_scan;
    if (opened && !open_strip_output(out, options, source)) return 1;
    if (opened && output_is_temporary(out)) {
        copy_result result = copy_result::done;
        if (!strip_in_one_pass(source, header, out, result)) {
            if (truncate_output(out, 0)) return strip_counting_first(options, source, out, opened);
            result = copy_result::write_failed;
        }
        close_source(source);
        return finish_job(out, result, strip_messages(options), options.source);
    }
    return strip_counting_first(options, source, out, opened);
}

// The Exif segment on file, from its marker's FF:
//
//   +0 FF E1   +2 length (2, big-endian)   +4 "Exif" 00 00
//   +10 TIFF header: "MM" or "II", 42, IFD0 offset (4, TIFF order), counted from +10
//
// IFD0: entry count (2), then 12-byte entries: tag (2), type (2), count (4),
// value (4; a SHORT in its first two bytes), all in the TIFF byte order.
int exif_orientation(byte_source& source, const jpeg_segment& exif) {
    constexpr std::uint16_t TAG_ORIENTATION = 0x0112;
    const std::int64_t tiff = exif.offset + 10;
    const std::int64_t size = exif.length - 10;  // TIFF bytes inside the segment
    std::uint8_t header[8];
    if (size < static_cast<std::int64_t>(sizeof header)) return 0;
    source_seek(source, tiff);
    source_read(source, header, sizeof header);
    bool big_endian = header[0] == 'M' && header[1] == 'M';
    if (!big_endian && !(header[0] == 'I' && header[1] == 'I')) return 0;
    std::int64_t ifd0 = load_u32(header + 4, big_endian);
    if (ifd0 > size - 2) return 0;
    source_seek(source, tiff + ifd0);
    unsigned count = read_u16(source, big_endian);
    for (unsigned i = 0; i < count; ++i) {
        std::int64_t at = ifd0 + 2 + 12 * static_cast<std::int64_t>(i);
        if (at > size - 12) return 0;
        std::uint8_t entry[12];
        source_seek(source, tiff + at);
        source_read(source, entry, sizeof entry);
        if (load_u16(entry, big_endian) != TAG_ORIENTATION) continue;
        std::uint32_t value = 0;
        switch (load_u16(entry + 2, big_endian)) {
            case 3:  // SHORT
            case 8:  // SSHORT: a negative one is no orientation
                value = load_u16(entry + 8, big_endian);
                break;
            case 4:  // LONG
            case 9:  // SLONG
                value = load_u32(entry + 8, big_endian);
                break;
            default:
                return 0;
        }
        bool one = load_u32(entry + 4, big_endian) == 1;
        return one && value >= 2 && value <= 8 ? static_cast<int>(value) : 0;
    }
    return 0;
}

std::array<std::uint8_t, 36> orientation_segment(int orientation) {
    return {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0x00, 0x00, 'M',  'M',
            0x00, 0x2A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x01, 0x12, 0x00, 0x03,
            0x00, 0x00, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(orientation), 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00};
}
