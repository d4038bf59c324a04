// Writes the generated inputs of bench/run.sh, built from the test fixtures.
//
//   make_inputs worst OUT.jpg [ENTRIES]
//       The walk's worst case: IFD0, the Exif IFD and the GPS IFD with ENTRIES
//       entries each (default 65535, the most a 2-byte count can say), every
//       one an ASCII value of 16 bytes out of line, all pointing into one
//       shared value area after the directories. IFD0's first two entries
//       point at the other two directories. The tree is larger than a 16-bit
//       APP1 length can cover, so the length field says 0xFFFF.
//
//   make_inputs donor OUT.jpg OUT.app1
//       A camera-like JPEG in Intel byte order (the bundled sample is Motorola)
//       with an image description added, so that its segment is longer than
//       the sample's and a splice moves what follows; and that APP1 segment as
//       a side file: the replacement the timed "-w" and "-wvireo" jobs splice in.
//
//   make_inputs hdr OUT.jpg SIZE OUT-GAINMAP.jpg
//       A phone's HDR photo of SIZE bytes: a primary with Exif, an Ultra HDR
//       XMP packet, an MPF index and an ISO 21496-1 segment, its image data
//       zero bytes, then a gain map of a sixteenth of SIZE with its own XMP
//       and ISO 21496-1 segment, then a 64 KiB motion-photo video; and the
//       gain map alone, which a strip keeps as it is.
//   make_inputs image OUT.jpg SIZE
//       A camera-like JPEG of exactly SIZE bytes whose image data fills it:
//       the Motorola camera segment, a quantisation table, a frame and a scan
//       header, then entropy-coded data as a coder leaves it (noise, each FF
//       followed by a stuffed 00, a restart marker every 64 KiB), then EOI.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fixture.h"

