// The byte map: its JSON parses, its top-level ranges cover every byte once,
// and it names what a hostile file does; image_sha256 sees the picture only.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "byte_map.h"
#include "fixture.h"
#include "json_writer.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;
using fixture::concat;
using json = nlohmann::json;

namespace {

// DQT, SOF0, SOS, entropy-coded data with a stuffed byte and a restart marker, EOI.
const bytes PICTURE = {0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xC0, 0x00, 0x05, 0x08, 0x00, 0x10,
                       0xFF, 0xDA, 0x00, 0x03, 0x01, 0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD0, 0x78,
                       0xFF, 0xD9};

bytes photo(const bytes& app1, const bytes& picture = PICTURE) {
    fixture::jpeg_options options;
    options.tail = picture;
    return fixture::jpeg(app1, options);
}

json map_of(const bytes& file, const std::string& name = "p.jpg") {
    byte_source source = memory_source(file);
    return json::parse(byte_map_json(build_byte_map(source), name));
}

// The top level covers [0, size) exactly once, in order, with no empty range.
void expect_covers(const json& map, std::size_t size) {
    std::int64_t at = 0;
    for (const json& range : map["ranges"]) {
        EXPECT_EQ(range["offset"].get<std::int64_t>(), at) << range;
        EXPECT_GT(range["length"].get<std::int64_t>(), 0) << range;
        at = range["offset"].get<std::int64_t>() + range["length"].get<std::int64_t>();
    }
    EXPECT_EQ(at, static_cast<std::int64_t>(size));
    EXPECT_EQ(map["size"].get<std::int64_t>(), static_cast<std::int64_t>(size));
}

std::string types_of(const json& map) {
    std::string out;
    for (const json& range : map["ranges"])
        out += (out.empty() ? "" : " ") +
               (range.contains("marker") ? range["marker"].get<std::string>() : range["type"].get<std::string>());
    return out;
}

const json* first_tiff(const json& map) {
    for (const json& range : map["ranges"])
        if (range.contains("tiff")) return &range["tiff"];
    return nullptr;
}

bytes mpf_photo(const bytes& further, const bytes& trailer) {
    bytes primary;
    for (int pass = 0; pass < 2; ++pass) {
        // The MPF TIFF header stands at 2 + 8; the further image right after the primary.
        std::uint32_t offset = static_cast<std::uint32_t>(primary.size()) - 10;
        bytes mpf = fixture::mpf_segment({{static_cast<std::uint32_t>(primary.size()), 0, 0x030000},
                                          {static_cast<std::uint32_t>(further.size()), offset, 0}},
                                         pass == 0);
        primary = concat({{0xFF, 0xD8}, mpf, PICTURE});
    }
    return concat({primary, further, trailer});
}

bytes layout_segment(std::vector<fixture::entry> ifd0, std::size_t extra = 0) {
    fixture::tiff_layout layout;
    layout.dirs.resize(1);
    layout.dirs[0].entries = std::move(ifd0);
    bytes tiff = fixture::build_tiff(layout);
    tiff.resize(tiff.size() + extra, 0xAA);
    return fixture::app1_segment(tiff);
}

}  // namespace

TEST(ByteMap, CoversEveryByteOnceAndNamesWhatItFinds) {
    struct row {
        const char* name;
        bytes file;
        const char* types;  // the top level's last ranges, markers by name
        int unreferenced, overlap, outside;  // in the first TIFF structure; -1: not checked
    } rows[] = {
        {"camera, big-endian", photo(fixture::camera_segment(true)), "SOS entropy_data EOI", 0, 0, 0},
        {"camera, little-endian", photo(fixture::camera_segment(false)), "SOS entropy_data EOI", 0, 0, 0},
        {"MPF, a further image, a trailer", mpf_photo(concat({{0xFF, 0xD8}, PICTURE}), fixture::text("TRAIL")),
         "SOI APP2 DQT SOF0 SOS entropy_data EOI image trailer", 0, 0, 0},
        {"MPF image past the end of the file", [] {
             bytes file = mpf_photo(bytes(40, 1), {});
             file.resize(file.size() - 10);
             return file;
         }(), "EOI trailer", -1, -1, -1},
        {"fill bytes before a marker", concat({{0xFF, 0xD8, 0xFF, 0xFF}, PICTURE}), "SOI fill DQT SOF0 SOS entropy_data EOI", -1, -1, -1},
        {"bytes no entry points at", photo(layout_segment({{0x0110, 2, 12, fixture::text("Vireo Loom", 12)}}, 16)),
         "EOI", 1, 0, 0},
        {"two values at one place",
         photo(layout_segment({{0x010F, 2, 8, 8u}, {0x0110, 2, 8, 8u}})), "EOI", -1, 2, 0},
        {"a value outside its segment", photo(layout_segment({{0x010F, 2, 100, 60000u}})), "EOI", 0, 0, 1},
        {"a length past the end", {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 0, 0}, "SOI unparsed", -1, -1, -1},
        {"a length below 2", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01, 0, 0}, "SOI unparsed", -1, -1, -1},
        {"no EOI after the scan", bytes(PICTURE.begin(), PICTURE.end() - 2), "SOS unparsed", -1, -1, -1},
        {"not a JPEG", fixture::text("GIF89a, not a photo"), "unparsed", -1, -1, -1},
        {"empty", {}, "", -1, -1, -1},
    };
    rows[10].file.insert(rows[10].file.begin(), {0xFF, 0xD8});
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        json map = map_of(r.file);
        expect_covers(map, r.file.size());
        std::string types = types_of(map);
        EXPECT_EQ(types.substr(types.size() - std::min(types.size(), std::strlen(r.types))), r.types) << types;
        const json* tiff = first_tiff(map);
        if (r.unreferenced < 0 && r.overlap < 0 && r.outside < 0) continue;
        ASSERT_TRUE(tiff);
        if (r.unreferenced >= 0) {
            EXPECT_EQ((*tiff)["unreferenced"].size(), std::size_t(r.unreferenced)) << *tiff;
        }
        if (r.overlap >= 0) {
            EXPECT_EQ((*tiff)["overlap"].size(), std::size_t(r.overlap)) << *tiff;
        }
        if (r.outside >= 0) {
            EXPECT_EQ((*tiff)["outside"].size(), std::size_t(r.outside)) << *tiff;
        }
    }
}

