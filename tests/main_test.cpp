#include "main.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "fixture.h"
#include "kalvo.h"
#include "log.h"
#include "test_util.h"

using fixture::bytes;
using fixture::entry;

namespace {

// Every kind of entry the walk meets, with offsets worked out by hand in
// golden_trace.txt: IFD0 @8, Exif IFD @88, GPS @612, makernote @678,
// its ifd1 @732 and ifd2 @766; the TIFF header sits at file position 12.
fixture::tiff_layout golden_layout() {
    enum { IFD0, EXIF, GPS, MAKERNOTE, IFD1, IFD2 };
    fixture::tiff_layout layout;
    layout.dirs.resize(6);
    auto be32 = [](std::initializer_list<std::uint32_t> v) { return fixture::u32s(v, true); };
    layout.dirs[IFD0].entries = {
        {0x010F, 2, 6, fixture::text("Kalvo", 6)},
        {0x0112, 3, 1, 0x00010000u},
        fixture::pointer(0x8825, GPS),
        fixture::pointer(0x8769, EXIF),
        {0x011A, 5, 1, be32({72, 1})},
    };
    layout.dirs[EXIF].entries = {
        {0x9000, 7, 4, fixture::text("0231")},
        {0x829A, 5, 3, be32({1, 250, 2, 1, 3, 1})},
        {0x9204, 10, 2, be32({1, 3, 0xFFFFFFFF, 3})},
        {0x9286, 7, 300, bytes(300, 'x')},
        {0xA002, 4, 1, 640u},
        fixture::pointer(0x927C, MAKERNOTE, 7, 40),
        {0x9209, 3, 6, fixture::u16s({0x0102, 2, 3, 4, 5, 6}, true)},
        {0xA405, 1, 5, bytes{200, 1, 2, 3, 4}},
        {0x9203, 9, 5, be32({0xFFFFFFFE, 1, 2, 3, 4})},
        {0x9202, 4, 5, be32({0xFFFFFFFF, 1, 2, 3, 4})},
    };
    layout.dirs[GPS].entries = {
        {0x0000, 1, 4, bytes{2, 3, 0, 0}},
        {0x0001, 2, 2, fixture::text("N", 2)},
        {0x0002, 5, 3, be32({35, 1, 40, 1, 0, 1})},
    };
    for (int vendor : {MAKERNOTE, IFD1, IFD2}) {
        layout.dirs[vendor].force_byte_order = true;
        layout.dirs[vendor].big_endian = true;
        layout.dirs[vendor].next_link = false;
    }
    layout.dirs[MAKERNOTE].marker = fixture::text("KALVO\0\0\0", 8);
    layout.dirs[MAKERNOTE].entries = {
        fixture::pointer(0x2001, IFD2),
        fixture::pointer(0x4001, IFD1),
        {0x0010, 2, 8, fixture::text("top-lvl", 8)},
    };
    layout.dirs[IFD1].entries = {
        {0x0001, 3, 1, 0x00020000u},
        {0x0103, 5, 1, be32({1, 60})},
    };
    bytes serial = fixture::text("KV-0001");
    serial.resize(300);
    layout.dirs[IFD2].marker = fixture::text("KALVO SENSOR INFO\0\0\0", 20);
    layout.dirs[IFD2].entries = {
        {0x010F, 7, 300, serial},
        {0x0104, 4, 1, 123456u},
    };
    return layout;
}

std::string trace_of(const bytes& file) {
    return capture_trace([&] {
        byte_source source = memory_source(file);
        ASSERT_TRUE(search_app1_start(source));
        app1_info info;
        info.start_address = source_tell(source);
        logoutput("app1 start_address = %lld.\n", static_cast<long long>(info.start_address));
        get_app1_data(source, info);
    });
}

bytes jpeg_of(const fixture::tiff_layout& layout) {
    fixture::jpeg_options plain;
    plain.app0 = false;
    return fixture::jpeg(fixture::app1_segment(fixture::build_tiff(layout)), plain);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(Walk, GoldenTraceMatchesHandWrittenLayout) {
    fixture::tiff_layout layout = golden_layout();
    std::vector<std::uint32_t> offsets = {8, 88, 612, 678, 732, 766};
    ASSERT_EQ(fixture::directory_offsets(layout), offsets) << "the hand-written trace assumes these";
    std::istringstream expected(read_text(SEGSPLICE_TEST_DATA "/golden_trace.txt"));
    std::istringstream actual(trace_of(jpeg_of(layout)));
    std::string want, got;
    for (int line = 1; std::getline(expected, want); ++line) {
        ASSERT_TRUE(std::getline(actual, got)) << "trace ends before line " << line;
        ASSERT_EQ(got, want) << "at line " << line;
    }
    EXPECT_FALSE(std::getline(actual, got)) << "extra line: " << got;
}

TEST(ParseArguments, FirstModeOptionWinsAndDebugCountsOnlyBeforeIt) {
    struct row {
        std::vector<const char*> args;
        int mode;
        bool debug;
        std::string app1, output;
        const char* error;
        bool keep_times = false;
    } rows[] = {
        {{"segsplice", "p.jpg"}, MODE_NONE, false, "", "", nullptr},
        {{"segsplice", "p.jpg", "-d"}, MODE_NONE, true, "", "", nullptr},
        {{"segsplice", "p.jpg", "-r", "-d"}, MODE_CUT, false, "", "p.jpg.app1", nullptr},
        {{"segsplice", "p.jpg", "-d", "-r"}, MODE_CUT, true, "", "p.jpg.app1", nullptr},
        {{"segsplice", "p.jpg", "-r", "-w", "a", "b"}, MODE_CUT, false, "", "p.jpg.app1", nullptr},
        {{"segsplice", "p.jpg", "-w", "-r", "out.jpg"}, MODE_REPLACE, false, "-r", "out.jpg", nullptr},
        {{"segsplice", "p.jpg", "-wvireo", "a", "b", "-d"}, MODE_REPLACE_VIREO, false, "a", "b", nullptr},
        {{"segsplice", "p.jpg", "-w"}, MODE_REPLACE, false, "", "", "set input filename"},
        {{"segsplice", "p.jpg", "-w", "a.app1"}, MODE_REPLACE, false, "a.app1", "", "set output filename"},
        {{"segsplice", "-r", "p.jpg"}, MODE_CUT, false, "", "-r.app1", nullptr},
        {{"segsplice", "p.jpg", "-x", "-D", "-R"}, MODE_NONE, false, "", "", nullptr},
        {{"segsplice", "p.jpg", "-d", "-i", "a", "b"}, MODE_INSERT, true, "a", "b", nullptr},
        {{"segsplice", "p.jpg", "-i", "-w", "x", "y"}, MODE_INSERT, false, "-w", "x", nullptr},
        {{"segsplice", "p.jpg", "-i", "a.app1"}, MODE_INSERT, false, "a.app1", "", "set output filename"},
        {{"segsplice", "p.jpg", "-r", "-i"}, MODE_CUT, false, "", "p.jpg.app1", nullptr},
        {{"segsplice", "p.jpg", "-d", "-s", "out.jpg", "-r"}, MODE_STRIP, true, "", "out.jpg", nullptr},
        {{"segsplice", "p.jpg", "-s"}, MODE_STRIP, false, "", "", "set output filename"},
        {{"segsplice", "-s", "out.jpg"}, MODE_STRIP, false, "", "out.jpg", nullptr},
    };
    for (const row& r : rows) {
        run_options o = parse_arguments(static_cast<int>(r.args.size()), r.args.data());
        SCOPED_TRACE(r.args.size() > 2 ? r.args[2] : "(none)");
        EXPECT_EQ(o.mode, r.mode);
        EXPECT_EQ(o.debug, r.debug);
        EXPECT_EQ(o.keep_times, r.keep_times);
        EXPECT_EQ(o.source, r.args[1]);
        EXPECT_EQ(o.app1_file, r.app1);
        EXPECT_EQ(o.output, r.output);
        EXPECT_STREQ(o.error ? o.error : "", r.error ? r.error : "");
    }
}

TEST(MarkerScan, FindsFirstFfE1PairByPlainByteSearch) {
    struct row {
        const char* name;
        bytes file;
        bool found;
        std::int64_t start;
    } rows[] = {
        {"soi then app1", {0xFF, 0xD8, 0xFF, 0xE1, 0, 8}, true, 4},
        {"run of ff", {0x00, 0xFF, 0xFF, 0xE1}, true, 4},
        {"marker is the last two bytes", {0x12, 0xFF, 0xE1}, true, 3},
        {"last byte ff, no e1", {0xFF, 0xD8, 0xE1, 0xFF}, false, 0},
        {"e1 without ff", {0xE1, 0xFE, 0xE1}, false, 0},
        {"empty file", {}, false, 0},
        {"ff at the end of one e1 search, e1 next", {0xE1, 0x00, 0xFF, 0xE1}, true, 4},
        {"inside an app0 payload", {0xFF, 0xD8, 0xFF, 0xE0, 0, 6, 0xFF, 0xE1, 0, 0, 0xFF, 0xE1}, true, 8},
    };
    for (const row& r : rows) {
        for (bool traced : {false, true}) {
            byte_source source = memory_source(r.file);
            bool found = false;
            if (traced) capture_trace([&] { found = search_app1_start(source); });
            else found = search_app1_start(source);
            EXPECT_EQ(found, r.found) << r.name << (traced ? " traced" : "");
            if (r.found) {
                EXPECT_EQ(source_tell(source), r.start) << r.name << (traced ? " traced" : "");
            }
        }
    }
}

TEST(MarkerScan, TracesEveryByteUpToTheMarker) {
    std::string trace = capture_trace([] {
        byte_source source = memory_source({0xFF, 0xFF, 0xE1, 0x00});
        search_app1_start(source);
    });
    EXPECT_EQ(trace,
              "address:[0000] data[ff]\naddress:[0001] data[ff]\naddress:[0002] data[e1]\n"
              "find app1 marker.\n");
}

TEST(Header, FieldsFollowTheTiffByteOrderAndMissingBytesReadAsZero) {
    struct row {
        const char* name;
        bytes bytes_after_marker;
        tiff_header want;
    } rows[] = {
        {"MM", {0x01, 0x02, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0x00, 0x2A, 0, 0, 0, 8},
         {0x0102, 0x45786966, 0, 0x4D4D, 42, 8}},
        {"II", {0x01, 0x02, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x00, 0x2A, 0, 0, 0, 8},
         {0x0102, 0x45786966, 0, 0x4949, 0x2A00, 0x08000000}},
        {"garbage order reads little-endian", {0, 0, 0, 0, 0, 0, 0, 0, 'X', 'Y', 0x2A, 0x00, 8, 0, 0, 0},
         {0, 0, 0, 0x5859, 42, 8}},
        {"file ends inside the header", {0x12, 0x34, 'E'}, {0x1234, 0x45000000, 0, 0, 0, 0}},
        {"file ends at the marker", {}, {}},
    };
    for (const row& r : rows) {
        byte_source source = memory_source(r.bytes_after_marker);
        tiff_header h;
        get_app1_header(source, h);
        SCOPED_TRACE(r.name);
        EXPECT_EQ(h.app1_length, r.want.app1_length);
        EXPECT_EQ(h.exif_header, r.want.exif_header);
        EXPECT_EQ(h.byte_order, r.want.byte_order);
        EXPECT_EQ(h.fixed, r.want.fixed);
        EXPECT_EQ(h.first_ifd_address, r.want.first_ifd_address);
        EXPECT_EQ(source_tell(source), 16);
    }
}

TEST(Walk, FollowsOnlyTheNamedPointersInFixedOrder) {
    enum { IFD0, EXIF, GPS, MAKERNOTE };
    auto layout_with = [](bool be, std::vector<entry> ifd0) {
        fixture::tiff_layout layout = fixture::camera_layout(be);
        layout.dirs[IFD0].entries = std::move(ifd0);
        return layout;
    };
    struct row {
        const char* name;
        fixture::tiff_layout layout;
        bool exif, gps, makernote;
    } rows[] = {
        {"MM with both pointers", fixture::camera_layout(true), true, true, true},
        {"II with both pointers", fixture::camera_layout(false), true, true, true},
        {"no exif pointer", layout_with(true, {fixture::pointer(0x8825, GPS)}), false, true, false},
        {"makernote entry in IFD0 is not followed",
         layout_with(true, {fixture::pointer(0x927C, MAKERNOTE, 7, 40)}), false, false, false},
        {"negative exif position is skipped", layout_with(false, {{0x8769, 4, 1, 0xFFFFFF00u}}), false,
         false, false},
        {"zero count", layout_with(true, {}), false, false, false},
    };
    for (const row& r : rows) {
        std::string trace = trace_of(jpeg_of(r.layout));
        SCOPED_TRACE(r.name);
        EXPECT_EQ(count_of(trace, "exif_unique_tag_pointer"), r.exif ? 1u : 0u);
        EXPECT_EQ(count_of(trace, "gps_tag_count [5]"), r.gps ? 1u : 0u);
        EXPECT_EQ(count_of(trace, "kalvo marker [KALVO]"), r.makernote ? 1u : 0u);
        EXPECT_EQ(count_of(trace, "kalvo tag [sensor_serial2]"), r.makernote ? 1u : 0u);
        if (r.exif && r.gps) {
            EXPECT_LT(trace.find("exif_unique_tag_pointer"), trace.find("gps_tag_count"));
        }
    }
}

TEST(Walk, ReadsOnPastTheTableSoLatePointersStillCount) {
    fixture::tiff_layout layout = fixture::camera_layout(true);
    std::vector<entry> many(300, entry(0x0112, 3, 1, 0x00010000u));
    many.push_back(fixture::pointer(0x8769, 1));
    layout.dirs[0].entries = many;
    std::string trace = trace_of(jpeg_of(layout));
    EXPECT_EQ(count_of(trace, "tag [orientation]"), 300u);
    EXPECT_EQ(count_of(trace, "kalvo marker [KALVO]"), 1u);
}

TEST(Walk, HostileCountsEndQuicklyOnShortFiles) {
    // Every directory claims 65535 entries and every entry an out-of-line value.
    bytes tiff = fixture::text("MM");
    fixture::put_u16(tiff, 42, true);
    fixture::put_u32(tiff, 8, true);
    fixture::put_u16(tiff, 0xFFFF, true);
    for (std::uint16_t tag : {0x8769, 0x8825}) {
        fixture::put_u16(tiff, tag, true);
        fixture::put_u16(tiff, 7, true);
        fixture::put_u32(tiff, 0xFFFFFFFF, true);
        fixture::put_u32(tiff, 8, true);
    }
    bytes file = fixture::jpeg(fixture::app1_segment(tiff));
    auto started = std::chrono::steady_clock::now();
    std::string trace = trace_of(file);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(count_of(trace, "tag_main->tag ["), 3u * 65535u);
    EXPECT_LT(seconds, 30.0);
}

TEST(Walk, TruncatedFilesNeverReadOutOfBounds) {
    bytes whole = fixture::jpeg(fixture::app1_segment(fixture::build_tiff(golden_layout())));
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        byte_source source = memory_source(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
        if (!search_app1_start(source)) continue;
        app1_info info;
        info.start_address = source_tell(source);
        capture_trace([&] { get_app1_data(source, info); });
    }
}

TEST(Run, WithoutDebugPrintsNothingButTheMessages) {
    scoped_temp_dir dir;
    write_file(dir / "p.jpg", jpeg_of(golden_layout()));
    write_file(dir / "none.jpg", {0xFF, 0xD8, 0xFF, 0xD9});
    std::FILE* sink = temp_stream();
    set_output_stream(sink);
    std::string p = dir / "p.jpg", none = dir / "none.jpg";
    const char* parse_only[] = {"segsplice", p.c_str()};
    const char* no_marker[] = {"segsplice", none.c_str()};
    EXPECT_EQ(segsplice_main(2, parse_only), 0);
    EXPECT_EQ(segsplice_main(2, no_marker), 0);
    set_output_stream(nullptr);
    long size = std::ftell(sink);
    std::fclose(sink);
    EXPECT_EQ(size, static_cast<long>(sizeof "can't find app1 maker. Abort.\n" - 1));
}

// A directory at a negative position is empty, whichever directory it is: its
// count is never pieced together from the zeros before the file and the
// file's first bytes (all 0xFF here, so any such read shows).
TEST(Walk, DirectoriesAtNegativePositionsReadAsEmpty) {
    const bytes ones(64, 0xFF);
    struct row {
        const char* name;
        std::function<void(byte_source&)> read;
        const char* count_line;
    } rows[] = {
        {"IFD0 at -1", [](byte_source& s) { walk_exif_directories(s, true, 12, 0xFFFFFFF3u); },
         "exif_header->tag_count [0000]\n"},
        {"IFD0 at the most negative position", [](byte_source& s) { walk_exif_directories(s, false, 0, 0x80000000u); },
         "exif_header->tag_count [0000]\n"},
        {"ifd1 at -2", [](byte_source& s) { get_kalvo_ifd1_data(s, INT32_MAX, INT32_MAX); },
         "kalvo ifd1 tagcount [0]\n"},
        {"ifd2 whose count would start at -1", [](byte_source& s) { get_kalvo_ifd2_data(s, INT32_MAX, 0x7FFFFFECu); },
         "kalvo ifd2 tagcount [0]\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        byte_source source = memory_source(ones);
        std::string trace = capture_trace([&] { r.read(source); });
        EXPECT_EQ(count_of(trace, r.count_line), 1u) << trace.substr(0, 300);
        EXPECT_EQ(count_of(trace, "tag_main->tag"), 0u);
    }
}
