#include "kalvo.h"

#include <cstring>
#include <iterator>

#include "log.h"
#include "tag.h"

namespace {

constexpr std::size_t KALVO_TABLE_SIZE = 16;
constexpr std::uint16_t TAG_KALVO_IFD1 = 0x4001;
constexpr std::uint16_t TAG_KALVO_IFD2 = 0x2001;

// Sorted by tag for find_tag_name.
const tag_name KALVO_TAG_NAMES[] = {
    {0x0001, "camera_type"},   {0x0002, "hdr_type"},       {0x0003, "zenith_es"},
    {0x0004, "compass_es"},    {0x0005, "abnormal_acceleration"},
    {0x0006, "zenith"},        {0x0007, "compass"},        {0x0101, "film_iso"},
    {0x0102, "aperture"},      {0x0103, "exposure_time"},  {0x0104, "sensor_serial1"},
    {0x0105, "sensor_serial2"},
};

// Logs a marker as text: up to its first zero byte, never beyond its size.
template <std::size_t N>
void log_marker(byte_source& source, const char* format) {
    std::uint8_t marker[N];
    source_read(source, marker, N);
    const void* end = std::memchr(marker, 0, N);
    std::size_t length = end ? static_cast<const std::uint8_t*>(end) - marker : N;
    logoutput(format, static_cast<int>(length), reinterpret_cast<const char*>(marker));
}

// Reads a sub-directory's count and entries (the source stands on the count);
// each entry is framed by its start and end lines and named by the vendor
// table. A sub-directory at a negative position is empty.
void read_sub_directory(byte_source& source, std::int32_t position, std::int32_t offset_base,
                        const char* count_format, const char* start_line, const char* end_line) {
    std::uint16_t count = position < 0 ? 0 : read_u16(source, true);
    logoutput(count_format, count);
    ifd_table<KALVO_TABLE_SIZE> table;
    for (unsigned i = 0; i < count; ++i) {
        logoutput("%s", start_line);
        tag_main& entry = table.next();
        get_ifd_tag_data(source, offset_base, entry, true);
        kalvo_tag_log(entry);
        logoutput("%s", end_line);
    }
}

}  // namespace

void get_kalvo_makernote(byte_source& source, std::int32_t offset_base, std::int32_t makernote_position) {
    std::int32_t ifd1_offset = 0;
    std::int32_t ifd2_offset = 0;
    source_seek(source, makernote_position);
    log_marker<8>(source, "kalvo marker [%.*s]\n");
    std::uint16_t count = read_u16(source, true);
    logoutput("kalvo marker tagcount [%d]\n", count);
    ifd_table<KALVO_TABLE_SIZE> table;
    for (unsigned i = 0; i < count; ++i) {
        tag_main& entry = table.next();
        get_ifd_tag_data(source, offset_base, entry, true);
        if (entry.tag == TAG_KALVO_IFD1) ifd1_offset = static_cast<std::int32_t>(entry.value);
        else if (entry.tag == TAG_KALVO_IFD2) ifd2_offset = static_cast<std::int32_t>(entry.value);
    }
    if (ifd1_offset > 0) get_kalvo_ifd1_data(source, offset_base, ifd1_offset);
    if (ifd2_offset > 0) get_kalvo_ifd2_data(source, offset_base, ifd2_offset);
}

void get_kalvo_ifd1_data(byte_source& source, std::int32_t offset_base, std::int32_t offset) {
    std::int32_t position = tiff_position(offset_base, static_cast<std::uint32_t>(offset));
    source_seek(source, position);
    read_sub_directory(source, position, offset_base, "kalvo ifd1 tagcount [%d]\n",
                       "------------ kalvo ifd1 S \n", "------------ kalvo ifd1 E \n");
}

void get_kalvo_ifd2_data(byte_source& source, std::int32_t offset_base, std::int32_t offset) {
    std::int32_t position = tiff_position(offset_base, static_cast<std::uint32_t>(offset));
    source_seek(source, position);
    log_marker<20>(source, "kalvo ifd2 marker [%.*s]\n");
    read_sub_directory(source, position, offset_base, "kalvo ifd2 tagcount [%d]\n",
                       "------------ kalvo ifd2 S \n", "------------ kalvo ifd2 E \n");
}

const char* kalvo_tag_name(std::uint16_t tag) {
    return find_tag_name(KALVO_TAG_NAMES, std::size(KALVO_TAG_NAMES), tag);
}

void kalvo_tag_log(const tag_main& entry) {
    kalvo_show_tag_name(entry);
    kalvo_show_tag_type(entry);
    kalvo_show_tag_datasize(entry);
    kalvo_show_tag_value(entry);
}

void kalvo_show_tag_name(const tag_main& entry) {
    logoutput("kalvo tag [%s]\n", kalvo_tag_name(entry.tag));
}

void kalvo_show_tag_type(const tag_main& entry) {
    logoutput("kalvo tag_type [%s]\n", tag_type_name(entry.type));
}

void kalvo_show_tag_datasize(const tag_main& entry) {
    logoutput("kalvo data_size [%d]\n", static_cast<int>(entry.datasize));
}

void kalvo_show_tag_value(const tag_main&) {}
