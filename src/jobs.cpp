#include "jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "copy_ahead.h"
#include "copy_engine.h"
#include "location.h"
#include "log.h"
#include "mpf.h"
#include "output_file.h"
#include "output_plan.h"
#include "report.h"
#include "strip.h"

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
        case commit_result::times_not_kept:
            report_failure("times not kept [%s].\n", messages.output,
                           system_reason(out.error, "its times could not be set") + "; the new file is in place");
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
    bool has_mpf = false;
    jpeg_segment mpf;   // the first MPF index
    std::int64_t image_end = 0;
};

// Walks on, noting what -i looks for, to the primary image's EOI, or only up
// to its first SOS when to_scan is set. False when the walk refuses the
// source or it cannot be read.
bool walk_layout(marker_walk& walk, image_layout& layout, bool to_scan) {
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
        if (to_scan && segment.marker == MARKER_SOS) return !walk.source->read_failed;
    }
    if (walk.source->read_failed || walk.state != walk_state::finished) return false;
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
    // One byte more than the segment can hold, or than the file held when it
    // was opened: a file that holds more is too long, or changed.
    std::int64_t room = app1.seekable ? std::min<std::int64_t>(app1.size, MAX_SEGMENT) : MAX_SEGMENT;
    segment.resize(static_cast<std::size_t>(room) + 1);
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

// What -i writes: the source with segment (marker included) in the place of
// its first Exif segment, or after its SOI where it has none, and the
// index's sizes and offsets moved to match.
output_plan insert_plan(byte_source& source, const image_layout& layout, const std::vector<std::uint8_t>& segment) {
    std::int64_t from = layout.has_exif ? layout.exif.offset : 2;
    std::int64_t resume = layout.has_exif ? layout.exif.offset + layout.exif.length : 2;
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
    return plan;
}

// Writes -i's output, the image data copied while the walk goes on through
// it to the EOI. An Exif segment or an index that stood between two scans
// changes the plan made before them: it is made and written again. False
// when the walk refuses the source.
bool write_insert(output_file& out, byte_source& source, marker_walk& walk, image_layout& layout,
                  const std::vector<std::uint8_t>& segment, copy_result& result) {
    output_plan plan = insert_plan(source, layout, segment);
    // The last piece runs to the source's end, through the image data.
    const std::int64_t tail = plan.pieces.back().offset;
    plan.pieces.pop_back();
    const std::int64_t scan_from = walk.state == walk_state::walking ? walk.pos : tail;
    result = write_plan(out, source.file, plan);
    if (result == copy_result::done) result = copy_source(out, source, tail, scan_from - tail);
    if (result != copy_result::done) return true;
    const image_layout before_scan = layout;
    copy_ahead ahead;
    start_copy_ahead(ahead, out, source, scan_from);
    const bool walked = walk_layout(walk, layout, false);
    result = finish_copy_ahead(ahead, walked ? source.file.size : scan_from);
    if (!walked) return false;
    if (result == copy_result::short_input) result = copy_result::read_failed;
    if (result == copy_result::done &&
        (layout.has_exif != before_scan.has_exif || layout.has_mpf != before_scan.has_mpf))
        result = truncate_output(out, 0) ? write_plan(out, source.file, insert_plan(source, layout, segment))
                                         : copy_result::write_failed;
    return true;
}

// -i: the segment replaces the first Exif APP1 segment, or goes right after
// SOI where there is none; every other byte stays where it was.
int insert_segment(const run_options& options, byte_source& source) {
    static const std::uint8_t APP1_MARKER[] = {0xFF, MARKER_APP1};
    image_layout layout;
    marker_walk walk = start_marker_walk(source);
    // The index gives the primary image's size, which only its EOI tells;
    // without one, the image data is walked while it is copied.
    if (!walk_layout(walk, layout, true) || (layout.has_mpf && !walk_layout(walk, layout, false))) {
        report_walk_failure(source, walk, options.source);
        return 1;
    }
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
    segment.insert(segment.begin(), APP1_MARKER, APP1_MARKER + sizeof APP1_MARKER);
    copy_result result = copy_result::done;
    // Only a temporary file can be cut back: a pipe, say, gets nothing before
    // the whole image is walked.
    if ((!output_is_temporary(out) && !walk_layout(walk, layout, false)) ||
        !write_insert(out, source, walk, layout, segment, result)) {
        discard_output(out);
        report_walk_failure(source, walk, options.source);
        return 1;
    }
    close_source(source);
    return finish_job(out, result, messages, options.source);
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
