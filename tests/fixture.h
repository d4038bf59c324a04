// Builds JPEG byte images with an APP1 Exif segment for tests, the fuzz seeds
// and the bundled sample. Offsets are laid out automatically; a test that
// needs a hostile value writes it into the entry directly.
#ifndef SEGSPLICE_TESTS_FIXTURE_H
#define SEGSPLICE_TESTS_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

using bytes = std::vector<std::uint8_t>;

bytes text(const std::string& s);  // the characters, no terminator
bytes concat(std::initializer_list<bytes> parts);  // the parts one after another
// The characters of s, cut or padded with zero bytes to exactly size bytes.
bytes text(const char* s, std::size_t size);
std::string text_string(const char* s, std::size_t size);
void put_u16(bytes& out, std::uint32_t v, bool big_endian);
void put_u32(bytes& out, std::uint32_t v, bool big_endian);
bytes u16s(std::initializer_list<std::uint32_t> values, bool big_endian);
bytes u32s(std::initializer_list<std::uint32_t> values, bool big_endian);

// One 12-byte entry. Its value field holds, in this order of preference: the
// offset of directory points_to, the offset of data when data is longer than
// 4 bytes (placed after the directory), data itself padded to 4 bytes, or value.
struct entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint32_t value = 0;
    bytes data;
    int points_to = -1;

    entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value)
        : tag(tag), type(type), count(count), value(value) {}
    entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, bytes data)
        : tag(tag), type(type), count(count), data(std::move(data)) {}
};

// An entry of type LONG whose value is the offset of directory dir.
entry pointer(std::uint16_t tag, int dir, std::uint16_t type = 4, std::uint32_t count = 1);

struct directory {
    std::vector<entry> entries;
    bytes marker;              // written before the count (vendor directories)
    bool big_endian = false;   // used when force_byte_order is set
    bool force_byte_order = false;
    bool next_link = true;     // a TIFF IFD ends with a 4-byte link (written as 0)
};

// dirs[0] is IFD0; the others follow it in order, each with its values.
struct tiff_layout {
    bool big_endian = true;
    std::vector<directory> dirs;
};

// Offset of each directory from the TIFF header, as build_tiff places them.
std::vector<std::uint32_t> directory_offsets(const tiff_layout& layout);

// The TIFF block: 8-byte header (first IFD at 8), then the directories.
bytes build_tiff(const tiff_layout& layout);

// The APP1 segment as a side file holds it: 2-byte length, "Exif\0\0", tiff.
bytes app1_segment(const bytes& tiff);

struct jpeg_options {
    bool app0 = true;               // a JFIF APP0 segment before APP1
    std::size_t padding = 0;        // comment segments of about this size before APP1
    bytes tail = {0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xD9};
};

// SOI, optional APP0 and padding, 0xFF 0xE1 + segment, tail.
bytes jpeg(const bytes& segment, const jpeg_options& options = {});

// A camera-like layout: IFD0 pointing at an Exif IFD and a GPS IFD, the Exif
// IFD holding a Kalvo makernote with both of its sub-directories.
tiff_layout camera_layout(bool big_endian);

// The APP1 segment of camera_layout, as a side file holds it.
bytes camera_segment(bool big_endian);

// An APP2 MPF segment, marker included, indexing images of the given
// (size, offset) pairs: MP Index IFD at 8 holding MPFVersion, NumberOfImages
// and MPEntry, its entries right after the IFD. Offsets count from the MPF
// TIFF header, the segment's byte 8; the first image is the primary.
struct mp_image {
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
    std::uint32_t attribute = 0;
};
bytes mpf_segment(const std::vector<mp_image>& images, bool big_endian);

// FF, marker, the big-endian length (payload + 2), payload.
bytes marker_segment(std::uint8_t marker, const bytes& payload);

// An XMP APP1 segment holding packet; an ISO 21496-1 APP2 segment whose
// payload goes on with rest after the identifier.
bytes xmp_segment(const std::string& packet);
bytes iso_gain_map_segment(const bytes& rest);

// XMP descriptions of an Ultra HDR photo: the primary's, hdrgm:Version and a
// container directory of the primary and a gain map of gain_map_length bytes;
// and the gain map's own, hdrgm:Version and GainMapMax.
std::string gain_map_directory(std::size_t gain_map_length);
std::string gain_map_parameters();

// A two-image file: primary, gap, second, trailer. primary holds at mpf_at a
// placeholder of the size of a two-image mpf_segment, which is made to index
// primary and second.
bytes two_image_file(bytes primary, std::size_t mpf_at, const bytes& gap, const bytes& second, bool big_endian,
                     const bytes& trailer);

}  // namespace fixture

#endif
