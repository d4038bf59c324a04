#include "json_writer.h"

namespace {

void put_string(std::string& out, std::string_view text);

void start_value(json_writer& json, const char* key) {
    if (!json.levels.empty()) {
        json_writer::level& level = json.levels.back();
        if (!level.empty) json.out += ',';
        if (level.one_line) {
            if (!level.empty) json.out += ' ';
        } else {
            json.out += '\n';
            json.out.append(2 * json.levels.size(), ' ');
        }
        level.empty = false;
    }
    if (key) {
        put_string(json.out, key);
        json.out += ": ";
    }
}

void open(json_writer& json, const char* key, bool one_line, char open_char, char close_char) {
    start_value(json, key);
    json.out += open_char;
    bool inherited = !json.levels.empty() && json.levels.back().one_line;
    json.levels.push_back({true, one_line || inherited, close_char});
}

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t sequence_length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t n;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n > text.size() - i) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

void json_open_object(json_writer& json, const char* key, bool one_line) { open(json, key, one_line, '{', '}'); }
void json_open_array(json_writer& json, const char* key, bool one_line) { open(json, key, one_line, '[', ']'); }

void json_close(json_writer& json) {
    json_writer::level level = json.levels.back();
    json.levels.pop_back();
    if (!level.empty && !level.one_line) {
        json.out += '\n';
        json.out.append(2 * json.levels.size(), ' ');
    }
    json.out += level.close;
    if (json.levels.empty()) json.out += '\n';
}

void json_int(json_writer& json, const char* key, std::int64_t value) {
    start_value(json, key);
    json.out += std::to_string(value);
}

void json_bool(json_writer& json, const char* key, bool value) {
    start_value(json, key);
    json.out += value ? "true" : "false";
}

void json_null(json_writer& json, const char* key) {
    start_value(json, key);
    json.out += "null";
}

void json_string(json_writer& json, const char* key, std::string_view text) {
    start_value(json, key);
    put_string(json.out, text);
}

namespace {

void put_string(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = sequence_length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    out += '"';
}

}  // namespace

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = sequence_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string hex_text(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
