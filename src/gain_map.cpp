#include "gain_map.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::string_view ISO_ID("urn:iso:std:iso:ts:21496:-1\0", 28);
constexpr std::int64_t XMP_ID_SIZE = 29;  // "http://ns.adobe.com/xap/1.0/" 00
constexpr std::string_view HDRGM_NS = "http://ns.adobe.com/hdr-gain-map/1.0/";
constexpr std::string_view CONTAINER_NS = "http://ns.google.com/photos/1.0/container/";
constexpr std::string_view ITEM_NS = "http://ns.google.com/photos/1.0/container/item/";
constexpr std::size_t MAX_VALUE = 64;  // a version or a MIME type; longer is not one

// segment's payload from byte skip on, as text: at most the 65533 bytes a segment holds.
std::string payload(byte_source& source, const jpeg_segment& segment, std::int64_t skip) {
    const std::int64_t size = segment.length - 4 - skip;
    if (size <= 0) return std::string();
    std::string text(static_cast<std::size_t>(size), '\0');
    source_seek(source, segment.offset + 4 + skip);
    source_read(source, reinterpret_cast<std::uint8_t*>(&text[0]), text.size());
    return text;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t skip_spaces(const std::string& text, std::size_t at) {
    while (at < text.size() && is_space(text[at])) ++at;
    return at;
}

// The prefix an xmlns declaration binds to uri; fallback when none does.
// Each search goes on after the previous declaration, so the text is read once.
std::string prefix_of(const std::string& xmp, std::string_view uri, const char* fallback) {
    for (std::size_t at = xmp.find("xmlns:"); at != std::string::npos; at = xmp.find("xmlns:", at)) {
        at += 6;
        const std::size_t eq = xmp.find('=', at);
        if (eq == std::string::npos) break;
        std::size_t q = skip_spaces(xmp, eq + 1);
        if (q >= xmp.size() || (xmp[q] != '"' && xmp[q] != '\'')) {
            at = eq;
            continue;
        }
        const std::size_t close = xmp.find(xmp[q], q + 1);
        if (close == std::string::npos) break;
        std::size_t name_end = eq;
        while (name_end > at && is_space(xmp[name_end - 1])) --name_end;
        if (std::string_view(xmp).substr(q + 1, close - q - 1) == uri) return xmp.substr(at, name_end - at);
        at = close;
    }
    return fallback;
}

// The value of the property name in text: an attribute name="v" (or 'v')
// or an element <name>v</name>. False when there is none.
bool property(std::string_view text, const std::string& name, std::string& value) {
    for (std::size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        const char before = at > 0 ? text[at - 1] : ' ';
        std::size_t after = at + name.size();
        if (after >= text.size()) return false;
        if (before == '<' && text[after] == '>') {
            std::size_t close = text.find('<', after);
            if (close == std::string_view::npos) return false;
            value = std::string(text.substr(after + 1, close - after - 1));
            return true;
        }
        if (!is_space(before)) continue;
        while (after < text.size() && is_space(text[after])) ++after;
        if (after >= text.size() || text[after] != '=') continue;
        std::size_t q = after + 1;
        while (q < text.size() && is_space(text[q])) ++q;
        if (q >= text.size() || (text[q] != '"' && text[q] != '\'')) continue;
        std::size_t close = text.find(text[q], q + 1);
        if (close == std::string_view::npos) return false;
        value = std::string(text.substr(q + 1, close - q - 1));
        return true;
    }
    return false;
}

// A value that can go into the packet written as it stands: no markup, no quotes.
bool plain(const std::string& value) {
    if (value.empty() || value.size() > MAX_VALUE) return false;
    for (char c : value)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '/' ||
              c == '+' || c == '-' || c == '_'))
            return false;
    return true;
}

// A decimal length of 1 to 10 digits that fits 32 bits.
bool decimal(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 0xFFFFFFFF;
}

// Reads the container directory's Primary and GainMap items into target.
// length is the GainMap's Item:Length, -1 without a GainMap item. False when
// a value cannot be carried over.
bool read_directory(const std::string& xmp, gain_map_target& target, std::int64_t& length) {
    const std::string container = prefix_of(xmp, CONTAINER_NS, "Container");
    const std::string item = prefix_of(xmp, ITEM_NS, "Item");
    const std::string open = "<" + container + ":Item", close = "</" + container + ":Item";
    length = -1;
    for (std::size_t at = xmp.find(open); at != std::string::npos;) {
        // An item ends at its own end or, where that is missing, at the next
        // item, so that no search goes past it.
        const std::size_t next = xmp.find(open, at + open.size());
        std::string_view region = std::string_view(xmp).substr(at, next == std::string::npos ? xmp.size() - at : next - at);
        at = next;
        const char after = region.size() > open.size() ? region[open.size()] : '\0';
        if (!(is_space(after) || after == '/' || after == '>')) continue;
        const std::size_t tag_end = region.find('>');
        if (tag_end != std::string_view::npos)
            region = region.substr(0, region[tag_end - 1] == '/' ? tag_end : region.find(close, tag_end));
        std::string semantic, mime, text;
        if (!property(region, item + ":Semantic", semantic)) continue;
        bool has_mime = property(region, item + ":Mime", mime);
        if (has_mime && !plain(mime)) return false;
        if (semantic == "Primary" && target.primary_mime.empty()) {
            target.primary_mime = mime;
        } else if (semantic == "GainMap" && !target.has_directory) {
            target.has_directory = true;
            target.gain_map_mime = mime;
            if (!property(region, item + ":Length", text) || !decimal(text, length)) return false;
        }
    }
    return true;
}

