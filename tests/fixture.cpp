#include "fixture.h"

#include <algorithm>

namespace fixture {

entry pointer(std::uint16_t tag, int dir, std::uint16_t type, std::uint32_t count) {
    entry e(tag, type, count, 0u);
    e.points_to = dir;
    return e;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string text_string(const char* s, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) out.push_back(*s ? *s++ : '\0');
    return out;
}

bytes text(const char* s, std::size_t size) { return text(text_string(s, size)); }

void put_u16(bytes& out, std::uint32_t v, bool big_endian) {
    std::uint8_t hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
    if (big_endian) out.insert(out.end(), {hi, lo});
    else out.insert(out.end(), {lo, hi});
}

void put_u32(bytes& out, std::uint32_t v, bool big_endian) {
    put_u16(out, big_endian ? v >> 16 : v & 0xFFFF, big_endian);
    put_u16(out, big_endian ? v & 0xFFFF : v >> 16, big_endian);
}

bytes u16s(std::initializer_list<std::uint32_t> values, bool big_endian) {
    bytes out;
    for (std::uint32_t v : values) put_u16(out, v, big_endian);
    return out;
}

bytes u32s(std::initializer_list<std::uint32_t> values, bool big_endian) {
    bytes out;
    for (std::uint32_t v : values) put_u32(out, v, big_endian);
    return out;
}

namespace {

std::size_t padded(std::size_t n) { return n + (n & 1); }

std::size_t directory_size(const directory& dir) {
    std::size_t size = dir.marker.size() + 2 + 12 * dir.entries.size() + (dir.next_link ? 4 : 0);
    for (const entry& e : dir.entries)
        if (e.points_to < 0 && e.data.size() > 4) size += padded(e.data.size());
    return size;
}

bool order_of(const tiff_layout& layout, const directory& dir) {
    return dir.force_byte_order ? dir.big_endian : layout.big_endian;
}

void put_directory(bytes& out, const tiff_layout& layout, const directory& dir,
                   const std::vector<std::uint32_t>& offsets) {
    bool be = order_of(layout, dir);
    std::uint32_t values_at = static_cast<std::uint32_t>(out.size() + dir.marker.size() + 2 +
                                                         12 * dir.entries.size() + (dir.next_link ? 4 : 0));
    bytes values;
    out.insert(out.end(), dir.marker.begin(), dir.marker.end());
    put_u16(out, static_cast<std::uint32_t>(dir.entries.size()), be);
    for (const entry& e : dir.entries) {
        put_u16(out, e.tag, be);
        put_u16(out, e.type, be);
        put_u32(out, e.count, be);
        if (e.points_to >= 0) {
            put_u32(out, offsets.at(static_cast<std::size_t>(e.points_to)), be);
        } else if (e.data.size() > 4) {
            put_u32(out, values_at + static_cast<std::uint32_t>(values.size()), be);
            values.insert(values.end(), e.data.begin(), e.data.end());
            values.resize(padded(values.size()));
        } else if (!e.data.empty()) {
            bytes field = e.data;
            field.resize(4);
            out.insert(out.end(), field.begin(), field.end());
        } else {
            put_u32(out, e.value, be);
        }
    }
    if (dir.next_link) put_u32(out, 0, be);
    out.insert(out.end(), values.begin(), values.end());
}

}  // namespace

std::vector<std::uint32_t> directory_offsets(const tiff_layout& layout) {
    std::vector<std::uint32_t> offsets;
    std::size_t at = 8;
    for (const directory& dir : layout.dirs) {
        offsets.push_back(static_cast<std::uint32_t>(at));
        at += directory_size(dir);
    }
    return offsets;
}

bytes build_tiff(const tiff_layout& layout) {
    bytes out = text(layout.big_endian ? "MM" : "II");
    put_u16(out, 42, layout.big_endian);
    put_u32(out, 8, layout.big_endian);
    std::vector<std::uint32_t> offsets = directory_offsets(layout);
    for (const directory& dir : layout.dirs) put_directory(out, layout, dir, offsets);
    return out;
}

bytes app1_segment(const bytes& tiff) {
    bytes out;
    put_u16(out, static_cast<std::uint32_t>(2 + 6 + tiff.size()), true);
    bytes id = {'E', 'x', 'i', 'f', 0, 0};
    out.insert(out.end(), id.begin(), id.end());
    out.insert(out.end(), tiff.begin(), tiff.end());
    return out;
}

bytes jpeg(const bytes& segment, const jpeg_options& options) {
    bytes out = {0xFF, 0xD8};
    if (options.app0) {
        bytes app0 = {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
        out.insert(out.end(), app0.begin(), app0.end());
    }
    for (std::size_t left = options.padding; left > 0;) {
        std::size_t body = std::min<std::size_t>(left, 60000);
        out.insert(out.end(), {0xFF, 0xFE});
        put_u16(out, static_cast<std::uint32_t>(body + 2), true);
        for (std::size_t i = 0; i < body; ++i) out.push_back(static_cast<std::uint8_t>('a' + i % 26));
        left -= body;
    }
    out.insert(out.end(), {0xFF, 0xE1});
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), options.tail.begin(), options.tail.end());
    return out;
}

