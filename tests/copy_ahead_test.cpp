#include "copy_ahead.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixture.h"
#include "log.h"
#include "main.h"
#include "test_util.h"

using fixture::bytes;
using fixture::concat;

namespace {

scan_stop find_nothing(const std::uint8_t*, std::size_t n) { return {n, false}; }

// The ways the bytes travel: a second thread, the scan's own reads, or the
// finish alone (no thread, nothing scanned).
enum class way { thread, scanned, at_finish };

}  // namespace

// Whichever way the bytes travel and wherever the job stops the copy, the
// output holds what it held before, then the source from the offset up to
// that end, and nothing after it.
TEST(CopyAhead, TheOutputEndsWhereTheJobStopsIt) {
    const bytes content = noise(3 * (1 << 20) + 777, 7);
    const bytes head = fixture::text("head");
    const std::int64_t offset = 1001;
    const auto size = static_cast<std::int64_t>(content.size());
    for (way w : {way::thread, way::scanned, way::at_finish}) {
        for (std::int64_t end : {offset, offset + 70000, size - 5, size}) {
            SCOPED_TRACE("way " + std::to_string(static_cast<int>(w)) + ", end " + std::to_string(end));
            scoped_temp_dir dir;
            write_file(dir / "in", content);
            byte_source source;
            ASSERT_TRUE(open_source(source, dir / "in"));
            output_file out;
            ASSERT_TRUE(open_output(out, dir / "out"));
            ASSERT_TRUE(write_output(out, head.data(), head.size()));
            set_copy_ahead_thread_least(w == way::thread ? 0 : size + 1);
            copy_ahead ahead;
            start_copy_ahead(ahead, out, source, offset);
            if (w == way::scanned) {
                EXPECT_EQ(source_scan(source, offset, find_nothing), -1);
            }
            EXPECT_EQ(finish_copy_ahead(ahead, end), copy_result::done);
            EXPECT_EQ(source.watch, nullptr);
            close_source(source);
            ASSERT_EQ(commit_output(out), commit_result::done);
            EXPECT_TRUE(read_file(dir / "out") == concat({head, bytes(content.begin() + offset, content.begin() + end)}));
        }
    }
    set_copy_ahead_thread_least(COPY_AHEAD_THREAD_LEAST);
}

// -s, -i and -g write the same bytes, and refuse the same photos, whether the
// image data goes through a second thread or through the scan's own reads:
// a trailer the thread copies too far is cut off again, and an Exif segment
// between two scans still takes -i's segment.
TEST(CopyAhead, JobsWriteTheSameWhicheverWayTheImageDataTravels) {
    auto segment = [](std::uint8_t marker, const bytes& payload) {
        auto length = static_cast<std::uint8_t>(payload.size() + 2);
        return concat({{0xFF, marker, 0x00, length}, payload});
    };
    const bytes sos = segment(0xDA, {0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    bytes data = noise(200000, 3);
    for (std::uint8_t& b : data) b = b == 0xFF ? 0x00 : b;
    const bytes exif = segment(0xE1, concat({fixture::text("Exif"), {0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 0}}));
    const bytes soi = {0xFF, 0xD8}, eoi = {0xFF, 0xD9};
    struct row {
        const char* name;
        bytes photo;
    } rows[] = {
        {"a trailer after the image", concat({soi, exif, sos, data, eoi, fixture::text("phone trailer"), data})},
        {"Exif between two scans", concat({soi, sos, data, exif, sos, data, eoi})},
        {"image data to the end", concat({soi, exif, sos, data})},
        {"restart markers and a comment between scans",
         concat({soi, sos, data, {0xFF, 0xD0}, data, segment(0xFE, fixture::text("note")), sos, data, eoi})},
    };
    std::FILE* sink = temp_stream();
    set_output_stream(sink);
    for (const row& r : rows) {
        for (const char* mode : {"-s", "-i", "-g"}) {
            SCOPED_TRACE(std::string(r.name) + ", " + mode);
            scoped_temp_dir dir;
            const std::string photo = dir / "photo.jpg", app1 = dir / "new.app1";
            write_file(photo, r.photo);
            write_file(app1, fixture::camera_segment(true));
            std::vector<const char*> args = {"segsplice", photo.c_str(), mode};
            if (std::string(mode) == "-i") args.push_back(app1.c_str());
            int status[2];
            bytes written[2];
            for (int threaded : {0, 1}) {
                const std::string out = dir / (threaded ? "threaded.jpg" : "read.jpg");
                write_file(out, fixture::text("old"));
                args.push_back(out.c_str());
                set_copy_ahead_thread_least(threaded ? 0 : COPY_AHEAD_THREAD_LEAST);
                status[threaded] = segsplice_main(static_cast<int>(args.size()), args.data());
                written[threaded] = read_file(out);
                args.pop_back();
            }
            EXPECT_EQ(status[0], status[1]);
            EXPECT_TRUE(written[0] == written[1]);
            if (status[0] != 0) {
                EXPECT_TRUE(written[0] == fixture::text("old"));
#ifndef _WIN32
                // Written directly, the output cannot be cut back: it gets
                // no byte of the photo before the whole image is walked,
                // only the message.
                std::string direct = std::string("photo.jpg ") + mode + (args.size() > 3 ? " new.app1" : "");
                EXPECT_EQ(run_tool(dir.path.string(), direct + " /dev/stdout > direct.jpg").status, 1);
                EXPECT_TRUE(read_file(dir / "direct.jpg") == fixture::text("not a jpeg file [photo.jpg].\n"));
#endif
            }
            EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        }
    }
    set_copy_ahead_thread_least(COPY_AHEAD_THREAD_LEAST);
    set_output_stream(nullptr);
    std::fclose(sink);
}
