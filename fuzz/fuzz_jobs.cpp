// The file fuzz target: arbitrary bytes written to a file, then the "-d"
// trace and the "-j" byte map read through the file reader (each must equal
// what the same bytes in memory give),
// the cut, the two replace jobs, the insert (from a side file and with the
// input as its own JPEG donor), the strip and the location removal, each
// output checked against what it must hold. Slow, as every input costs several files and renames.
//
// POSIX only (a scratch directory from mkdtemp, the fuzzer's signal handlers
// saved and restored with sigaction); the build leaves it out elsewhere.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_map.h"
#include "byte_source.h"
#include "copy_ahead.h"
#include "harness.h"
#include "strip.h"
#include "log.h"
#include "marker_walk.h"
#include "mpf.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<std::uint8_t>;

// File jobs are only worth their cost on inputs whose walk stays small: a
// 65535-entry directory traced five times would slow the campaign to a crawl.
// The limit lets in files larger than the reader's eight 16 KiB blocks.
constexpr std::size_t FILE_JOB_MAX_INPUT = 256 * 1024;
constexpr std::uint64_t FILE_JOB_MAX_TRACE = 512 * 1024;

struct workspace {
    std::string dir;
    trace_sink sink{FILE_JOB_MAX_TRACE};
    static constexpr int SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                      SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
    static constexpr int SIGNAL_COUNT = sizeof SIGNALS / sizeof SIGNALS[0];
    struct sigaction saved[SIGNAL_COUNT];

