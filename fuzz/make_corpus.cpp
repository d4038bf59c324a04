// Writes the fuzz seed corpus: valid files in both byte orders with GPS and a
// makernote, and a few shapes that the mutator would take long to find.
//   make_fuzz_corpus DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "fixture.h"

using namespace fixture;

namespace {

bytes camera(bool big_endian, const jpeg_options& options = {}) {
    return jpeg(app1_segment(build_tiff(camera_layout(big_endian))), options);
}

bytes marker_segment(std::uint8_t marker, const std::string& payload) {
    return fixture::marker_segment(marker, text(payload));
}

void save(const std::string& dir, const std::string& name, const bytes& content) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus DIR\n");
        return 1;
    }
    std::string dir = argv[1];
    save(dir, "camera-mm.jpg", camera(true));
    save(dir, "camera-ii.jpg", camera(false));

    jpeg_options bare;
    bare.app0 = false;
    save(dir, "camera-mm-no-app0.jpg", camera(true, bare));

    // The structure straddles the reader's 64 KiB window.
    jpeg_options padded;
    padded.padding = 65000;
    save(dir, "camera-ii-window.jpg", camera(false, padded));

    bytes whole = camera(true);
    save(dir, "camera-mm-truncated.jpg", bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));

    save(dir, "no-app1.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xD9});

    // More entries than the directory tables hold, pointers last.
    for (bool be : {true, false}) {
        tiff_layout wide = camera_layout(be);
        auto& ifd0 = wide.dirs[0].entries;
        for (std::uint16_t i = 0; i < 260; ++i) ifd0.insert(ifd0.begin(), entry(0x0200 + i, 3, 1, 7u));
        auto& kalvo1 = wide.dirs[4].entries;
        for (std::uint16_t i = 0; i < 20; ++i) kalvo1.insert(kalvo1.begin(), entry(0x0001, 3, 1, 1u));
        save(dir, be ? "wide-mm.jpg" : "wide-ii.jpg", jpeg(app1_segment(build_tiff(wide))));
    }

    // Values the walk must survive: oversized counts, short rationals, offsets
    // that wrap below the file's start or run past its end.
    tiff_layout odd;
    odd.big_endian = true;
    odd.dirs.resize(2);
    odd.dirs[0].entries = {
        {0x010E, 2, 0x10000, text(std::string(300, 'x'))},
        {0x011A, 5, 1, 0xFFFFFFF0u},
        {0x0131, 7, 9, 0x7FFFFFF0u},
        {0x9204, 10, 2, 0x00000010u},
        pointer(0x8769, 1),
        {0x8825, 4, 1, 0xFFFFFF00u},
    };
    odd.dirs[1].entries = {
        {0x927C, 7, 4, 0x80000000u},
        {0x9286, 1, 5, text("abcdef")},
    };
    save(dir, "odd-values.jpg", jpeg(app1_segment(build_tiff(odd))));

    // Makernote sub-directories whose positive offsets wrap to negative
    // positions: both read as empty.
    tiff_layout wrapped = camera_layout(true);
    wrapped.dirs[3].entries = {{0x4001, 4, 1, 0x7FFFFFFFu}, {0x2001, 4, 1, 0x7FFFFFFAu}};
    save(dir, "kalvo-wrapped-offsets.jpg", jpeg(app1_segment(build_tiff(wrapped))));

    // The marker split across the file reader's 16 KiB blocks: 0xFF ends one
    // block, 0xE1 starts the next (SOI, APP0 and the comment header take 24).
    jpeg_options edge;
    edge.padding = 16384 - 1 - 24;
    save(dir, "marker-at-block-edge.jpg", camera(true, edge));

    // Values scattered over a long tail, so the walk touches more blocks than
    // the reader keeps and must evict some.
    tiff_layout scattered = camera_layout(false);
    for (std::uint32_t i = 1; i <= 12; ++i)
        scattered.dirs[0].entries.push_back(entry(0x0131, 2, 24, i * 17000));
    jpeg_options long_tail;
    long_tail.tail.assign(210000, 0x20);
    for (std::size_t i = 0; i < long_tail.tail.size(); i += 97) long_tail.tail[i] = static_cast<std::uint8_t>('A' + i % 26);
    save(dir, "scattered-values.jpg", jpeg(app1_segment(build_tiff(scattered)), long_tail));

    // Shapes for the marker walk of -i and -s: every kind of segment a strip
    // keeps or drops, fill bytes, standalone markers, several scans with
    // stuffed bytes and restarts, and a second frame after EOI.
    const bytes soi = {0xFF, 0xD8}, eoi = {0xFF, 0xD9}, fill = {0xFF, 0xFF}, tem = {0xFF, 0x01};
    const bytes sos = marker_segment(0xDA, std::string("\1\1\0\0\x3f\0", 6));
    const bytes scan = {0x12, 0xFF, 0x00, 0xE1, 0xFF, 0xD0, 0x34, 0xFF, 0xD7, 0x56};
    const bytes dht = marker_segment(0xC4, std::string("\0\1\0", 3));
    const bytes jfif = marker_segment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
    const bytes icc = marker_segment(0xE2, std::string("ICC_PROFILE\0\1\1\xff\xe1", 16));
    const bytes adobe = marker_segment(0xEE, std::string("Adobe\0\x64\0\0\0\0\1", 12));
    const bytes xmp = marker_segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33));
    const bytes comment = marker_segment(0xFE, "caf\xff\xe1 note");
    tiff_layout upright = camera_layout(true);
    upright.dirs[0].entries.insert(upright.dirs[0].entries.begin(), entry(0x0112, 3, 1, 6u << 16));
    bytes exif = concat({{0xFF, 0xE1}, app1_segment(build_tiff(upright))});
    save(dir, "walk-progressive.jpg",
         concat({soi, jfif, exif, xmp, icc, comment, marker_segment(0xC2, std::string("\x08\0\x08\0\x08\1\1\x11\0", 9)),
                 dht, sos, scan, dht, sos, scan, eoi, soi, exif, sos, scan, eoi}));
    tiff_layout sideways = camera_layout(false);
    sideways.dirs[0].entries[2] = entry(0x0112, 3, 1, u16s({8, 0}, false));  // in place of its Orientation 1
    save(dir, "walk-fill-ii.jpg",
         concat({soi, fill, tem, concat({{0xFF, 0xE1}, app1_segment(build_tiff(sideways))}), fill, adobe, sos, scan, fill, eoi}));
    save(dir, "walk-no-ffe1.jpg", concat({soi, jfif, adobe, marker_segment(0xFE, "a note"), dht, sos, scan, eoi}));

    // -g: GPS in Exif and XMP, thumbnails in JFIF and JFXX, a second image
    // with GPS of its own behind an MPF index.
    const bytes thumbnails = concat({marker_segment(0xE0, std::string("JFIF\0\1\2\1\0\x48\0\x48\1\1\x10\x20\x30", 17)),
                                     marker_segment(0xE0, std::string("JFXX\0\x10\xff\xd8\xff\xd9", 10))});
    const bytes gps_xmp = marker_segment(
        0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                  "<rdf:Description xmlns:exif='http://ns.adobe.com/exif/1.0/' exif:GPSLatitude='35N'>"
                  "<exif:GPSAltitude>12</exif:GPSAltitude></rdf:Description>");
    const bytes second = concat({soi, concat({{0xFF, 0xE1}, app1_segment(build_tiff(camera_layout(false)))}), eoi});
    const bytes first_segments = concat({thumbnails, exif, gps_xmp});
    const std::size_t mpf_at = soi.size() + first_segments.size();
    const bytes probe = mpf_segment({{0, 0, 0x030000}, {0, 0, 0}}, true);
    const std::size_t second_at = mpf_at + probe.size() + dht.size() + sos.size() + scan.size() + eoi.size();
    const bytes mpf = mpf_segment({{static_cast<std::uint32_t>(second_at), 0, 0x030000},
                                   {static_cast<std::uint32_t>(second.size()), static_cast<std::uint32_t>(second_at - mpf_at - 8), 0}},
                                  true);
    save(dir, "location-mpf-xmp.jpg", concat({soi, first_segments, mpf, dht, sos, scan, eoi, second}));
    // Phone HDR photos: a gain map after the primary's EOI, found through the
    // MPF index and described in XMP (with a container directory) or by
    // ISO 21496-1 segments, then a motion-photo video; and one whose index
    // points one byte off.
    const bytes gain_map = concat({soi, xmp_segment(gain_map_parameters()),
                                   iso_gain_map_segment({0, 0, 0, 0, 0x40, 1, 2}), dht, sos, scan, eoi});
    const std::string directory = gain_map_directory(gain_map.size());
    const bytes video = {0, 0, 0, 0x10, 'f', 't', 'y', 'p', 'm', 'p', '4', '2', 0, 0, 0, 0};
    const bytes head = concat({soi, jfif, exif, xmp_segment(directory)});
    const bytes placeholder(mpf_segment({{}, {}}, true).size(), 0);
    bytes primary = concat({head, placeholder, iso_gain_map_segment({0, 0, 0, 0}), icc, dht, sos, scan, eoi});
    save(dir, "hdr-ultra-mm.jpg", two_image_file(primary, head.size(), {}, gain_map, true, video));
    primary = concat({soi, exif, placeholder, iso_gain_map_segment({0, 0, 0, 0}), dht, sos, scan, eoi});
    save(dir, "hdr-iso-ii.jpg", two_image_file(primary, soi.size() + exif.size(), {}, gain_map, false, video));
    bytes off = two_image_file(primary, soi.size() + exif.size(), {0}, gain_map, false, video);
    off.erase(off.begin() + static_cast<long>(primary.size()));
    save(dir, "hdr-index-off.jpg", off);
    // For the byte map: an MPF index whose further image follows the
    // primary's EOI, then a trailer.
    const bytes further = concat({soi, dht, sos, scan, eoi});
    bytes map_primary;
    for (int pass = 0; pass < 2; ++pass) {
        // The index's offsets count from its TIFF header, 10 bytes into the file.
        auto offset = static_cast<std::uint32_t>(map_primary.size()) - 10;
        map_primary = concat({soi,
                          mpf_segment({{static_cast<std::uint32_t>(map_primary.size()), 0, 0x030000},
                                       {static_cast<std::uint32_t>(further.size()), offset, 0}},
                                      pass == 0),
                          exif, dht, sos, scan, eoi});
    }
    save(dir, "map-mpf.jpg", concat({map_primary, further, text("a trailer")}));
    return 0;
}
