// The Kalvo vendor makernote: a marker, a top-level directory whose entries
// 0x4001 and 0x2001 point at two sub-directories, and those two directories.
// All of it is big-endian, whatever the byte order of the file around it.
//
//   makernote position: marker (8) | count (2) | entries (12 each)
//   ifd1 at offset_base + offset:   count (2) | entries
//   ifd2 at offset_base + offset:   marker (20) | count (2) | entries
#ifndef SEGSPLICE_KALVO_H
#define SEGSPLICE_KALVO_H

#include <cstdint>

#include "common_ifd.h"

// Reads and traces the makernote at makernote_position (a file position),
// then ifd1 and ifd2 when the top level points at them with offsets above 0.
void get_kalvo_makernote(byte_source& source, std::int32_t offset_base, std::int32_t makernote_position);

// Read and trace one sub-directory at offset_base + offset.
void get_kalvo_ifd1_data(byte_source& source, std::int32_t offset_base, std::int32_t offset);
void get_kalvo_ifd2_data(byte_source& source, std::int32_t offset_base, std::int32_t offset);

// The vendor's tag name; "unknown" for tags it does not name.
const char* kalvo_tag_name(std::uint16_t tag);

// Logs the vendor name, type name and count of entry (kalvo_show_tag_* in order).
void kalvo_tag_log(const tag_main& entry);
void kalvo_show_tag_name(const tag_main& entry);
void kalvo_show_tag_type(const tag_main& entry);
void kalvo_show_tag_datasize(const tag_main& entry);
void kalvo_show_tag_value(const tag_main& entry);

#endif