    workspace() {
        std::string pattern = (fs::temp_directory_path() / "segsplice-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fail("cannot make a scratch directory");
        dir = pattern;
        for (int i = 0; i < SIGNAL_COUNT; ++i) ::sigaction(SIGNALS[i], nullptr, &saved[i]);
        std::atexit([] { std::error_code ec; fs::remove_all(get().dir, ec); });
    }

    // Never destroyed: the exit hook that removes the directory runs last.
    static workspace& get() {
        static workspace* instance = new workspace;
        return *instance;
    }

    std::string path(const char* name) const { return dir + "/" + name; }

    // Runs the tool with a fresh sink, whose digest then holds what it printed.
    int run(std::vector<std::string> args) {
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        sink.reset();
        // libFuzzer's once-a-second alarm would meet the tool's clean-up
        // handler, which ends the process: hold it until the run is over.
        sigset_t alarm, before;
        ::sigemptyset(&alarm);
        ::sigaddset(&alarm, SIGALRM);
        ::sigprocmask(SIG_BLOCK, &alarm, &before);
        int status = segsplice_main(static_cast<int>(args.size()), argv.data());
        set_log_enable(0);
        // The tool claims the termination signals while it writes; give them
        // back to the fuzzer so that its own stop and timeout handling work.
        for (int i = 0; i < SIGNAL_COUNT; ++i) ::sigaction(SIGNALS[i], &saved[i], nullptr);
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        return status;
    }

    const trace_digest& printed() { return sink.digest(); }
};

void write_bytes(const std::string& path, const std::uint8_t* p, std::size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    if (!out.flush()) fail("cannot write", path);
}

bool read_bytes(const std::string& path, bytes& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Only the files the jobs are meant to leave: no temporary file survives a job.
void check_directory(const workspace& w, std::size_t expected_entries) {
    std::size_t n = 0;
    for (const auto& item : fs::directory_iterator(w.dir)) {
        ++n;
        if (item.path().filename().string().find(".tmp") != std::string::npos)
            fail("temporary file left behind", item.path().string());
    }
    check(n == expected_entries, "unexpected file count in", w.dir);
}

const bytes OLD_TARGET = {'o', 'l', 'd'};

// What the marker walk makes of bytes, up to the first Exif segment when
// stop_at_exif is set (as for a donor).
struct walked {
    bool finished = false;
    std::int64_t image_end = 0;
    bool has_exif = false;
    jpeg_segment exif;
    bool has_mpf = false;
    jpeg_segment mpf;
    std::vector<jpeg_segment> segments;
};

walked walk_bytes(const bytes& file, bool stop_at_exif) {
    byte_source source = memory_source(file);
    marker_walk walk = start_marker_walk(source);
    walked result;
    jpeg_segment segment;
    while (!(stop_at_exif && result.has_exif) && next_segment(walk, segment)) {
        result.segments.push_back(segment);
        if (segment.id == segment_id::exif && !result.has_exif) {
            result.has_exif = true;
            result.exif = segment;
        }
        if (segment.id == segment_id::mpf && !result.has_mpf) {
            result.has_mpf = true;
            result.mpf = segment;
        }
    }
    result.finished = walk.state == walk_state::finished;
    result.image_end = walk.image_end;
    return result;
}

// The segments a strip drops, written out again as the oracle.
bool dropped_by_strip(const jpeg_segment& s) {
    if (s.marker == 0xFE) return true;
    if (s.marker < 0xE0 || s.marker > 0xEF) return false;
    return !((s.marker == 0xE0 && s.id == segment_id::jfif) || (s.marker == 0xE2 && s.id == segment_id::icc_profile) ||
             (s.marker == 0xEE && s.id == segment_id::adobe));
}

// A JFIF segment with a thumbnail: -s writes its first 16 bytes, the length
// field 16 and the thumbnail's size 0.
bool jfif_thumbnail(const bytes& file, const jpeg_segment& s) {
    return s.id == segment_id::jfif && s.length >= 18 && (file[s.offset + 16] != 0 || file[s.offset + 17] != 0);
}

// What -s must write for a source the walk finished.
bytes stripped(const bytes& file, const walked& walk) {
    int orientation = 0;
    if (walk.has_exif) {
        byte_source source = memory_source(file);
        orientation = exif_orientation(source, walk.exif);
    }
    bytes out;
    std::size_t kept_from = 0;
    for (const jpeg_segment& s : walk.segments) {
        const bool thumbnail = jfif_thumbnail(file, s);
        if (!thumbnail && !dropped_by_strip(s)) continue;
        out.insert(out.end(), file.begin() + static_cast<long>(kept_from), file.begin() + s.offset);
        if (thumbnail) {
            out.insert(out.end(), file.begin() + s.offset, file.begin() + s.offset + 16);
            out[out.size() - 14] = 0;
            out[out.size() - 13] = 16;
            out.insert(out.end(), {0, 0});
        }
        if (orientation && s.offset == walk.exif.offset) {
            std::array<std::uint8_t, 36> upright = orientation_segment(orientation);
            out.insert(out.end(), upright.begin(), upright.end());
        }
        kept_from = static_cast<std::size_t>(s.offset + s.length);
    }
    out.insert(out.end(), file.begin() + static_cast<long>(kept_from), file.begin() + walk.image_end);
    return out;
}

// A strip that kept a gain map: the primary's index has two entries, the
// first its size, the second where the rest of the file, one whole JPEG, lies.
bool indexes_a_gain_map(const bytes& file) {
    walked primary = walk_bytes(file, false);
    if (!primary.finished || !primary.has_mpf) return false;
    byte_source source = memory_source(file);
    mp_index index;
    if (!read_mp_index(source, primary.mpf, index) || index.entries.size() != 2) return false;
    const std::int64_t end = primary.image_end, size = static_cast<std::int64_t>(file.size());
    if (index.entries[0].size != end || mp_image_start(index, index.entries[1]) != end ||
        index.entries[1].size != size - end)
        return false;
    marker_walk walk = start_marker_walk_at(source, end);
    jpeg_segment segment;
    while (next_segment(walk, segment)) {
    }
    return walk.state == walk_state::finished && walk.image_end == size;
}

// The segment -i takes from APP1_FILE: a JPEG donor's first Exif segment, or
// a whole side file that holds Exif; false when there is none.
bool insert_segment_of(const bytes& app1, bytes& segment) {
    if (app1.size() >= 3 && app1[0] == 0xFF && app1[1] == 0xD8 && app1[2] == 0xFF) {
        walked donor = walk_bytes(app1, true);
        if (!donor.has_exif) return false;
        segment.assign(app1.begin() + donor.exif.offset + 2, app1.begin() + donor.exif.offset + donor.exif.length);
        return true;
    }
    // A side file: a whole segment, and one that holds Exif.
    static const std::uint8_t EXIF[] = {'E', 'x', 'i', 'f', 0, 0};
    segment = app1;
    return app1.size() >= 2 + sizeof EXIF && (std::size_t{app1[0]} << 8 | app1[1]) == app1.size() &&
           std::equal(std::begin(EXIF), std::end(EXIF), app1.begin() + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    workspace& w = workspace::get();
    if (size > FILE_JOB_MAX_INPUT) return 0;
    // The image data's copy beside the walk goes each of its ways, by the
    // input's size: written from the scan's reads, copied by a second
    // thread, or copied at the end after a scan through mappings a page at
    // a time (which only large photos would otherwise take).
    const std::size_t way = size % 3;
    set_scan_mapping(4096, way == 2 ? 0 : MAP_LEAST);
    set_copy_ahead_thread_least(way == 1 ? 0 : COPY_AHEAD_THREAD_LEAST);
    memory_parse parsed = trace_from_memory(w.sink, data, size);
    if (!parsed.complete) return 0;
    trace_digest expected = w.sink.digest();
    const bool found = parsed.found;

    const std::string src = w.path("src.jpg");
    const std::string cut = src + ".app1";
    const std::string app1 = w.path("in.app1");
    const std::string out = w.path("out.jpg");
    write_bytes(src, data, size);

    // The same trace read through the file reader, then the one message.
    int status = w.run({"segsplice", src, "-d"});
    if (!found) {
        static const char NO_MARKER[] = "can't find app1 maker. Abort.\n";
        expected.add(NO_MARKER, sizeof NO_MARKER - 1);
    }
    check(status == 0, "parse-only run failed");
    check(same_text(w.printed(), expected), "file trace differs from memory trace");

    // The byte map read from the file equals the one from memory.
    byte_source mapped = memory_source(bytes(data, data + size));
    std::string map = byte_map_json(build_byte_map(mapped), src);
    trace_digest expected_map;
    expected_map.add(map.data(), map.size());
    status = w.run({"segsplice", src, "-j"});
    check(status == 0 && same_text(w.printed(), expected_map), "the byte map of the file differs from memory's",
          w.printed().head);

    auto start = static_cast<std::size_t>(parsed.info.start_address);
    std::size_t end = start + parsed.info.app1_length;
    std::size_t rest = std::min(end, size);

    // Cut: exactly the segment, or an untouched target and one message.
    write_bytes(cut, OLD_TARGET.data(), OLD_TARGET.size());
    status = w.run({"segsplice", src, "-r"});
    bytes got;
    check(read_bytes(cut, got), "cut target vanished");
    if (!found) {
        check(status == 0 && got == OLD_TARGET, "cut without a marker touched its target");
    } else if (end <= size) {
        check(status == 0, "cut failed", w.printed().head);
        check(got == bytes(data + start, data + end), "cut holds the wrong bytes");
    } else {
        check(status == 1 && got == OLD_TARGET, "truncated cut replaced its target");
        check(w.printed().head == "app1 segment truncated [" + src + "].\n", "truncated cut message",
              w.printed().head);
    }
    check_directory(w, 2);

    // Replace with a segment of our own: the cut when it worked, so the round
    // trip must give the source back, else a slice of the input.
    bytes segment = found && end <= size ? bytes(data + start, data + end)
                                         : bytes(data, data + std::min<std::size_t>(size, 40));
    write_bytes(app1, segment.data(), segment.size());
    for (const char* mode : {"-w", "-wvireo"}) {
        write_bytes(out, OLD_TARGET.data(), OLD_TARGET.size());
        status = w.run({"segsplice", src, mode, app1, out});
        check(read_bytes(out, got), "replace target vanished");
        check(status == 0, "replace failed", w.printed().head);
        if (!found) {
            check(got == OLD_TARGET, "replace without a marker touched its target");
            continue;
        }
        bytes want;
        if (std::strcmp(mode, "-w") == 0) want.assign(data, data + start);
        else want = {0xFF, 0xD8, 0xFF, 0xE1};
        want.insert(want.end(), segment.begin(), segment.end());
        want.insert(want.end(), data + rest, data + size);
        check(got == want, "replace holds the wrong bytes", mode);
        if (std::strcmp(mode, "-w") == 0 && end <= size)
            check(got == bytes(data, data + size), "cut and replace do not round-trip");
    }
    // Insert: the segment replaces the first Exif segment, or goes right
    // after SOI; a source the walk refuses, or an APP1_FILE without a segment
    // to take, is refused and the target untouched.
    const bytes input(data, data + size);
    const walked walk = walk_bytes(input, false);
    auto check_insert = [&](const std::string& app1_name, const bytes& app1_bytes) {
        write_bytes(out, OLD_TARGET.data(), OLD_TARGET.size());
        status = w.run({"segsplice", src, "-i", app1_name, out});
        check(read_bytes(out, got), "insert target vanished");
        bytes inserted;
        if (!walk.finished || !insert_segment_of(app1_bytes, inserted)) {
            check(status == 1 && got == OLD_TARGET, "insert wrote what it had to refuse", w.printed().head);
            return;
        }
        std::size_t from = walk.has_exif ? static_cast<std::size_t>(walk.exif.offset) : 2;
        std::size_t resume = walk.has_exif ? static_cast<std::size_t>(walk.exif.offset + walk.exif.length) : 2;
        bytes want(data, data + from);
        want.insert(want.end(), {0xFF, 0xE1});
        want.insert(want.end(), inserted.begin(), inserted.end());
        want.insert(want.end(), data + resume, data + size);
        byte_source source = memory_source(input);
        mp_index index;
        if (walk.has_mpf && read_mp_index(source, walk.mpf, index)) {
            const std::int64_t length = 2 + static_cast<std::int64_t>(inserted.size());
            for (const mp_patch& patch : mp_resize_patches(index, from, resume, length, walk.image_end)) {
                std::int64_t at = patch.position < static_cast<std::int64_t>(from)
                                      ? patch.position
                                      : patch.position + length - static_cast<std::int64_t>(resume - from);
                std::copy(patch.bytes.begin(), patch.bytes.end(), want.begin() + at);
            }
        }
        check(status == 0 && got == want, "insert holds the wrong bytes", w.printed().head);
    };
    check_insert(app1, segment);
    // The input as its own donor: its Exif segment in its own place.
    check_insert(src, input);
    if (walk.finished && walk.has_exif) check(got == input, "insert from the photo itself changed it");
    check_directory(w, 4);

    // Strip: exactly the kept segments; stripping the result changes nothing.
    write_bytes(out, OLD_TARGET.data(), OLD_TARGET.size());
    status = w.run({"segsplice", src, "-s", out});
    check(read_bytes(out, got), "strip target vanished");
    if (!walk.finished) {
        check(status == 1 && got == OLD_TARGET, "strip wrote what it had to refuse", w.printed().head);
        check(w.printed().head == "not a jpeg file [" + src + "].\n", "strip refusal message", w.printed().head);
    } else {
        const bool plain = got == stripped(input, walk);
        check(status == 0 && (plain || indexes_a_gain_map(got)), "strip holds the wrong bytes", w.printed().head);
        check(w.printed().head.empty() || (plain && w.printed().head == "gain map dropped [" + src + "].\n"),
              "strip message", w.printed().head);
        const std::string again = w.path("again.jpg");
        status = w.run({"segsplice", out, "-s", again});
        bytes twice;
        check(status == 0 && read_bytes(again, twice) && twice == got, "a second strip changed the first");
        fs::remove(again);
    }
    check_directory(w, 4);

    // Location: a refusal leaves the target; otherwise the same size, every
    // changed byte now zero or a space and, before the primary's EOI, inside
    // an APP1 segment; a second run finds nothing more to do.
    write_bytes(out, OLD_TARGET.data(), OLD_TARGET.size());
    status = w.run({"segsplice", src, "-g", out});
    check(read_bytes(out, got), "location target vanished");
    if (!walk.finished || status != 0) {
        const std::string refusal = walk.finished ? "location not removed [" : "not a jpeg file [";
        check(status == 1 && got == OLD_TARGET, "location job wrote what it had to refuse", w.printed().head);
        check(w.printed().head == refusal + src + "].\n", "location refusal message", w.printed().head);
    } else {
        check(got.size() == size, "location job changed the size");
        for (std::size_t i = 0; i < size; ++i) {
            if (got[i] == data[i]) continue;
            check(got[i] == 0 || got[i] == ' ', "location job wrote a byte other than zero or a space");
            bool in_app1 = static_cast<std::int64_t>(i) >= walk.image_end;
            for (const jpeg_segment& s : walk.segments)
                in_app1 = in_app1 || (s.marker == 0xE1 && s.offset + 4 <= static_cast<std::int64_t>(i) &&
                                      static_cast<std::int64_t>(i) < s.offset + s.length);
            check(in_app1, "location job changed a byte outside the APP1 payloads");
        }
        const bool none = w.printed().head == "no location found [" + src + "].\n";
        check(none ? got == input : w.printed().head.empty() && got != input, "location message and bytes disagree",
              w.printed().head);
        const std::string again = w.path("again.jpg");
        status = w.run({"segsplice", out, "-g", again});
        bytes twice;
        check(status == 0 && read_bytes(again, twice) && twice == got, "a second location run changed the first");
        check(w.printed().head == "no location found [" + out + "].\n", "a second location run found more");
        fs::remove(again);
    }
    check_directory(w, 4);

    fs::remove(src);
    fs::remove(cut);
    fs::remove(app1);
    fs::remove(out);
    return 0;
}
