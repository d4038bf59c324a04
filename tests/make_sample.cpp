// Puts the camera-like APP1 Exif segment of the test fixtures into a plain
// JPEG, right after its APP0 segment (or its SOI when it has none).
//   make_sample PLAIN.jpg OUT.jpg
#include <cstdio>
#include <fstream>
#include <iterator>

#include "fixture.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_sample PLAIN.jpg OUT.jpg\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    fixture::bytes plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (plain.size() < 4 || plain[0] != 0xFF || plain[1] != 0xD8) {
        std::fprintf(stderr, "make_sample: %s is not a JPEG file\n", argv[1]);
        return 1;
    }
    std::size_t at = 2;
    if (plain[2] == 0xFF && plain[3] == 0xE0 && plain.size() >= 6) at = 4 + (plain[4] << 8 | plain[5]);
    fixture::bytes segment = fixture::camera_segment(true);
    fixture::bytes out(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), {0xFF, 0xE1});
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), plain.begin() + static_cast<std::ptrdiff_t>(at), plain.end());
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                    static_cast<std::streamsize>(out.size()));
    return 0;
}