tiff_layout camera_layout(bool be) {
    enum { IFD0, EXIF, GPS, MAKERNOTE, KALVO_IFD1, KALVO_IFD2 };
    tiff_layout layout;
    layout.big_endian = be;
    layout.dirs.resize(6);
    layout.dirs[IFD0].entries = {
        {0x010F, 2, 6, text("Kalvo", 6)},
        {0x0110, 2, 12, text("Vireo Loom", 12)},
        {0x0112, 3, 1, u16s({1, 0}, be)},
        {0x011A, 5, 1, u32s({72, 1}, be)},
        {0x011B, 5, 1, u32s({72, 1}, be)},
        {0x0128, 3, 1, u16s({2, 0}, be)},
        {0x0132, 2, 20, text("2026:12:07 12:00:00", 20)},
        pointer(0x8769, EXIF),
        pointer(0x8825, GPS),
    };
    layout.dirs[EXIF].entries = {
        {0x829A, 5, 1, u32s({1, 250}, be)},
        {0x9000, 7, 4, text("0231")},
        {0x9003, 2, 20, text("2026:12:07 12:00:00", 20)},
        {0x9204, 10, 1, u32s({0, 1}, be)},
        {0x920A, 5, 1, u32s({35, 10}, be)},
        pointer(0x927C, MAKERNOTE, 7, 200),
        {0xA002, 4, 1, 64},
        {0xA003, 4, 1, 48},
    };
    layout.dirs[GPS].entries = {
        {0x0000, 1, 4, {2, 3, 0, 0}},
        {0x0001, 2, 2, text("N", 2)},
        {0x0002, 5, 3, u32s({35, 1, 40, 1, 0, 1}, be)},
        {0x0003, 2, 2, text("E", 2)},
        {0x0004, 5, 3, u32s({139, 1, 45, 1, 0, 1}, be)},
    };
    directory& makernote = layout.dirs[MAKERNOTE];
    makernote.marker = text("KALVO\0\0\0", 8);
    makernote.force_byte_order = true;
    makernote.big_endian = true;
    makernote.next_link = false;
    makernote.entries = {
        pointer(0x4001, KALVO_IFD1),
        pointer(0x2001, KALVO_IFD2),
    };
    directory& ifd1 = layout.dirs[KALVO_IFD1];
    ifd1.force_byte_order = true;
    ifd1.big_endian = true;
    ifd1.next_link = false;
    ifd1.entries = {
        {0x0001, 3, 1, 0x00020000},
        {0x0002, 3, 1, 0x00010000},
        {0x0006, 10, 1, u32s({0xFFFFFFF6, 10}, true)},
        {0x0007, 10, 1, u32s({1805, 10}, true)},
    };
    directory& ifd2 = layout.dirs[KALVO_IFD2];
    ifd2.marker = text("KALVO SENSOR INFO\0\0\0", 20);
    ifd2.force_byte_order = true;
    ifd2.big_endian = true;
    ifd2.next_link = false;
    ifd2.entries = {
        {0x0101, 3, 1, 0x00640000},
        {0x0102, 5, 1, u32s({28, 10}, true)},
        {0x0103, 5, 1, u32s({1, 250}, true)},
        {0x0104, 2, 10, text("KV-000123", 10)},
        {0x0105, 2, 10, text("KV-000456", 10)},
    };
    return layout;
}

