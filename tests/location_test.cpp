// -g end to end: crafted photos against the exact bytes that must change, the
// refusals that must leave the target alone, and a second run that finds
// nothing more to do.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixture.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;
using fixture::concat;

namespace {

const bytes SOI = {0xFF, 0xD8};
const bytes TAIL = {0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xD9};
enum { IFD0, EXIF, GPS, MAKERNOTE };
constexpr std::size_t TIFF_IN_SEGMENT = 10;  // FF E1, length, "Exif" 00 00

bytes app1(const bytes& payload) {
    bytes out = {0xFF, 0xE1};
    fixture::put_u16(out, static_cast<std::uint32_t>(payload.size() + 2), true);
    return concat({out, payload});
}

// A camera Exif segment, marker included, and where its GPS IFD and the
// values that follow it lie, counted from the segment's FF.
struct camera {
    bytes segment;
    std::size_t gps, gps_end;
    bool big_endian;
};

camera camera_exif(bool big_endian) {
    fixture::tiff_layout layout = fixture::camera_layout(big_endian);
    std::vector<std::uint32_t> at = fixture::directory_offsets(layout);
    return {concat({{0xFF, 0xE1}, fixture::app1_segment(fixture::build_tiff(layout))}), TIFF_IN_SEGMENT + at[GPS],
            TIFF_IN_SEGMENT + at[MAKERNOTE], big_endian};
}

// The camera segment with a 32-bit field at offset from the TIFF header set.
camera patched(camera c, std::size_t offset, std::uint32_t value) {
    bytes field;
    fixture::put_u32(field, value, c.big_endian);
    std::copy(field.begin(), field.end(), c.segment.begin() + static_cast<std::ptrdiff_t>(TIFF_IN_SEGMENT + offset));
    return c;
}

bytes zeroed(bytes b, std::size_t from, std::size_t to) {
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to), 0);
    return b;
}

bytes blanked(const camera& c) { return zeroed(c.segment, c.gps, c.gps_end); }

bytes xmp(const std::string& packet) {
    return app1(concat({fixture::text(std::string("http://ns.adobe.com/xap/1.0/\0", 29)), fixture::text(packet)}));
}

// text with each of parts replaced by as many spaces.
std::string spaced(std::string text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) {
        std::size_t at = text.find(part);
        EXPECT_NE(at, std::string::npos) << part;
        if (at != std::string::npos) text.replace(at, part.size(), std::string(part.size(), ' '));
    }
    return text;
}

const std::string RDF = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">";
const std::string RDF_END = "</rdf:RDF></x:xmpmeta>";

// Two images, each with the given segments after its SOI: the second one
// after the first's EOI, listed in the first one's MPF index.
bytes two_images(const bytes& first, const bytes& second, bool big_endian) {
    const bytes image2 = concat({SOI, second, TAIL});
    bytes mpf = fixture::mpf_segment({{0, 0, 0x030000}, {0, 0, 0}}, big_endian);
    const std::size_t mpf_at = SOI.size() + first.size();
    const std::size_t image2_at = mpf_at + mpf.size() + TAIL.size();
    const auto size1 = static_cast<std::uint32_t>(image2_at);
    mpf = fixture::mpf_segment({{size1, 0, 0x030000},
                                {static_cast<std::uint32_t>(image2.size()), static_cast<std::uint32_t>(image2_at - mpf_at - 8), 0}},
                               big_endian);
    return concat({SOI, first, mpf, TAIL, image2});
}

// An Exif segment as large as one gets: IFD0 of n GPS pointers, all to one
// GPS IFD of n entries, each pointing at the same 32000-byte value, which
// starts at the GPS IFD itself and ends inside it. Blanking it must cost
// no more than its bytes; with it, the segment before and after -g.
std::pair<bytes, bytes> crowded_exif(std::uint32_t n) {
    const std::uint32_t gps = 8 + 2 + 12 * n + 4;
    bytes tiff = {'M', 'M', 0, 0x2A, 0, 0, 0, 8};
    fixture::put_u16(tiff, n, true);
    auto add_entries = [&tiff, n](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        for (std::uint32_t i = 0; i < n; ++i) {
            for (std::uint32_t v : {std::uint32_t{tag}, std::uint32_t{type}}) fixture::put_u16(tiff, v, true);
            for (std::uint32_t v : {count, value}) fixture::put_u32(tiff, v, true);
        }
        fixture::put_u32(tiff, 0, true);
    };
    add_entries(0x8825, 4, 1, gps);
    bytes blank = concat({tiff, bytes(2 + 12 * n + 4, 0)});
    fixture::put_u16(tiff, n, true);
    add_entries(2, 5, 4000, gps);
    return {app1(concat({fixture::text(std::string("Exif\0\0", 6)), tiff})),
            app1(concat({fixture::text(std::string("Exif\0\0", 6)), blank}))};
}

}  // namespace

