// End to end: the real binary in a scratch directory.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fixture.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;
using fixture::concat;

namespace {

const bytes TAIL = {0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xD9};

// Scripts may compare it: it stays byte for byte what it has always been.
const char USAGE[] =
    "\nusage:\nsegsplice SRCFILE -r\nsegsplice SRCFILE -w APP1_FILE OUTPUT_FILE\n"
    "segsplice SRCFILE -wvireo APP1_FILE OUTPUT_FILE\n\n"
    "-r      : cut out APP1_header from SRCFILE, and write it to FILENAME.app1\n"
    "-w      : replace APP1_header of SRCFILE to APP1_FILE and output to OUTPUT_FILE\n"
    "-wvireo : almost same as \"-w\" option (for Kalvo Vireo Loom viewer)\n";

}  // namespace

TEST(Cli, CutThenReplaceReproducesTheSource) {
    struct row {
        const char* name;
        bool app0, big_endian;
        std::size_t padding;
    } rows[] = {
        {"with APP0", true, true, 0},
        {"without APP0", false, false, 0},
        {"marker beyond the 102400-byte buffer", true, true, 150000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        fixture::jpeg_options options;
        options.app0 = r.app0;
        options.padding = r.padding;
        bytes segment = fixture::camera_segment(r.big_endian);
        bytes source = fixture::jpeg(segment, options);
        write_file(dir / "p.jpg", source);
        tool_run cut = run_tool(dir.path.string(), "p.jpg -r");
        EXPECT_EQ(cut.status, 0);
        EXPECT_EQ(cut.output, "");
        EXPECT_EQ(read_file(dir / "p.jpg.app1"), segment);
        tool_run replace = run_tool(dir.path.string(), "p.jpg -w p.jpg.app1 out.jpg");
        EXPECT_EQ(replace.status, 0);
        EXPECT_EQ(read_file(dir / "out.jpg"), source);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

TEST(Cli, ReplaceModesWriteTheExpectedBytes) {
    bytes old_segment = fixture::camera_segment(true);
    bytes longer = concat({fixture::camera_segment(false), bytes(100, 0x55)});
    bytes app0 = {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    bytes bare_head = {0xFF, 0xD8, 0xFF, 0xE1};
    bytes app0_head = concat({{0xFF, 0xD8}, app0, {0xFF, 0xE1}});
    fixture::jpeg_options no_app0;
    no_app0.app0 = false;
    struct row {
        const char* name;
        bytes source, app1;
        const char* mode;
        bytes want;
    } rows[] = {
        {"-w keeps APP0", fixture::jpeg(old_segment), longer, "-w", concat({app0_head, longer, TAIL})},
        {"-wvireo drops APP0", fixture::jpeg(old_segment), longer, "-wvireo", concat({bare_head, longer, TAIL})},
        {"-w on a bare start", fixture::jpeg(old_segment, no_app0), longer, "-w", concat({bare_head, longer, TAIL})},
        {"-wvireo on a bare start", fixture::jpeg(old_segment, no_app0), longer, "-wvireo",
         concat({bare_head, longer, TAIL})},
        {"empty APP1_FILE", fixture::jpeg(old_segment), {}, "-w", concat({app0_head, TAIL})},
        {"shorter APP1_FILE", fixture::jpeg(old_segment), {0, 4, 1, 2}, "-wvireo",
         concat({bare_head, {0, 4, 1, 2}, TAIL})},
        {"-i with an APP1 present is -w", fixture::jpeg(old_segment), {0, 8, 'E', 'x', 'i', 'f', 0, 0}, "-i",
         concat({app0_head, {0, 8, 'E', 'x', 'i', 'f', 0, 0}, TAIL})},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", r.source);
        write_file(dir / "new.app1", r.app1);
        tool_run run = run_tool(dir.path.string(), std::string("p.jpg ") + r.mode + " new.app1 out.jpg");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(read_file(dir / "out.jpg"), r.want);
    }
}

TEST(Cli, FailuresPrintTheirMessageAndTouchNothing) {
    const bytes existing = {'o', 'l', 'd'};
    struct row {
        const char* args;
        std::string output;
        int status;
    } rows[] = {
        {"", USAGE, 1},
        {"--version", "segsplice " SEGSPLICE_VERSION "\n", 0},
        {"--version -r", "file open error.\n", 1},
        {"--help", "can't find app1 maker. Abort.\n", 0},  // a file of that name is a source
        {"p.jpg -w", "set input filename\n", 1},
        {"p.jpg -wvireo keep.app1", "set output filename\n", 1},
        {"missing.jpg -r", "file open error.\n", 1},
        {"-r p.jpg", "file open error.\n", 1},
        {"adir -r", "file open error.\n", 1},
        {"nomarker.jpg -r", "can't find app1 maker. Abort.\n", 0},
        {"nomarker.jpg -d -w keep.app1 keep.jpg",
         "address:[0000] data[ff]\naddress:[0001] data[d8]\naddress:[0002] data[ff]\naddress:[0003] data[e0]\n"
         "address:[0004] data[ff]\naddress:[0005] data[d9]\naddress:[0006] data[ff]\n"
         "can't find app1 maker. Abort.\n",
         0},
        {"short.jpg -r", "app1 segment truncated [short.jpg].\n", 1},
        {"short.jpg -w keep.app1 keep.jpg", "", 0},
        {"p.jpg -r -x", "output file open error [p.jpg.app1].\n", 1},
        {"p.jpg -w keep.app1 adir", "output file open error 1 [adir].\n", 1},
        {"p.jpg -wvireo keep.app1 nodir/out.jpg", "output file open error 1 [nodir/out.jpg].\n", 1},
        {"p.jpg -w missing.app1 keep.jpg", "app1 file open error 2 [missing.app1].\n", 1},
        {"p.jpg -w adir keep.jpg", "app1 file open error 2 [adir].\n", 1},
        {"p.jpg -w missing.app1 adir", "output file open error 1 [adir].\n", 1},
        {"p.jpg -i", "set input filename\n", 1},
        {"bare.jpg -i missing.app1 adir", "output file open error 1 [adir].\n", 1},
        {"bare.jpg -i missing.app1 keep.jpg", "app1 file open error 2 [missing.app1].\n", 1},
        {"bare.jpg -i keep.app1 keep.jpg", "app1 file length error [keep.app1].\n", 1},
        {"nomarker.jpg -i keep.app1 keep.jpg", "not a jpeg file [nomarker.jpg].\n", 1},
        {"p.jpg -g", "set output filename\n", 1},
        {"p.jpg -g adir", "output file open error 1 [adir].\n", 1},
        {"short.jpg -g keep.jpg", "not a jpeg file [short.jpg].\n", 1},
        {"p.jpg -s", "set output filename\n", 1},
        {"p.jpg -s adir", "output file open error 1 [adir].\n", 1},
        {"short.jpg -s keep.jpg", "not a jpeg file [short.jpg].\n", 1},
        {"nomarker.jpg -d -s keep.jpg",
         "address:[0000] data[ff]\naddress:[0001] data[d8]\naddress:[0002] data[ff]\naddress:[0003] data[e0]\n"
         "address:[0004] data[ff]\naddress:[0005] data[d9]\naddress:[0006] data[ff]\n"
         "not a jpeg file [nomarker.jpg].\n",
         1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args);
        scoped_temp_dir dir;
        bytes source = fixture::jpeg(fixture::camera_segment(true));
        write_file(dir / "p.jpg", source);
        fs::create_directory(dir / "p.jpg.app1");  // so that "-r" on p.jpg cannot write
        fs::create_directory(dir / "adir");
        write_file(dir / "nomarker.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xD9, 0xFF});
        write_file(dir / "bare.jpg", {0xFF, 0xD8, 0xFF, 0xD9});
        write_file(dir / "--help", {0xFF, 0xD8, 0xFF, 0xD9});
        bytes short_source(source.begin(), source.begin() + 100);
        write_file(dir / "short.jpg", short_source);
        write_file(dir / "keep.app1", existing);
        write_file(dir / "keep.jpg", existing);
        write_file(dir / "short.jpg.app1", existing);
        tool_run run = run_tool(dir.path.string(), r.args);
        EXPECT_EQ(run.output, r.output);
        EXPECT_EQ(run.status, r.status);
        EXPECT_EQ(read_file(dir / "p.jpg"), source);
        EXPECT_EQ(read_file(dir / "keep.app1"), existing);
        EXPECT_EQ(read_file(dir / "short.jpg.app1"), existing);
        if (r.status != 0) {
            EXPECT_EQ(read_file(dir / "keep.jpg"), existing);
        }
        EXPECT_FALSE(fs::exists(dir / "missing.app1.app1"));
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        EXPECT_TRUE(fs::is_empty(dir / "adir"));
    }
}

// Standard output as it always was; the reason, or the warning, beside it on
// standard error.
TEST(Cli, EveryProblemSaysWhyOnStandardError) {
    const std::string NOTHING = "segsplice: nothing to do: give -r, -w, -wvireo, -i, -s, -g, -d, -j; segsplice --help\n";
    const std::string ONE_FILE =
        "segsplice: only the first file is read; segsplice takes one photo per run, see \"Many photos\" in the README\n";
    struct row {
        const char* args;
        std::string output;
        std::string error;
        int status;
    } rows[] = {
        {"", USAGE, "segsplice: every option and the exit statuses: segsplice --help\n", 1},
        {"missing.jpg -r", "file open error.\n", "segsplice: missing.jpg: No such file or directory\n", 1},
        {"adir -r", "file open error.\n", "segsplice: adir: Is a directory\n", 1},
        {"-r p.jpg", "file open error.\n",
         "segsplice: ignored argument [p.jpg]\nsegsplice: -r: No such file or directory\n", 1},
        {"p.jpg -w keep.app1 adir", "output file open error 1 [adir].\n", "segsplice: adir: Is a directory\n", 1},
        {"p.jpg -s nodir/out.jpg", "output file open error 1 [nodir/out.jpg].\n",
         "segsplice: nodir/out.jpg: No such file or directory\n", 1},
        {"p.jpg -w missing.app1 out.jpg", "app1 file open error 2 [missing.app1].\n",
         "segsplice: missing.app1: No such file or directory\n", 1},
        {"p.jpg -w", "set input filename\n", "segsplice: -w takes APP1_FILE and OUTPUT_FILE; segsplice --help\n", 1},
        {"nomarker.jpg -r", "can't find app1 maker. Abort.\n",
         "segsplice: nomarker.jpg: no FF E1 marker in the file: it has no APP1 segment\n", 0},
        {"short.jpg -r", "app1 segment truncated [short.jpg].\n",
         "segsplice: short.jpg: length field 662 past the end of the file\n", 1},
        {"nomarker.jpg -s out.jpg", "not a jpeg file [nomarker.jpg].\n",
         "segsplice: nomarker.jpg: length field 65497 past the end of the file, at offset 2\n", 1},
        {"png.jpg -s out.jpg", "not a jpeg file [png.jpg].\n", "segsplice: png.jpg: not a JPEG: no FF D8 at the start\n", 1},
        {"noeoi.jpg -s out.jpg", "not a jpeg file [noeoi.jpg].\n",
         "segsplice: noeoi.jpg: the file ends before the image does (no FF D9), after offset 2\n", 1},
        {"bare.jpg -i keep.app1 out.jpg", "app1 file length error [keep.app1].\n",
         "segsplice: keep.app1: length field 28524, but the side file holds 3 bytes\n", 1},
        {"bare.jpg -i xmp.app1 out.jpg", "app1 file is not exif [xmp.app1].\n",
         "segsplice: xmp.app1: the segment holds XMP, not Exif\n", 1},
        {"x.jpg -S out.jpg", "file open error.\n",
         "segsplice: ignored argument [-S]\n" + ONE_FILE + NOTHING + "segsplice: x.jpg: No such file or directory\n", 1},
        {"p.jpg --strip out.jpg", "", "segsplice: ignored argument [--strip]\n" + ONE_FILE + NOTHING, 0},
        {"p.jpg a.jpg b.jpg -r", "", ONE_FILE, 0},
        {"bare.jpg -r -d -k x", "can't find app1 maker. Abort.\n",
         "segsplice: -d after the mode option is ignored: put it before -r\n"
         "segsplice: -k after the mode option is ignored: put it before -r\n"
         "segsplice: ignored argument [x]\n"
         "segsplice: bare.jpg: no FF E1 marker in the file: it has no APP1 segment\n",
         0},
        {"p.jpg -k -s out.jpg", "", "", 0},
        {"-w p.jpg out.jpg", "file open error.\n", "segsplice: -w: No such file or directory\n", 1},
    };
    bytes source = fixture::jpeg(fixture::camera_segment(true));
    for (const row& r : rows) {
        SCOPED_TRACE(r.args);
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", source);
        fs::create_directory(dir / "adir");
        write_file(dir / "nomarker.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xD9, 0xFF});
        write_file(dir / "bare.jpg", {0xFF, 0xD8, 0xFF, 0xD9});
        write_file(dir / "noeoi.jpg", {0xFF, 0xD8});
        write_file(dir / "png.jpg", {0x89, 'P', 'N', 'G'});
        write_file(dir / "short.jpg", bytes(source.begin(), source.begin() + 40));
        write_file(dir / "keep.app1", {'o', 'l', 'd'});
        write_file(dir / "xmp.app1", concat({{0x00, 0x23}, fixture::text(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33))}));
        tool_run run = run_tool(dir.path.string(), r.args);
        EXPECT_EQ(run.output, r.output);
        EXPECT_EQ(run.error, r.error);
        EXPECT_EQ(run.status, r.status);
    }
}

// -i: every kind of source against every kind of APP1_FILE, side files and
// JPEG donors. Only a source the marker walk takes, and a whole side file or a
// donor with an Exif segment, give an output.
TEST(Cli, InsertPutsTheSegmentAfterSoiOrReplacesTheOneThere) {
    const char* const LENGTH_ERROR = "app1 file length error [new.app1].\n";
    const char* const NO_EXIF = "app1 file has no exif segment [new.app1].\n";
    const char* const NOT_EXIF = "app1 file is not exif [new.app1].\n";
    bytes valid = fixture::camera_segment(true);
    bytes largest = concat({{0xFF, 0xFF, 'E', 'x', 'i', 'f', 0, 0}, bytes(0xFFFF - 8, 0x20)});
    bytes wrong_length = valid;
    wrong_length[1] ^= 1;
    bytes too_long(0x10000, 0x20);
    too_long[0] = too_long[1] = 0xFF;
    bytes starts_ffd8 = concat({{0xFF, 0xD8, 'E', 'x', 'i', 'f', 0, 0}, bytes(0xFFD8 - 8, 0x20)});
    fixture::jpeg_options far;
    far.padding = 70000;
    bytes donor = fixture::jpeg(valid);
    bytes cut_after_exif(donor.begin(), donor.end() - 3);
    bytes xmp = concat({{0x00, 0x23}, fixture::text(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33))});
    struct side_row {
        const char* name;
        bytes app1;
        bytes inserted;       // what follows FF E1 in the output; empty: refused
        const char* refusal;  // the message then
    } sides[] = {
        {"valid", valid, valid, nullptr},
        {"largest valid", largest, largest, nullptr},
        {"wrong length field", wrong_length, {}, LENGTH_ERROR},
        {"too short", {0x01}, {}, LENGTH_ERROR},
        {"too long", too_long, {}, LENGTH_ERROR},
        {"side file of 65496 bytes, starting FF D8", starts_ffd8, starts_ffd8, nullptr},
        {"XMP side file", xmp, {}, NOT_EXIF},
        {"Exif without its two zero bytes", {0x00, 0x06, 'E', 'x', 'i', 'f'}, {}, NOT_EXIF},
        {"JPEG donor", donor, valid, nullptr},
        {"JPEG donor, its Exif segment past 64 KiB", fixture::jpeg(valid, far), valid, nullptr},
        {"JPEG donor broken after its Exif segment", cut_after_exif, valid, nullptr},
        {"JPEG donor with XMP only", fixture::jpeg(xmp), {}, NO_EXIF},
        {"broken JPEG donor", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x40, 'E', 'x', 'i', 'f', 0, 0}, {}, NO_EXIF},
    };
    bytes app0 = {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    bytes old_segment = fixture::camera_segment(false);
    bytes with_app1 = fixture::jpeg(old_segment);
    auto after_soi = [](const bytes& source) {
        return [source](const bytes& app1) {
            return concat({{0xFF, 0xD8, 0xFF, 0xE1}, app1, bytes(source.begin() + 2, source.end())});
        };
    };
    struct source_row {
        const char* name;
        bytes source;
        std::function<bytes(const bytes&)> want;  // empty: refused as not a JPEG
    } sources[] = {
        {"APP0, no APP1", concat({{0xFF, 0xD8}, app0, TAIL}), after_soi(concat({{0xFF, 0xD8}, app0, TAIL}))},
        {"no other segment", concat({{0xFF, 0xD8}, TAIL}), after_soi(concat({{0xFF, 0xD8}, TAIL}))},
        {"SOI only, no EOI", {0xFF, 0xD8}, nullptr},
        {"APP1 present", with_app1,
         [&](const bytes& app1) { return concat({{0xFF, 0xD8}, app0, {0xFF, 0xE1}, app1, TAIL}); }},
        {"not a JPEG", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, nullptr},
        {"empty", {}, nullptr},
    };
    for (const source_row& source : sources) {
        for (const side_row& side : sides) {
            SCOPED_TRACE(std::string(source.name) + " / " + side.name);
            scoped_temp_dir dir;
            write_file(dir / "p.jpg", source.source);
            write_file(dir / "new.app1", side.app1);
            write_file(dir / "out.jpg", {'o', 'l', 'd'});
            tool_run run = run_tool(dir.path.string(), "p.jpg -i new.app1 out.jpg");
            bool done = source.want && !side.inserted.empty();
            EXPECT_EQ(run.output, !source.want ? "not a jpeg file [p.jpg].\n" : done ? "" : side.refusal);
            EXPECT_EQ(run.status, done ? 0 : 1);
            EXPECT_TRUE(read_file(dir / "out.jpg") == (done ? source.want(side.inserted) : bytes({'o', 'l', 'd'})));
            EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        }
    }
}

// The usual case for -i: an editor threw the Exif block away, the camera's
// original still has it. The block goes back in place, readable by ExifTool,
// and the image decodes to the same pixels.
TEST(Cli, InsertRestoresTheExifBlockOfAStrippedPhoto) {
#ifdef _WIN32
    GTEST_SKIP() << "the peers (ImageMagick, ExifTool) run in the Linux build";
#endif
    if (!fs::exists("/usr/bin/convert")) GTEST_SKIP() << "needs ImageMagick (Debian package imagemagick)";
    scoped_temp_dir dir;
    auto shell = [&dir](const std::string& command) {
        return std::system(("cd '" + dir.path.string() + "' && " + command).c_str());
    };
    fs::copy_file(SEGSPLICE_SAMPLE, dir / "donor.jpg");
    ASSERT_EQ(shell("/usr/bin/convert -size 80x60 gradient:'#204080-#f0c040' -strip edited.jpg"), 0);
    bytes stripped = read_file(dir / "edited.jpg");
    ASSERT_EQ(run_tool(dir.path.string(), "donor.jpg -r").status, 0);
    bytes segment = read_file(dir / "donor.jpg.app1");

    tool_run insert = run_tool(dir.path.string(), "edited.jpg -i donor.jpg.app1 edited.jpg");
    EXPECT_EQ(insert.status, 0);
    EXPECT_EQ(insert.output, "");
    bytes restored = read_file(dir / "edited.jpg");
    EXPECT_TRUE(restored == concat({{0xFF, 0xD8, 0xFF, 0xE1}, segment, bytes(stripped.begin() + 2, stripped.end())}));
    // Run again, it replaces the segment it put there: still one copy. The
    // original itself as the donor gives the same bytes as its side file.
    ASSERT_EQ(run_tool(dir.path.string(), "edited.jpg -i donor.jpg.app1 again.jpg").status, 0);
    EXPECT_TRUE(read_file(dir / "again.jpg") == restored);
    write_file(dir / "fresh.jpg", stripped);
    ASSERT_EQ(run_tool(dir.path.string(), "fresh.jpg -i donor.jpg fresh.jpg").status, 0);
    EXPECT_TRUE(read_file(dir / "fresh.jpg") == restored);

    write_file(dir / "stripped.jpg", stripped);
    ASSERT_EQ(shell("/usr/bin/convert stripped.jpg rgb:stripped.rgb && /usr/bin/convert edited.jpg rgb:edited.rgb"), 0);
    EXPECT_FALSE(read_file(dir / "edited.rgb").empty());
    EXPECT_TRUE(read_file(dir / "edited.rgb") == read_file(dir / "stripped.rgb"));

    if (!fs::exists("/usr/bin/exiftool")) GTEST_SKIP() << "tags not compared: needs ExifTool (libimage-exiftool-perl)";
    ASSERT_EQ(shell("exiftool -s3 -Make -Model donor.jpg > donor.tags && exiftool -s3 -Make -Model edited.jpg > edited.tags"), 0);
    EXPECT_EQ(read_file(dir / "donor.tags"), fixture::text("Kalvo\nVireo Loom\n"));
    EXPECT_EQ(read_file(dir / "edited.tags"), read_file(dir / "donor.tags"));
}

namespace {

// A piece of a crafted photo and what -i and -s make of it.
enum class role {
    image,     // copied by both
    metadata,  // dropped by -s, kept by -i
    exif,      // the first Exif segment: replaced by -i, by the orientation segment or nothing by -s
    trailer,   // after EOI: kept by -i, dropped by -s
};

struct piece {
    bytes data;
    role what = role::image;
    bytes stripped_to = {};  // what -s writes for a metadata piece, when not nothing
};

piece seg(std::uint8_t marker, const bytes& payload, role what = role::image) {
    bytes data = {0xFF, marker};
    fixture::put_u16(data, static_cast<std::uint32_t>(payload.size() + 2), true);
    data.insert(data.end(), payload.begin(), payload.end());
    return {data, what};
}

bytes id_and(const std::string& identifier, const bytes& rest) {
    return concat({bytes(identifier.begin(), identifier.end()), rest});
}

// An Exif segment whose IFD0 holds a make and, unless 0, an orientation of
// the given type (a 16- or a 32-bit integer).
piece exif_piece(int orientation, bool big_endian = true, role what = role::exif, std::uint16_t type = 3) {
    fixture::tiff_layout layout;
    layout.big_endian = big_endian;
    layout.dirs.resize(1);
    layout.dirs[0].entries = {{0x010F, 2, 6, fixture::text("Kalvo", 6)}};
    auto value = static_cast<std::uint32_t>(orientation);
    bool wide = type == 4 || type == 9;
    if (orientation) layout.dirs[0].entries.push_back({0x0112, type, 1, big_endian && !wide ? value << 16 : value});
    return {concat({{0xFF, 0xE1}, fixture::app1_segment(fixture::build_tiff(layout))}), what};
}

// The 36 bytes -s writes for an orientation, as written out by hand.
bytes upright_segment(int n) {
    return {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0x00, 0x00, 'M', 'M', 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,
            0x00, 0x01, 0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(n),
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}

}  // namespace

// The shapes that fooled the byte scan or that a strip must get right, each
// run through -i, -s and -g, with -d: exact bytes, status, and on refusal an
// untouched target; the trace is the one every run prints, and nothing more.
TEST(Cli, InsertAndStripWalkTheSegments) {
    const piece SOI = {{0xFF, 0xD8}}, EOI = {{0xFF, 0xD9}};
    const piece JFIF = seg(0xE0, id_and(std::string("JFIF\0", 5), {1, 1, 0, 0, 1, 0, 1, 0, 0}));
    const piece ICC = seg(0xE2, id_and(std::string("ICC_PROFILE\0", 12), {1, 1, 0x10, 0x20}));
    const piece ADOBE = seg(0xEE, id_and("Adobe", {0, 100, 0, 0, 0, 0, 1}));
    const piece DQT = seg(0xDB, {0x00, 0x10, 0x0B, 0x0C});
    const piece SOF = seg(0xC0, {8, 0, 8, 0, 8, 1, 1, 0x11, 0});
    const piece DHT = seg(0xC4, {0x00, 0x01, 0x00});
    const piece SOS = seg(0xDA, {1, 1, 0x00, 0, 0x3F, 0});
    const piece SCAN = {{0x12, 0xFF, 0x00, 0xE1, 0xFF, 0xD0, 0xE1, 0x34, 0xFF, 0xD7, 0x56}};
    const piece XMP = seg(0xE1, id_and(std::string("http://ns.adobe.com/xap/1.0/\0", 29), fixture::text("<x/>")),
                          role::metadata);
    const piece COMMENT = seg(0xFE, {'c', 'a', 'f', 0xFF, 0xE1, ' ', 'n', 'o', 't', 'e'}, role::metadata);
    // A 2x1 RGB thumbnail in JFIF, and a JPEG one in JFXX.
    piece JFIF_THUMBNAIL = seg(0xE0, id_and(std::string("JFIF\0", 5), {1, 2, 1, 0, 72, 0, 72, 2, 1, 9, 8, 7, 6, 5, 4}),
                               role::metadata);
    JFIF_THUMBNAIL.stripped_to = seg(0xE0, id_and(std::string("JFIF\0", 5), {1, 2, 1, 0, 72, 0, 72, 0, 0})).data;
    const piece JFXX = seg(0xE0, id_and(std::string("JFXX\0", 5), {0x10, 0xFF, 0xD8, 0xFF, 0xD9}), role::metadata);
    struct row {
        const char* name;
        std::vector<piece> pieces;
        int orientation = 0;  // what -s keeps of the Exif segment
        bool refused = false;
    } rows[] = {
        {"an editor's comment holding FF E1", {SOI, COMMENT, DQT, SOF, DHT, SOS, SCAN, EOI}},
        {"APP0 holding FF E1", {SOI, seg(0xE0, id_and(std::string("JFIF\0", 5), {1, 2, 0xFF, 0xE1, 0})), SOS, SCAN, EOI}},
        {"ICC profile holding FF E1", {SOI, seg(0xE2, id_and(std::string("ICC_PROFILE\0", 12), {1, 1, 0xFF, 0xE1})),
                                       exif_piece(0), EOI}},
        {"tables holding FF E1", {SOI, seg(0xDB, {0x00, 0xFF, 0xE1, 0x01}), SOS, SCAN, EOI}},
        {"nothing to drop, no FF E1 anywhere", {SOI, JFIF, ICC, ADOBE, DQT, SOF, DHT, SOS, SCAN, EOI}},
        {"XMP only", {SOI, JFIF, XMP, DQT, SOS, SCAN, EOI}},
        {"two Exif segments", {SOI, exif_piece(6), exif_piece(3, true, role::metadata), EOI}, 6},
        {"fill bytes", {SOI, {{0xFF, 0xFF}}, exif_piece(0), {{0xFF}}, COMMENT, SOS, SCAN, {{0xFF, 0xFF}}, EOI}},
        {"standalone markers", {SOI, {{0xFF, 0x01}}, exif_piece(8, false), DQT, SOS, SCAN, EOI}, 8},
        {"progressive, Exif between the scans",
         {SOI, seg(0xC2, {8, 0, 8, 0, 8, 1, 1, 0x11, 0}), DHT, SOS, SCAN, exif_piece(5), DHT, SOS, SCAN, COMMENT,
          SOS, SCAN, EOI},
         5},
        {"MPO-style second frame and trailer",
         {SOI, exif_piece(0), seg(0xE2, id_and(std::string("MPF\0", 4), {'M', 'M', 0, 0x2A}), role::metadata), SOS, SCAN,
          EOI, {concat({SOI.data, exif_piece(0).data, SOS.data, SCAN.data, EOI.data}), role::trailer},
          {fixture::text("phone trailer"), role::trailer}}},
        {"IPTC, Adobe and unknown APPn",
         {SOI, JFIF, exif_piece(6), seg(0xED, id_and(std::string("Photoshop 3.0\0", 14), {'8', 'B', 'I', 'M'}), role::metadata),
          ADOBE, seg(0xEF, {1, 2, 3}, role::metadata), seg(0xE0, fixture::text("AVI1"), role::metadata), EOI},
         6},
        {"a length past the end", {SOI, JFIF, {{0xFF, 0xE1, 0x00, 0x40, 'E', 'x', 'i', 'f', 0, 0}}, EOI}, 0, true},
        {"a length below 2", {SOI, {{0xFF, 0xFE, 0x00, 0x01}}, EOI}, 0, true},
        {"entropy data to the end", {SOI, exif_piece(6), SOS, SCAN}, 0, true},
        {"not a JPEG", {{{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}}}, 0, true},
        {"JFIF and JFXX thumbnails", {SOI, JFIF_THUMBNAIL, JFXX, exif_piece(6), DQT, SOS, SCAN, EOI}, 6},
        {"Orientation as SSHORT", {SOI, exif_piece(8, true, role::exif, 8), EOI}, 8},
        {"Orientation as LONG", {SOI, exif_piece(3, false, role::exif, 4), EOI}, 3},
    };
    const bytes old = {'o', 'l', 'd'};
    const bytes side = fixture::camera_segment(true);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bytes source, inserted, stripped;
        bool has_exif = false;
        for (const piece& p : r.pieces) {
            source.insert(source.end(), p.data.begin(), p.data.end());
            bool first_exif = p.what == role::exif && !has_exif;
            has_exif = has_exif || first_exif;
            inserted = concat({inserted, first_exif ? concat({{0xFF, 0xE1}, side}) : p.data});
            if (p.what == role::image) stripped = concat({stripped, p.data});
            stripped = concat({stripped, p.stripped_to});
            if (first_exif && r.orientation) stripped = concat({stripped, upright_segment(r.orientation)});
        }
        if (!has_exif) inserted = concat({{0xFF, 0xD8, 0xFF, 0xE1}, side, bytes(source.begin() + 2, source.end())});
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", source);
        write_file(dir / "new.app1", side);
        std::string trace = run_tool(dir.path.string(), "p.jpg -d").output;
        const std::string no_marker = "can't find app1 maker. Abort.\n";
        if (trace.size() >= no_marker.size() && trace.compare(trace.size() - no_marker.size(), no_marker.size(), no_marker) == 0)
            trace.resize(trace.size() - no_marker.size());
        struct job {
            const char* args;
            const bytes& want;
            const char* said = "";  // when done
        } jobs[] = {{"p.jpg -d -i new.app1 out.jpg", inserted},
                    {"p.jpg -d -s out.jpg", stripped},
                    {"p.jpg -d -g out.jpg", source, "no location found [p.jpg].\n"}};
        for (const job& j : jobs) {
            SCOPED_TRACE(j.args);
            write_file(dir / "out.jpg", old);
            tool_run run = run_tool(dir.path.string(), j.args);
            EXPECT_EQ(run.output, trace + (r.refused ? "not a jpeg file [p.jpg].\n" : j.said));
            EXPECT_EQ(run.status, r.refused ? 1 : 0);
            EXPECT_TRUE(read_file(dir / "out.jpg") == (r.refused ? old : j.want));
            EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        }
        EXPECT_TRUE(read_file(dir / "p.jpg") == source);
        if (!r.refused) {
            EXPECT_EQ(run_tool(dir.path.string(), "p.jpg -s p.jpg").status, 0);
            EXPECT_TRUE(read_file(dir / "p.jpg") == stripped) << "stripped in place";
        }
    }
}

// The usual case for -s: a photo with Exif (GPS included), XMP, IPTC, a
// comment and a colour profile, shot sideways, is stripped before it is
// shared. ImageMagick decodes the same pixels, ExifTool finds the profile and
// the orientation and nothing else.
TEST(Cli, StripKeepsPixelsProfileAndOrientationOnly) {
    if (std::string why = missing_peers(); !why.empty()) GTEST_SKIP() << why;
    scoped_temp_dir dir;
    auto shell = [&dir](const std::string& command) { return shell_in(dir, command); };
    // A display profile with one tag, enough for ExifTool to read it as one.
    bytes icc = concat({fixture::u32s({160, 0, 0x02100000}, true), fixture::text("mntrRGB XYZ "), bytes(12, 0),
                        fixture::text("acsp"), bytes(28, 0), fixture::u32s({63190, 65536, 54061}, true), bytes(48, 0),
                        fixture::u32s({1}, true), fixture::text("cprt"), fixture::u32s({144, 16}, true),
                        fixture::text("text"), bytes(4, 0), fixture::text("no copy", 8)});
    ASSERT_EQ(icc.size(), 160u);
    write_file(dir / "profile.icc", icc);
    ASSERT_EQ(shell("/usr/bin/convert -size 80x60 gradient:'#204080-#f0c040' -quality 90 photo.jpg && "
                    "exiftool -q -overwrite_original '-ICC_Profile<=profile.icc' -Orientation#=6 -Make=Kalvo "
                    "-GPSLatitude=35.5 -GPSLatitudeRef=N -XMP-dc:Title=trip -IPTC:Keywords=beach -Comment=note photo.jpg"),
              0);

    tool_run strip = run_tool(dir.path.string(), "photo.jpg -s shared.jpg");
    EXPECT_EQ(strip.status, 0);
    EXPECT_EQ(strip.output, "");
    ASSERT_EQ(shell("/usr/bin/convert photo.jpg rgb:photo.rgb && /usr/bin/convert shared.jpg rgb:shared.rgb"), 0);
    EXPECT_FALSE(read_file(dir / "shared.rgb").empty());
    EXPECT_TRUE(read_file(dir / "shared.rgb") == read_file(dir / "photo.rgb"));
    ASSERT_EQ(shell("exiftool -q -q -G0 -s -EXIF:all -XMP:all -IPTC:all -GPS:all -Comment photo.jpg > before.tags && "
                    "exiftool -q -q -G0 -s -EXIF:all -XMP:all -IPTC:all -GPS:all -Comment shared.jpg > after.tags && "
                    "exiftool -b -ICC_Profile shared.jpg > shared.icc"),
              0);
    bytes before_tags = read_file(dir / "before.tags"), after_tags = read_file(dir / "after.tags");
    std::string all(before_tags.begin(), before_tags.end()), kept(after_tags.begin(), after_tags.end());
    for (const char* tag : {"Make", "GPSLatitude", "Title", "Keywords", "Comment"})
        EXPECT_NE(all.find(tag), std::string::npos) << "the photo lacks " << tag << ":\n" << all;
    EXPECT_EQ(kept, "[EXIF]          Orientation                     : Rotate 90 CW\n");
    EXPECT_TRUE(read_file(dir / "shared.icc") == icc);
}

TEST(Cli, HelpIsTheUsageTextFollowedByEveryOptionAndTheStatuses) {
    scoped_temp_dir dir;
    tool_run help = run_tool(dir.path.string(), "--help");
    EXPECT_EQ(help.status, 0);
    tool_run short_form = run_tool(dir.path.string(), "-h");
    EXPECT_EQ(short_form.output, help.output);
    EXPECT_EQ(short_form.status, 0);
    EXPECT_EQ(help.output.rfind(USAGE, 0), 0u);
    for (const char* item : {"\n  -r ", "\n  -w ", "\n  -wvireo ", "\n  -i ", "\n  -s ", "\n  -g ", "\n  -d ", "\n  -j ",
                             "\n  -k ", "\n  0 ", "\n  1 "})
        EXPECT_NE(help.output.find(item, sizeof USAGE - 1), std::string::npos) << item;
}

TEST(Cli, InPlaceReplaceKeepsPermissionBits) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows files have no permission bits to keep";
#else
    scoped_temp_dir dir;
    bytes replacement = concat({fixture::camera_segment(false), {1, 2, 3}});
    write_file(dir / "p.jpg", fixture::jpeg(fixture::camera_segment(true)));
    write_file(dir / "new.app1", replacement);
    fs::permissions(dir / "p.jpg", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    tool_run run = run_tool(dir.path.string(), "p.jpg -w new.app1 p.jpg");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir / "p.jpg"), fixture::jpeg(replacement));
    EXPECT_EQ(fs::status(dir / "p.jpg").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    bytes rebuilt = read_file(dir / "p.jpg");
    EXPECT_EQ(run_tool(dir.path.string(), "p.jpg -r").status, 0);
    tool_run onto_app1 = run_tool(dir.path.string(), "p.jpg -w p.jpg.app1 p.jpg.app1");
    EXPECT_EQ(onto_app1.status, 0);
    EXPECT_EQ(read_file(dir / "p.jpg.app1"), rebuilt);
    // The times are the new file's own, unless -k, before the mode, asks
    // for the replaced target's, to the nanosecond: past 2262 too, where
    // nanoseconds since 1970 no longer fit in 64 bits, and before 1970.
    using times = std::array<struct timespec, 2>;
    const times IN_2020 = {{{1577934245, 123456789}, {1577934246, 987654321}}};
    const times IN_2300 = {{{10413792000, 5}, {10413792000, 999999999}}};     // 2300-01-01
    const times IN_1965 = {{{-144684000, 100000000}, {-144684000, 100000000}}};  // 1965-06-01 10:00:00.1
    const struct {
        const char* args;
        times old;
        bool kept;
    } rows[] = {
        {"p.jpg -k -w new.app1 p.jpg", IN_2020, true},  {"p.jpg -w new.app1 p.jpg -k", IN_2020, false},
        {"p.jpg -w new.app1 p.jpg", IN_2020, false},    {"p.jpg -k -w new.app1 p.jpg", IN_2300, true},
        {"p.jpg -k -w new.app1 p.jpg", IN_1965, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.args) + " at " + std::to_string(r.old[1].tv_sec));
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "p.jpg").c_str(), r.old.data(), 0), 0);
        tool_run run = run_tool(dir.path.string(), r.args);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.status, 0);
        struct stat st;
        ASSERT_EQ(::stat((dir / "p.jpg").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec == r.old[1].tv_sec && st.st_mtim.tv_nsec == r.old[1].tv_nsec, r.kept);
        if (r.kept) {
            EXPECT_EQ(st.st_atim.tv_sec, r.old[0].tv_sec);
            EXPECT_EQ(st.st_atim.tv_nsec, r.old[0].tv_nsec);
        }
    }