bytes camera_segment(bool big_endian) { return app1_segment(build_tiff(camera_layout(big_endian))); }

bytes mpf_segment(const std::vector<mp_image>& images, bool be) {
    constexpr std::uint32_t IFD_SIZE = 2 + 3 * 12 + 4;
    bytes tiff = be ? bytes{'M', 'M', 0x00, 0x2A} : bytes{'I', 'I', 0x2A, 0x00};
    put_u32(tiff, 8, be);
    put_u16(tiff, 3, be);
    for (const bytes& field : {u16s({0xB000, 7}, be), u32s({4}, be), text("0100"), u16s({0xB001, 4}, be),
                               u32s({1, static_cast<std::uint32_t>(images.size())}, be), u16s({0xB002, 7}, be),
                               u32s({static_cast<std::uint32_t>(16 * images.size()), 8 + IFD_SIZE}, be),
                               u32s({0}, be)})
        tiff.insert(tiff.end(), field.begin(), field.end());
    for (const mp_image& image : images) {
        put_u32(tiff, image.attribute, be);
        put_u32(tiff, image.size, be);
        put_u32(tiff, image.offset, be);
        put_u32(tiff, 0, be);
    }
    bytes out = {0xFF, 0xE2};
    put_u16(out, static_cast<std::uint32_t>(2 + 4 + tiff.size()), true);
    for (char c : {'M', 'P', 'F', '\0'}) out.push_back(static_cast<std::uint8_t>(c));
    out.insert(out.end(), tiff.begin(), tiff.end());
    return out;
}

bytes marker_segment(std::uint8_t marker, const bytes& payload) {
    bytes out = {0xFF, marker};
    put_u16(out, static_cast<std::uint32_t>(payload.size() + 2), true);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes xmp_segment(const std::string& packet) {
    return marker_segment(0xE1, text(std::string("http://ns.adobe.com/xap/1.0/\0", 29) + packet));
}

bytes iso_gain_map_segment(const bytes& rest) {
    bytes payload = text(std::string("urn:iso:std:iso:ts:21496:-1\0", 28));
    payload.insert(payload.end(), rest.begin(), rest.end());
    return marker_segment(0xE2, payload);
}

bytes two_image_file(bytes primary, std::size_t mpf_at, const bytes& gap, const bytes& second, bool big_endian,
                     const bytes& trailer) {
    auto size = static_cast<std::uint32_t>(primary.size());
    bytes index = mpf_segment({{size, 0, 0x030000},
                               {static_cast<std::uint32_t>(second.size()),
                                static_cast<std::uint32_t>(size + gap.size() - (mpf_at + 8)), 0}},
                              big_endian);
    std::copy(index.begin(), index.end(), primary.begin() + static_cast<std::ptrdiff_t>(mpf_at));
    for (const bytes* part : {&gap, &second, &trailer}) primary.insert(primary.end(), part->begin(), part->end());
    return primary;
}

namespace {
const std::string HDRGM = "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\"";
}  // namespace

std::string gain_map_directory(std::size_t gain_map_length) {
    return "<rdf:Description xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
           "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" " + HDRGM +
           "><Container:Directory><rdf:Seq><rdf:li><Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>"
           "</rdf:li><rdf:li><Container:Item Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" Item:Length=\"" +
           std::to_string(gain_map_length) + "\"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description>";
}

std::string gain_map_parameters() { return "<rdf:Description " + HDRGM + " hdrgm:GainMapMax=\"2.3\"/>"; }

}  // namespace fixture