TEST(Location, BlanksTheGpsDataInPlaceAndRefusesWhatItCannotReach) {
    const char* const NONE = "no location found [p.jpg].\n";
    const char* const REFUSED = "location not removed [p.jpg].\n";
    const camera mm = camera_exif(true), ii = camera_exif(false);
    fixture::tiff_layout no_gps_layout = fixture::camera_layout(true);
    no_gps_layout.dirs[IFD0].entries.pop_back();
    const bytes no_gps = concat({{0xFF, 0xE1}, fixture::app1_segment(fixture::build_tiff(no_gps_layout))});
    const std::uint32_t gps = static_cast<std::uint32_t>(mm.gps - TIFF_IN_SEGMENT);
    const std::size_t gps_pointer = 8 + 2 + 12 * 8 + 8;   // IFD0's ninth entry, its value
    const std::size_t latitude = gps + 2 + 12 * 2 + 8;    // the GPS IFD's third entry, its value
    const std::size_t segment_end = mm.segment.size() - TIFF_IN_SEGMENT;

    const std::string attributes = "<rdf:Description rdf:about='' xmlns:e=\"http://ns.adobe.com/exif/1.0/\" "
                                   "xmlns:o=\"urn:other/\" e:GPSLatitude=\"35,30.0N\" o:GPSLatitude=\"keep\" "
                                   "e:ExposureTime = \"1/250\" e:GPSLongitude = '139,42.0E'/>";
    const std::string elements =
        "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>" + RDF +
        "<rdf:Description rdf:about=\"\" xmlns:exif=\"http://ns.adobe.com/exif/1.0/\">"
        "<!-- <exif:GPSLatitude> --><exif:GPSAltitude>125/10</exif:GPSAltitude>"
        "<exif:GPSAreaInformation><rdf:Alt><rdf:li xml:lang=\"x-default\">home</rdf:li></rdf:Alt>"
        "</exif:GPSAreaInformation><exif:GPSVersionID/><exif:FNumber>28/10</exif:FNumber></rdf:Description>" +
        RDF_END + "\n   <?xpacket end=\"w\"?>";
    const std::string no_exif_gps = RDF + "<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
                                          "<dc:description>GPS off</dc:description></rdf:Description>" + RDF_END;
    const std::string unclosed = RDF + "<rdf:Description xmlns:exif=\"http://ns.adobe.com/exif/1.0/\">"
                                       "<exif:GPSLatitude>35N</rdf:Description>" + RDF_END;
    const std::string as_default = RDF + "<rdf:Description><GPSLatitude xmlns=\"http://ns.adobe.com/exif/1.0/\">"
                                         "35N</GPSLatitude></rdf:Description>" + RDF_END;
    const bytes extension = app1(concat({fixture::text(std::string("http://ns.adobe.com/xmp/extension/\0", 35)),
                                         bytes(40, '0'),
                                         fixture::text("xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:GPSAltitude=\"1\"")}));
    const std::pair<bytes, bytes> crowded = crowded_exif(2700);
    struct row {
        const char* name;
        bytes source;
        const char* message;  // nullptr: done without a word
        bytes want;           // for a refusal: unused
    } rows[] = {
        {"MM", concat({SOI, mm.segment, TAIL}), nullptr, concat({SOI, blanked(mm), TAIL})},
        {"II", concat({SOI, ii.segment, TAIL}), nullptr, concat({SOI, blanked(ii), TAIL})},
        {"no GPS IFD", concat({SOI, no_gps, TAIL}), NONE, concat({SOI, no_gps, TAIL})},
        {"an empty GPS IFD", concat({SOI, blanked(mm), TAIL}), NONE, concat({SOI, blanked(mm), TAIL})},
        {"two Exif segments", concat({SOI, mm.segment, ii.segment, TAIL}), nullptr,
         concat({SOI, blanked(mm), blanked(ii), TAIL})},
        {"2700 pointers to 2700 entries of one long value", concat({SOI, crowded.first, TAIL}), nullptr,
         concat({SOI, crowded.second, TAIL})},
        {"MPF, GPS in both images", two_images(mm.segment, ii.segment, false), nullptr,
         two_images(blanked(mm), blanked(ii), false)},
        {"GPS pointer past the segment", concat({SOI, patched(mm, gps_pointer, static_cast<std::uint32_t>(segment_end)).segment, TAIL}),
         REFUSED, {}},
        {"GPS pointer into IFD0", concat({SOI, patched(mm, gps_pointer, 8).segment, TAIL}), REFUSED, {}},
        {"entries past the segment", concat({SOI, patched(mm, gps, 0x01000000).segment, TAIL}), REFUSED, {}},
        {"a value past the segment", concat({SOI, patched(mm, latitude, static_cast<std::uint32_t>(segment_end - 8)).segment, TAIL}),
         REFUSED, {}},
        {"a value on IFD0", concat({SOI, patched(mm, latitude, 20).segment, TAIL}), REFUSED, {}},
        {"XMP attributes, any prefix", concat({SOI, xmp(RDF + attributes + RDF_END), TAIL}), nullptr,
         concat({SOI, xmp(RDF + spaced(attributes, {"e:GPSLatitude=\"35,30.0N\"", "e:GPSLongitude = '139,42.0E'"}) + RDF_END), TAIL})},
        {"XMP elements, nested and empty", concat({SOI, xmp(elements), mm.segment, TAIL}), nullptr,
         concat({SOI,
                 xmp(spaced(elements, {"<exif:GPSAltitude>125/10</exif:GPSAltitude>",
                                       "<exif:GPSAreaInformation><rdf:Alt><rdf:li xml:lang=\"x-default\">home</rdf:li>"
                                       "</rdf:Alt></exif:GPSAreaInformation>",
                                       "<exif:GPSVersionID/>"})),
                 blanked(mm), TAIL})},
        {"XMP saying GPS elsewhere", concat({SOI, xmp(no_exif_gps), TAIL}), NONE, concat({SOI, xmp(no_exif_gps), TAIL})},
        {"XMP element left open", concat({SOI, xmp(unclosed), mm.segment, TAIL}), REFUSED, {}},
        {"XMP Exif as the default namespace", concat({SOI, xmp(as_default), TAIL}), REFUSED, {}},
        {"extended XMP with a GPS property", concat({SOI, mm.segment, extension, TAIL}), REFUSED, {}},
    };
    const bytes old = {'o', 'l', 'd'};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", r.source);
        write_file(dir / "out.jpg", old);
        tool_run run = run_tool(dir.path.string(), "p.jpg -g out.jpg");
        EXPECT_EQ(run.output, r.message ? r.message : "");
        const bool refused = r.message == REFUSED;
        EXPECT_EQ(run.status, refused ? 1 : 0);
        EXPECT_TRUE(read_file(dir / "out.jpg") == (refused ? old : r.want));
        EXPECT_TRUE(read_file(dir / "p.jpg") == r.source);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        if (refused) continue;
        tool_run again = run_tool(dir.path.string(), "out.jpg -g out.jpg");
        EXPECT_EQ(again.output, "no location found [out.jpg].\n");
        EXPECT_TRUE(read_file(dir / "out.jpg") == r.want) << "a second run changed the first";
    }
}

