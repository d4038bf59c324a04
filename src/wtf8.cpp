#include "wtf8.h"

#include <cstdint>

namespace {

constexpr char32_t LEAD_FIRST = 0xD800, TRAIL_FIRST = 0xDC00, TRAIL_LAST = 0xDFFF;

bool is_lead(char32_t c) { return c >= LEAD_FIRST && c < TRAIL_FIRST; }
bool is_trail(char32_t c) { return c >= TRAIL_FIRST && c <= TRAIL_LAST; }

void append_code_point(std::string& out, char32_t c) {
    auto byte = [&out](char32_t b) { out.push_back(static_cast<char>(static_cast<unsigned char>(b))); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | c >> 6);
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | c >> 12);
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | c >> 18);
        byte(0x80 | (c >> 12 & 0x3F));
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

// The sequence lengths a lead byte announces, and the smallest code point
// each may carry (anything below is overlong).
struct sequence_form {
    unsigned char mask, value;
    std::size_t length;
    char32_t smallest;
};
constexpr sequence_form FORMS[] = {
    {0x80, 0x00, 1, 0}, {0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};

// Decodes the code point at bytes[at], advancing at; false when there is none.
bool next_code_point(std::string_view bytes, std::size_t& at, char32_t& c) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    for (const sequence_form& form : FORMS) {
        if ((lead & form.mask) != form.value) continue;
        if (form.length > bytes.size() - at) return false;
        c = lead & static_cast<unsigned char>(~form.mask);
        for (std::size_t i = 1; i < form.length; ++i) {
            auto next = static_cast<unsigned char>(bytes[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        at += form.length;
        return c >= form.smallest && c <= 0x10FFFF;
    }
    return false;
}

}  // namespace

std::string wtf8_encode(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (is_lead(c) && i + 1 < units.size() && is_trail(units[i + 1])) {
            c = 0x10000 + ((c - LEAD_FIRST) << 10) + (units[i + 1] - TRAIL_FIRST);
            ++i;
        }
        append_code_point(out, c);
    }
    return out;
}

bool wtf8_decode(std::string_view bytes, std::u16string& units) {
    units.clear();
    units.reserve(bytes.size());
    bool after_lead = false;  // the last code point was a lead surrogate
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t c;
        if (!next_code_point(bytes, at, c)) return false;
        if (after_lead && is_trail(c)) return false;
        after_lead = is_lead(c);
        if (c < 0x10000) {
            units.push_back(static_cast<char16_t>(c));
        } else {
            units.push_back(static_cast<char16_t>(LEAD_FIRST + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(TRAIL_FIRST + ((c - 0x10000) & 0x3FF)));
        }
    }
    return true;
}