#endif
}

TEST(Cli, WriteFailureIsReportedAndLeavesTheTargetAlone) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file-size limit to run into";
#endif
    scoped_temp_dir dir;
    fixture::jpeg_options big;
    big.padding = 300000;
    write_file(dir / "p.jpg", fixture::jpeg(fixture::camera_segment(true), big));
    write_file(dir / "p.jpg.app1", fixture::camera_segment(false));
    // 64 blocks of 1024 bytes: the 300 kB output cannot be written, into a
    // file of its own nor into a descriptor the shell opened.
    const std::pair<std::string, std::string> targets[] = {{"out.jpg", "out.jpg"}, {"/dev/fd/3 3> fd.out", "/dev/fd/3"}};
    for (const auto& [target, name] : targets) {
        SCOPED_TRACE(target);
        write_file(dir / "out.jpg", {'o', 'l', 'd'});
        tool_run run = run_tool(dir.path.string(), "p.jpg -w p.jpg.app1 " + target, "ulimit -f 64;");
        EXPECT_EQ(run.output, "output file write error [" + name + "].\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(read_file(dir / "out.jpg"), bytes({'o', 'l', 'd'}));
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

TEST(Cli, TraceOnlyWhenDebugComesBeforeTheModeAndOutputsIgnoreTheWalk) {
    scoped_temp_dir dir;
    bytes segment = fixture::camera_segment(true);
    write_file(dir / "p.jpg", fixture::jpeg(segment));
    tool_run quiet = run_tool(dir.path.string(), "p.jpg -r -d");
    EXPECT_EQ(quiet.output, "");
    tool_run traced = run_tool(dir.path.string(), "p.jpg -d -r");
    EXPECT_EQ(traced.output.rfind("address:[0000] data[ff]\n", 0), 0u);
    EXPECT_NE(traced.output.find("kalvo ifd2 E"), std::string::npos);
    EXPECT_EQ(read_file(dir / "p.jpg.app1"), segment);
}

#ifndef _WIN32
// The targets a shell user writes to: links are followed (a dangling one
// makes the file it names), devices and the caller's own descriptors are
// written as they are, and a file the caller may write is written even when
// it may not be read or renamed over. Rows with a user run the tool as that
// user (root only); in sticky/, a folder like /tmp, the targets belong to
// someone else than the caller.
TEST(Cli, TargetsAShellUserWritesTo) {
    const bytes old = {'o', 'l', 'd'};
    const bytes source = fixture::jpeg(fixture::camera_segment(true));
    struct row {
        const char* name;
        std::function<void(const scoped_temp_dir&)> setup;
        std::string args;
        const char* file;  // where the JPEG must end up
        std::function<bytes(const bytes& trace)> want;
        bool as_other_user = false;
        const char* feed = "";  // what pipes into the tool's standard input
    } rows[] = {
        {"link to an existing file", [&](auto& d) { write_file(d / "real/out.jpg", old); fs::create_symlink("real/out.jpg", d / "link.jpg"); },
         "p.jpg -w p.jpg.app1 link.jpg", "real/out.jpg", [&](auto&) { return source; }},
        {"dangling link", [](auto& d) { fs::create_symlink("real/made.jpg", d / "link.jpg"); },
         "p.jpg -w p.jpg.app1 link.jpg", "real/made.jpg", [&](auto&) { return source; }},
        {"pipe", nullptr, "p.jpg -w p.jpg.app1 /dev/stdout | cat > piped.jpg", "piped.jpg", [&](auto&) { return source; }},
        {"append", [&](auto& d) { write_file(d / "log.bin", old); }, "p.jpg -w p.jpg.app1 /dev/stdout >> log.bin",
         "log.bin", [&](auto&) { return concat({old, source}); }},
        {"trace, then the JPEG", nullptr, "p.jpg -d -w p.jpg.app1 /dev/fd/1 > t.out", "t.out",
         [&](const bytes& trace) { return concat({trace, source}); }},
        {"/proc/self/fd", nullptr, "p.jpg -w p.jpg.app1 /proc/self/fd/1 > fd.out", "fd.out", [&](auto&) { return source; }},
        {"/proc/thread-self/fd", [&](auto& d) { write_file(d / "log.bin", old); },
         "p.jpg -w p.jpg.app1 /proc/thread-self/fd/1 >> log.bin", "log.bin", [&](auto&) { return concat({old, source}); }},
        {"write-only target", [&](auto& d) { write_file(d / "sticky/out.jpg", old); ::chown((d / "sticky/out.jpg").c_str(), 4242, 4242); ::chmod((d / "sticky/out.jpg").c_str(), 0200); },
         "p.jpg -w p.jpg.app1 sticky/out.jpg", "sticky/out.jpg", [&](auto&) { return source; }, true},
        {"another's file in a sticky folder", [&](auto& d) { write_file(d / "sticky/out.jpg", old); ::chmod((d / "sticky/out.jpg").c_str(), 0666); },
         "p.jpg -w p.jpg.app1 sticky/out.jpg", "sticky/out.jpg", [&](auto&) { return source; }, true},
        {"- for standard output", nullptr, "p.jpg -w p.jpg.app1 - | cat > dash.jpg", "dash.jpg", [&](auto&) { return source; }},
        {"- for standard input, a pipe", nullptr, "- -w p.jpg.app1 in.jpg", "in.jpg", [&](auto&) { return source; }, false,
         "cat p.jpg |"},
        {"- for standard input, a file", nullptr, "- -w p.jpg.app1 in.jpg < p.jpg", "in.jpg", [&](auto&) { return source; }},
        {"- in and out", nullptr, "- -w p.jpg.app1 - > both.jpg", "both.jpg", [&](auto&) { return source; }, false,
         "cat p.jpg |"},
        {"- for APP1_FILE", nullptr, "p.jpg -w - side.jpg", "side.jpg", [&](auto&) { return source; }, false,
         "cat p.jpg.app1 |"},
        {"a file named -", [&](auto& d) { write_file(d / "-", old); }, "p.jpg -w p.jpg.app1 ./-", "-",
         [&](auto&) { return source; }},
    };
    bool root = ::geteuid() == 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.as_other_user && !root) {
            std::cout << "[  SKIPPED ] " << r.name << ": needs root to run the tool as another user\n";
            continue;
        }
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", source);
        fs::create_directory(dir / "real");
        fs::create_directory(dir / "sticky");
        ::chmod((dir / "sticky").c_str(), 01777);
        ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -r").status, 0);
        if (r.setup) r.setup(dir);
        struct stat before = {};
        ::stat((dir / r.file).c_str(), &before);
        std::string user = r.as_other_user ? as_user(4242) : "";
        tool_run run = run_tool(dir.path.string(), r.args, user + r.feed);
        EXPECT_EQ(run.status, 0) << run.output;
        bytes trace = fixture::text(run_tool(dir.path.string(), "p.jpg -d").output);
        EXPECT_TRUE(read_file(dir / r.file) == r.want(trace));
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        if (fs::is_symlink(fs::symlink_status(dir / "link.jpg"))) {
            EXPECT_EQ(fs::read_symlink(dir / "link.jpg").parent_path(), "real") << "the link stays";
        }
        if (r.as_other_user) {
            struct stat after = {};
            ::stat((dir / r.file).c_str(), &after);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
        }
    }
    scoped_temp_dir dir;
    write_file(dir / "p.jpg", source);
    ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -r").status, 0);
    tool_run to_null = run_tool(dir.path.string(), "p.jpg -wvireo p.jpg.app1 /dev/null");
    EXPECT_EQ(to_null.status, 0);
    EXPECT_EQ(to_null.output, "");
}
#endif

