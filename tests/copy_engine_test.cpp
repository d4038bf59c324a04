#include "copy_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "fixture.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;

namespace {

int kernel_calls = 0;
std::int64_t kernel_budget = 0;  // bytes the kernel copies before it refuses

std::int64_t counting_copy(int in, std::int64_t* offset, int out, std::size_t n) {
    ++kernel_calls;
    return system_kernel_copy(in, offset, out, n);
}

std::int64_t refusing_copy(int, std::int64_t*, int, std::size_t) {
    ++kernel_calls;
    errno = EXDEV;
    return -1;
}

// Copies kernel_budget bytes in small pieces, then refuses as the given errno,
// or reports 0 as some pseudo-filesystems do.
template <int ERROR>
std::int64_t giving_up_copy(int in, std::int64_t* offset, int out, std::size_t n) {
    ++kernel_calls;
    if (kernel_budget <= 0) {
        errno = ERROR;
        return ERROR ? -1 : 0;
    }
    std::int64_t done = system_kernel_copy(in, offset, out, std::min<std::size_t>(n, 4099));
    if (done > 0) kernel_budget -= done;
    return done;
}

}  // namespace

// Whichever way the bytes go, a head, a middle range and a tail land exactly,
// and the kernel is asked only where both ends are regular files. A head of
// 1000 bytes puts each range where it stood in the source (copy_file_range,
// after the buffer has taken the bytes up to an aligned offset); a head of 4
// moves them (a pipe).
TEST(CopyRange, EveryPathGivesTheSameBytes) {
    const bytes content = noise((1 << 20) + 12345, 99);
    const std::string shm = fs::is_directory("/dev/shm") ? "/dev/shm" : "";
    struct row {
        const char* name;
        kernel_copy_fn kernel;
        std::int64_t budget;
        bool from_pipe, from_shm;
        bool kernel_used;
    } rows[] = {
        {"kernel copy", counting_copy, 0, false, false, true},
        {"kernel refuses at once", refusing_copy, 0, false, false, true},
        {"kernel refuses part-way", giving_up_copy<EXDEV>, 150000, false, false, true},
        {"kernel stops with 0 part-way", giving_up_copy<0>, 70001, false, false, true},
        {"source on another filesystem", counting_copy, 0, false, true, true},
        {"source is a pipe", counting_copy, 0, true, false, false},
    };
    for (const row& r : rows)
    for (std::size_t head : {4u, 1000u}) {
        SCOPED_TRACE(std::string(r.name) + ", head " + std::to_string(head));
        if (r.from_shm && shm.empty()) {
            std::cout << "[  SKIPPED ] " << r.name << ": no /dev/shm here\n";
            continue;
        }
        scoped_temp_dir dir, far;
        std::string src = r.from_shm ? shm + "/segsplice-copy-test-" + std::to_string(::getpid()) : dir / "src";
        write_file(src, content);
        set_kernel_copy(r.kernel);
        kernel_calls = 0;
        kernel_budget = r.budget;
        input_file in;
        std::thread feeder;
        if (r.from_pipe) {
            ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
            feeder = std::thread([&] { write_file(dir / "pipe", bytes(content.begin() + 1000, content.end())); });
            ASSERT_TRUE(open_input(in, dir / "pipe", false));
        } else {
            ASSERT_TRUE(open_input(in, src, true));
        }
        output_file out;
        ASSERT_TRUE(open_output(out, dir / "out"));
        ASSERT_TRUE(write_output(out, content.data(), head));
        EXPECT_EQ(copy_range(out, in, 1000, 300000), copy_result::done);
        EXPECT_EQ(copy_range(out, in, 301000, -1), copy_result::done);
        EXPECT_EQ(commit_output(out), commit_result::done);
        if (feeder.joinable()) feeder.join();
        close_input(in);
        set_kernel_copy(nullptr);
        bytes want(content.begin(), content.begin() + static_cast<long>(head));
        want.insert(want.end(), content.begin() + 1000, content.end());
        EXPECT_TRUE(read_file(dir / "out") == want);
        EXPECT_EQ(kernel_calls > 0, r.kernel_used);
        if (r.from_shm) fs::remove(src);
    }
}

// A fixed range that the source cannot fill is short, whichever path copied it.
TEST(CopyRange, ARangePastTheEndIsShort) {
    for (kernel_copy_fn kernel : {counting_copy, refusing_copy}) {
        scoped_temp_dir dir;
        write_file(dir / "src", noise(5000, 99));
        set_kernel_copy(kernel);
        input_file in;
        ASSERT_TRUE(open_input(in, dir / "src", true));
        output_file out;
        ASSERT_TRUE(open_output(out, dir / "out"));
        EXPECT_EQ(copy_range(out, in, 4000, 2000), copy_result::short_input);
        discard_output(out);
        close_input(in);
        set_kernel_copy(nullptr);
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}
