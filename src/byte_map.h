// The byte map (-j): where every byte of a file belongs, at absolute file
// positions. The top level covers the file exactly once, in file order:
// marker segments, entropy-coded data, fill bytes, the further images of a
// multi-picture file, the trailer and what the walk could not place. Inside
// an Exif or MPF segment it lists the TIFF directories of a fixed walk shape,
// their entries and the ranges their values claim, and checks them against
// the segment: bytes no one claims, bytes two claim, claims past its end.
//
// Reads only through the byte source, only inside the file, and inside a
// segment only inside that segment; a few directories of at most a segment's
// worth of entries each, so nothing the file claims sizes memory or time.
#ifndef SEGSPLICE_BYTE_MAP_H
#define SEGSPLICE_BYTE_MAP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_source.h"
#include "image_hash.h"
#include "marker_walk.h"

struct map_claim {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string by;  // who claims it: "IFD0", "Exif tag 0x9003", "thumbnail", ...
};

struct map_entry {
    std::int64_t offset = 0;  // file position of the 12-byte entry
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    const char* name = "unknown";
    bool in_entry = true;           // the value stands in the entry's last four bytes
    std::int64_t value_offset = 0;  // file position of the value
    std::int64_t value_length = 0;  // count times the type's size; 0 for an unknown type
};

struct map_directory {
    const char* name = "";
    std::int64_t offset = 0;  // file position of the directory (of its marker, where it has one)
    std::int64_t length = 0;  // marker, count, entries and next link, as the count says
    std::uint16_t count = 0;
    std::vector<map_entry> entries;  // those that lie whole inside the segment
};

struct map_image {
    std::uint32_t attribute = 0;
    std::int64_t offset = 0;  // file position
    std::uint32_t size = 0;
    bool placed = false;  // listed as a top-level range
};

// A TIFF structure inside a segment (Exif or MPF) and its claims.
struct tiff_map {
    bool valid = false;       // the TIFF header reads II*0 or MM0*
    bool big_endian = false;
    std::int64_t tiff = 0;    // file position of the TIFF header
    std::vector<map_directory> directories;
    std::int64_t thumbnail_offset = -1;
    std::int64_t thumbnail_length = 0;
    std::vector<map_image> images;           // MPF only
    std::vector<map_claim> unreferenced;     // by is empty
    std::vector<map_claim> outside;          // each claim's part past its segment
    std::vector<std::pair<map_claim, std::string>> overlap;  // the shared range, the second claimant
};

enum class range_type { segment, fill, entropy_data, image, trailer, unparsed };

struct map_range {
    range_type type = range_type::segment;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::uint8_t marker = 0;  // segments
    segment_id id = segment_id::none;
    int image = 0;            // images: the MP entry's number
    const char* reason = "";  // unparsed
    std::shared_ptr<tiff_map> tiff;
};

struct byte_map {
    std::int64_t size = 0;
    bool complete = false;  // the walk reached the primary image's EOI
    bool hashed = false;    // image_sha256 holds the primary image's hash
    sha256_value image_sha256{};
    std::vector<map_range> ranges;
};

// Maps source, the whole of it.
byte_map build_byte_map(byte_source& source);

// The map as one JSON document; name is the file's name as given (any bytes).
std::string byte_map_json(const byte_map& map, const std::string& name);

// The marker's name: "SOI", "APP1", "SOF0", ...
const char* marker_name(std::uint8_t code);

#endif
