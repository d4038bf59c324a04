#include "kalvo.h"

#include <gtest/gtest.h>

#include "fixture.h"
#include "test_util.h"

using fixture::bytes;
using fixture::entry;

namespace {

// A TIFF block holding only a makernote directory at offset 8 and whatever
// sub-directories follow it; the makernote starts at file position 8.
std::string makernote_trace(std::vector<fixture::directory> dirs, bool tiff_big_endian) {
    fixture::tiff_layout layout;
    layout.big_endian = tiff_big_endian;
    for (fixture::directory& dir : dirs) {
        dir.force_byte_order = true;
        dir.big_endian = true;
        dir.next_link = false;
    }
    layout.dirs = std::move(dirs);
    byte_source source = memory_source(fixture::build_tiff(layout));
    return capture_trace([&] { get_kalvo_makernote(source, 0, 8); });
}

fixture::directory vendor_directory(std::vector<entry> entries, const std::string& marker) {
    fixture::directory dir;
    dir.marker = fixture::text(marker);
    dir.entries = std::move(entries);
    return dir;
}

fixture::directory makernote(std::vector<entry> entries, const std::string& marker = fixture::text_string("KALVO\0\0\0", 8)) {
    return vendor_directory(std::move(entries), marker);
}

fixture::directory sub_directory(std::vector<entry> entries, const std::string& marker = "") {
    return vendor_directory(std::move(entries), marker);
}

}  // namespace

TEST(KalvoNames, VendorTableIsSeparateFromTheExifTable) {
    EXPECT_STREQ(kalvo_tag_name(0x0103), "exposure_time");
    EXPECT_STREQ(kalvo_tag_name(0x0005), "abnormal_acceleration");
    EXPECT_STREQ(kalvo_tag_name(0x0105), "sensor_serial2");
    EXPECT_STREQ(kalvo_tag_name(0x010F), "unknown");
    EXPECT_STREQ(kalvo_tag_name(0x0008), "unknown");
}

TEST(Makernote, IsBigEndianInsideALittleEndianFile) {
    std::string trace = makernote_trace(
        {makernote({fixture::pointer(0x4001, 1)}), sub_directory({{0x0101, 3, 1, 0x00640000u}})}, false);
    EXPECT_NE(trace.find("kalvo marker tagcount [1]\n"), std::string::npos);
    EXPECT_NE(trace.find("kalvo ifd1 tagcount [1]\n"), std::string::npos);
    EXPECT_NE(trace.find("tag_main->value [00640000]\n"), std::string::npos);
    EXPECT_NE(trace.find("kalvo tag [film_iso]\n"), std::string::npos);
}

TEST(Makernote, SubDirectoriesAreReadIfd1FirstAndOnlyWhenPointedAt) {
    struct row {
        const char* name;
        std::vector<fixture::directory> dirs;
        std::size_t ifd1_entries, ifd2_entries;
    } rows[] = {
        {"neither pointer", {makernote({{0x0001, 3, 1, 0u}})}, 0, 0},
        {"ifd2 listed before ifd1",
         {makernote({fixture::pointer(0x2001, 2), fixture::pointer(0x4001, 1)}),
          sub_directory({{0x0001, 3, 1, 0u}}),
          sub_directory({{0x0103, 5, 1, fixture::u32s({1, 60}, true)}, {0x010F, 2, 2, 0u}},
                        fixture::text_string("KALVO SENSOR INFO\0\0\0", 20))},
         1, 2},
        {"negative offset is skipped", {makernote({{0x4001, 4, 1, 0x80000000u}})}, 0, 0},
        {"more entries than the table", {makernote({fixture::pointer(0x4001, 1)}),
                                         sub_directory(std::vector<entry>(20, entry(0x0006, 10, 1, 0u)))},
         20, 0},
    };
    for (const row& r : rows) {
        std::string trace = makernote_trace(r.dirs, true);
        SCOPED_TRACE(r.name);
        EXPECT_EQ(count_of(trace, "------------ kalvo ifd1 E \n"), r.ifd1_entries);
        EXPECT_EQ(count_of(trace, "------------ kalvo ifd2 E \n"), r.ifd2_entries);
        if (r.ifd1_entries && r.ifd2_entries) {
            EXPECT_LT(trace.find("kalvo ifd1"), trace.find("kalvo ifd2"));
        }
    }
}

TEST(Makernote, MarkersAreTracedAsBoundedText) {
    std::string eight(8, 'M'), twenty(20, 'S');
    std::string trace = makernote_trace({makernote({fixture::pointer(0x2001, 1)}, eight),
                                         sub_directory({}, twenty)},
                                        true);
    EXPECT_NE(trace.find("kalvo marker [" + eight + "]\n"), std::string::npos);
    EXPECT_NE(trace.find("kalvo ifd2 marker [" + twenty + "]\n"), std::string::npos);
}

TEST(Makernote, VendorLinesFollowTheExifLinesAndShowTheCappedCount) {
    std::string trace = makernote_trace(
        {makernote({fixture::pointer(0x4001, 1)}), sub_directory({{0x0103, 7, 300, bytes(300, 'e')}})}, true);
    std::size_t exif = trace.find("tag [unknown]\ntag_type [UNDEFINED]\ndata_size [300]\n");
    std::size_t vendor =
        trace.find("------------------\nkalvo tag [exposure_time]\nkalvo tag_type [UNDEFINED]\nkalvo data_size [256]\n"
                   "------------ kalvo ifd1 E \n");
    ASSERT_NE(exif, std::string::npos);
    ASSERT_NE(vendor, std::string::npos);
    EXPECT_LT(exif, vendor);
}
