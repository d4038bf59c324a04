// A small JSON writer: objects, arrays, integers and strings, in a fixed
// layout (two spaces per level; an object opened as a line keeps all it holds
// on that line), so that the same values give the same bytes everywhere.
#ifndef SEGSPLICE_JSON_WRITER_H
#define SEGSPLICE_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct json_writer {
    std::string out;
    struct level {
        bool empty = true;
        bool one_line = false;
        char close = '}';
    };
    std::vector<level> levels;
};

// Opens an object or array as a member named key (null inside an array or
// at the top). one_line keeps it and everything in it on one line.
void json_open_object(json_writer& json, const char* key, bool one_line = false);
void json_open_array(json_writer& json, const char* key, bool one_line = false);
// Closes the innermost object or array.
void json_close(json_writer& json);

void json_int(json_writer& json, const char* key, std::int64_t value);
void json_bool(json_writer& json, const char* key, bool value);
void json_null(json_writer& json, const char* key);
// text as a JSON string: each byte that is not part of well-formed UTF-8
// becomes U+FFFD, so any bytes give valid JSON.
void json_string(json_writer& json, const char* key, std::string_view text);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
bool is_utf8(std::string_view text);

// Two lower-case hex digits per byte.
std::string hex_text(const std::uint8_t* data, std::size_t n);

#endif
