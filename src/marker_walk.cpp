#include "marker_walk.h"

#include <cstring>
#include <string_view>

namespace {

// The identifier's bytes, explicit zero bytes included.
template <std::size_t N>
constexpr std::string_view id_bytes(const char (&text)[N]) {
    return std::string_view(text, N - 1);
}

struct identifier {
    std::uint8_t marker;
    std::string_view prefix;
    segment_id id;
};

// Matched at the start of the payload, and only in the segment type that
// carries it: "ICC_PROFILE" in an APP1 is not a colour profile.
constexpr identifier IDENTIFIERS[] = {
    {MARKER_APP0, id_bytes("JFIF\0"), segment_id::jfif},
    {MARKER_APP0, id_bytes("JFXX\0"), segment_id::jfxx},
    {MARKER_APP1, id_bytes("Exif\0\0"), segment_id::exif},
    {MARKER_APP1, id_bytes("http://ns.adobe.com/xap/1.0/\0"), segment_id::xmp},
    {MARKER_APP1, id_bytes("http://ns.adobe.com/xmp/extension/\0"), segment_id::xmp_extension},
    {MARKER_APP2, id_bytes("ICC_PROFILE\0"), segment_id::icc_profile},
    {MARKER_APP2, id_bytes("MPF\0"), segment_id::mpf},
    {0xED, id_bytes("Photoshop 3.0\0"), segment_id::photoshop},
    {MARKER_APP14, id_bytes("Adobe"), segment_id::adobe},
};
constexpr std::size_t LONGEST_IDENTIFIER = 35;

segment_id identify(byte_source& source, std::uint8_t marker, std::int64_t payload, std::int64_t size) {
    std::uint8_t head[LONGEST_IDENTIFIER];
    std::size_t n = size < static_cast<std::int64_t>(sizeof head) ? static_cast<std::size_t>(size) : sizeof head;
    source_seek(source, payload);
    source_read(source, head, n);
    for (const identifier& known : IDENTIFIERS)
        if (known.marker == marker && known.prefix.size() <= n &&
            std::memcmp(head, known.prefix.data(), known.prefix.size()) == 0)
            return known.id;
    return segment_id::none;
}

int byte_at(byte_source& source, std::int64_t position) {
    source_seek(source, position);
    return source_getc(source);
}

// Markers that stand alone, without a length field.
bool is_standalone(int code) { return code == 0x01 || (code >= 0xD0 && code <= MARKER_EOI); }

// How far past an FF in entropy-coded data the data goes on, given the byte
// after it: over FF 00 (a stuffed byte) and FF D0 to FF D7 (restart markers)
// two bytes, over a fill byte FF one; 0 when a marker starts at the FF.
int entropy_step(int next) {
    if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) return 2;
    return next == 0xFF ? 1 : 0;
}

}  // namespace

scan_stop scan_entropy_data(const std::uint8_t* bytes, std::size_t n) {
    if (n == 0) return {0, false};  // bytes may be null then, which memchr must not see
    const std::uint8_t* end = bytes + n;
    const std::uint8_t* at = bytes;
    while ((at = static_cast<const std::uint8_t*>(std::memchr(at, 0xFF, static_cast<std::size_t>(end - at))))) {
        if (at + 1 == end) return {static_cast<std::size_t>(at - bytes), false};
        int step = entropy_step(at[1]);
        if (step == 0) return {static_cast<std::size_t>(at - bytes), true};
        at += step;
    }
    return {n, false};
}

namespace {

bool break_walk(marker_walk& walk, walk_fault fault, std::int64_t at, std::int64_t length = 0) {
    walk.state = walk_state::broken;
    walk.fault = fault;
    walk.fault_at = at;
    walk.fault_length = length;
    return false;
}

}  // namespace

marker_walk start_marker_walk(byte_source& source) { return start_marker_walk_at(source, 0); }

marker_walk start_marker_walk_at(byte_source& source, std::int64_t position) {
    marker_walk walk;
    walk.source = &source;
    walk.pos = position;
    return walk;
}

bool next_segment(marker_walk& walk, jpeg_segment& segment) {
    if (walk.state != walk_state::walking) return false;
    byte_source& source = *walk.source;
    if (walk.at_soi) {
        walk.at_soi = false;
        if (byte_at(source, walk.pos) != 0xFF || byte_at(source, walk.pos + 1) != MARKER_SOI)
            return break_walk(walk, walk_fault::no_soi, walk.pos);
        segment = jpeg_segment{MARKER_SOI, walk.pos, 2, segment_id::none};
        walk.pos += 2;
        return true;
    }
    if (walk.in_scan) {
        std::int64_t scan_start = walk.pos;
        walk.pos = source_scan(source, walk.pos, scan_entropy_data);
        walk.in_scan = false;
        if (walk.pos < 0) return break_walk(walk, walk_fault::truncated, scan_start);
    }
    int first = byte_at(source, walk.pos);
    if (first != 0xFF)
        return break_walk(walk, first < 0 ? walk_fault::truncated : walk_fault::no_marker, walk.pos);
    std::int64_t at = walk.pos;
    int code;
    while ((code = byte_at(source, at + 1)) == 0xFF) ++at;  // fill bytes
    if (code < 0) return break_walk(walk, walk_fault::truncated, at);
    if (code == 0x00 || code == MARKER_SOI) return break_walk(walk, walk_fault::misplaced_marker, at);
    segment = jpeg_segment{static_cast<std::uint8_t>(code), at, 2, segment_id::none};
    if (!is_standalone(code)) {
        std::uint8_t field[2];
        source_seek(source, at + 2);
        if (source_read(source, field, sizeof field) < sizeof field) return break_walk(walk, walk_fault::truncated, at);
        std::int64_t length = load_u16(field, true);
        if (length < 2) return break_walk(walk, walk_fault::short_length, at, length);
        if (length > source.size - (at + 2)) return break_walk(walk, walk_fault::length_past_end, at, length);
        segment.length = 2 + length;
        segment.id = identify(source, segment.marker, at + 4, length - 2);
    }
    walk.pos = at + segment.length;
    if (code == MARKER_EOI) {
        walk.state = walk_state::finished;
        walk.image_end = walk.pos;
    }
    walk.in_scan = code == MARKER_SOS;
    return true;
}

std::string walk_failure(const marker_walk& walk) {
    std::string at = std::to_string(walk.fault_at);
    std::string length = std::to_string(walk.fault_length);
    switch (walk.fault) {
        case walk_fault::none:
            return "";
        case walk_fault::no_soi:
            return "not a JPEG: no FF D8 at the start";
        case walk_fault::no_marker:
            return "structure broken at offset " + at + ": no marker where one must stand";
        case walk_fault::misplaced_marker:
            return "structure broken at offset " + at + ": a marker out of place";
        case walk_fault::short_length:
            return "structure broken at offset " + at + ": length field " + length + " below 2";
        case walk_fault::length_past_end:
            return "length field " + length + " past the end of the file, at offset " + at;
        case walk_fault::truncated:
            return "the file ends before the image does (no FF D9), after offset " + at;
    }
    return "";
}
