#include "byte_map.h"

#include "json_writer.h"
#include "tag.h"

namespace {

const char* segment_id_name(segment_id id) {
    static const char* const NAMES[] = {nullptr, "JFIF",  "JFXX", "Exif",      "XMP",
                                        "XMP extension", "ICC_PROFILE", "MPF", "Photoshop", "Adobe"};
    return NAMES[static_cast<int>(id)];
}

const char* range_type_name(range_type type) {
    static const char* const NAMES[] = {"segment", "fill", "entropy_data", "image", "trailer", "unparsed"};
    return NAMES[static_cast<int>(type)];
}

void write_claims(json_writer& json, const char* key, const std::vector<map_claim>& claims) {
    json_open_array(json, key);
    for (const map_claim& c : claims) {
        json_open_object(json, nullptr, true);
        json_int(json, "offset", c.offset);
        json_int(json, "length", c.length);
        if (!c.by.empty()) json_string(json, "claimant", c.by);
        json_close(json);
    }
    json_close(json);
}

void write_directory(json_writer& json, const map_directory& dir) {
    json_open_object(json, nullptr);
    json_string(json, "name", dir.name);
    json_int(json, "offset", dir.offset);
    json_int(json, "length", dir.length);
    json_int(json, "count", dir.count);
    json_open_array(json, "entries");
    for (const map_entry& e : dir.entries) {
        json_open_object(json, nullptr, true);
        json_int(json, "offset", e.offset);
        json_int(json, "tag", e.tag);
        json_string(json, "name", e.name);
        json_int(json, "type", e.type);
        json_string(json, "type_name", tag_type_name(e.type));
        json_int(json, "count", e.count);
        json_bool(json, "in_entry", e.in_entry);
        json_int(json, "value_offset", e.value_offset);
        json_int(json, "value_length", e.value_length);
        json_close(json);
    }
    json_close(json);
    json_close(json);
}

void write_tiff(json_writer& json, const tiff_map& tiff) {
    json_open_object(json, "tiff");
    json_int(json, "offset", tiff.tiff);
    if (tiff.valid) json_string(json, "byte_order", tiff.big_endian ? "MM" : "II");
    else json_null(json, "byte_order");
    json_open_array(json, "directories");
    for (const map_directory& dir : tiff.directories) write_directory(json, dir);
    json_close(json);
    if (tiff.thumbnail_offset >= 0) {
        json_open_object(json, "thumbnail", true);
        json_int(json, "offset", tiff.thumbnail_offset);
        json_int(json, "length", tiff.thumbnail_length);
        json_close(json);
    }
    if (!tiff.images.empty()) {
        json_open_array(json, "images");
        for (const map_image& image : tiff.images) {
            json_open_object(json, nullptr, true);
            json_int(json, "offset", image.offset);
            json_int(json, "size", image.size);
            json_int(json, "attribute", image.attribute);
            json_bool(json, "placed", image.placed);
            json_close(json);
        }
        json_close(json);
    }
    write_claims(json, "unreferenced", tiff.unreferenced);
    json_open_array(json, "overlap");
    for (const auto& [shared, second] : tiff.overlap) {
        json_open_object(json, nullptr, true);
        json_int(json, "offset", shared.offset);
        json_int(json, "length", shared.length);
        json_open_array(json, "claimants");
        json_string(json, nullptr, shared.by);
        json_string(json, nullptr, second);
        json_close(json);
        json_close(json);
    }
    json_close(json);
    write_claims(json, "outside", tiff.outside);
    json_close(json);
}

void write_range(json_writer& json, const map_range& range) {
    json_open_object(json, nullptr, !range.tiff);
    json_string(json, "type", range_type_name(range.type));
    json_int(json, "offset", range.offset);
    json_int(json, "length", range.length);
    if (range.type == range_type::segment) {
        json_string(json, "marker", marker_name(range.marker));
        json_int(json, "code", range.marker);
        if (const char* id = segment_id_name(range.id)) json_string(json, "identifier", id);
    }
    if (range.type == range_type::image) json_int(json, "mp_entry", range.image);
    if (range.type == range_type::unparsed) json_string(json, "reason", range.reason);
    if (range.tiff) write_tiff(json, *range.tiff);
    json_close(json);
}

}  // namespace

std::string byte_map_json(const byte_map& map, const std::string& name) {
    json_writer json;
    json_open_object(json, nullptr);
    json_string(json, "file", name);
    if (!is_utf8(name))
        json_string(json, "file_bytes", hex_text(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    json_int(json, "size", map.size);
    json_bool(json, "complete", map.complete);
    if (map.hashed) json_string(json, "image_sha256", hex_text(map.image_sha256.data(), map.image_sha256.size()));
    else json_null(json, "image_sha256");
    json_open_array(json, "ranges");
    for (const map_range& range : map.ranges) write_range(json, range);
    json_close(json);
    json_close(json);
    return json.out;
}
