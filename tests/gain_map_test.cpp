// A phone's HDR photo through -s and -i, end to end: the gain map and the
// index to it survive a strip, and an inserted Exif segment keeps the index
// true.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <functional>

#include "fixture.h"
#include "marker_walk.h"
#include "mpf.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;
using fixture::concat;

namespace {

void set_u32(bytes& file, std::size_t at, std::uint32_t value, bool big_endian) {
    bytes field;
    fixture::put_u32(field, value, big_endian);
    std::copy(field.begin(), field.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

// What -s does with a piece of the photo.
enum class fate {
    kept,
    dropped,
    with_gain_map,  // kept only when the gain map is
    xmp,            // rewritten to the minimal packet when the gain map is kept
    mpf,            // rewritten to two entries when the gain map is kept
};

struct piece {
    bytes data;
    fate what = fate::kept;
};

struct layout {
    bool iso = false;        // ISO 21496-1 segments in both images
    bool version = false;    // hdrgm:Version in the primary's XMP
    bool directory = false;  // a container directory there
    bool big_endian = true;  // the index's byte order
    int exif_at = 1;         // the primary's Exif segment: 0 none, 1 before the index, 2 after it
    bytes gap;               // between the primary's EOI and the gain map
    std::int64_t length_error = 0;  // added to the directory's Item:Length
};

const bytes SOI = {0xFF, 0xD8}, EOI = {0xFF, 0xD9};
const bytes DQT = fixture::marker_segment(0xDB, {0x00, 0x10, 0x0B, 0x0C});
const bytes SOF = fixture::marker_segment(0xC0, {8, 0, 8, 0, 8, 1, 1, 0x11, 0});
const bytes SOS = fixture::marker_segment(0xDA, {1, 1, 0x00, 0, 0x3F, 0});
const bytes SCAN = {0x12, 0xFF, 0x00, 0xE1, 0xFF, 0xD0, 0xE1, 0x34, 0xFF, 0xD7, 0x56};
const char HDRGM[] = "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"";

std::string primary_packet(const layout& l, std::int64_t gain_map_size, std::int64_t video_size) {
    std::string p = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                    "<rdf:Description rdf:about=\"\" xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" "
                    "xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" "
                    "xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
                    "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" ";
    if (l.version) p += std::string(HDRGM) + " hdrgm:Version=\"1.0\"";
    p += " exif:GPSLatitude=\"35,40.0N\" GCamera:MotionPhoto=\"1\">";
    if (l.directory)
        p += "<Container:Directory><rdf:Seq><rdf:li rdf:parseType=\"Resource\"><Container:Item "
             "Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\" Item:Padding=\"0\"/></rdf:li>"
             "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" "
             "Item:Length=\"" + std::to_string(gain_map_size + l.length_error) + "\"/></rdf:li>"
             "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"MotionPhoto\" Item:Mime=\"video/mp4\" "
             "Item:Length=\"" + std::to_string(video_size) + "\" Item:Padding=\"0\"/></rdf:li></rdf:Seq></Container:Directory>";
    return p + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

const std::string GAIN_MAP_PACKET =
    std::string("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description ") + HDRGM +
    " hdrgm:Version=\"1.0\" hdrgm:GainMapMin=\"0\" hdrgm:GainMapMax=\"2.3\" hdrgm:Gamma=\"1\" hdrgm:OffsetSDR=\"0.015625\""
    " hdrgm:OffsetHDR=\"0.015625\" hdrgm:HDRCapacityMin=\"0\" hdrgm:HDRCapacityMax=\"2.3\""
    " hdrgm:BaseRenditionIsHDR=\"False\"/></rdf:RDF></x:xmpmeta>";

struct photo {
    std::vector<piece> primary, gain_map;
    bytes file;
    std::size_t entry2 = 0;  // file position of the index's second entry
    std::size_t gain_map_at = 0;
};

const bytes IMAGE = concat({SOI, DQT, SOF, SOS, SCAN, EOI});  // a JPEG with nothing to strip
const bytes GAIN_MAP_ISO = {0, 0, 0, 0, 0x40, 1, 2, 3, 4};

// The photo of layout l made of the JPEGs primary_image and gain_map_image,
// metadata put in after their SOI, a motion-photo video after the gain map.
photo make_photo(const layout& l, const bytes& primary_image = IMAGE, const bytes& gain_map_image = IMAGE) {
    photo p;
    const bytes video = concat({{0, 0, 0, 0x18}, fixture::text("ftypmp42"), noise(300, 7)});
    const piece exif = {concat({{0xFF, 0xE1}, fixture::camera_segment(true)}), fate::dropped};
    p.gain_map = {{SOI}, exif, {fixture::xmp_segment("<x:xmpmeta><rdf:RDF>a caption</rdf:RDF></x:xmpmeta>"), fate::dropped}};
    if (l.version || l.directory) p.gain_map.push_back({fixture::xmp_segment(GAIN_MAP_PACKET)});
    if (l.iso) p.gain_map.push_back({fixture::iso_gain_map_segment(GAIN_MAP_ISO)});
    p.gain_map.push_back({fixture::marker_segment(0xFE, fixture::text("gain")), fate::dropped});
    p.gain_map.push_back({bytes(gain_map_image.begin() + 2, gain_map_image.end())});
    bytes gain_map;
    for (const piece& x : p.gain_map) gain_map = concat({gain_map, x.data});

    const bytes placeholder(fixture::mpf_segment({{}, {}}, l.big_endian).size(), 0);
    bool hdr = l.version || l.directory;
    p.primary = {{SOI},
                 {fixture::marker_segment(0xE0, fixture::text(std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14)))}};
    if (l.exif_at == 1) p.primary.push_back(exif);
    p.primary.push_back({fixture::xmp_segment(primary_packet(l, static_cast<std::int64_t>(gain_map.size()), 312)),
                         hdr ? fate::xmp : fate::dropped});
    const std::string extension = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    p.primary.push_back({fixture::marker_segment(0xE1, concat({fixture::text(std::string("http://ns.adobe.com/xmp/extension/\0", 35)),
                                                               bytes(32, '7'), fixture::u32s({static_cast<std::uint32_t>(extension.size()), 0}, true),
                                                               fixture::text(extension)})),
                         fate::dropped});
    std::size_t mpf_at = 0;
    for (const piece& x : p.primary) mpf_at += x.data.size();
    p.primary.push_back({placeholder, fate::mpf});
    if (l.exif_at == 2) p.primary.push_back(exif);
    if (l.iso) p.primary.push_back({fixture::iso_gain_map_segment({0, 0, 0, 0}), fate::with_gain_map});
    p.primary.push_back({fixture::marker_segment(0xE2, concat({fixture::text(std::string("ICC_PROFILE\0", 12)), {1, 1, 9}}))});
    p.primary.push_back({bytes(primary_image.begin() + 2, primary_image.end())});
    bytes primary;
    for (const piece& x : p.primary) primary = concat({primary, x.data});
    p.file = fixture::two_image_file(primary, mpf_at, l.gap, gain_map, l.big_endian, video);
    p.entry2 = mpf_at + 8 + 50 + 16;
    p.gain_map_at = primary.size() + l.gap.size();
    return p;
}

// The first image's end in file: the byte after its EOI.
std::int64_t primary_end(const bytes& file, jpeg_segment* mpf = nullptr) {
    byte_source source = memory_source(file);
    marker_walk walk = start_marker_walk(source);
    jpeg_segment segment;
    while (next_segment(walk, segment))
        if (mpf && segment.id == segment_id::mpf) *mpf = segment;
    return walk.image_end;
}

}  // namespace

// Each layout, kept or dropped: the exact bytes, the message, and a second
// strip that changes nothing.
TEST(GainMap, StripKeepsWhatRenderingTheGainMapNeeds) {
    using damage = std::function<void(photo&, bool)>;
    const auto offset_to = [](std::uint32_t v) { return [v](photo& p, bool be) { set_u32(p.file, p.entry2 + 8, v, be); }; };
    const auto size_by = [](int d) {
        return [d](photo& p, bool be) {
            set_u32(p.file, p.entry2 + 4, static_cast<std::uint32_t>(p.file.size() - p.gain_map_at - 312 + d), be);
        };
    };
    const layout ultra{false, true, true, true, 1, {}, 0}, iso{true, false, false, false, 1, {}, 0},
        both{true, true, true, true, 1, {1, 2, 3}, 0}, adobe{false, true, false, false, 1, {}, 0},
        neither{false, false, true, true, 1, {}, 0}, misstated{false, true, true, true, 1, {}, 1};
    struct row {
        const char* name;
        layout l;
        bool kept;
        damage harm = nullptr;
    } rows[] = {
        {"Ultra HDR, big-endian index", ultra, true},
        {"ISO 21496-1, little-endian index", iso, true},
        {"both, the gain map after a gap", both, true},
        {"hdrgm:Version without a directory", adobe, true},
        {"no gain map: a plain strip, no message", neither, false},
        {"offset past the end", ultra, false, offset_to(0x7FFFFFF0)},
        {"offset into the primary", iso, false, offset_to(16)},
        {"offset 0", iso, false, offset_to(0)},
        {"size past the EOI", iso, false, size_by(1)},
        {"size short of the EOI", iso, false, size_by(-1)},
        {"size 0xFFFFFFFF", ultra, false, [](photo& p, bool be) { set_u32(p.file, p.entry2 + 4, 0xFFFFFFFF, be); }},
        {"directory length not the index's", misstated, false},
        {"no index", ultra, false, [](photo& p, bool) { p.file[p.entry2 - 16 - 50 - 4 + 2] = 'X'; }},
        {"no JPEG there", both, false, [](photo& p, bool) { p.file[p.gain_map_at + 1] = 0xD9; }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        photo p = make_photo(r.l);
        if (r.harm) r.harm(p, r.l.big_endian);
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", p.file);
        tool_run run = run_tool(dir.path.string(), "p.jpg -s out.jpg");
        const bool hdr = r.l.iso || r.l.version;
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, hdr && !r.kept ? "gain map dropped [p.jpg].\n" : "");
        const bytes got = read_file(dir / "out.jpg");

        bytes want, xmp;
        std::size_t mpf_at = 0;
        for (const piece& x : p.primary) {
            if (x.what == fate::kept || (r.kept && x.what == fate::with_gain_map)) want = concat({want, x.data});
            if (r.kept && x.what == fate::mpf) {
                mpf_at = want.size();
                want = concat({want, bytes(x.data.size(), 0)});
            }
            if (r.kept && x.what == fate::xmp && want.size() + 4 <= got.size()) {
                auto at = static_cast<std::ptrdiff_t>(want.size());
                xmp.assign(got.begin() + at, got.begin() + std::min<std::ptrdiff_t>(at + 2 + (got[at + 2] << 8 | got[at + 3]),
                                                                                    static_cast<std::ptrdiff_t>(got.size())));
                want = concat({want, xmp});
            }
        }
        if (r.kept) {
            const auto end = static_cast<std::uint32_t>(want.size());
            for (const piece& x : p.gain_map)
                if (x.what == fate::kept) want = concat({want, x.data});
            const auto size = static_cast<std::uint32_t>(want.size() - end);
            bytes index = fixture::mpf_segment(
                {{end, 0, 0x030000}, {size, end - static_cast<std::uint32_t>(mpf_at + 8), 0}}, r.l.big_endian);
            std::copy(index.begin(), index.end(), want.begin() + static_cast<std::ptrdiff_t>(mpf_at));
            const std::string packet(xmp.begin(), xmp.end());
            if (r.l.version) {
                EXPECT_NE(packet.find(" hdrgm:Version=\"1.0\""), std::string::npos) << packet;
                EXPECT_EQ(packet.find("GPS"), std::string::npos) << packet;
                EXPECT_EQ(packet.find("MotionPhoto"), std::string::npos) << packet;
                EXPECT_EQ(packet.find(" Item:Length=\"" + std::to_string(size) + "\"/>") != std::string::npos,
                          r.l.directory)
                    << packet;
                EXPECT_EQ(packet.find("Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>") == std::string::npos,
                          !r.l.directory)
                    << packet;
            }
        }
        EXPECT_TRUE(got == want);
        ASSERT_EQ(run_tool(dir.path.string(), "out.jpg -s again.jpg").status, 0);
        EXPECT_TRUE(read_file(dir / "again.jpg") == got) << "a second strip changed the first";
    }
}

// -i with a segment of another length: the index's first entry gets the
// primary's new size, the gain map's offset moves when the segment stands
// after the index, and nothing else changes.
TEST(GainMap, InsertKeepsTheIndexTrue) {
    const bytes longer = fixture::camera_segment(false), shorter = bytes{0x00, 0x08, 'E', 'x', 'i', 'f', 0, 0};
    struct row {
        const char* name;
        int exif_at;
        bytes segment;
    } rows[] = {
        {"Exif before the index, a longer one", 1, longer},
        {"Exif after the index, a shorter one", 2, shorter},
        {"no Exif: one after SOI", 0, shorter},
        {"the same length: nothing moves", 2, fixture::camera_segment(true)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        for (bool big_endian : {true, false}) {
            layout l{true, true, true, big_endian, r.exif_at, {}, 0};
            photo p = make_photo(l);
            scoped_temp_dir dir;
            write_file(dir / "p.jpg", p.file);
            write_file(dir / "new.app1", r.segment);
            tool_run run = run_tool(dir.path.string(), "p.jpg -i new.app1 out.jpg");
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.output, "");
            // The naive splice, then the index set to where its images now lie.
            bytes want;
            std::size_t at = 0;
            bool done = false;
            for (const piece& x : p.primary) {
                bool exif = x.data.size() > 10 && x.data[1] == 0xE1 && x.data[4] == 'E' && x.data[5] == 'x';
                if ((exif || (l.exif_at == 0 && at == 2)) && !done) {
                    want = concat({want, {0xFF, 0xE1}, r.segment});
                    done = true;
                }
                const auto from = p.file.begin() + static_cast<std::ptrdiff_t>(at);
                if (!exif) want = concat({want, bytes(from, from + static_cast<std::ptrdiff_t>(x.data.size()))});
                at += x.data.size();
            }
            want = concat({want, bytes(p.file.begin() + static_cast<std::ptrdiff_t>(at), p.file.end())});
            jpeg_segment mpf;
            const auto end = static_cast<std::uint32_t>(primary_end(want, &mpf));
            set_u32(want, static_cast<std::size_t>(mpf.offset) + 8 + 50 + 4, end, big_endian);
            set_u32(want, static_cast<std::size_t>(mpf.offset) + 8 + 50 + 16 + 8,
                    end - static_cast<std::uint32_t>(mpf.offset + 8), big_endian);
            EXPECT_TRUE(read_file(dir / "out.jpg") == want) << big_endian;
            if (r.segment == fixture::camera_segment(true)) {
                EXPECT_TRUE(want == p.file);
            }
        }
    }
}

// Real JPEGs from ImageMagick made into an HDR photo of both layouts, with
// Exif, GPS, XMP and a motion-photo video: after -s ExifTool extracts a gain
// map that decodes to the same pixels, carrying the same parameters, a
// directory length that matches it, and no other metadata. After -i with a
// shorter segment, ExifTool finds the images where they now lie.
TEST(GainMap, PeersReadTheKeptGainMap) {
    if (std::string why = missing_peers(); !why.empty()) GTEST_SKIP() << why;
    scoped_temp_dir dir;
    auto shell = [&dir](const std::string& command) { return shell_in(dir, command); };
    ASSERT_EQ(shell("/usr/bin/convert -size 64x48 gradient:'#204080-#f0c040' -quality 90 primary.jpg && "
                    "/usr/bin/convert -size 32x24 gradient: -colorspace Gray -quality 90 gain.jpg && "
                    "/usr/bin/convert gain.jpg gray:gain.gray"),
              0);
    const photo p = make_photo(layout{true, true, true, true, 1, {}, 0}, read_file(dir / "primary.jpg"),
                               read_file(dir / "gain.jpg"));
    write_file(dir / "photo.jpg", p.file);

    write_file(dir / "short.app1", {0x00, 0x08, 'E', 'x', 'i', 'f', 0, 0});
    ASSERT_EQ(run_tool(dir.path.string(), "photo.jpg -i short.app1 inserted.jpg").status, 0);
    tool_run strip = run_tool(dir.path.string(), "photo.jpg -s shared.jpg");
    EXPECT_EQ(strip.status, 0);
    EXPECT_EQ(strip.output, "");
    ASSERT_EQ(shell("exiftool -b -MPImage2 shared.jpg > kept.jpg && /usr/bin/convert kept.jpg gray:kept.gray && "
                    "exiftool -s3 -XMP-Container:DirectoryItemLength shared.jpg > length.txt && "
                    "exiftool -q -q -b -MPImage2 photo.jpg > source.jpg && exiftool -q -q -G1 -s -XMP-hdrgm:all source.jpg > before.tags && "
                    "exiftool -q -q -G1 -s -XMP-hdrgm:all kept.jpg > after.tags && "
                    "exiftool -q -q -a -G1 -s -EXIF:all -GPS:all -XMP:all -MakerNotes:all shared.jpg > left.tags && "
                    "exiftool -a -s3 -MPImageStart -MPImageLength shared.jpg > shared.mp && "
                    "exiftool -a -s3 -MPImageStart -MPImageLength inserted.jpg > inserted.mp"),
              0);
    const bytes kept = read_file(dir / "kept.jpg");
    EXPECT_FALSE(read_file(dir / "gain.gray").empty());
    EXPECT_TRUE(read_file(dir / "kept.gray") == read_file(dir / "gain.gray"));
    EXPECT_EQ(read_file(dir / "length.txt"), fixture::text(std::to_string(kept.size()) + "\n"));
    const bytes before = read_file(dir / "before.tags");
    EXPECT_EQ(count_of(std::string(before.begin(), before.end()), "[XMP-hdrgm]"), 9u) << "all nine parameters";
    EXPECT_EQ(read_file(dir / "after.tags"), read_file(dir / "before.tags"));
    const bytes iso = fixture::iso_gain_map_segment(GAIN_MAP_ISO);
    EXPECT_NE(std::search(kept.begin(), kept.end(), iso.begin(), iso.end()), kept.end());
    auto starts_and_lengths = [](std::size_t primary_size, std::size_t gain_map_size) {
        const std::string p = std::to_string(primary_size);
        return fixture::text("0\n" + p + "\n" + p + "\n" + std::to_string(gain_map_size) + "\n");
    };
    EXPECT_EQ(read_file(dir / "shared.mp"), starts_and_lengths(read_file(dir / "shared.jpg").size() - kept.size(), kept.size()));
    EXPECT_EQ(read_file(dir / "inserted.mp"),
              starts_and_lengths(p.gain_map_at - fixture::camera_segment(true).size() + 8,
                                 p.file.size() - p.gain_map_at - 312));
    const bytes left = read_file(dir / "left.tags");
    EXPECT_EQ(std::string(left.begin(), left.end()),
              "[XMP-hdrgm]     Version                         : 1.0\n"
              "[XMP-Container] DirectoryItemSemantic           : Primary\n"
              "[XMP-Container] DirectoryItemMime               : image/jpeg\n"
              "[XMP-Container] DirectoryItemSemantic           : GainMap\n"
              "[XMP-Container] DirectoryItemMime               : image/jpeg\n"
              "[XMP-Container] DirectoryItemLength             : " + std::to_string(kept.size()) + "\n");
}
