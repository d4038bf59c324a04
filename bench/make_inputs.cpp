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

int usage() {
    std::fprintf(stderr,
                 "usage: make_inputs worst OUT.jpg [ENTRIES]\n"
                 "       make_inputs donor OUT.jpg OUT.app1\n");
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
    return usage();
}
