#include "marker_walk.h"

#include <gtest/gtest.h>

#include "fixture.h"
#include "strip.h"
#include "test_util.h"

using fixture::bytes;

namespace {

// A piece of a crafted file: a segment the walk must report (marker >= 0), or
// bytes that belong to none (fill, entropy-coded data, what follows EOI).
struct part {
    bytes data;
    int marker = -1;
    segment_id id = segment_id::none;
};

part segment(std::uint8_t marker, const bytes& payload, segment_id id = segment_id::none) {
    bytes data = {0xFF, marker};
    fixture::put_u16(data, static_cast<std::uint32_t>(payload.size() + 2), true);
    data.insert(data.end(), payload.begin(), payload.end());
    return {data, marker, id};
}

part standalone(std::uint8_t marker) { return {{0xFF, marker}, marker}; }
part raw(const bytes& data) { return {data}; }

bytes with_id(const std::string& identifier, const bytes& rest = {0x01, 0xFF, 0xE1}) {
    bytes out(identifier.begin(), identifier.end());
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

const part SOI = standalone(MARKER_SOI);
const part EOI = standalone(MARKER_EOI);
const part DQT = segment(0xDB, {0x00, 0xFF, 0xE1, 0x10});
const part SOS = segment(MARKER_SOS, {0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
// Stuffed bytes, restart markers and E1 bytes: all entropy-coded data.
const part SCAN = raw({0x12, 0xFF, 0x00, 0xE1, 0xFF, 0xD0, 0xE1, 0x34, 0xFF, 0xD7, 0xFF, 0x00});

bytes concat(const std::vector<part>& parts) {
    bytes out;
    for (const part& p : parts) out.insert(out.end(), p.data.begin(), p.data.end());
    return out;
}

// Runs check on the bytes as memory, as a file read through the blocks, and
// as a file whose image data is looked at where it lies, mapped a few bytes
// at a time, so that windows break at every place in the scans (where the
// system maps files).
template <typename Check>
void on_each_source(const bytes& content, Check check) {
    byte_source memory = memory_source(content);
    check(memory, "memory");
    scoped_temp_dir dir;
    write_file(dir / "f.jpg", content);
    for (std::size_t window : {0, 1, 2, 5}) {
        if (window) set_scan_mapping(window, 0);
        byte_source file;
        ASSERT_TRUE(open_source(file, dir / "f.jpg"));
        check(file, window ? "file mapped " + std::to_string(window) + " bytes at a time" : "file");
        close_source(file);
    }
    set_scan_mapping(MAP_WINDOW, MAP_LEAST);
}

}  // namespace

TEST(MarkerWalk, ReportsEverySegmentOfTheImageInOrder) {
    using id = segment_id;
    struct row {
        const char* name;
        std::vector<part> parts;
        bool finished;  // else broken after the parts' segments
    } rows[] = {
        {"SOI and EOI", {SOI, EOI}, true},
        {"baseline", {SOI, segment(MARKER_APP0, with_id(std::string("JFIF\0", 5)), id::jfif),
                      segment(MARKER_APP1, with_id(std::string("Exif\0\0", 6)), id::exif), DQT,
                      segment(0xC0, {8, 0, 1, 0, 1, 1, 1, 0x11, 0}), segment(0xC4, {0, 1, 2}), SOS, SCAN, EOI},
         true},
        {"identifiers, each only in its own segment type",
         {SOI, segment(MARKER_APP0, with_id(std::string("JFXX\0", 5)), id::jfxx),
          segment(MARKER_APP1, with_id(std::string("http://ns.adobe.com/xap/1.0/\0", 29)), id::xmp),
          segment(MARKER_APP1, with_id(std::string("http://ns.adobe.com/xmp/extension/\0", 35)), id::xmp_extension),
          segment(MARKER_APP2, with_id(std::string("ICC_PROFILE\0", 12)), id::icc_profile),
          segment(MARKER_APP2, with_id(std::string("MPF\0", 4)), id::mpf),
          segment(0xED, with_id(std::string("Photoshop 3.0\0", 14)), id::photoshop),
          segment(MARKER_APP14, with_id("Adobe"), id::adobe),
          segment(MARKER_APP1, with_id(std::string("ICC_PROFILE\0", 12))),
          segment(MARKER_APP2, with_id(std::string("Exif\0\0", 6))),
          segment(MARKER_APP1, fixture::text(std::string("Exif\0", 5))),
          segment(MARKER_APP1, {}), segment(MARKER_COM, with_id("Adobe")), EOI},
         true},
        {"fill bytes before markers, in and after entropy-coded data",
         {SOI, raw({0xFF, 0xFF}), segment(MARKER_APP1, with_id(std::string("Exif\0\0", 6)), id::exif), SOS,
          raw({0x01, 0xFF, 0x00, 0xFF, 0xFF}), EOI},
         true},
        {"standalone markers outside entropy-coded data", {SOI, standalone(0x01), standalone(0xD3), DQT, EOI}, true},
        {"progressive: several scans, tables and an Exif segment between them",
         {SOI, segment(0xC2, {8, 0, 1, 0, 1, 1, 1, 0x11, 0}), SOS, SCAN, segment(0xC4, {0x10, 1}), SOS, SCAN,
          segment(MARKER_APP1, with_id(std::string("Exif\0\0", 6)), id::exif), SOS, raw({0xAB}), EOI},
         true},
        {"whatever follows EOI is not walked", {SOI, SOS, SCAN, EOI, raw({0xFF, 0xD8, 0xFF, 0x00, 0x12, 0xFF})}, true},
        {"empty", {}, false},
        {"not a JPEG", {raw({0x89, 'P', 'N', 'G'})}, false},
        {"SOI only", {SOI}, false},
        {"a byte other than FF where a marker must stand", {SOI, DQT, raw({0x00, 0xFF, 0xD9})}, false},
        {"FF 00 outside entropy-coded data", {SOI, raw({0xFF, 0x00, 0xFF, 0xD9})}, false},
        {"a second SOI", {SOI, DQT, raw({0xFF, 0xD8, 0xFF, 0xD9})}, false},
        {"length field 0", {SOI, raw({0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xD9})}, false},
        {"length field 1", {SOI, raw({0xFF, 0xFE, 0x00, 0x01, 0xFF, 0xD9})}, false},
        {"length past the end", {SOI, raw({0xFF, 0xE1, 0x00, 0x0B, 'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xD9})}, false},
        {"the file ends inside the length field", {SOI, raw({0xFF, 0xE1, 0x00})}, false},
        {"the file ends in fill bytes", {SOI, DQT, raw({0xFF, 0xFF})}, false},
        {"the file ends in entropy-coded data", {SOI, SOS, SCAN}, false},
        {"the file ends on an FF in entropy-coded data", {SOI, SOS, raw({0x12, 0xFF})}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        on_each_source(concat(r.parts), [&](byte_source& source, const std::string& kind) {
            SCOPED_TRACE(kind);
            marker_walk walk = start_marker_walk(source);
            std::int64_t at = 0;
            for (const part& p : r.parts) {
                if (p.marker >= 0) {
                    // The marker's FF is the last FF of the part, after any fill.
                    jpeg_segment got;
                    ASSERT_TRUE(next_segment(walk, got)) << "segment at " << at;
                    EXPECT_EQ(got.marker, p.marker);
                    EXPECT_EQ(got.offset, at);
                    EXPECT_EQ(got.length, static_cast<std::int64_t>(p.data.size()));
                    EXPECT_EQ(static_cast<int>(got.id), static_cast<int>(p.id)) << "segment at " << at;
                }
                at += static_cast<std::int64_t>(p.data.size());
                if (p.marker == MARKER_EOI) break;
            }
            jpeg_segment extra;
            EXPECT_FALSE(next_segment(walk, extra)) << "extra segment at " << extra.offset;
            EXPECT_EQ(walk.state, r.finished ? walk_state::finished : walk_state::broken);
            if (r.finished) {
                EXPECT_EQ(walk.image_end, at);
            }
            EXPECT_FALSE(next_segment(walk, extra)) << "a walk that ended goes on";
            EXPECT_FALSE(source.read_failed);
        });
    }
}

// Every proper prefix of a file whose EOI is its last two bytes breaks the
// walk, wherever the cut falls, without a read past the end.
TEST(MarkerWalk, EveryTruncationIsBroken) {
    bytes whole = concat({SOI, segment(MARKER_APP1, with_id(std::string("Exif\0\0", 6)), segment_id::exif), DQT,
                          raw({0xFF, 0xFF}), SOS, SCAN, segment(0xC4, {1}), SOS, SCAN, EOI});
    for (std::size_t size = 0; size < whole.size(); ++size) {
        on_each_source(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)),
                       [&](byte_source& source, const std::string& kind) {
                           marker_walk walk = start_marker_walk(source);
                           jpeg_segment segment;
                           int count = 0;
                           while (next_segment(walk, segment)) ASSERT_LT(++count, 100);
                           EXPECT_EQ(walk.state, walk_state::broken) << "cut at " << size << ", " << kind;
                       });
    }
}

TEST(ExifOrientation, OnlyASingleIntegerOfTwoToEightInIfd0Counts) {
    // A 16-bit value in the first two bytes of the value field, a 32-bit one in all four.
    auto orientation_entry = [](bool be, std::uint32_t type, std::uint32_t count, std::uint32_t value) {
        bytes e = fixture::u16s({0x0112, type}, be);
        fixture::put_u32(e, count, be);
        if (type == 4 || type == 9) {
            fixture::put_u32(e, value, be);
        } else {
            fixture::put_u16(e, value, be);
            fixture::put_u16(e, 0, be);
        }
        return e;
    };
    bytes long_in_short_place = fixture::u16s({0x0112, 4, 0, 1, 6, 0}, true);
    // "Exif\0\0", TIFF header with IFD0 at ifd0, then the IFD0 bytes given.
    auto exif = [](bool be, std::uint32_t ifd0, std::uint32_t count, const std::vector<bytes>& entries) {
        bytes payload = fixture::text(std::string("Exif\0\0", 6));
        bytes tiff = fixture::text(be ? "MM" : "II");
        fixture::put_u16(tiff, 42, be);
        fixture::put_u32(tiff, ifd0, be);
        fixture::put_u16(tiff, count, be);
        for (const bytes& e : entries) tiff.insert(tiff.end(), e.begin(), e.end());
        payload.insert(payload.end(), tiff.begin(), tiff.end());
        return payload;
    };
    bytes other = fixture::u16s({0x010F, 2, 0, 4, 0, 0}, true);
    bytes six = orientation_entry(true, 3, 1, 6);
    bytes cut_six = exif(true, 8, 1, {six});
    cut_six.resize(cut_six.size() - 4);
    struct row {
        const char* name;
        bytes payload;
        int want;
        bytes after = {};  // file bytes right after the segment, never to be read
    } rows[] = {
        {"MM 6", exif(true, 8, 1, {six}), 6},
        {"II 8", exif(false, 8, 1, {orientation_entry(false, 3, 1, 8)}), 8},
        {"after another entry", exif(true, 8, 2, {other, orientation_entry(true, 3, 1, 2)}), 2},
        {"1 is upright already", exif(true, 8, 1, {orientation_entry(true, 3, 1, 1)}), 0},
        {"9 is no orientation", exif(true, 8, 1, {orientation_entry(true, 3, 1, 9)}), 0},
        {"a LONG", exif(true, 8, 1, {orientation_entry(true, 4, 1, 6)}), 6},
        {"a LONG, II", exif(false, 8, 1, {orientation_entry(false, 4, 1, 7)}), 7},
        {"an SSHORT", exif(true, 8, 1, {orientation_entry(true, 8, 1, 8)}), 8},
        {"an SLONG, II", exif(false, 8, 1, {orientation_entry(false, 9, 1, 5)}), 5},
        {"a negative SSHORT", exif(true, 8, 1, {orientation_entry(true, 8, 1, 0xFFFA)}), 0},
        {"a LONG holding 6 where a SHORT would", exif(true, 8, 1, {long_in_short_place}), 0},
        {"a BYTE", exif(true, 8, 1, {orientation_entry(true, 1, 1, 6)}), 0},
        {"count 2", exif(true, 8, 1, {orientation_entry(true, 3, 2, 6)}), 0},
        {"the first entry of the tag counts", exif(true, 8, 2, {orientation_entry(true, 3, 1, 1), six}), 0},
        {"byte order neither MM nor II", [&] { bytes p = exif(true, 8, 1, {six}); p[6] = 'X'; return p; }(), 0},
        {"IFD0 past the segment", exif(true, 0xFFFFFFF0u, 1, {six}), 0},
        {"entries past the segment", exif(true, 8, 2, {other}), 0, six},
        {"an entry cut by the segment's end", cut_six, 0, {0x00, 0x06, 0x00, 0x00}},
        {"too short for a TIFF header", fixture::text(std::string("Exif\0\0MM\0*", 10)), 0, six},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        part exif_segment = segment(MARKER_APP1, r.payload, segment_id::exif);
        byte_source source = memory_source(concat({SOI, exif_segment, raw(r.after), EOI}));
        jpeg_segment found{MARKER_APP1, 2, static_cast<std::int64_t>(exif_segment.data.size()), segment_id::exif};
        EXPECT_EQ(exif_orientation(source, found), r.want);
    }
}

// A second walk of the same source takes where each scan ended from the
// first: image data changed in between is not looked at again.
TEST(MarkerWalk, ASecondWalkDoesNotScanTheImageDataAgain) {
    bytes whole = concat({SOI, SOS, SCAN, segment(0xC4, {1}), SOS, SCAN, EOI});
    byte_source source = memory_source(whole);
    auto walk_all = [&] {
        std::vector<std::int64_t> offsets;
        marker_walk walk = start_marker_walk(source);
        jpeg_segment segment;
        while (next_segment(walk, segment)) offsets.push_back(segment.offset);
        EXPECT_EQ(walk.state, walk_state::finished);
        return offsets;
    };
    std::vector<std::int64_t> first = walk_all();
    // An EOI in the middle of the first scan's data, which a new scan would stop at.
    std::size_t in_scan = SOI.data.size() + SOS.data.size() + 1;
    source.bytes[in_scan] = 0xFF;
    source.bytes[in_scan + 1] = MARKER_EOI;
    EXPECT_EQ(walk_all(), first);
}

// The scan stops at the first FF whose next byte does not continue the data,
// wherever it stands: at the start, after fill bytes, restart codes and
// stuffed bytes, as the last byte (undecided) or nowhere. Checked
// against the rule read one byte at a time, over data as a coder leaves it
// (an FF every 256 bytes or so, stuffed), with restart codes, fill bytes and
// marker codes dropped in at random.
TEST(MarkerWalk, ScanStopsWhereTheRuleSaysWhereverTheMarkerStands) {
    auto by_rule = [](const bytes& data) -> scan_stop {
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (data[i] != 0xFF) continue;
            if (i + 1 == data.size()) return {i, false};
            std::uint8_t next = data[i + 1];
            if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) return {i, true};
        }
        return {data.size(), false};
    };
    const std::uint8_t dropped_in[] = {0xFF, 0x00, 0xD0, 0xD7, 0xD8, 0xD9, 0xC4, 0xDA, 0x01, 0xFE};
    std::uint32_t state = 12345;
    auto next_random = [&state] { return state = state * 1103515245u + 12345u, state >> 8; };
    for (std::size_t size : {0u, 1u, 2u, 63u, 64u, 65u, 66u, 127u, 128u, 129u, 200u, 1000u, 5000u}) {
        for (int round = 0; round < 200; ++round) {
            bytes data = noise(size, static_cast<std::uint32_t>(size * 1000 + static_cast<std::size_t>(round)));
            for (std::size_t i = 0; i + 1 < data.size(); ++i)
                if (data[i] == 0xFF) data[++i] = 0x00;
            for (unsigned k = next_random() % 4; k > 0 && !data.empty(); --k)
                data[next_random() % data.size()] = dropped_in[next_random() % sizeof dropped_in];
            scan_stop want = by_rule(data), got = scan_entropy_data(data.data(), data.size());
            ASSERT_EQ(got.at, want.at) << "size " << size << ", round " << round;
            ASSERT_EQ(got.found, want.found) << "size " << size << ", round " << round;
        }
    }
}
