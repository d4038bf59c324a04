#include "jobs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "copy_engine.h"
#include "gain_map.h"
#include "location.h"
#include "log.h"
#include "output_file.h"
#include "output_plan.h"
#include "report.h"

namespace {

// Why a read failed: what the system said, else a file that changed.
std::string read_reason(int error) { return system_reason(error, "the file changed while it was read"); }
std::string write_reason(int error) { return system_reason(error, "write failed"); }

}  // namespace

// Ends a job whose copies gave result: commits the output or removes it, and
// reports what went wrong. read_name names the file whose read failed.
int finish_job(output_file& out, copy_result result, const job_messages& messages,
               const std::string& read_name) {
    switch (result) {
        case copy_result::short_input:
            discard_output(out);
            report_failure("app1 segment truncated [%s].\n", messages.source,
                           "length field " + std::to_string(messages.segment_length) + " past the end of the file");
            return 1;
        case copy_result::read_failed:
            discard_output(out);
            report_failure("input file read error [%s].\n", read_name, read_reason(out.error));
            return 1;
        case copy_result::write_failed:
            discard_output(out);
            report_failure("output file write error [%s].\n", messages.output, write_reason(out.error));
            return 1;
        case copy_result::done:
            break;
    }
    switch (commit_output(out)) {
        case commit_result::done:
            return 0;
        case commit_result::write_failed:
            report_failure("output file write error [%s].\n", messages.output, write_reason(out.error));
            return 1;
        case commit_result::replace_failed:
            report_failure(messages.open_failed, messages.output,
                           system_reason(out.error, "the target changed while the new file was written"));
            return 1;
        case commit_result::kept_aside:
            std::fprintf(output_stream(), "output file write error [%s]. new file kept as [%s].\n",
                         messages.output.c_str(), kept_copy(out).c_str());
            report_reason(messages.output, write_reason(out.error) + "; the new file is complete in " + kept_copy(out));
            return 1;
    }
    return 1;
}

// Opens the job's output as the options ask; prints the open error if it fails.
bool open_job_output(output_file& out, const run_options& options, const job_messages& messages) {
    out.keep_times = options.keep_times;
    if (open_output(out, options.output)) return true;
    report_failure(messages.open_failed, options.output, system_reason(out.error, "cannot be written"));
    return false;
}

// An output written straight into one of its inputs (`>> photo.jpg`) would
// read itself back: it is refused before anything is written, as cat does.
// True, with the output discarded and the open error printed, when it is.
// The message goes to standard error: standard output may be that very file.
bool output_feeds_input(output_file& out, const input_file& in, const job_messages& messages) {
    if (!output_is_input(out, in)) return false;
    discard_output(out);
    std::fprintf(stderr, messages.open_failed, messages.output.c_str());
    report_reason(messages.output, "the output is a file this job reads: it would read itself back");
    return true;
}

// Copies length bytes of the source from offset. They were read a moment ago,
// so a shortfall now is a failing read.
copy_result copy_source(output_file& out, const byte_source& source, std::int64_t offset, std::int64_t length) {
    copy_result result = copy_range(out, source.file, offset, length);
    return result == copy_result::short_input ? copy_result::read_failed : result;
}

copy_result write_bytes(output_file& out, const std::uint8_t* bytes, std::size_t n) {
    return write_output(out, bytes, n) ? copy_result::done : copy_result::write_failed;
}

void report_walk_failure(const byte_source& source, const marker_walk& walk, const std::string& name) {
    if (source.read_failed) report_failure("input file read error [%s].\n", name, read_reason(source.file.error));
    else if (walk.state == walk_state::broken) report_failure("not a jpeg file [%s].\n", name, walk_failure(walk));
    else report_failure("input file read error [%s].\n", name, read_reason(0));
}

void report_unwalkable(byte_source& source, const std::string& name) {
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    while (!source.read_failed && next_segment(walk, segment)) {
    }
    report_walk_failure(source, walk, name);
}

