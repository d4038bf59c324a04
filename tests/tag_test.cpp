#include "tag.h"

#include <gtest/gtest.h>

#include "test_util.h"

TEST(TagNames, NamedTagsAndNeighboursThatAreNot) {
    struct row {
        std::uint16_t tag;
        const char* name;
    } rows[] = {
        {0x010E, "title"},        {0x0213, "ycbcrposition"},  {0x9004, "date_time_digitixed"},
        {0x9202, "apeature"},     {0xA40A, "sharpness"},      {0x8769, "exif_ifd_pointer"},
        {0x9201, "unknown"},      {0x9206, "unknown"},        {0x0000, "unknown"},
        {0xFFFF, "unknown"},      {0x010D, "unknown"},        {0xA40B, "unknown"},
    };
    for (const row& r : rows) EXPECT_STREQ(exif_tag_name(r.tag), r.name) << std::hex << r.tag;
}

TEST(TagNames, TypeNamesLeaveSignedAndUnknownTypesUnnamed) {
    const char* want[] = {"unknown", "BYTE",    "ASCII",   "SHORT",     "LONG",    "RATIONAL", "unknown",
                          "UNDEFINED", "unknown", "SLONG", "SRATIONAL", "unknown", "unknown"};
    for (std::uint16_t type = 0; type < 13; ++type) EXPECT_STREQ(tag_type_name(type), want[type]) << type;
    EXPECT_STREQ(tag_type_name(0xFFFF), "unknown");
}

TEST(TagLog, ThreeLinesWithTheCountAsASignedDecimal) {
    tag_main entry;
    entry.tag = 0x927C;
    entry.type = 11;
    entry.datasize = 0xFFFFFFFF;
    EXPECT_EQ(capture_trace([&] { tag_log(entry); }), "tag [makernote]\ntag_type [unknown]\ndata_size [-1]\n");
}