namespace {

bool write(const std::string& path, const fixture::bytes& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) std::fprintf(stderr, "make_inputs: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

constexpr std::uint16_t TAG_EXIF_IFD_POINTER = 0x8769;
constexpr std::uint16_t TAG_GPS_IFD_POINTER = 0x8825;
constexpr std::uint16_t TAG_MAKERNOTE = 0x927C;
constexpr std::uint16_t TYPE_ASCII = 2;
constexpr std::uint32_t VALUE_SIZE = 16;

// Tags 1, 2, 3, ... leaving out the three that make the walk follow a pointer.
std::uint16_t next_plain_tag(std::uint32_t& tag) {
    do ++tag;
    while (tag == TAG_EXIF_IFD_POINTER || tag == TAG_GPS_IFD_POINTER || tag == TAG_MAKERNOTE);
    return static_cast<std::uint16_t>(tag);
}

fixture::bytes worst_case(std::uint32_t entries) {
    enum { IFD0, EXIF, GPS, VALUES };
    fixture::tiff_layout layout;
    layout.big_endian = true;
    layout.dirs.resize(4);
    layout.dirs[IFD0].entries.push_back(fixture::pointer(TAG_EXIF_IFD_POINTER, EXIF));
    layout.dirs[IFD0].entries.push_back(fixture::pointer(TAG_GPS_IFD_POINTER, GPS));
    for (int dir : {IFD0, EXIF, GPS}) {
        std::uint32_t tag = 0;
        auto& list = layout.dirs[static_cast<std::size_t>(dir)].entries;
        while (list.size() < entries) list.emplace_back(next_plain_tag(tag), TYPE_ASCII, VALUE_SIZE, 0u);
    }
    // The shared value area: a directory of no entries whose marker is the value.
    fixture::directory& values = layout.dirs[VALUES];
    values.marker = fixture::text("bench value", VALUE_SIZE);
    values.next_link = false;
    // Offsets do not depend on the values, so the area's offset can go in now.
    std::uint32_t value_at = fixture::directory_offsets(layout)[VALUES];
    for (int dir : {IFD0, EXIF, GPS})
        for (fixture::entry& e : layout.dirs[static_cast<std::size_t>(dir)].entries)
            if (e.points_to < 0) e.value = value_at;
    fixture::bytes segment = fixture::app1_segment(fixture::build_tiff(layout));
    segment[0] = 0xFF;
    segment[1] = 0xFF;
    return fixture::jpeg(segment);
}

fixture::bytes hdr_photo(std::size_t size, fixture::bytes& gain_map) {
    using fixture::bytes;
    const bytes soi = {0xFF, 0xD8}, eoi = {0xFF, 0xD9};
    const bytes sos = fixture::marker_segment(0xDA, {1, 1, 0x00, 0, 0x3F, 0});
    gain_map = soi;
    for (const bytes& b : {fixture::xmp_segment(fixture::gain_map_parameters()),
                           fixture::iso_gain_map_segment({0, 0, 0, 0, 0x40, 1, 2}), sos, bytes(size / 16, 0), eoi})
        gain_map.insert(gain_map.end(), b.begin(), b.end());
    const bytes video(64 * 1024, 0);
    const std::string directory = fixture::gain_map_directory(gain_map.size());
    bytes primary = soi;
    for (const bytes& b : {bytes{0xFF, 0xE1}, fixture::camera_segment(true), fixture::xmp_segment(directory)})
        primary.insert(primary.end(), b.begin(), b.end());
    const std::size_t mpf_at = primary.size();
    const bytes placeholder(fixture::mpf_segment({{}, {}}, true).size(), 0);
    const bytes iso = fixture::iso_gain_map_segment({0, 0, 0, 0});
    const std::size_t rest = primary.size() + placeholder.size() + iso.size() + sos.size() + 2 + gain_map.size() + video.size();
    for (const bytes& b : {placeholder, iso, sos, bytes(size > rest ? size - rest : 0, 0), eoi})
        primary.insert(primary.end(), b.begin(), b.end());
    return fixture::two_image_file(primary, mpf_at, {}, gain_map, true, video);
}

// A photo of size bytes into out; false when size is too small for its headers.
bool image_of_size(std::size_t size, fixture::bytes& out) {
    fixture::jpeg_options options;
    auto& tail = options.tail;
    tail = {0xFF, 0xDB, 0x00, 0x43, 0x00};  // DQT: one 8-bit table
    tail.insert(tail.end(), 64, 0x10);
    tail.insert(tail.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x0C, 0x00, 0x10, 0x00, 0x03,  // SOF0: 4096 x 3072
                             0x01, 0x22, 0x00, 0x02, 0x11, 0x00, 0x03, 0x11, 0x00,
                             0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    out = fixture::jpeg(fixture::camera_segment(true), options);
    if (size < out.size() + 2) return false;
    std::size_t data_end = size - 2;
    std::uint32_t state = 12345;
    std::uint8_t restart = 0;
    out.reserve(size);
    while (out.size() < data_end) {
        std::size_t left = data_end - out.size();
        if (out.size() % (64 * 1024) == 0 && left >= 2) {
            out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(0xD0 + restart)});
            restart = (restart + 1) % 8;
            continue;
        }
        state = state * 1103515245u + 12345u;
        auto byte = static_cast<std::uint8_t>(state >> 23);
        if (byte == 0xFF && left < 2) byte = 0x00;
        out.push_back(byte);
        if (byte == 0xFF) out.push_back(0x00);
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: make_inputs worst OUT.jpg [ENTRIES]\n"
                 "       make_inputs donor OUT.jpg OUT.app1\n"
                 "       make_inputs hdr OUT.jpg SIZE OUT-GAINMAP.jpg\n"
                 "       make_inputs image OUT.jpg SIZE\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string what = argv[1];
    if (what == "worst" && argc <= 4) {
        unsigned long entries = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 65535;
        if (entries < 2 || entries > 65535) return usage();
        return write(argv[2], worst_case(static_cast<std::uint32_t>(entries))) ? 0 : 1;
    }
    if (what == "donor" && argc == 4) {
        fixture::tiff_layout layout = fixture::camera_layout(false);
        auto& ifd0 = layout.dirs[0].entries;
        ifd0.insert(ifd0.begin(), fixture::entry(0x010E, TYPE_ASCII, 32, fixture::text("segsplice bench replacement", 32)));
        fixture::bytes segment = fixture::app1_segment(fixture::build_tiff(layout));
        return write(argv[2], fixture::jpeg(segment)) && write(argv[3], segment) ? 0 : 1;
    }
    if (what == "hdr" && argc == 5) {
        unsigned long size = std::strtoul(argv[3], nullptr, 10);
        if (size < 1024 * 1024 || size > 0x7FFFFFFF) return usage();
        fixture::bytes gain_map;
        fixture::bytes photo = hdr_photo(size, gain_map);
        return write(argv[2], photo) && write(argv[4], gain_map) ? 0 : 1;
    }
    if (what == "image" && argc == 4) {
        fixture::bytes image;
        if (!image_of_size(std::strtoull(argv[3], nullptr, 10), image)) return usage();
        return write(argv[2], image) ? 0 : 1;
    }
    return usage();
}