// Whatever the damage, the map stays a cover of the file and valid JSON.
TEST(ByteMap, EveryCutAndEveryDamagedByteStillCovers) {
    bytes whole = mpf_photo(photo(fixture::camera_segment(false)), fixture::text("TRAIL"));
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        SCOPED_TRACE(n);
        expect_covers(map_of(cut), n);
    }
    bytes camera = photo(fixture::camera_segment(true));
    for (std::size_t i = 0; i < camera.size(); ++i) {
        bytes damaged = camera;
        damaged[i] ^= 0xA5;
        SCOPED_TRACE(i);
        expect_covers(map_of(damaged), damaged.size());
    }
}

TEST(ByteMap, ImageHashSeesThePictureAlone) {
    sha256_hash hash = sha256_start();
    ASSERT_TRUE(hash);
    sha256_add(hash, reinterpret_cast<const std::uint8_t*>("abc"), 3);
    sha256_value digest;
    ASSERT_TRUE(sha256_finish(hash, digest));
    EXPECT_EQ(hex_text(digest.data(), digest.size()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    auto image_hash = [](const bytes& file) { return map_of(file)["image_sha256"]; };
    json original = image_hash(photo(fixture::camera_segment(true)));
    // What the README says goes in: here every byte from the DQT on.
    sha256_hash expected = sha256_start();
    sha256_add(expected, PICTURE.data(), PICTURE.size());
    ASSERT_TRUE(sha256_finish(expected, digest));
    EXPECT_EQ(original, hex_text(digest.data(), digest.size()));

    bytes rescanned = PICTURE;
    rescanned[19] ^= 1;
    fixture::jpeg_options no_app0;
    no_app0.app0 = false;
    no_app0.padding = 100;
    no_app0.tail = PICTURE;
    struct row {
        const char* name;
        bytes file;
        bool equal;
    } rows[] = {
        {"other metadata", photo(fixture::camera_segment(false)), true},
        {"no APP0, a comment", fixture::jpeg(fixture::camera_segment(true), no_app0), true},
        {"a trailer", concat({photo(fixture::camera_segment(true)), fixture::text("TRAIL")}), true},
        {"one scan byte changed", photo(fixture::camera_segment(true), rescanned), false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(image_hash(r.file) == original, r.equal);
    }
    EXPECT_TRUE(image_hash(bytes(PICTURE.begin(), PICTURE.end() - 2)).is_null());
}

TEST(ByteMap, TheToolPrintsTheMap) {
    scoped_temp_dir dir;
    bytes camera = photo(fixture::camera_segment(true));
    write_file(dir / "p.jpg", camera);
    write_file(dir / "notes.txt", fixture::text("not a photo"));
    tool_run alone = run_tool(dir.path.string(), "p.jpg -j");
    EXPECT_EQ(alone.status, 0);
    json map = json::parse(alone.output);
    expect_covers(map, camera.size());
    EXPECT_EQ(map["file"], "p.jpg");

    // Not a JPEG: the map says where the walk stopped, and the run succeeds.
    tool_run other = run_tool(dir.path.string(), "notes.txt -j");
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(json::parse(other.output)["ranges"][0]["reason"], "no SOI at the start of the file");
    EXPECT_EQ(run_tool(dir.path.string(), "missing.jpg -j").status, 1);

    // With a job the map comes first and the job runs; after a mode option -j does not count.
    tool_run cut = run_tool(dir.path.string(), "p.jpg -j -r");
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.output, alone.output);
    EXPECT_TRUE(fs::exists(dir / "p.jpg.app1"));
    EXPECT_EQ(run_tool(dir.path.string(), "p.jpg -r -j").output, "");
    tool_run traced = run_tool(dir.path.string(), "p.jpg -d -j");
    tool_run trace = run_tool(dir.path.string(), "p.jpg -d");
    EXPECT_EQ(traced.output, trace.output + alone.output);
}

TEST(ByteMap, AnyFileNameGivesValidJson) {
    struct row {
        std::string name;
        const char* file_bytes;  // null: none
    } rows[] = {
        {"quote\" back\\slash\ttab.jpg", nullptr},
        {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\xB7.jpg", nullptr},
        {"bad\xFF\xC3(.jpg", "626164ffc3282e6a7067"},
        {"surrogate\xED\xA0\x80.jpg", "737572726f67617465eda0802e6a7067"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        json map = map_of(PICTURE, r.name);
        EXPECT_EQ(map.contains("file_bytes"), r.file_bytes != nullptr);
        if (r.file_bytes) {
            EXPECT_EQ(map["file_bytes"], r.file_bytes);
            EXPECT_NE(map["file"].get<std::string>().find("\xEF\xBF\xBD"), std::string::npos);
        } else {
            EXPECT_EQ(map["file"], r.name);
        }
    }
}

// exiv2 -pS lists the same segments at the same offsets, up to the scan.
TEST(ByteMap, SegmentsMatchExiv2) {
#ifdef _WIN32
    GTEST_SKIP() << "the peer (exiv2) runs in the Linux build";
#else
    if (!fs::exists("/usr/bin/exiv2")) GTEST_SKIP() << "needs exiv2 (Debian package exiv2)";
    scoped_temp_dir dir;
    std::vector<std::pair<std::string, bytes>> files = {
        {"sample.jpg", read_file(SEGSPLICE_SAMPLE)},
        {"camera.jpg", photo(fixture::camera_segment(false))},
        {"mpf.jpg", mpf_photo(concat({{0xFF, 0xD8}, PICTURE}), fixture::text("TRAIL"))},
    };
    for (const auto& [name, content] : files) {
        SCOPED_TRACE(name);
        write_file(dir / name, content);
        std::string listing = dir / (name + ".txt");
        ASSERT_EQ(std::system(("exiv2 -pS '" + (dir / name) + "' > '" + listing + "'").c_str()), 0);
        bytes text = read_file(listing);
        std::istringstream lines(std::string(text.begin(), text.end()));
        std::string theirs, ours;
        for (std::string line; std::getline(lines, line);) {
            long long address = 0, length = 0;
            char marker[16];
            int fields = std::sscanf(line.c_str(), " %lld | 0x%15s %*s | %lld", &address, marker, &length);
            if (fields >= 2) theirs += std::to_string(address) + ":" + (fields == 3 ? std::to_string(length) : "") + " ";
        }
        json map = map_of(content);
        for (const json& range : map["ranges"]) {
            if (range["type"] != "segment") break;
            std::int64_t length = range["length"].get<std::int64_t>();
            ours += std::to_string(range["offset"].get<std::int64_t>()) + ":" +
                    (range["marker"] == "SOI" || range["marker"] == "SOS" ? "" : std::to_string(length - 2)) + " ";
            if (range["marker"] == "SOS") break;
        }
        EXPECT_EQ(ours, theirs);
    }
#endif
}

// The peers' metadata edits leave image_sha256 as it was; a re-encode changes it.
TEST(ByteMap, ImageHashAfterThePeersEdits) {
#ifdef _WIN32
    GTEST_SKIP() << missing_peers();
#else
    if (std::string why = missing_peers(); !why.empty()) GTEST_SKIP() << why;
    scoped_temp_dir dir;
    fs::copy_file(SEGSPLICE_SAMPLE, dir / "a.jpg");
    ASSERT_EQ(shell_in(dir, "exiftool -q -all= -o e.jpg a.jpg && /usr/bin/convert a.jpg -quality 50 c.jpg"),
              0);
    ASSERT_EQ(run_tool(dir.path.string(), "a.jpg -s s.jpg").status, 0);
    auto hash = [&](const char* name) { return map_of(read_file(dir / name))["image_sha256"]; };
    EXPECT_FALSE(hash("a.jpg").is_null());
    EXPECT_EQ(hash("e.jpg"), hash("a.jpg"));
    EXPECT_EQ(hash("s.jpg"), hash("a.jpg"));
    EXPECT_NE(hash("c.jpg"), hash("a.jpg"));
#endif
}
