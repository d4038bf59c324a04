// The multi-picture index: where each image of a multi-picture file (a
// phone's gain map, an MPO's further views) lies, read from the primary
// image's APP2 "MPF" segment.
//
//   +0 FF E2   +2 length (2, big-endian)   +4 "MPF" 00
//   +8 TIFF header: "II" 2A 00 or "MM" 00 2A, MP Index IFD offset (4), counted from +8
//   MP Index IFD: count (2), 12-byte entries (tag, type, count, value), TIFF order;
//   tag 0xB002 MPEntry: UNDEFINED, 16 bytes per image, at the offset in its value
//   MP entry: attribute (4), size (4), offset (4, counted from +8; 0 for the
//   primary image), dependent image entries (2, 2)
#ifndef SEGSPLICE_MPF_H
#define SEGSPLICE_MPF_H

#include <array>
#include <cstdint>
#include <vector>

#include "byte_source.h"
#include "marker_walk.h"

struct mp_entry {
    std::uint32_t attribute = 0;
    std::uint32_t size = 0;    // bytes from the image's SOI through its EOI
    std::uint32_t offset = 0;  // as stored: from the MPF TIFF header, 0 for the primary
    std::int64_t field = 0;    // file position of the entry's 16 bytes
};

struct mp_index {
    bool big_endian = false;
    std::int64_t tiff = 0;  // file position of the MPF TIFF header, where offsets count from
    std::vector<mp_entry> entries;
};

constexpr std::size_t MP_ENTRY_SIZE = 16;
constexpr std::uint16_t TAG_MP_ENTRY = 0xB002;

// Reads the MP entries of segment, an APP2 segment whose id is mpf. False,
// with index.entries empty, when the TIFF header, the MP Index IFD or the
// MPEntry value does not lie whole inside the segment. Reads only inside it.
bool read_mp_index(byte_source& source, const jpeg_segment& segment, mp_index& index);

// The file position where entry's image starts: 0 for the primary (offset 0),
// otherwise the MPF TIFF header's position plus its offset. Unchecked against
// the file's size.
std::int64_t mp_image_start(const mp_index& index, const mp_entry& entry);

// A 4-byte field of the index to rewrite: its file position and new bytes.
struct mp_patch {
    std::int64_t position = 0;
    std::array<std::uint8_t, 4> bytes{};
};

// The fields that keep index true when the source bytes [from, resume) of the
// primary image, which ends at primary_end, become length bytes: the first
// entry's size, and the offsets of the images from resume on when the change
// lies after the index's TIFF header. Values that would leave 32 bits are
// left alone. In file order.
std::vector<mp_patch> mp_resize_patches(const mp_index& index, std::int64_t from, std::int64_t resume,
                                        std::int64_t length, std::int64_t primary_end);

// An APP2 MPF segment, marker included, of MPF_TWO_IMAGE_SIZE bytes in the
// given byte order: MPFVersion, NumberOfImages 2 and the entries of a primary
// image and one further image, without dependent images.
constexpr std::size_t MPF_TWO_IMAGE_SIZE = 90;
std::array<std::uint8_t, MPF_TWO_IMAGE_SIZE> mpf_two_image_segment(bool big_endian, const mp_entry& primary,
                                                                  const mp_entry& second);

#endif
