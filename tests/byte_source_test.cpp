#include "byte_source.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "fixture.h"
#include "test_util.h"

using fixture::bytes;

TEST(ByteSource, BytesOutsideTheSourceReadAsZero) {
    byte_source source = memory_source({1, 2, 3, 4});
    std::uint8_t out[6];
    struct row {
        std::int64_t at;
        std::size_t held;
        bytes want;
    } rows[] = {
        {0, 4, {1, 2, 3, 4, 0, 0}},
        {2, 2, {3, 4, 0, 0, 0, 0}},
        {-2, 4, {0, 0, 1, 2, 3, 4}},
        {-100, 0, {0, 0, 0, 0, 0, 0}},
        {1000, 0, {0, 0, 0, 0, 0, 0}},
    };
    for (const row& r : rows) {
        source_seek(source, r.at);
        EXPECT_EQ(source_read(source, out, sizeof out), r.held) << r.at;
        EXPECT_EQ(bytes(out, out + 6), r.want) << r.at;
        EXPECT_EQ(source_tell(source), r.at + 6);
    }
}

TEST(ByteSource, FileReadsCrossTheWindowAndEndCleanly) {
    scoped_temp_dir dir;
    bytes content(200000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    write_file(dir / "f", content);
    byte_source source;
    ASSERT_TRUE(open_source(source, dir / "f"));
    for (std::int64_t at : {0, 65530, 131070, 4095, 199990, 70000, 10}) {
        std::uint8_t out[16];
        source_seek(source, at);
        source_read(source, out, sizeof out);
        for (std::size_t i = 0; i < sizeof out; ++i) {
            std::size_t p = static_cast<std::size_t>(at) + i;
            ASSERT_EQ(out[i], p < content.size() ? content[p] : 0) << "at " << p;
        }
    }
    source_seek(source, 199998);
    EXPECT_EQ(source_getc(source), content[199998]);
    EXPECT_EQ(source_getc(source), content[199999]);
    EXPECT_EQ(source_getc(source), -1);
    close_source(source);
    EXPECT_FALSE(open_source(source, dir.path.string())) << "a directory is no source";
    EXPECT_FALSE(open_source(source, dir / "missing"));
}

TEST(ByteSource, AFailingReadIsNotTakenForTheEndOfTheFile) {
    scoped_temp_dir dir;
    write_file(dir / "f", bytes(100, 0x11));
    byte_source source;
    ASSERT_TRUE(open_source(source, dir / "f"));
    ::close(source.file.fd);
    source.file.fd = ::open((dir / "f").c_str(), O_WRONLY | O_APPEND);  // reads from it fail
    EXPECT_EQ(source_getc(source), -1);
    EXPECT_TRUE(source.read_failed);
    close_source(source);
}

namespace {

// An FF that no 00 follows, as the walk's scan of image data looks for one.
scan_stop ff_not_00(const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (b[i] != 0xFF) continue;
        if (i + 1 == n) return {i, false};
        if (b[i + 1] != 0x00) return {i, true};
        ++i;
    }
    return {n, false};
}

}  // namespace

// A scan of a file stops where a scan of the same bytes in memory does,
// wherever the mark falls against the blocks and the reads of many blocks.
TEST(ByteSource, ScansOfAFileFindWhatScansOfMemoryFind) {
    scoped_temp_dir dir;
    for (std::int64_t mark : {3, 16383, 16384, 65535, 65536, 131071, 131072, 150000, 199998, -1}) {
        SCOPED_TRACE(mark);
        bytes content(200000, 0x00);
        for (std::size_t i = 0; i < content.size(); i += 997) content[i] = 0xFF;  // FF 00: stepped over
        if (mark >= 0) content[static_cast<std::size_t>(mark) + 1] = 0x01;
        if (mark >= 0) content[static_cast<std::size_t>(mark)] = 0xFF;
        write_file(dir / "f", content);
        byte_source file;
        ASSERT_TRUE(open_source(file, dir / "f"));
        byte_source memory = memory_source(content);
        EXPECT_EQ(source_scan(memory, 0, ff_not_00), mark);
        EXPECT_EQ(source_scan(file, 0, ff_not_00), mark);
        EXPECT_FALSE(file.read_failed);
        close_source(file);
    }
}
