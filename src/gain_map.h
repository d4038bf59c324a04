// Photos that carry a gain map: an SDR primary image and, after its EOI, a
// small JPEG that an HDR screen uses to brighten it. The primary says so in
// an ISO 21496-1 APP2 segment or in its XMP (hdrgm:Version, usually with a
// container directory giving the gain map's length); its MPF index says
// where the gain map lies. This module reads those segments and writes the
// ones a stripped photo keeps.
//
//   ISO 21496-1: FF E2, length, "urn:iso:std:iso:ts:21496:-1" 00, version or parameters
//   XMP:         FF E1, length, "http://ns.adobe.com/xap/1.0/" 00, the packet (UTF-8)
#ifndef SEGSPLICE_GAIN_MAP_H
#define SEGSPLICE_GAIN_MAP_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "marker_walk.h"
#include "mpf.h"

// The segments a gain-map photo needs: the ISO 21496-1 APP2 segment, the XMP
// packet that uses the hdrgm namespace, the MPF index.
enum class gain_map_part { iso, xmp, mpf, none };
constexpr std::size_t GAIN_MAP_PARTS = 3;

// Which of them segment is; reads at most its payload.
gain_map_part gain_map_part_of(byte_source& source, const jpeg_segment& segment);

// The first segment of each part that a walk of the primary image met.
struct gain_map_segments {
    std::array<bool, GAIN_MAP_PARTS> has{};
    std::array<jpeg_segment, GAIN_MAP_PARTS> at{};
};

// What the primary says about its gain map.
struct gain_map_target {
    std::int64_t start = 0;  // file position of the gain map's SOI
    std::int64_t size = 0;   // bytes from its SOI through its EOI
    mp_index index;          // the primary's index, entries[1] the gain map
    bool xmp_layout = false;       // hdrgm:Version in the XMP
    std::string version;           // its value
    bool has_directory = false;    // a container directory with a GainMap item
    std::string primary_mime;      // Item:Mime of each item, empty when absent
    std::string gain_map_mime;
};

enum class gain_map_search { none, broken, found };

// none: the primary has neither an ISO 21496-1 segment nor hdrgm:Version.
// broken: it has, but its MPF index (and container directory) do not give a
// second image that starts at or after primary_end and lies inside the file,
// of one size. found: target says where; the caller checks that a whole JPEG
// lies there.
gain_map_search find_gain_map(byte_source& source, const gain_map_segments& primary, std::int64_t primary_end,
                              gain_map_target& target);

// The primary's XMP segment, marker included, for a gain map of size bytes:
// hdrgm:Version and, when the source had one, a container directory of the
// primary and the gain map.
std::vector<std::uint8_t> minimal_xmp_segment(const gain_map_target& target, std::int64_t size);

#endif
