#include "tag.h"

#include <algorithm>
#include <iterator>

#include "log.h"

const char* const TAG_TYPE_NAMES[11] = {
    "unknown", "BYTE",    "ASCII",     "SHORT", "LONG",     "RATIONAL",
    "unknown", "UNDEFINED", "unknown", "SLONG", "SRATIONAL",
};

namespace {

// Sorted by tag for find_tag_name.
const tag_name EXIF_TAG_NAMES[] = {
    {0x010E, "title"},
    {0x010F, "maker"},
    {0x0110, "model"},
    {0x0112, "orientation"},
    {0x011A, "xres"},
    {0x011B, "yres"},
    {0x0128, "resolution_unit"},
    {0x0131, "software"},
    {0x0132, "datetime"},
    {0x0213, "ycbcrposition"},
    {0x8298, "copyright"},
    {0x8769, "exif_ifd_pointer"},
    {0x8825, "gps_ifd_pointer"},
    {0x9000, "exif_version"},
    {0x9003, "date_time_original"},
    {0x9004, "date_time_digitixed"},
    {0x9101, "components_configuration"},
    {0x9102, "compressed_bpp"},
    {0x9202, "apeature"},
    {0x9203, "brightness"},
    {0x9204, "exposure"},
    {0x9205, "max_aperture"},
    {0x9207, "metering_mode"},
    {0x9208, "light_source"},
    {0x9209, "flash"},
    {0x920A, "focal_length"},
    {0x927C, "makernote"},
    {0x9286, "user_comment"},
    {0xA000, "flashpix_version"},
    {0xA001, "color_space"},
    {0xA002, "x_dimention"},
    {0xA003, "y_dimention"},
    {0xA402, "exposure_mode"},
    {0xA403, "white_balance"},
    {0xA405, "length_35"},
    {0xA406, "scene_type"},
    {0xA40A, "sharpness"},
};

}  // namespace

const char* find_tag_name(const tag_name* table, std::size_t rows, std::uint16_t tag) {
    const tag_name* end = table + rows;
    const tag_name* row = std::lower_bound(
        table, end, tag, [](const tag_name& r, std::uint16_t t) { return r.tag < t; });
    return row != end && row->tag == tag ? row->name : "unknown";
}

const char* tag_type_name(std::uint16_t type) {
    return type < std::size(TAG_TYPE_NAMES) ? TAG_TYPE_NAMES[type] : "unknown";
}

const char* exif_tag_name(std::uint16_t tag) {
    return find_tag_name(EXIF_TAG_NAMES, std::size(EXIF_TAG_NAMES), tag);
}

void tag_log(const tag_main& entry) {
    show_tag_name(entry);
    show_tag_type(entry);
    show_tag_datasize(entry);
    show_tag_value(entry);
}

void show_tag_name(const tag_main& entry) { logoutput("tag [%s]\n", exif_tag_name(entry.tag)); }

void show_tag_type(const tag_main& entry) { logoutput("tag_type [%s]\n", tag_type_name(entry.type)); }

void show_tag_datasize(const tag_main& entry) {
    logoutput("data_size [%d]\n", static_cast<int>(entry.datasize));
}

void show_tag_value(const tag_main&) {}