std::string directory_item(const char* semantic, const std::string& mime, std::int64_t length) {
    std::string item = "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"";
    item += semantic;
    item += "\"";
    if (!mime.empty()) item += " Item:Mime=\"" + mime + "\"";
    if (length >= 0) item += " Item:Length=\"" + std::to_string(length) + "\"";
    return item + "/></rdf:li>";
}

}  // namespace

gain_map_part gain_map_part_of(byte_source& source, const jpeg_segment& segment) {
    if (segment.marker == MARKER_APP2 && segment.id == segment_id::mpf) return gain_map_part::mpf;
    if (segment.marker == MARKER_APP2 && segment.id == segment_id::none &&
        segment.length - 4 >= static_cast<std::int64_t>(ISO_ID.size())) {
        std::uint8_t head[ISO_ID.size()];
        source_seek(source, segment.offset + 4);
        source_read(source, head, sizeof head);
        if (std::string_view(reinterpret_cast<const char*>(head), sizeof head) == ISO_ID) return gain_map_part::iso;
    }
    if (segment.id == segment_id::xmp && payload(source, segment, XMP_ID_SIZE).find(HDRGM_NS) != std::string::npos)
        return gain_map_part::xmp;
    return gain_map_part::none;
}

gain_map_search find_gain_map(byte_source& source, const gain_map_segments& primary, std::int64_t primary_end,
                              gain_map_target& target) {
    target = gain_map_target{};
    const auto part = [](gain_map_part p) { return static_cast<std::size_t>(p); };
    std::string xmp;
    if (primary.has[part(gain_map_part::xmp)]) {
        xmp = payload(source, primary.at[part(gain_map_part::xmp)], XMP_ID_SIZE);
        target.xmp_layout = property(xmp, prefix_of(xmp, HDRGM_NS, "hdrgm") + ":Version", target.version);
    }
    if (!primary.has[part(gain_map_part::iso)] && !target.xmp_layout) return gain_map_search::none;
    std::int64_t directory_length = -1;
    if (target.xmp_layout && (!plain(target.version) || !read_directory(xmp, target, directory_length)))
        return gain_map_search::broken;
    if (!primary.has[part(gain_map_part::mpf)] ||
        !read_mp_index(source, primary.at[part(gain_map_part::mpf)], target.index) || target.index.entries.size() < 2)
        return gain_map_search::broken;
    const mp_entry& gain_map = target.index.entries[1];
    target.start = mp_image_start(target.index, gain_map);
    target.size = gain_map.size;
    if (gain_map.offset == 0 || target.start < primary_end || target.size < 4 || target.size > source.size ||
        target.start > source.size - target.size)
        return gain_map_search::broken;
    if (target.has_directory && directory_length != target.size) return gain_map_search::broken;
    return gain_map_search::found;
}

std::vector<std::uint8_t> minimal_xmp_segment(const gain_map_target& target, std::int64_t size) {
    std::string packet =
        "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:hdrgm=\"";
    packet += HDRGM_NS;
    packet += "\"";
    if (target.has_directory) {
        packet += " xmlns:Container=\"";
        packet += CONTAINER_NS;
        packet += "\" xmlns:Item=\"";
        packet += ITEM_NS;
        packet += "\"";
    }
    packet += " hdrgm:Version=\"" + target.version + "\"";
    if (target.has_directory) {
        packet += "><Container:Directory><rdf:Seq>" + directory_item("Primary", target.primary_mime, -1) +
                  directory_item("GainMap", target.gain_map_mime, size) +
                  "</rdf:Seq></Container:Directory></rdf:Description>";
    } else {
        packet += "/>";
    }
    packet += "</rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
    const std::size_t length = 2 + XMP_ID_SIZE + packet.size();
    std::string segment = {'\xFF', static_cast<char>(MARKER_APP1), static_cast<char>(length >> 8),
                           static_cast<char>(length & 0xFF)};
    segment.append("http://ns.adobe.com/xap/1.0/", XMP_ID_SIZE);  // the terminator included
    segment += packet;
    return std::vector<std::uint8_t>(segment.begin(), segment.end());
}
