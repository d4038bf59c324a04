#include "common_ifd.h"

#include <gtest/gtest.h>

#include "fixture.h"
#include "test_util.h"

using fixture::bytes;

namespace {

// Runs get_ifd_tag_data on one 12-byte entry at position 0 whose value (if
// out of line) sits at value_at; returns the trace.
std::string entry_trace(std::uint16_t type, std::uint32_t count, const bytes& value, bool be,
                        tag_main* out = nullptr) {
    bytes file;
    fixture::put_u16(file, 0x0001, be);
    fixture::put_u16(file, type, be);
    fixture::put_u32(file, count, be);
    fixture::put_u32(file, 12, be);
    file.insert(file.end(), value.begin(), value.end());
    byte_source source = memory_source(file);
    tag_main entry;
    std::string trace = capture_trace([&] { get_ifd_tag_data(source, 0, entry, be); });
    EXPECT_EQ(source_tell(source), 12) << "the next entry follows directly";
    if (out) *out = entry;
    return trace;
}

// The dump line: what follows "true value\n", without its line end.
std::string dump_of(const std::string& trace) {
    std::size_t at = trace.find("true value\n");
    if (at == std::string::npos) return "(not fetched)";
    at += 11;
    return trace.substr(at, trace.find('\n', at) - at);
}

}  // namespace


TEST(TiffPosition, WrapsModulo2To32) {
    EXPECT_EQ(tiff_position(12, 8), 20);
    EXPECT_EQ(tiff_position(12, 0xFFFFFFF8u), 4);
    EXPECT_EQ(tiff_position(12, 0x7FFFFFFFu), INT32_MIN + 11);
    EXPECT_EQ(tiff_position(INT32_MAX, 1), INT32_MIN);
}

TEST(EntryReader, FetchesByCountAloneOrForRational) {
    struct row {
        std::uint16_t type;
        std::uint32_t count;
        bool be;
        bytes value;
        std::string dump;
    } rows[] = {
        {2, 20, true, fixture::text("hello", 20), "[hello]"},
        {2, 4, true, fixture::text("abc"), "(not fetched)"},
        {7, 5, true, fixture::text("abcdefgh"), "[abcde]"},
        {5, 1, true, fixture::u32s({1, 2}, true), "[00][00][00][01][00][00][00][02]"},
        {5, 3, false, fixture::u32s({1, 2, 3, 4}, false), "[01][00][00][00][02][00][00][00]"},
        {10, 2, true, fixture::u32s({1, 2, 3, 4}, true), "(not fetched)"},
        {10, 5, true, bytes{9, 8, 7, 6, 5, 4}, "[09][08][07][06][05]"},
        {3, 4, true, {}, "(not fetched)"},
        {3, 6, true, fixture::u16s({0xFFFE, 1, 2}, true), "[65534]"},
        {3, 6, false, fixture::u16s({0x0102, 1, 2}, false), "[258]"},
        {4, 5, false, fixture::u32s({0xFFFFFFFF, 0}, false), "[4294967295]"},
        {9, 5, false, fixture::u32s({0xFFFFFFFF, 0}, false), "[-1]"},
        {1, 5, true, bytes{250, 1, 2, 3, 4}, "[250]"},
        {12, 6, true, bytes{1, 2, 3}, "[01][02][03][00][00][00]"},
        {2, 8, true, fixture::text("no-zero!"), "[no-zero!]"},
        {2, 8, true, fixture::text("abc"), "[abc]"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(dump_of(entry_trace(r.type, r.count, r.value, r.be)), r.dump)
            << "type " << r.type << " count " << r.count;
    }
}

TEST(EntryReader, CapsTheFetchAt256AndStoresTheCapBack) {
    tag_main entry;
    std::string trace = entry_trace(7, 300, bytes(300, 'x'), true, &entry);
    EXPECT_NE(trace.find("data_size [300]\n"), std::string::npos) << "described before the fetch";
    EXPECT_EQ(dump_of(trace), "[" + std::string(256, 'x') + "]");
    EXPECT_EQ(entry.datasize, 256u);
}

TEST(EntryReader, NegativeValuePositionIsNotReadAndPositionIsRestored) {
    bytes file(12);
    file[3] = 5;  // MM RATIONAL at value 0x80000000 from base 0
    file[7] = 1;
    file[8] = 0x80;
    byte_source source = memory_source(file);
    source_seek(source, 0);
    tag_main entry;
    std::string trace = capture_trace([&] { get_ifd_tag_data(source, 0, entry, true); });
    EXPECT_NE(trace.find("get_ifd_offsetted_value offset[80000000]\n"), std::string::npos);
    EXPECT_EQ(dump_of(trace), "[00][00][00][00][00][00][00][00]");
    EXPECT_EQ(source_tell(source), 12);
}

TEST(EntryReader, RawFieldsAreTracedInTheDirectoryByteOrder) {
    bytes file = {0x12, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};
    byte_source source = memory_source(file);
    tag_main entry;
    std::string trace = capture_trace([&] { get_ifd_tag_data(source, 0, entry, false); });
    EXPECT_EQ(trace,
              "tag_main->tag [0112]\ntag_main->type [0003]\ntag_main->datasize[00000001]\n"
              "tag_main->value [00000006]\ntag [orientation]\ntag_type [SHORT]\ndata_size [1]\n"
              "------------------\n");
}