namespace {

int cut_segment(const run_options& options, byte_source& source, const app1_info& info) {
    job_messages messages{"output file open error [%s].\n", options.output, options.source, info.app1_length};
    output_file out;
    if (!open_job_output(out, options, messages) || output_feeds_input(out, source.file, messages)) return 1;
    copy_result result = copy_range(out, source.file, info.start_address, info.app1_length);
    // Windows cannot put a file in the place of one that is still open.
    close_source(source);
    return finish_job(out, result, messages, options.source);
}

// Opens APP1_FILE after the output; false, with the output discarded and the
// message printed, when it cannot be opened or the output would feed an input.
bool open_app1_file(input_file& app1, output_file& out, const byte_source& source, const run_options& options,
                    const job_messages& messages) {
    if (!open_input(app1, options.app1_file, false)) {
        discard_output(out);
        report_failure("app1 file open error 2 [%s].\n", options.app1_file,
                       system_reason(app1.error, "cannot be read"));
        return false;
    }
    if (output_feeds_input(out, source.file, messages) || output_feeds_input(out, app1, messages)) {
        close_input(app1);
        return false;
    }
    return true;
}

// Writes OUTPUT_FILE: a bare SOI and APP1 marker (bare_head) or the source up
// to info.start_address, then APP1_FILE, then the source from the end of the
// old segment on.
int replace_segment(const run_options& options, byte_source& source, const app1_info& info, bool bare_head) {
    static const std::uint8_t BARE_HEAD[] = {0xFF, 0xD8, 0xFF, 0xE1};
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    input_file app1;
    if (!open_job_output(out, options, messages) || !open_app1_file(app1, out, source, options, messages)) return 1;
    const std::string* read_name = &options.source;
    copy_result result = bare_head ? write_bytes(out, BARE_HEAD, sizeof BARE_HEAD)
                                   : copy_source(out, source, 0, info.start_address);
    if (result == copy_result::done) {
        result = copy_range(out, app1, 0, -1);
        if (result == copy_result::read_failed) read_name = &options.app1_file;
    }
    if (result == copy_result::done) {
        result = copy_range(out, source.file, info.start_address + info.app1_length, -1);
    }
    close_input(app1);
    close_source(source);
    return finish_job(out, result, messages, *read_name);
}

// ---------------------------------------------------------------------------
// The jobs on the marker walk

// What -i and -s need to know of a source before they write anything.
struct image_layout {
    bool has_exif = false;
    jpeg_segment exif;  // the first APP1 segment whose identifier is Exif
    bool has_mpf = false;
    jpeg_segment mpf;   // the first MPF index
    std::int64_t image_end = 0;
};

// Walks the source to the EOI of its primary image. False, with the message
// printed, when it cannot be read or the walk refuses it.
bool walk_image(byte_source& source, const std::string& name, image_layout& layout) {
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    while (next_segment(walk, segment)) {
        if (segment.id == segment_id::exif && !layout.has_exif) {
            layout.has_exif = true;
            layout.exif = segment;
        }
        if (segment.id == segment_id::mpf && !layout.has_mpf) {
            layout.has_mpf = true;
            layout.mpf = segment;
        }
    }
    if (source.read_failed || walk.state != walk_state::finished) {
        report_walk_failure(source, walk, name);
        return false;
    }
    layout.image_end = walk.image_end;
    return true;
}

constexpr std::size_t MAX_SEGMENT = 0xFFFF;  // a 16-bit length field counting itself

// A JPEG donor's first Exif APP1 segment, without its marker, into segment,
// which holds the donor's first bytes. A donor that can only be read in order
// (a pipe) is walked as far as those bytes go.
bool read_donor_segment(const input_file& app1, const std::string& name, std::vector<std::uint8_t>& segment) {
    byte_source donor = app1.seekable ? file_source(app1) : memory_source(segment);
    marker_walk walk = start_marker_walk(donor);
    jpeg_segment exif;
    bool found = false;
    while (!found && next_segment(walk, exif)) found = exif.id == segment_id::exif;
    if (found) {
        segment.resize(static_cast<std::size_t>(exif.length - 2));
        source_seek(donor, exif.offset + 2);
        source_read(donor, segment.data(), segment.size());
    }
    if (donor.read_failed) {
        report_failure("input file read error [%s].\n", name, read_reason(donor.file.error));
        return false;
    }
    if (!found) report_failure("app1 file has no exif segment [%s].\n", name, "a JPEG without an Exif APP1 segment");
    return found;
}

// The segment -i puts in, without its FF E1 marker. A JPEG (FF D8 FF) gives
// its Exif segment; anything else is taken as a side file and must be a whole
// segment, its big-endian length field equal to its size, so that a damaged
// side file cannot break the photo. (A side file of 65496 bytes starts FF D8
// too, but then "Exif".) False, with the message printed, when there is none.
bool read_insert_segment(const input_file& app1, const std::string& name, std::vector<std::uint8_t>& segment) {
    segment.resize(MAX_SEGMENT + 1);
    std::int64_t size = read_at(app1, 0, segment.data(), segment.size());
    if (size < 0) {
        report_failure("input file read error [%s].\n", name, read_reason(errno));
        return false;
    }
    segment.resize(static_cast<std::size_t>(size));
    if (size >= 3 && segment[0] == 0xFF && segment[1] == MARKER_SOI && segment[2] == 0xFF)
        return read_donor_segment(app1, name, segment);
    if (size < 2 || load_u16(segment.data(), true) != size) {
        bool over = size > static_cast<std::int64_t>(MAX_SEGMENT);
        std::string held = std::to_string(size) + (over ? " bytes or more" : " bytes");
        report_failure("app1 file length error [%s].\n", name,
                       size < 2 ? "a side file of " + held + " has no length field"
                                : "length field " + std::to_string(load_u16(segment.data(), true)) +
                                      ", but the side file holds " + held);
        return false;
    }
    // The Exif segment is what -i replaces: an XMP packet (what -r saves of a
    // photo whose first APP1 is XMP) would take the camera's data's place.
    static const char EXIF_ID[] = "Exif\0";  // and the terminator: Exif 00 00
    static const char XMP_ID[] = "http://ns.adobe.com/xap/1.0/";
    auto starts_with = [&segment](const char* id, std::size_t n) {
        return segment.size() >= 2 + n && std::memcmp(segment.data() + 2, id, n) == 0;
    };
    if (!starts_with(EXIF_ID, sizeof EXIF_ID)) {
        report_failure("app1 file is not exif [%s].\n", name,
                       starts_with(XMP_ID, sizeof XMP_ID) ? "the segment holds XMP, not Exif"
                                                          : "the segment does not start \"Exif\\0\\0\"");
        return false;
    }
    return true;
}

// -i: the segment replaces the first Exif APP1 segment, or goes right after
// SOI where there is none; every other byte stays where it was.
int insert_segment(const run_options& options, byte_source& source) {
    static const std::uint8_t APP1_MARKER[] = {0xFF, MARKER_APP1};
    image_layout layout;
    if (!walk_image(source, options.source, layout)) return 1;
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    input_file app1;
    if (!open_job_output(out, options, messages) || !open_app1_file(app1, out, source, options, messages)) return 1;
    std::vector<std::uint8_t> segment;
    bool have_segment = read_insert_segment(app1, options.app1_file, segment);
    close_input(app1);
    if (!have_segment) {
        discard_output(out);
        return 1;
    }
    std::int64_t from = layout.has_exif ? layout.exif.offset : 2;
    std::int64_t resume = layout.has_exif ? layout.exif.offset + layout.exif.length : 2;
    segment.insert(segment.begin(), APP1_MARKER, APP1_MARKER + sizeof APP1_MARKER);
    output_plan plan;
    plan_range(plan, 0, from);
    plan.pieces.push_back(plan_piece{0, 0, segment});
    plan_range(plan, resume, -1);
    // The index gives the primary image's size and, counted from itself, where
    // the further images start: both move with the new segment.
    mp_index index;
    if (layout.has_mpf && read_mp_index(source, layout.mpf, index)) {
        auto length = static_cast<std::int64_t>(segment.size());
        for (const mp_patch& patch : mp_resize_patches(index, from, resume, length, layout.image_end))
            plan_patch(plan, patch.position, patch.bytes.data(), patch.bytes.size());
    }
    copy_result result = write_plan(out, source.file, plan);
    close_source(source);
    return finish_job(out, result, messages, options.source);
}

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
    while (next_segment(walk, segment)) {
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
    if (walk.state != walk_state::finished) return false;
    sink_range(sink, kept_from, walk.image_end - kept_from);
    image.start = start;
    image.end = walk.image_end;
    return true;
}

enum class gain_map_outcome { none, kept, dropped };

// After a counting pass over the primary: counts the gain map and fills the
// primary's parts (the ISO 21496-1 segment as it was, the minimal XMP packet,
// the MPF index of the two images) when a whole JPEG lies where the primary
// says its gain map does. Sets length to the size of the whole output.
gain_map_outcome plan_gain_map(byte_source& source, stripped_image& primary, std::int64_t& length,
                               stripped_image& gain_map) {
    gain_map_target target;
    gain_map_search search = find_gain_map(source, primary.found, primary.end, target);
    if (search == gain_map_search::none) return gain_map_outcome::none;
    strip_sink counted;
    if (search == gain_map_search::broken || !strip_image(source, target.start, GAIN_MAP_RULE, gain_map, counted) ||
        gain_map.end != target.start + target.size)
        return gain_map_outcome::dropped;
    const auto iso = static_cast<std::size_t>(gain_map_part::iso);
    const auto xmp = static_cast<std::size_t>(gain_map_part::xmp);
    const auto mpf = static_cast<std::size_t>(gain_map_part::mpf);
    std::array<std::vector<std::uint8_t>, GAIN_MAP_PARTS> fill;
    if (primary.found.has[iso]) {
        const jpeg_segment& segment = primary.found.at[iso];
        fill[iso].resize(static_cast<std::size_t>(segment.length));
        source_seek(source, segment.offset);
        source_read(source, fill[iso].data(), fill[iso].size());
    }
    if (target.xmp_layout) fill[xmp] = minimal_xmp_segment(target, counted.length);
    fill[mpf].resize(MPF_TWO_IMAGE_SIZE);
    // The parts before the index move it by their length.
    std::int64_t primary_size = length, tiff = primary.at[mpf] + 8;
    for (std::size_t p = 0; p < GAIN_MAP_PARTS; ++p) {
        primary_size += static_cast<std::int64_t>(fill[p].size());
        if (p != mpf && primary.found.has[p] && primary.found.at[p].offset < primary.found.at[mpf].offset)
            tiff += static_cast<std::int64_t>(fill[p].size());
    }
    if (primary_size > 0xFFFFFFFF) return gain_map_outcome::dropped;
    mp_entry first = target.index.entries[0], second = target.index.entries[1];
    first.size = static_cast<std::uint32_t>(primary_size);
    second.size = static_cast<std::uint32_t>(counted.length);
    second.offset = static_cast<std::uint32_t>(primary_size - tiff);
    std::array<std::uint8_t, MPF_TWO_IMAGE_SIZE> index = mpf_two_image_segment(target.index.big_endian, first, second);
    fill[mpf].assign(index.begin(), index.end());
    primary.fill = std::move(fill);
    length = primary_size + counted.length;
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

// -s: the primary image without its metadata; whatever follows its EOI
// (further frames, trailers) goes too, except a gain map, which is kept with
// just what it takes to render it. A first pass counts, so that the index
// can give the sizes of what the second writes; memory stays flat.
int strip_metadata(const run_options& options, byte_source& source) {
    stripped_image primary, gain_map;
    strip_sink counted;
    bool walked = strip_image(source, 0, PRIMARY_RULE, primary, counted);
    std::int64_t length = counted.length;
    gain_map_outcome outcome = walked ? plan_gain_map(source, primary, length, gain_map) : gain_map_outcome::none;
    if (source.read_failed || !walked) {
        report_unwalkable(source, options.source);
        return 1;
    }
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    if (!open_job_output(out, options, messages) || output_feeds_input(out, source.file, messages)) return 1;
    const bool kept = outcome == gain_map_outcome::kept;
    copy_result result = write_stripped(out, source, primary, kept ? &gain_map : nullptr, length);
    close_source(source);
    int status = finish_job(out, result, messages, options.source);
    if (status == 0 && outcome == gain_map_outcome::dropped) report_failure("gain map dropped [%s].\n", options.source,
                                                                           "the MPF index does not lead to a whole gain map; the photo is stripped without it");
    return status;
}

}  // namespace

bool job_walks_markers(int mode) { return mode == MODE_INSERT || mode == MODE_STRIP || mode == MODE_LOCATION; }

int run_job(const run_options& options, byte_source& source, const app1_info* found) {
    switch (options.mode) {
        case MODE_CUT:
            return cut_segment(options, source, *found);
        case MODE_REPLACE:
            return replace_segment(options, source, *found, false);
        case MODE_REPLACE_VIREO:
            return replace_segment(options, source, *found, true);
        case MODE_INSERT:
            return insert_segment(options, source);
        case MODE_STRIP:
            return strip_metadata(options, source);
        case MODE_LOCATION:
            return remove_location(options, source);
        default:
            return 0;
    }
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