TEST(Cli, AReaderThatStopsEarlyDoesNotStopTheJob) {
#ifdef _WIN32
    GTEST_SKIP() << "no SIGPIPE on Windows";
#endif
    scoped_temp_dir dir;
    fixture::tiff_layout layout = fixture::camera_layout(true);
    layout.dirs[0].entries.resize(1500, fixture::entry(0x0132, 2, 20, fixture::text("2026:12:07 12:00:00", 20)));
    bytes segment = fixture::app1_segment(fixture::build_tiff(layout));
    write_file(dir / "p.jpg", fixture::jpeg(segment));
    std::string command = "cd '" + dir.path.string() + "' && { '" SEGSPLICE_BINARY
                          "' p.jpg -d -r; echo $? > status; } | head -c 1 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file(dir / "status"), fixture::text("0\n"));
    EXPECT_EQ(read_file(dir / "p.jpg.app1"), segment);
}

// Names reach the file system as given: any Unicode name, and paths longer
// than the 260 characters Windows programs were long held to. Each is cut,
// then replaced in place while the source is open, then written over.
TEST(Cli, UnicodeAndLongNamesAreCutAndReplacedInPlace) {
    const std::string long_dirs = std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(100, 'c');
    const std::string unicode = "\xd1\x84\xd0\xbe\xd1\x82\xd0\xbe \xc3\x9f \xe5\x86\x99\xe7\x9c\x9f";
    struct row {
        std::string dirs, name;
    } rows[] = {
        {"", unicode + ".jpg"},
        {long_dirs, std::string(100, 'p') + ".jpg"},
        {long_dirs + "/" + unicode, unicode + ".jpg"},
    };
    bytes segment = fixture::camera_segment(true);
    bytes replacement = fixture::camera_segment(false);
    for (const row& r : rows) {
        std::string name = r.dirs.empty() ? r.name : r.dirs + "/" + r.name;
        SCOPED_TRACE(name);
        scoped_temp_dir dir;
        if (!r.dirs.empty()) fs::create_directories(fs::u8path(dir / r.dirs));
        write_file(dir / name, fixture::jpeg(segment));
        write_file(dir / "new.app1", replacement);
        std::string quoted = "\"" + name + "\"";
        EXPECT_EQ(run_tool(dir.path.string(), quoted + " -r").status, 0);
        EXPECT_EQ(read_file(dir / (name + ".app1")), segment);
        tool_run in_place = run_tool(dir.path.string(), quoted + " -w new.app1 " + quoted);
        EXPECT_EQ(in_place.output, "");
        EXPECT_EQ(in_place.status, 0);
        EXPECT_EQ(read_file(dir / name), fixture::jpeg(replacement));
        EXPECT_EQ(run_tool(dir.path.string(), quoted + " -w \"" + name + ".app1\" " + quoted).status, 0);
        EXPECT_EQ(read_file(dir / name), fixture::jpeg(segment));
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

// Root writes through permission bits (the fault tests protect files by other
// means); everyone else is stopped by them, and on Windows everyone is.
TEST(Cli, ReadOnlyTargetIsRefusedAndKept) {
    scoped_temp_dir dir;
    write_file(dir / "p.jpg", fixture::jpeg(fixture::camera_segment(true)));
    write_file(dir / "p.jpg.app1", {'o', 'l', 'd'});
    write_file(dir / "out.jpg", {'o', 'l', 'd'});
    for (const char* name : {"p.jpg.app1", "out.jpg"})
        fs::permissions(dir / name, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    std::string user;
#ifndef _WIN32
    // Permission bits do not stop root: as root, the tool runs as a user whom they stop.
    if (::geteuid() == 0) {
        for (const char* name : {"", "p.jpg", "p.jpg.app1", "out.jpg"})
            ASSERT_EQ(::chown((dir / name).c_str(), 4242, 4242), 0) << name;
        user = as_user(4242);
    } else if (std::ofstream(dir / "out.jpg", std::ios::app)) {
        GTEST_SKIP() << "read-only files are writable for this user";
    }
#endif
    tool_run cut = run_tool(dir.path.string(), "p.jpg -r", user);
    EXPECT_EQ(cut.output, "output file open error [p.jpg.app1].\n");
    EXPECT_EQ(cut.status, 1);
    tool_run replace = run_tool(dir.path.string(), "p.jpg -w p.jpg out.jpg", user);
    EXPECT_EQ(replace.output, "output file open error 1 [out.jpg].\n");
    EXPECT_EQ(replace.status, 1);
    EXPECT_EQ(read_file(dir / "p.jpg.app1"), bytes({'o', 'l', 'd'}));
    EXPECT_EQ(read_file(dir / "out.jpg"), bytes({'o', 'l', 'd'}));
    EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
}

// Long copies go in blocks that end where the output reaches a multiple of the
// block size, so each copy starts at a different point of a block: prefixes of
// several lengths, a replacement longer than a block and a tail of several
// blocks, all of bytes that never repeat, must land exactly.
TEST(Cli, LongCopiesLandExactlyWhereverTheBlocksBreak) {
    bytes segment = fixture::camera_segment(true);
    bytes replacement = concat({fixture::camera_segment(false), noise(300001, 12345)});
    for (std::size_t padding : {0u, 1u, 4093u}) {
        SCOPED_TRACE(padding);
        scoped_temp_dir dir;
        fixture::jpeg_options options;
        options.padding = padding;
        options.tail = concat({noise(3 * 262144 + 4099, 54321), {0xFF, 0xD9}});
        write_file(dir / "p.jpg", fixture::jpeg(segment, options));
        write_file(dir / "new.app1", replacement);
        ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -r").status, 0);
        EXPECT_EQ(read_file(dir / "p.jpg.app1"), segment);
        ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -w new.app1 out.jpg").status, 0);
        EXPECT_TRUE(read_file(dir / "out.jpg") == fixture::jpeg(replacement, options));
        ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -wvireo new.app1 vireo.jpg").status, 0);
        EXPECT_TRUE(read_file(dir / "vireo.jpg") == concat({{0xFF, 0xD8, 0xFF, 0xE1}, replacement, options.tail}));
        // out.jpg's length field covers only the camera segment: the noise
        // after it is copied on as part of what follows the segment.
        ASSERT_EQ(run_tool(dir.path.string(), "out.jpg -w p.jpg.app1 back.jpg").status, 0);
        bytes after(replacement.begin() + static_cast<long>(fixture::camera_segment(false).size()), replacement.end());
        EXPECT_TRUE(read_file(dir / "back.jpg") == fixture::jpeg(concat({segment, after}), options));
    }
}
