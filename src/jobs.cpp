#include "jobs.h"

#include <cstdio>
#include <vector>

#include "copy_engine.h"
#include "log.h"
#include "output_file.h"

namespace {

// Messages for the failures a job can meet, with the name each one names.
struct job_messages {
    const char* open_failed;  // the output cannot be made or replaced
    const std::string& output;
    const std::string& source;
};

// Ends a job whose copies gave result: commits the output or removes it, and
// reports what went wrong. read_name names the file whose read failed.
int finish_job(output_file& out, copy_result result, const job_messages& messages,
               const std::string& read_name) {
    switch (result) {
        case copy_result::short_input:
            discard_output(out);
            print_message("app1 segment truncated [%s].\n", messages.source);
            return 1;
        case copy_result::read_failed:
            discard_output(out);
            print_message("input file read error [%s].\n", read_name);
            return 1;
        case copy_result::write_failed:
            discard_output(out);
            print_message("output file write error [%s].\n", messages.output);
            return 1;
        case copy_result::done:
            break;
    }
    switch (commit_output(out)) {
        case commit_result::done:
            return 0;
        case commit_result::write_failed:
            print_message("output file write error [%s].\n", messages.output);
            return 1;
        case commit_result::replace_failed:
            print_message(messages.open_failed, messages.output);
            return 1;
        case commit_result::times_not_kept:
            print_message("times not kept [%s].\n", messages.output);
            return 1;
        case commit_result::kept_aside:
            std::fprintf(output_stream(), "output file write error [%s]. new file kept as [%s].\n",
                         messages.output.c_str(), kept_copy(out).c_str());
            return 1;
    }
    return 1;
}

// Opens the job's output as the options ask; prints the open error if it fails.
bool open_job_output(output_file& out, const run_options& options, const job_messages& messages) {
    out.keep_times = options.keep_times;
    if (open_output(out, options.output)) return true;
    print_message(messages.open_failed, options.output);
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
    return true;
}

// Copies length bytes of the source from offset, or up to the end it had
// when it was opened. They were read a moment ago, or at least measured, so
// a shortfall now is a failing read.
copy_result copy_source(output_file& out, const byte_source& source, std::int64_t offset, std::int64_t length) {
    copy_result result = copy_range(out, source.file, offset, length);
    return result == copy_result::short_input ? copy_result::read_failed : result;
}

copy_result write_bytes(output_file& out, const std::uint8_t* bytes, std::size_t n) {
    return write_output(out, bytes, n) ? copy_result::done : copy_result::write_failed;
}

int cut_segment(const run_options& options, byte_source& source, const app1_info& info) {
    job_messages messages{"output file open error [%s].\n", options.output, options.source};
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
        print_message("app1 file open error 2 [%s].\n", options.app1_file);
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
        // A side file that shrank after it was opened is a failing read too.
        result = copy_range(out, app1, 0, -1);
        if (result == copy_result::short_input) result = copy_result::read_failed;
        if (result == copy_result::read_failed) read_name = &options.app1_file;
    }
    if (result == copy_result::done) {
        result = copy_source(out, source, info.start_address + info.app1_length, -1);
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
    }
    if (source.read_failed) {
        print_message("input file read error [%s].\n", name);
        return false;
    }
    if (walk.state != walk_state::finished) {
        print_message("not a jpeg file [%s].\n", name);
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
        print_message("input file read error [%s].\n", name);
        return false;
    }
    if (!found) print_message("app1 file has no exif segment [%s].\n", name);
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
        print_message("input file read error [%s].\n", name);
        return false;
    }
    segment.resize(static_cast<std::size_t>(size));
    if (size >= 3 && segment[0] == 0xFF && segment[1] == MARKER_SOI && segment[2] == 0xFF)
        return read_donor_segment(app1, name, segment);
    if (size < 2 || load_u16(segment.data(), true) != size) {
        print_message("app1 file length error [%s].\n", name);
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
    copy_result result = copy_source(out, source, 0, from);
    if (result == copy_result::done) result = write_bytes(out, APP1_MARKER, sizeof APP1_MARKER);
    if (result == copy_result::done) result = write_bytes(out, segment.data(), segment.size());
    if (result == copy_result::done) result = copy_source(out, source, resume, -1);
    close_source(source);
    return finish_job(out, result, messages, options.source);
}

struct kept_application_segment {
    std::uint8_t marker;
    segment_id id;
};

// What a viewer needs to show the image as it was meant: the JFIF density and
// colour space, the colour profile, Adobe's colour transform.
constexpr kept_application_segment KEPT_APPLICATION_SEGMENTS[] = {
    {MARKER_APP0, segment_id::jfif},
    {MARKER_APP0, segment_id::jfxx},
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

// Copies the primary image without its metadata, the orientation segment
// (when there is an orientation) where the Exif segment stood.
copy_result copy_without_metadata(output_file& out, byte_source& source, const image_layout& layout,
                                  int orientation) {
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    std::int64_t kept_from = 0;
    copy_result result = copy_result::done;
    while (result == copy_result::done && next_segment(walk, segment)) {
        if (!is_metadata(segment)) continue;
        result = copy_source(out, source, kept_from, segment.offset - kept_from);
        if (result == copy_result::done && orientation && layout.has_exif && segment.offset == layout.exif.offset) {
            std::array<std::uint8_t, 36> upright = orientation_segment(orientation);
            result = write_bytes(out, upright.data(), upright.size());
        }
        kept_from = segment.offset + segment.length;
    }
    if (result != copy_result::done) return result;
    // The first walk got to the end: one that does not now met a changed file.
    if (walk.state != walk_state::finished) return copy_result::read_failed;
    return copy_source(out, source, kept_from, walk.image_end - kept_from);
}

// -s: the primary image without its metadata; whatever follows its EOI
// (further frames, trailers) goes too.
int strip_metadata(const run_options& options, byte_source& source) {
    image_layout layout;
    if (!walk_image(source, options.source, layout)) return 1;
    int orientation = layout.has_exif ? exif_orientation(source, layout.exif) : 0;
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    if (!open_job_output(out, options, messages) || output_feeds_input(out, source.file, messages)) return 1;
    copy_result result = copy_without_metadata(out, source, layout, orientation);
    close_source(source);
    return finish_job(out, result, messages, options.source);
}

}  // namespace

bool job_walks_markers(int mode) { return mode == MODE_INSERT || mode == MODE_STRIP; }

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
    constexpr std::uint16_t TYPE_SHORT = 3;
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
        unsigned value = load_u16(entry + 8, big_endian);
        bool one_short = load_u16(entry + 2, big_endian) == TYPE_SHORT && load_u32(entry + 4, big_endian) == 1;
        return one_short && value >= 2 && value <= 8 ? static_cast<int>(value) : 0;
    }
    return 0;
}

std::array<std::uint8_t, 36> orientation_segment(int orientation) {
    return {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0x00, 0x00, 'M',  'M',
            0x00, 0x2A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x01, 0x12, 0x00, 0x03,
            0x00, 0x00, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(orientation), 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00};
}