// A photo as a camera and ExifTool leave it: GPS in Exif and XMP, a
// thumbnail. ExifTool finds no GPS tag afterwards, the size is the same, and
// every changed byte became zero or a space.
TEST(Location, ExifToolFindsNoLocationAfterwards) {
    if (std::string why = missing_peers(); !why.empty()) GTEST_SKIP() << why;
    scoped_temp_dir dir;
    auto shell = [&dir](const std::string& command) { return shell_in(dir, command); };
    ASSERT_EQ(shell("convert -size 120x90 gradient:'#204080-#f0c040' -quality 90 photo.jpg && "
                    "cp photo.jpg thumb.jpg && exiftool -q -overwrite_original -Make=Kalvo -GPSLatitude=35.5 "
                    "-GPSLatitudeRef=N -GPSLongitude=139.7 -GPSLongitudeRef=E -GPSAltitude=12.5 "
                    "-XMP-exif:GPSLatitude=35.5N -XMP-dc:Title=trip '-ThumbnailImage<=thumb.jpg' photo.jpg"),
              0);
    tool_run run = run_tool(dir.path.string(), "photo.jpg -g shared.jpg");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    const bytes before = read_file(dir / "photo.jpg"), after = read_file(dir / "shared.jpg");
    ASSERT_EQ(before.size(), after.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == after[i]) continue;
        ++changed;
        EXPECT_TRUE(after[i] == 0 || after[i] == ' ') << "at " << i;
    }
    EXPECT_GT(changed, 0u);
    ASSERT_EQ(shell("exiftool -q -q -s -a -GPS:all -XMP-exif:all shared.jpg > gps.tags && "
                    "exiftool -q -q -s3 -Make -Title shared.jpg > kept.tags && "
                    "exiftool -b -ThumbnailImage photo.jpg > before.thumb && exiftool -b -ThumbnailImage shared.jpg > after.thumb"),
              0);
    EXPECT_TRUE(read_file(dir / "gps.tags").empty());
    EXPECT_TRUE(read_file(dir / "kept.tags") == fixture::text("Kalvo\ntrip\n"));
    EXPECT_FALSE(read_file(dir / "after.thumb").empty());
    EXPECT_TRUE(read_file(dir / "after.thumb") == read_file(dir / "before.thumb"));
}
