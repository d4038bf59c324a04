// The marker walk: a JPEG file's own structure, segment by segment, from SOI
// through the marker segments and the entropy-coded data of every scan to the
// EOI that ends the primary image. The jobs that must not mistake bytes inside
// a segment for a marker (-i, -s, -g) use it; the others keep the byte scan.
//
// A walk holds one position, reads only through the byte source and reports
// one segment at a time, so neither its memory nor its reads depend on what
// the file's length fields claim.
#ifndef SEGSPLICE_MARKER_WALK_H
#define SEGSPLICE_MARKER_WALK_H

#include <cstdint>
#include <string>

#include "byte_source.h"

constexpr std::uint8_t MARKER_SOI = 0xD8;
constexpr std::uint8_t MARKER_EOI = 0xD9;
constexpr std::uint8_t MARKER_SOS = 0xDA;
constexpr std::uint8_t MARKER_APP0 = 0xE0;
constexpr std::uint8_t MARKER_APP1 = 0xE1;
constexpr std::uint8_t MARKER_APP2 = 0xE2;
constexpr std::uint8_t MARKER_APP14 = 0xEE;
constexpr std::uint8_t MARKER_COM = 0xFE;

// What the first bytes of a segment's payload say it holds.
enum class segment_id { none, jfif, jfxx, exif, xmp, xmp_extension, icc_profile, mpf, photoshop, adobe };

// One segment, from the 0xFF directly before its marker code (fill bytes
// before it belong to no segment) to the end of its payload. The entropy-coded
// data after an SOS segment is not part of it.
struct jpeg_segment {
    std::uint8_t marker = 0;  // the marker code: 0xE1 for APP1, 0xDA for SOS, ...
    std::int64_t offset = 0;  // file position of the marker's 0xFF
    std::int64_t length = 0;  // 2 for a standalone marker (SOI, EOI, TEM, RSTn), else 2 + the length field
    segment_id id = segment_id::none;
};

enum class walk_state { walking, finished, broken };

// Where a broken walk broke: no SOI at 0, no FF where a marker must stand,
// a marker out of place (FF 00, a second SOI), a length field below 2 or past
// the end of the file, the end of the file before EOI.
enum class walk_fault { none, no_soi, no_marker, misplaced_marker, short_length, length_past_end, truncated };

struct marker_walk {
    byte_source* source = nullptr;
    std::int64_t pos = 0;     // where the next marker must stand
    bool at_soi = true;       // the SOI must stand at pos
    bool in_scan = false;     // entropy-coded data comes first
    walk_state state = walk_state::walking;
    std::int64_t image_end = 0;  // once finished: the byte after the EOI's 0xD9
    walk_fault fault = walk_fault::none;  // once broken: why,
    std::int64_t fault_at = 0;            // at which file position,
    std::int64_t fault_length = 0;        // and the length field, for the length faults
};

// A walk from offset 0 of source; the source's position is not used.
marker_walk start_marker_walk(byte_source& source);

// A walk of the image whose SOI stands at position (a further image of a
// multi-picture file); image_end is then that image's end.
marker_walk start_marker_walk_at(byte_source& source, std::int64_t position);

// The next segment in file order, SOI first and EOI last. False once there is
// none: walk.state is then finished (EOI reported) or broken (no SOI first, a
// byte other than 0xFF where a marker must stand, FF 00 or a second SOI
// outside entropy-coded data, a length field below 2 or past the end of the
// file, or the end of the file before EOI). A broken walk stays broken.
bool next_segment(marker_walk& walk, jpeg_segment& segment);

// The entropy-coded data as far as n bytes show it: where the FF directly
// before the marker code that ends it stands (found), or, while it goes on,
// the first byte that needs the next one to tell (an FF as the last byte).
// FF 00 (a stuffed byte), FF D0 to FF D7 (restart markers) and FF FF (fill)
// do not end it.
scan_stop scan_entropy_data(const std::uint8_t* bytes, std::size_t n);

// Why a broken walk broke, in words for people ("structure broken at offset
// 12345"); empty for a walk that is not broken.
std::string walk_failure(const marker_walk& walk);

#endif
