// Names for tags and field types, and the three describer lines of an entry.
#ifndef SEGSPLICE_TAG_H
#define SEGSPLICE_TAG_H

#include <cstddef>
#include <cstdint>

#include "common_ifd.h"

enum tag_type : std::uint16_t {
    TYPE_BYTE = 1,
    TYPE_ASCII = 2,
    TYPE_SHORT = 3,
    TYPE_LONG = 4,
    TYPE_RATIONAL = 5,
    TYPE_UNDEFINED = 7,
    TYPE_SLONG = 9,
    TYPE_SRATIONAL = 10,
};

// Field type names indexed by type 0 to 10; unnamed types hold "unknown".
extern const char* const TAG_TYPE_NAMES[11];

struct tag_name {
    std::uint16_t tag;
    const char* name;
};

// Looks tag up in a table sorted by tag; "unknown" when it is absent.
const char* find_tag_name(const tag_name* table, std::size_t rows, std::uint16_t tag);

// The name of a field type; "unknown" for 0, 6, 8 and above 10.
const char* tag_type_name(std::uint16_t type);

// The tool's own short name of an Exif tag; "unknown" for tags it does not name.
const char* exif_tag_name(std::uint16_t tag);

// Logs the name, type name and count of entry (show_tag_* in that order).
void tag_log(const tag_main& entry);
void show_tag_name(const tag_main& entry);
void show_tag_type(const tag_main& entry);
void show_tag_datasize(const tag_main& entry);
// Writes nothing: the entry reader dumps fetched values itself.
void show_tag_value(const tag_main& entry);

#endif
