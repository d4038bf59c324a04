// The mapped scan: a file cut short under the mapping fails the read, never
// the process, and a job that meets it changes nothing.
#include "file_map.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "byte_source.h"
#include "fixture.h"
#include "log.h"
#include "main.h"
#include "test_util.h"

using fixture::bytes;

namespace {

// What the hook cuts short, and to how many bytes.
std::string cut_path;
off_t cut_to = 0;

void cut_file(const input_file&) { ASSERT_EQ(::truncate(cut_path.c_str(), cut_to), 0); }

scan_stop find_ff(const std::uint8_t* bytes, std::size_t n) {
    const void* at = std::memchr(bytes, 0xFF, n);
    if (!at) return {n, false};
    return {static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - bytes), true};
}

// The mapped scan's guard cannot be seen at work where the emulator itself
// dies of the SIGBUS.
#ifdef SEGSPLICE_EMULATOR_KILLS_ON_SIGBUS
#define SKIP_WITHOUT_SIGBUS() GTEST_SKIP() << "qemu-s390x ends the program on a mapped file's SIGBUS before its handler runs"
#else
#define SKIP_WITHOUT_SIGBUS()
#endif

std::string printed(std::FILE* sink) {
    std::string text(static_cast<std::size_t>(std::ftell(sink)), '\0');
    std::rewind(sink);
    text.resize(std::fread(text.data(), 1, text.size(), sink));
    return text;
}

}  // namespace

TEST(FileMap, AFileCutShortUnderTheMappingFailsTheRead) {
    SKIP_WITHOUT_SIGBUS();
    struct sigaction before;
    ASSERT_EQ(::sigaction(SIGBUS, nullptr, &before), 0);
    scoped_temp_dir dir;
    cut_path = dir / "f";
    bytes content(3 * 4096 + 100, 0x00);
    content.back() = 0xFF;
    write_file(cut_path, content);
    input_file in;
    ASSERT_TRUE(open_input(in, cut_path, true));
    const std::size_t n = content.size() - 10;
    scan_stop stop;
    ASSERT_EQ(scan_mapped(in, 10, n, find_ff, stop), map_result::scanned);
    EXPECT_TRUE(stop.found);
    EXPECT_EQ(stop.at, n - 1);
    // Cut between the size check and the scan: the pages past the new end fault.
    cut_to = 4096;
    set_map_hook(cut_file);
    EXPECT_EQ(scan_mapped(in, 10, n, find_ff, stop), map_result::read_failed);
    set_map_hook(nullptr);
    // Shorter than asked before the mapping: nothing is mapped.
    EXPECT_EQ(scan_mapped(in, 10, n, find_ff, stop), map_result::read_failed);
    close_input(in);
    struct sigaction after;
    ASSERT_EQ(::sigaction(SIGBUS, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "the previous handler is back";
}

TEST(FileMap, AJobWhoseSourceIsCutShortWhileMappedChangesNothing) {
    SKIP_WITHOUT_SIGBUS();
    // A scan of 64 KiB, cut short in its middle.
    fixture::jpeg_options options;
    options.tail = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
    options.tail.resize(options.tail.size() + 64 * 1024, 0x12);
    options.tail.insert(options.tail.end(), {0xFF, 0xD9});
    const bytes photo = fixture::jpeg(fixture::camera_segment(true), options);
    const bytes old = fixture::text("old target\n");
    scoped_temp_dir dir;
    const std::string src = dir / "photo.jpg", out = dir / "out.jpg", app1 = dir / "new.app1";
    write_file(app1, fixture::camera_segment(false));
    cut_path = src;
    cut_to = static_cast<off_t>(photo.size() / 2);
    set_scan_mapping(MAP_WINDOW, 0);
    set_map_hook(cut_file);
    const std::vector<std::vector<const char*>> jobs = {
        {"segsplice", src.c_str(), "-s", out.c_str()},
        {"segsplice", src.c_str(), "-i", app1.c_str(), out.c_str()},
    };
    for (const auto& argv : jobs) {
        SCOPED_TRACE(argv[2]);
        write_file(src, photo);
        write_file(out, old);
        std::FILE* sink = std::tmpfile();
        set_output_stream(sink);
        EXPECT_EQ(segsplice_main(static_cast<int>(argv.size()), argv.data()), 1);
        EXPECT_EQ(printed(sink), "input file read error [" + src + "].\n");
        set_output_stream(nullptr);
        std::fclose(sink);
        EXPECT_EQ(read_file(out), old);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
    set_map_hook(nullptr);
    set_scan_mapping(MAP_WINDOW, MAP_LEAST);
}
