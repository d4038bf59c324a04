// Names on Windows: every sequence of UTF-16 units has one byte form, and
// bytes that are no such form are refused rather than guessed at.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "wtf8.h"

TEST(Wtf8, EveryUnitSequenceHasOneByteFormAndBack) {
    struct row {
        const char* name;
        std::u16string units;
        std::string bytes;
    } rows[] = {
        {"ASCII", u"out.jpg", "out.jpg"},
        {"two, three and four bytes", u"\u00df\u5199\U0001F4F7", "\xc3\x9f\xe5\x86\x99\xf0\x9f\x93\xb7"},
        {"unpaired lead surrogate", {u'o', 0xD800, u'.'}, "o\xed\xa0\x80."},
        {"unpaired trail surrogate", {0xDC00}, "\xed\xb0\x80"},
        {"lead surrogate at the end", {u'a', 0xDBFF}, "a\xed\xaf\xbf"},
        {"trail before lead is no pair", {0xDC00, 0xD800}, "\xed\xb0\x80\xed\xa0\x80"},
        {"two leads, then a pair", {0xD800, 0xD83D, 0xDCF7}, "\xed\xa0\x80\xf0\x9f\x93\xb7"},
        {"largest code point", {0xDBFF, 0xDFFF}, "\xf4\x8f\xbf\xbf"},
        {"empty", u"", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(wtf8_encode(r.units), r.bytes);
        std::u16string units;
        EXPECT_TRUE(wtf8_decode(r.bytes, units));
        EXPECT_TRUE(units == r.units);
    }
}

TEST(Wtf8, BytesThatAreNoUnitSequenceAreRefused) {
    const char* rows[] = {
        "\xff",                      // no lead byte at all
        "a\x80",                     // a stray continuation byte
        "\xe5\x86",                  // cut short
        "\xe5\x41\x99",              // a continuation byte missing
        "\xc0\xaf",                  // overlong '/'
        "\xe0\x80\xaf",              // overlong, three bytes
        "\xf0\x8f\xbf\xbf",          // overlong, four bytes
        "\xf4\x90\x80\x80",          // beyond U+10FFFF
        "\xed\xa0\xbd\xed\xb3\xb7",  // a surrogate pair as two halves
    };
    for (const char* bytes : rows) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        std::u16string units;
        EXPECT_FALSE(wtf8_decode(bytes, units));
    }
}

// One byte form per unit sequence, both ways: random sequences of the units
// and bytes where the forms change round-trip exactly, or are refused.
TEST(Wtf8, RandomUnitsAndBytesRoundTrip) {
    const char16_t units_at_edges[] = {0x41, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF};
    const unsigned char bytes_at_edges[] = {0x41, 0x7F, 0x80, 0xBF, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xA0, 0x9F, 0x90, 0x8F};
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        std::u16string units;
        std::string bytes;
        for (int i = random() % 8; i > 0; --i) {
            units.push_back(units_at_edges[random() % std::size(units_at_edges)]);
            bytes.push_back(static_cast<char>(bytes_at_edges[random() % std::size(bytes_at_edges)]));
        }
        std::u16string back;
        ASSERT_TRUE(wtf8_decode(wtf8_encode(units), back));
        ASSERT_TRUE(back == units);
        if (wtf8_decode(bytes, back)) {
            ASSERT_EQ(wtf8_encode(back), bytes);
        }
    }
}
