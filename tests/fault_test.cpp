// Faults, end to end on the real binary: whatever goes wrong, a job reports it
// once, ends with status 1, leaves no temporary file and leaves every file
// that was there before with its bytes.
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "copy_ahead.h"
#include "fixture.h"
#include "log.h"
#include "main.h"
#include "output_file.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;

namespace {

const bytes OLD = fixture::text("old bytes of a file the user had\n");

// A camera file: SOI, APP0, APP1 (the camera segment), tail.
bytes camera_jpeg() { return fixture::jpeg(fixture::camera_segment(true)); }

// The segment starts after SOI (2), APP0 (18) and the APP1 marker (2).
constexpr std::size_t SEGMENT_START = 22;

// Every regular file under dir with its bytes (only the size for big ones),
// and every directory: what a failed job must leave exactly as it was.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        std::string name = fs::relative(item.path(), dir).string();
        if (item.is_directory()) {
            files[name] = "<dir>";
        } else if (!item.is_regular_file()) {
            files[name] = "<special>";
        } else if (item.file_size() > (16u << 20)) {
            files[name] = "<size " + std::to_string(item.file_size()) + ">";
        } else {
            bytes content = read_file(item.path().string());
            files[name] = std::string(content.begin(), content.end());
        }
    }
    return files;
}

// A file of size bytes that holds patches at their offsets and holes elsewhere.
void write_sparse(const std::string& path, std::int64_t size,
                  const std::vector<std::pair<std::int64_t, bytes>>& patches) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::ftruncate(fd, size), 0);
    for (const auto& [offset, content] : patches)
        ASSERT_EQ(::pwrite(fd, content.data(), content.size(), offset), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

bytes read_range(const std::string& path, std::int64_t offset, std::size_t n) {
    bytes content(n);
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    ssize_t got = ::pread(fd, content.data(), n, offset);
    ::close(fd);
    content.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return content;
}

bytes pattern(std::size_t n, std::uint8_t seed) {
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

bool running_as_root() { return ::geteuid() == 0; }

// Makes a file or directory unwritable for the length of a test: permission
// bits normally, the immutable attribute for root, whom bits do not stop.
// binds is false when neither works here (root without chattr support).
struct write_protect {
    std::string path;
    bool immutable = false;
    bool binds = false;

    explicit write_protect(const std::string& target) : path(target) {
        if (running_as_root()) {
            immutable = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
            binds = immutable;
        } else {
            fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove);
            binds = ::access(path.c_str(), W_OK) != 0;
        }
    }
    ~write_protect() {
        if (immutable) std::system(("chattr -i '" + path + "' 2>/dev/null").c_str());
        else fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    }
};

// One failing job: the scene it meets, the command line, what it must say.
struct fault_case {
    const char* name;
    std::function<void(const scoped_temp_dir&)> setup;
    std::string args;
    std::string message;
    std::string protect = "";  // a path made read-only once the scene is set
};

// Runs each case in a fresh directory that already holds photo.jpg, its
// segment as photo.app1 and old targets, and checks the common promise.
void run_fault_cases(const std::vector<fault_case>& cases, const std::string& shell_setup = "") {
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        scoped_temp_dir dir;
        write_file(dir / "photo.jpg", camera_jpeg());
        write_file(dir / "photo.app1", fixture::camera_segment(true));
        write_file(dir / "photo.jpg.app1", OLD);
        write_file(dir / "out.jpg", OLD);
        if (c.setup) c.setup(dir);
        std::unique_ptr<write_protect> guard;
        if (!c.protect.empty()) guard = std::make_unique<write_protect>(dir / c.protect);
        auto before = snapshot(dir.path.string());
        tool_run run = run_tool(dir.path.string(), c.args, shell_setup);
        EXPECT_EQ(run.output, c.message);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        EXPECT_TRUE(snapshot(dir.path.string()) == before) << "files changed";
    }
}

void make_dir(const scoped_temp_dir& dir, const std::string& name) { fs::create_directories(dir / name); }

// photo.jpg cut just before the given offset into its segment.
std::function<void(const scoped_temp_dir&)> truncated_at(std::size_t segment_offset) {
    return [segment_offset](const scoped_temp_dir& dir) {
        bytes whole = camera_jpeg();
        whole.resize(SEGMENT_START + segment_offset);
        write_file(dir / "cut.jpg", whole);
        write_file(dir / "cut.jpg.app1", OLD);
    };
}

TEST(FaultTest, FailedJobsReportOnceAndChangeNothing) {
    std::size_t ifd0_middle = 8 + 8 + 2 + 12 * 4 + 5;  // inside IFD0's fifth entry
    run_fault_cases({
        {"source is a directory", [](auto& d) { make_dir(d, "src.d"); }, "src.d -r", "file open error.\n"},
        {"source is missing", nullptr, "none.jpg -w photo.app1 out.jpg", "file open error.\n"},
        {"source is a pipe", [](auto& d) { ::mkfifo((d / "pipe.jpg").c_str(), 0644); },
         "pipe.jpg -w photo.app1 out.jpg", "file open error.\n"},
        {"cut target is a directory", [](auto& d) { fs::remove(d / "photo.jpg.app1"); make_dir(d, "photo.jpg.app1"); },
         "photo.jpg -r", "output file open error [photo.jpg.app1].\n"},
        {"replace target is a directory", [](auto& d) { make_dir(d, "out.d"); },
         "photo.jpg -w photo.app1 out.d", "output file open error 1 [out.d].\n"},
        {"vireo target is a directory", [](auto& d) { make_dir(d, "out.d"); },
         "photo.jpg -wvireo photo.app1 out.d", "output file open error 1 [out.d].\n"},
        {"target directory is missing", nullptr, "photo.jpg -w photo.app1 no/such/out.jpg",
         "output file open error 1 [no/such/out.jpg].\n"},
        {"APP1_FILE is a directory", [](auto& d) { make_dir(d, "seg.d"); },
         "photo.jpg -w seg.d out.jpg", "app1 file open error 2 [seg.d].\n"},
        {"APP1_FILE is missing", nullptr, "photo.jpg -wvireo none.app1 out.jpg",
         "app1 file open error 2 [none.app1].\n"},
        {"source ends inside the header", truncated_at(9), "cut.jpg -r", "app1 segment truncated [cut.jpg].\n"},
        {"source ends inside the segment", truncated_at(fixture::camera_segment(true).size() - 3), "cut.jpg -r",
         "app1 segment truncated [cut.jpg].\n"},
        {"source ends inside a directory", truncated_at(ifd0_middle), "cut.jpg -r",
         "app1 segment truncated [cut.jpg].\n"},
        // The refusal goes to standard error, since standard output is the photo.
        {"output appended to its own source", nullptr, "photo.jpg -w photo.app1 /dev/stdout >> photo.jpg", ""},
        {"output appended to its APP1_FILE", nullptr, "photo.jpg -w photo.app1 /dev/fd/3 3>> photo.app1", ""},
    });
}

// The trace of a truncated source still ends normally: missing bytes read as
// zero, and only the cut (which must copy them) refuses.
TEST(FaultTest, TruncatedSourceStillParsesAndSplices) {
    bytes whole = camera_jpeg();
    bytes segment = fixture::camera_segment(true);
    bytes fresh = fixture::camera_segment(false);
    for (std::size_t keep : {SEGMENT_START + 9, SEGMENT_START + 71, SEGMENT_START + segment.size() - 1}) {
        SCOPED_TRACE(keep);
        scoped_temp_dir dir;
        write_file(dir / "cut.jpg", bytes(whole.begin(), whole.begin() + static_cast<long>(keep)));
        write_file(dir / "fresh.app1", fresh);
        tool_run parse = run_tool(dir.path.string(), "cut.jpg -d");
        EXPECT_EQ(parse.status, 0);
        EXPECT_NE(parse.output.find("tiff_header.first_ifd_address"), std::string::npos);
        tool_run replace = run_tool(dir.path.string(), "cut.jpg -w fresh.app1 out.jpg");
        EXPECT_EQ(replace.status, 0) << replace.output;
        bytes expected(whole.begin(), whole.begin() + SEGMENT_START);
        expected.insert(expected.end(), fresh.begin(), fresh.end());
        EXPECT_EQ(read_file(dir / "out.jpg"), expected);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

// Every length of a camera file, in process: a cut is exact or refused, a
// splice keeps whatever the source still holds.
TEST(FaultTest, TruncationSweep) {
    bytes whole = camera_jpeg();
    bytes segment = fixture::camera_segment(true);
    scoped_temp_dir dir;
    std::string src = dir / "t.jpg", cut = src + ".app1", out = dir / "out.jpg", seg = dir / "seg.app1";
    write_file(seg, segment);
    std::FILE* sink = std::tmpfile();
    set_output_stream(sink);
    set_log_enable(0);
    for (std::size_t keep = 0; keep <= whole.size(); ++keep) {
        SCOPED_TRACE(keep);
        write_file(src, bytes(whole.begin(), whole.begin() + static_cast<long>(keep)));
        fs::remove(cut);
        // The length field itself may be cut short: its missing bytes read as zero.
        std::size_t length = (keep > SEGMENT_START ? whole[SEGMENT_START] << 8 : 0) |
                             (keep > SEGMENT_START + 1 ? whole[SEGMENT_START + 1] : 0);
        std::size_t seen_end = SEGMENT_START + length;
        const char* cut_args[] = {"segsplice", src.c_str(), "-r"};
        int status = segsplice_main(3, cut_args);
        if (keep >= SEGMENT_START && seen_end <= keep) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(read_file(cut), bytes(whole.begin() + SEGMENT_START, whole.begin() + static_cast<long>(seen_end)));
        } else {
            EXPECT_EQ(status, keep >= SEGMENT_START ? 1 : 0);
            EXPECT_FALSE(fs::exists(cut));
        }
        const char* replace_args[] = {"segsplice", src.c_str(), "-w", seg.c_str(), out.c_str()};
        fs::remove(out);
        EXPECT_EQ(segsplice_main(5, replace_args), 0);
        if (keep >= SEGMENT_START) {
            bytes expected(whole.begin(), whole.begin() + SEGMENT_START);
            expected.insert(expected.end(), segment.begin(), segment.end());
            std::size_t rest = std::min(seen_end, keep);
            expected.insert(expected.end(), whole.begin() + static_cast<long>(rest), whole.begin() + static_cast<long>(keep));
            EXPECT_EQ(read_file(out), expected);
        } else {
            EXPECT_FALSE(fs::exists(out));
        }
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
    set_output_stream(nullptr);
    std::fclose(sink);
}

// A source that another program cuts short after the job has read its
// structure, before the rest is copied, fails the job with the target as it
// was; one that grows meanwhile is copied as far as it reached when opened.
TEST(FaultTest, ASourceThatChangesBeforeItsTailIsCopied) {
    // A scan of 300,000 bytes of entropy-coded data after the Exif segment.
    fixture::jpeg_options options;
    options.tail = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
    for (std::uint8_t b : pattern(300000, 4)) options.tail.push_back(b == 0xFF ? 0 : b);
    options.tail.insert(options.tail.end(), {0xFF, 0xD9});
    const bytes photo = fixture::jpeg(fixture::camera_segment(true), options);
    const std::int64_t tail = SEGMENT_START + static_cast<std::int64_t>(fixture::camera_segment(true).size());
    const std::int64_t grown = static_cast<std::int64_t>(photo.size()) + 5000;
    const std::string read_error = "input file read error [SRC].\n";
    struct row {
        const char* mode;
        std::int64_t size;  // what the source becomes
        std::string message;
        bool threaded = false;  // the image data copied by a second thread
    } rows[] = {
        {"-w", 1000, read_error},       {"-wvireo", 1000, read_error}, {"-i", 1000, read_error},
        {"-s", 1000, read_error},       {"-w", grown, ""},             {"-i", grown, ""},
        {"-s", 1000, read_error, true}, {"-i", 1000, read_error, true}, {"-i", grown, "", true},
    };
    std::FILE* sink = temp_stream();
    set_output_stream(sink);
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + " to " + std::to_string(r.size) + (r.threaded ? ", threaded" : ""));
        set_copy_ahead_thread_least(r.threaded ? 0 : COPY_AHEAD_THREAD_LEAST);
        scoped_temp_dir dir;
        std::string src = dir / "photo.jpg", app1 = dir / "photo.app1", out = dir / "out.jpg";
        write_file(src, photo);
        write_file(app1, fixture::camera_segment(false));
        std::vector<const char*> args = {"segsplice", src.c_str(), r.mode};
        if (std::string(r.mode) != "-s") args.push_back(app1.c_str());
        args.push_back(out.c_str());
        ASSERT_EQ(segsplice_main(static_cast<int>(args.size()), args.data()), 0);
        const bytes unchanged_result = read_file(out);
        write_file(out, OLD);
        int status;
        {
            resized_before_copy resized(src, tail, r.size);
            std::rewind(sink);
            ASSERT_EQ(::ftruncate(::fileno(sink), 0), 0);
            status = segsplice_main(static_cast<int>(args.size()), args.data());
        }
        std::fflush(sink);
        std::rewind(sink);
        char said[256] = {};
        said[std::fread(said, 1, sizeof said - 1, sink)] = '\0';
        std::string message = r.message;
        if (!message.empty()) message.replace(message.find("SRC"), 3, src);
        EXPECT_EQ(said, message);
        EXPECT_EQ(status, r.message.empty() ? 0 : 1);
        EXPECT_EQ(read_file(out), r.message.empty() ? unchanged_result : OLD);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
    set_copy_ahead_thread_least(COPY_AHEAD_THREAD_LEAST);
    set_output_stream(nullptr);
    std::fclose(sink);
}

TEST(FaultTest, UnwritableTargetsAndDirectories) {
    scoped_temp_dir probe;
    fs::create_directories(probe / "ro");
    {
        write_protect guard(probe / "ro");
        if (!guard.binds) GTEST_SKIP() << "nothing makes a directory read-only here";
    }
    run_fault_cases({
        {"replace into a read-only directory", [](auto& d) { make_dir(d, "ro"); }, "photo.jpg -w photo.app1 ro/out.jpg",
         "output file open error 1 [ro/out.jpg].\n", "ro"},
        {"cut beside a source in a read-only directory",
         [](auto& d) { make_dir(d, "ro"); write_file(d / "ro/photo.jpg", camera_jpeg()); },
         "ro/photo.jpg -r", "output file open error [ro/photo.jpg.app1].\n", "ro"},
        {"read-only replace target", nullptr, "photo.jpg -wvireo photo.app1 out.jpg",
         "output file open error 1 [out.jpg].\n", "out.jpg"},
        {"read-only cut target", nullptr, "photo.jpg -r", "output file open error [photo.jpg.app1].\n",
         "photo.jpg.app1"},
    });
}

TEST(FaultTest, UnreadableSource) {
    scoped_temp_dir dir;
    write_file(dir / "photo.jpg", camera_jpeg());
    write_file(dir / "photo.jpg.app1", OLD);
    fs::permissions(dir / "photo.jpg", fs::perms::none);
    // Permission bits do not stop root: as root, the tool runs as a user whom they stop.
    std::string user;
    if (running_as_root()) {
        for (const char* name : {"", "photo.jpg", "photo.jpg.app1"})
            ASSERT_EQ(::chown((dir / name).c_str(), 4242, 4242), 0) << name;
        user = as_user(4242);
    } else if (std::ifstream(dir / "photo.jpg")) {
        GTEST_SKIP() << "permission bits do not stop this user";
    }
    auto before = snapshot(dir.path.string());
    tool_run run = run_tool(dir.path.string(), "photo.jpg -r", user);
    EXPECT_EQ(run.output, "file open error.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(snapshot(dir.path.string()) == before);
}

// Past a file-size limit the write fails (SIGXFSZ is ignored by the tool, not
// by the test) and the job is refused, old targets intact. The segment is
// near the 16-bit maximum so that even the cut outgrows the limit.
TEST(FaultTest, WriteFailsMidway) {
    fixture::tiff_layout layout = fixture::camera_layout(true);
    layout.dirs[0].entries.push_back({0x9286, 7, 60000, pattern(60000, 3)});
    bytes segment = fixture::app1_segment(fixture::build_tiff(layout));
    ASSERT_LT(segment.size(), 65536u);
    fixture::jpeg_options options;
    options.padding = 100000;
    auto big_source = [segment, options](const scoped_temp_dir& d) {
        write_file(d / "big.jpg", fixture::jpeg(segment, options));
        write_file(d / "big.jpg.app1", OLD);
    };
    auto big_plain = [](const scoped_temp_dir& d) {
        // A photo without APP1: SOI, two comment segments of 50000 bytes, EOI.
        bytes plain(100004, 0x20);
        for (std::size_t at : {0u, 2u, 50002u, 100002u}) plain[at] = 0xFF;
        plain[1] = 0xD8;
        plain[100003] = 0xD9;
        for (std::size_t at : {3u, 50003u}) {
            plain[at] = 0xFE;
            plain[at + 1] = 0xC3;  // length 49998: 50000 bytes with the marker
            plain[at + 2] = 0x4E;
        }
        write_file(d / "plain.jpg", plain);
    };
    // 40 blocks: 20 KiB with 512-byte blocks, 40 KiB with 1 KiB ones.
    run_fault_cases(
        {
            {"cut", big_source, "big.jpg -r", "output file write error [big.jpg.app1].\n"},
            {"replace", big_source, "big.jpg -w photo.app1 out.jpg", "output file write error [out.jpg].\n"},
            {"vireo", big_source, "big.jpg -wvireo big.jpg out.jpg", "output file write error [out.jpg].\n"},
            {"insert", big_plain, "plain.jpg -i photo.app1 out.jpg", "output file write error [out.jpg].\n"},
        },
        "ulimit -f 40;");
}

// An APP1_FILE of more than 100 MiB is copied whole, between the right bytes.
TEST(FaultTest, HugeApp1File) {
    scoped_temp_dir dir;
    bytes photo = camera_jpeg();
    std::size_t tail = photo.size() - SEGMENT_START - fixture::camera_segment(true).size();
    write_file(dir / "photo.jpg", photo);
    const std::int64_t size = (101LL << 20) + 7;
    bytes head = pattern(4096, 1), last = pattern(4096, 2);
    write_sparse(dir / "huge.app1", size, {{0, head}, {size - 4096, last}});
    tool_run run = run_tool(dir.path.string(), "photo.jpg -w huge.app1 out.jpg");
    ASSERT_EQ(run.status, 0) << run.output;
    std::string out = dir / "out.jpg";
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(out)), static_cast<std::int64_t>(SEGMENT_START) + size + static_cast<std::int64_t>(tail));
    EXPECT_EQ(read_range(out, 0, SEGMENT_START), bytes(photo.begin(), photo.begin() + SEGMENT_START));
    EXPECT_EQ(read_range(out, SEGMENT_START, 4096), head);
    EXPECT_EQ(read_range(out, SEGMENT_START + (50LL << 20), 4096), bytes(4096, 0));
    EXPECT_EQ(read_range(out, SEGMENT_START + size - 4096, 4096), last);
    EXPECT_EQ(read_range(out, SEGMENT_START + size, tail), bytes(photo.end() - static_cast<long>(tail), photo.end()));
    EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
}

// A source past 4 GiB: the scan and the copies use 64-bit positions, so the
// bytes around 2 GiB, 4 GiB and the end land exactly where they belong.
TEST(FaultTest, SourceLargerThan4GiB) {
    scoped_temp_dir dir;
    // The sparse source costs nothing, but the output holds its holes as data.
    if (fs::space(dir.path).available < (5ULL << 30)) GTEST_SKIP() << "needs 5 GiB free in " << dir.path;
    bytes photo = camera_jpeg();
    bytes segment = fixture::camera_segment(true);
    bytes fresh = fixture::camera_segment(false);
    fresh.insert(fresh.end(), 333, 0x5A);  // a different length shifts everything after it
    const std::int64_t size = (4LL << 30) + (1LL << 20) + 123;
    const std::int64_t probes[] = {1LL << 31, 1LL << 32, size - 4096};
    std::vector<std::pair<std::int64_t, bytes>> patches = {{0, photo}};
    for (std::int64_t at : probes) patches.push_back({at - 2048, pattern(4096, static_cast<std::uint8_t>(at >> 20))});
    std::string src = dir / "big.jpg";
    write_sparse(src, size, patches);
    write_file(dir / "fresh.app1", fresh);

    tool_run cut = run_tool(dir.path.string(), "big.jpg -r");
    ASSERT_EQ(cut.status, 0) << cut.output;
    EXPECT_EQ(read_file(dir / "big.jpg.app1"), segment);

    tool_run run = run_tool(dir.path.string(), "big.jpg -w fresh.app1 out.jpg");
    ASSERT_EQ(run.status, 0) << run.output;
    std::string out = dir / "out.jpg";
    std::int64_t shift = static_cast<std::int64_t>(fresh.size()) - static_cast<std::int64_t>(segment.size());
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(out)), size + shift);
    std::int64_t end = SEGMENT_START + static_cast<std::int64_t>(segment.size());
    EXPECT_EQ(read_range(out, 0, SEGMENT_START), read_range(src, 0, SEGMENT_START));
    EXPECT_EQ(read_range(out, SEGMENT_START, fresh.size()), fresh);
    EXPECT_EQ(read_range(out, end + shift, 1 << 16), read_range(src, end, 1 << 16));
    for (std::int64_t at : probes)
        EXPECT_EQ(read_range(out, at - 4096 + shift, 8192), read_range(src, at - 4096, 8192)) << at;
    EXPECT_EQ(read_range(out, size + shift - 8192, 8192), read_range(src, size - 8192, 8192));
    EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    fs::remove(out);
    fs::remove(src);
}

// What a child's wait status says, for a failing test.
std::string ending(int raw) {
    if (WIFEXITED(raw)) return "exit status " + std::to_string(WEXITSTATUS(raw));
    if (WIFSIGNALED(raw)) return std::string("signal ") + strsignal(WTERMSIG(raw));
    return "wait status " + std::to_string(raw);
}

// A child running the whole tool, as this process, in dir with its standard
// output in dir/.stdout. named turns unnamed temporary files off, so that the
// fallback that names its file from the start is what a signal meets; the
// child starts with the signal ignored, as under nohup, when one is given.
pid_t spawn_job(const std::string& dir, const std::vector<std::string>& args, bool named, int ignored = 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (ignored) std::signal(ignored, SIG_IGN);
        int out = ::open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(dir.c_str()) != 0 || out < 0 || ::dup2(out, 1) < 0) ::_exit(127);
        set_unnamed_temp_allowed(!named);
        std::vector<const char*> argv = {"segsplice"};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        int status = segsplice_main(static_cast<int>(argv.size()), argv.data());
        std::fflush(stdout);
        ::_exit(status);
    }
    return pid;
}

// The temporary output that process pid is writing in dir, named or not:
// false when it has none open.
bool temp_output_stat(pid_t pid, const std::string& dir, struct stat& st) {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::string link = fs::read_symlink(item.path(), ec).string();
        bool temp = link.find("(deleted)") != std::string::npos || link.find(".tmp") != std::string::npos;
        if (link.rfind(dir, 0) == 0 && temp && ::stat(item.path().c_str(), &st) == 0) return true;
    }
    return false;
}

std::int64_t temp_output_size(pid_t pid, const std::string& dir) {
    struct stat st;
    return temp_output_stat(pid, dir, st) ? st.st_size : -1;
}

// Waits until fn holds, up to ten seconds.
bool eventually(const std::function<bool()>& fn) {
    for (int i = 0; i < 1000; ++i) {
        if (fn()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fn();
}

// A signal while the output is being written removes the temporary file and
// leaves the target as it was. The APP1_FILE is a pipe fed part of a segment
// and then held open, so the tool is caught in the middle of its copy.
TEST(FaultTest, InterruptedWhileWriting) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF})
    for (const char* mode : {"-w", "-wvireo", "-i"})
    for (bool named : {false, true}) {
        SCOPED_TRACE(std::string(strsignal(sig)) + " " + mode + (named ? " named" : " unnamed"));
        scoped_temp_dir dir;
        write_file(dir / "photo.jpg", camera_jpeg());
        write_file(dir / "out.jpg", OLD);
        ASSERT_EQ(::mkfifo((dir / "seg.fifo").c_str(), 0644), 0);
        pid_t pid = spawn_job(dir.path.string(), {"photo.jpg", mode, "seg.fifo", "out.jpg"}, named);
        ASSERT_GT(pid, 0);
        int feed = ::open((dir / "seg.fifo").c_str(), O_WRONLY);
        ASSERT_GE(feed, 0);
        bytes part = pattern(3000, 9);
        ASSERT_EQ(::write(feed, part.data(), part.size()), static_cast<ssize_t>(part.size()));
        // The bytes are taken up only by the copy into the temporary file.
        EXPECT_TRUE(eventually([&] {
            int waiting = 0;
            ::ioctl(feed, FIONREAD, &waiting);
            return waiting == 0 && temp_output_size(pid, dir.path.string()) >= 0;
        }));
        ::kill(pid, sig);
        int raw = 0;
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        ::close(feed);
        ASSERT_TRUE(WIFSIGNALED(raw));
        EXPECT_EQ(WTERMSIG(raw), sig);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        EXPECT_EQ(read_file(dir / "out.jpg"), OLD);
    }
}

// A signal at any moment of a job whose temporary file is named from the
// start, the instant that name is made included, leaves no temporary file.
TEST(FaultTest, ASignalAtAnyMomentLeavesNoNamedTemporaryFile) {
    scoped_temp_dir dir(memory_folder());
    write_file(dir / "photo.jpg", camera_jpeg());
    const std::vector<std::string> args = {"photo.jpg", "-s", "out.jpg"};
    auto started = std::chrono::steady_clock::now();
    pid_t pid = spawn_job(dir.path.string(), args, true);
    ASSERT_GT(pid, 0);
    int raw = 0;
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
    auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::mt19937 random(20261211);
    std::uniform_int_distribution<long long> moment(0, whole.count());
    int ended_by_signal = 0;
    for (int round = 0; round < 300; ++round) {
        write_file(dir / "out.jpg", OLD);
        pid = spawn_job(dir.path.string(), args, true);
        ASSERT_GT(pid, 0);
        long long delay = moment(random);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        ::kill(pid, SIGTERM);
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        ended_by_signal += WIFSIGNALED(raw);
        std::vector<std::string> left = leftover_temp_files(dir.path.string());
        ASSERT_TRUE(left.empty()) << "SIGTERM after " << delay << " us left " << left[0] << ", "
                                  << fs::file_size(left[0]) << " bytes; the run ended with " << ending(raw);
    }
    std::cout << "[   INFO   ] a run takes " << whole.count() << " us; " << ended_by_signal
              << " of 300 runs ended by the signal\n";
}

// A hang-up that the caller ignores, as nohup does, does not end the job.
TEST(FaultTest, AnIgnoredHangUpLetsTheJobFinish) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        scoped_temp_dir dir;
        write_file(dir / "photo.jpg", camera_jpeg());
        write_file(dir / "out.jpg", OLD);
        ASSERT_EQ(::mkfifo((dir / "seg.fifo").c_str(), 0644), 0);
        pid_t pid = spawn_job(dir.path.string(), {"photo.jpg", "-w", "seg.fifo", "out.jpg"}, named, SIGHUP);
        ASSERT_GT(pid, 0);
        int feed = ::open((dir / "seg.fifo").c_str(), O_WRONLY);
        ASSERT_GE(feed, 0);
        bytes segment = fixture::camera_segment(false);
        ASSERT_EQ(::write(feed, segment.data(), 100), 100);
        EXPECT_TRUE(eventually([&] { return temp_output_size(pid, dir.path.string()) >= 0; }));
        ::kill(pid, SIGHUP);
        ASSERT_EQ(::write(feed, segment.data() + 100, segment.size() - 100), static_cast<ssize_t>(segment.size() - 100));
        ::close(feed);
        int raw = 0;
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
        EXPECT_EQ(read_file(dir / "out.jpg"), fixture::jpeg(segment));
    }
}

// The same during a long copy from a large source.
TEST(FaultTest, InterruptedDuringLongCopy) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        scoped_temp_dir dir;
        write_sparse(dir / "big.jpg", 3LL << 30, {{0, camera_jpeg()}});
        write_file(dir / "photo.app1", fixture::camera_segment(true));
        write_file(dir / "out.jpg", OLD);
        pid_t pid = spawn_job(dir.path.string(), {"big.jpg", "-w", "photo.app1", "out.jpg"}, named);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(eventually([&] { return temp_output_size(pid, dir.path.string()) > (1 << 20); }));
        ::kill(pid, SIGTERM);
        int raw = 0;
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(raw)) << "the copy ended before the signal came";
        EXPECT_EQ(WTERMSIG(raw), SIGTERM);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
        EXPECT_EQ(read_file(dir / "out.jpg"), OLD);
    }
}

}  // namespace

namespace {

// Runs the binary itself with args in dir, without a shell in between, so
// that a signal sent to the child reaches the tool; as user when one is given.
// Exit status 126 says the child could not become user, 127 that it could not
// start the tool.
pid_t spawn_binary(const std::string& dir, const std::vector<std::string>& args, uid_t user = 0) {
    const std::string binary = user != 0 ? binary_for_others() : SEGSPLICE_BINARY;
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (::chdir(dir.c_str()) != 0 || null < 0 || ::dup2(null, 1) < 0) ::_exit(127);
        if (user != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) ::_exit(126);
        std::vector<const char*> argv = {binary.c_str()};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        ::execv(binary.c_str(), const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    return pid;
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(dir)) names.insert(item.path().filename().string());
    return names;
}

// What a kill at moment (of a run that takes whole) left, for a failing test:
// the target's size and first byte that differs from the new file, and each
// leftover's name and size and whether it is the new file, whole.
std::string kill_report(std::chrono::microseconds moment, std::chrono::microseconds whole, const bytes& now,
                        const bytes& fresh, const std::vector<std::string>& left) {
    std::string report = "killed at " + std::to_string(moment.count()) + " us of a " +
                         std::to_string(whole.count()) + " us run; the target has " + std::to_string(now.size()) +
                         " bytes (the new file " + std::to_string(fresh.size()) + ")";
    auto differs = std::mismatch(now.begin(), now.end(), fresh.begin(), fresh.end());
    if (differs.first != now.end() || differs.second != fresh.end())
        report += ", first differing at " + std::to_string(differs.first - now.begin());
    for (const std::string& name : left) {
        bytes content = read_file(name);
        report += "; left " + name + ", " + std::to_string(content.size()) + " bytes, " +
                  (content == fresh ? "the new file whole" : "not whole");
    }
    return report;
}

}  // namespace

// SIGKILL cannot be caught: wherever it lands in a job, the target must still
// be the old file or the new one, whole, and nothing else may be left.
TEST(FaultTest, KilledAtAnyMomentLeavesOldOrNewAndNothingElse) {
    fixture::jpeg_options options;
    options.tail = pattern(40u << 20, 5);
    struct row {
        const char* name;
        std::vector<std::string> args;
        std::string target;
    } rows[] = {
        {"-w over an existing target", {"big.jpg", "-w", "photo.app1", "out.jpg"}, "out.jpg"},
        {"-r over an existing side file", {"big.jpg", "-r"}, "big.jpg.app1"},
    };
    // What a kill leaves is the point, not the disk: the files stay in memory.
    scoped_temp_dir dir(memory_folder());
    write_file(dir / "big.jpg", fixture::jpeg(fixture::camera_segment(true), options));
    write_file(dir / "photo.app1", fixture::camera_segment(false));
    std::mt19937 random(20261208);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        // One whole run gives the new file and how long a job takes.
        write_file(dir / r.target, OLD);
        auto started = std::chrono::steady_clock::now();
        int raw = 0;
        pid_t pid = spawn_binary(dir.path.string(), r.args);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "the whole run ended with " << ending(raw);
        auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
        const bytes fresh = read_file(dir / r.target);
        const std::set<std::string> names = names_in(dir.path.string());
        // Some kills come after the end, so both ends of the job are covered.
        std::uniform_int_distribution<long long> moment(0, (whole * 3 / 2).count());
        int old_seen = 0, new_seen = 0, instants = 0;
        for (int kill = 0; kill < 30; ++kill) {
            SCOPED_TRACE("kill " + std::to_string(kill));
            write_file(dir / r.target, OLD);
            pid = spawn_binary(dir.path.string(), r.args);
            ASSERT_GT(pid, 0);
            std::chrono::microseconds at(moment(random));
            std::this_thread::sleep_for(at);
            ::kill(pid, SIGKILL);
            ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
            bytes now = read_file(dir / r.target);
            std::vector<std::string> left = leftover_temp_files(dir.path.string());
            EXPECT_TRUE(now == OLD || now == fresh) << "torn target: " << kill_report(at, whole, now, fresh, left);
            (now == OLD ? old_seen : new_seen) += 1;
            // Linux cannot link a file over a name: a kill in the instant
            // between naming the complete file and its rename leaves it.
            if (left.size() == 1 && now == OLD && read_file(left[0]) == fresh) {
                fs::remove(left[0]);
                ++instants;
            } else {
                EXPECT_TRUE(left.empty()) << kill_report(at, whole, now, fresh, left);
            }
            EXPECT_EQ(names_in(dir.path.string()), names) << kill_report(at, whole, now, fresh, left);
        }
        std::cout << "[   INFO   ] " << r.name << ": " << old_seen << " kills left the old file, " << new_seen
                  << " the new one, " << instants << " of them a complete copy beside it\n";
    }
}

// A temporary file is 0600 from birth, whatever the target allows, while the
// copy runs and after a kill that leaves one behind; the result gets the
// target's own bits.
TEST(FaultTest, TemporaryFilesArePrivateFromBirth) {
    for (mode_t mode : {0600, 0640, 0644})
    for (bool named : {false, true}) {
        SCOPED_TRACE(std::to_string(mode) + (named ? " named" : " unnamed"));
        scoped_temp_dir dir;
        write_sparse(dir / "big.jpg", 3LL << 30, {{0, camera_jpeg()}});
        write_file(dir / "photo.app1", fixture::camera_segment(true));
        write_file(dir / "out.jpg", OLD);
        ::chmod((dir / "out.jpg").c_str(), mode);
        pid_t pid = spawn_job(dir.path.string(), {"big.jpg", "-w", "photo.app1", "out.jpg"}, named);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(eventually([&] { return temp_output_size(pid, dir.path.string()) > (1 << 20); }));
        struct stat st;
        EXPECT_TRUE(temp_output_stat(pid, dir.path.string(), st) && (st.st_mode & 07777) == 0600);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        for (const std::string& left : leftover_temp_files(dir.path.string())) {
            EXPECT_TRUE(named) << "an unnamed file left a name";
            EXPECT_EQ(fs::status(left).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        }
        EXPECT_EQ(read_file(dir / "out.jpg"), OLD);
    }
}

// Replacing someone else's photo keeps who it belongs to. In a sticky,
// world-writable folder, whatever another user planted there (a link in any
// component, a file or a FIFO under the name a job will write) is refused
// rather than followed or written, and the job fails with nothing changed.
TEST(FaultTest, OwnersKeptAndPlantedFilesRefused) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to make files and links of another user";
    constexpr uid_t OTHER = 4242;
    const bytes photo = camera_jpeg();
    auto planted_link = [](const std::string& at, const std::string& to) {
        return [=](const scoped_temp_dir& d) {
            fs::create_symlink(d / to, d / at);
            ASSERT_EQ(::lchown((d / at).c_str(), OTHER, OTHER), 0);
        };
    };
    auto planted_file = [](const std::string& at, bool fifo) {
        return [=](const scoped_temp_dir& d) {
            if (fifo) ASSERT_EQ(::mkfifo((d / at).c_str(), 0666), 0);
            else write_file(d / at, OLD);
            ASSERT_EQ(::chown((d / at).c_str(), OTHER, OTHER), 0);
            ASSERT_EQ(::chmod((d / at).c_str(), 0666), 0);
        };
    };
    struct row {
        const char* name;
        std::function<void(const scoped_temp_dir&)> setup;
        std::string args, message;
        std::string written;  // the file the job must write, relative to dir; empty when refused
    } rows[] = {
        {"another user's photo edited in place", nullptr, "plain/p.jpg -w photo.app1 plain/p.jpg", "", "plain/p.jpg"},
        {"another user's photo in a sticky folder", nullptr, "sticky/p.jpg -w photo.app1 sticky/p.jpg",
         "output file open error 1 [sticky/p.jpg].\n", ""},
        {"-w through a planted link", planted_link("sticky/out.jpg", "private/victim"),
         "sticky/p.jpg -w photo.app1 sticky/out.jpg", "output file open error 1 [sticky/out.jpg].\n", ""},
        {"-r through a planted side file link", planted_link("sticky/p.jpg.app1", "private/victim"),
         "sticky/p.jpg -r", "output file open error [sticky/p.jpg.app1].\n", ""},
        {"a planted link in a middle component", planted_link("sticky/drop", "private"),
         "plain/p.jpg -w photo.app1 sticky/drop/victim", "output file open error 1 [sticky/drop/victim].\n", ""},
        {"-r into a planted side file", planted_file("sticky/p.jpg.app1", false), "sticky/p.jpg -r",
         "output file open error [sticky/p.jpg.app1].\n", ""},
        {"-r into a planted FIFO", planted_file("sticky/p.jpg.app1", true), "sticky/p.jpg -r",
         "output file open error [sticky/p.jpg.app1].\n", ""},
        {"-w through a planted link in a group-writable sticky folder",
         [&](const scoped_temp_dir& d) {
             planted_link("sticky/out.jpg", "private/victim")(d);
             ::chmod((d / "sticky").c_str(), 01770);
         },
         "sticky/p.jpg -w photo.app1 sticky/out.jpg", "output file open error 1 [sticky/out.jpg].\n", ""},
        {"-w through the caller's own link",
         [](const scoped_temp_dir& d) { fs::create_symlink(d / "private/victim", d / "sticky/out.jpg"); },
         "sticky/p.jpg -w photo.app1 sticky/out.jpg", "", "private/victim"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        for (const char* sub : {"sticky", "private", "plain"}) fs::create_directories(dir / sub);
        ::chmod((dir / "sticky").c_str(), 01777);
        write_file(dir / "photo.app1", fixture::camera_segment(true));
        write_file(dir / "private/victim", OLD);
        for (const char* name : {"sticky/p.jpg", "plain/p.jpg"}) {
            write_file(dir / name, photo);
            ASSERT_EQ(::chown((dir / name).c_str(), OTHER, OTHER), 0);
            ASSERT_EQ(::chmod((dir / name).c_str(), 0640), 0);
        }
        if (r.setup) r.setup(dir);
        auto before = snapshot(dir.path.string());
        tool_run run = run_tool(dir.path.string(), r.args);
        EXPECT_EQ(run.output, r.message);
        EXPECT_EQ(run.status, r.written.empty() ? 1 : 0);
        if (r.written.empty()) {
            EXPECT_TRUE(snapshot(dir.path.string()) == before) << "files changed";
        } else {
            EXPECT_EQ(read_file(dir / r.written), photo);
        }
        for (const char* name : {"sticky/p.jpg", "plain/p.jpg"}) {
            struct stat st;
            ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, OTHER);
            EXPECT_EQ(st.st_gid, OTHER);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

// A name swapped back and forth while jobs run, as an attacker does in a
// shared folder: between what the caller may write there and a link,
// planted by another user, to a FIFO or a file of the caller's. Wherever the
// swap lands, the job writes its own target or fails; what the link names is
// never written.
TEST(FaultTest, ANameSwappedDuringTheJobNeverSteersTheWrite) {
#ifndef RENAME_EXCHANGE
    GTEST_SKIP() << "no RENAME_EXCHANGE to swap two names atomically";
#else
    if (!running_as_root()) GTEST_SKIP() << "needs root to plant links of another user";
    const uid_t OTHER = 4242;
    struct row {
        const char* name;
        std::string swapped, target;  // the name swapped with a planted link, the job's target
        bool directory;               // whether what stands at swapped is a directory
        std::string link_to;
    } rows[] = {
        {"last component", "sticky/out.jpg", "sticky/out.jpg", false, "private/pipe"},
        {"middle component", "sticky/d", "sticky/d/victim", true, "private"},
    };
    scoped_temp_dir dir;
    fs::create_directories(dir / "sticky");
    fs::create_directories(dir / "private");
    ::chmod((dir / "sticky").c_str(), 01777);
    ::chmod((dir / "private").c_str(), 0700);
    write_file(dir / "photo.jpg", camera_jpeg());
    write_file(dir / "photo.app1", fixture::camera_segment(false));
    ASSERT_EQ(::mkfifo((dir / "private/pipe").c_str(), 0600), 0);
    int reader = ::open((dir / "private/pipe").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::FILE* sink = std::tmpfile();
    set_output_stream(sink);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        int written = 0, failed = 0;
        for (int round = 0; round < 300; ++round) {
            fs::remove_all(dir / r.swapped);
            fs::remove_all(dir / "sticky/.other");
            write_file(dir / "private/victim", OLD);
            if (r.directory) fs::create_directories(dir / r.swapped);
            write_file(dir / r.target, OLD);
            fs::create_symlink(dir / r.link_to, dir / "sticky/.other");
            ASSERT_EQ(::lchown((dir / "sticky/.other").c_str(), OTHER, OTHER), 0);
            std::atomic<bool> stop{false};
            std::thread swapper([&] {
                while (!stop) ::renameat2(AT_FDCWD, (dir / r.swapped).c_str(), AT_FDCWD, (dir / "sticky/.other").c_str(), RENAME_EXCHANGE);
            });
            std::string src = dir / "photo.jpg", app1 = dir / "photo.app1", target = dir / r.target;
            const char* args[] = {"segsplice", src.c_str(), "-w", app1.c_str(), target.c_str()};
            (segsplice_main(5, args) == 0 ? written : failed) += 1;
            stop = true;
            swapper.join();
            char byte;
            ASSERT_LT(::read(reader, &byte, 1), 0) << "the FIFO the link names was written, round " << round;
            ASSERT_EQ(read_file(dir / "private/victim"), OLD) << "the file the link names was written, round " << round;
        }
        std::cout << "[   INFO   ] " << r.name << ": " << written << " jobs wrote their target, " << failed
                  << " failed\n";
    }
    set_output_stream(nullptr);
    std::fclose(sink);
    ::close(reader);
    EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
#endif
}

// Where the caller may write a target but not rename over it (the folder
// owner's file in a sticky folder), the new bytes go into the target itself.
// Killed at any moment, or short of room, such a job leaves the old file
// whole or the new one whole: in the target, or in the copy kept beside it.
TEST(FaultTest, ARewriteInPlaceLeavesTheOldFileOrTheNewOneWhole) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to run the tool as a user who may not rename the target";
    const uid_t OTHER = 4242;
    // What a kill leaves is the point, not the disk: the files stay in memory.
    scoped_temp_dir dir(memory_folder());
    fixture::jpeg_options options;
    options.tail = pattern(40u << 20, 5);
    write_file(dir / "big.jpg", fixture::jpeg(fixture::camera_segment(true), options));
    write_file(dir / "photo.app1", fixture::camera_segment(false));
    fs::create_directories(dir / "sticky");
    ::chmod((dir / "sticky").c_str(), 01777);
    const std::vector<std::string> args = {"big.jpg", "-w", "photo.app1", "sticky/t.jpg"};
    auto reset_target = [&] {
        for (const std::string& left : leftover_temp_files(dir / "sticky")) fs::remove(left);
        write_file(dir / "sticky/t.jpg", OLD);
        ::chmod((dir / "sticky/t.jpg").c_str(), 0666);
    };
    reset_target();
    auto started = std::chrono::steady_clock::now();
    int raw = 0;
    pid_t pid = spawn_binary(dir.path.string(), args, OTHER);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "the whole run ended with " << ending(raw);
    auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    const bytes fresh = read_file(dir / "sticky/t.jpg");
    ASSERT_EQ(fresh, fixture::jpeg(fixture::camera_segment(false), options));
    std::mt19937 random(20261209);
    std::uniform_int_distribution<long long> moment(0, (whole * 3 / 2).count());
    std::map<std::string, int> seen;
    for (int kill = 0; kill < 20; ++kill) {
        reset_target();
        pid = spawn_binary(dir.path.string(), args, OTHER);
        ASSERT_GT(pid, 0);
        std::chrono::microseconds at(moment(random));
        std::this_thread::sleep_for(at);
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        bytes now = read_file(dir / "sticky/t.jpg");
        std::vector<std::string> kept = leftover_temp_files(dir / "sticky");
        bool copy_whole = kept.size() == 1 && read_file(kept[0]) == fresh;
        EXPECT_TRUE(now == OLD || now == fresh || copy_whole)
            << "neither file whole after kill " << kill << ": " << kill_report(at, whole, now, fresh, kept);
        seen[now == OLD ? "old" : now == fresh ? "new" : "torn, new kept beside"] += 1;
    }
    for (const auto& [outcome, count] : seen) std::cout << "[   INFO   ] " << count << " kills left the target " << outcome << "\n";

    // A full filesystem: the room is claimed before a byte is overwritten.
    fs::create_directories(dir / "small");
    if (::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m,mode=1777") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    options.tail = pattern(600u << 10, 6);
    write_file(dir / "mid.jpg", fixture::jpeg(fixture::camera_segment(true), options));
    write_file(dir / "small/t.jpg", OLD);
    ::chmod((dir / "small/t.jpg").c_str(), 0666);
    // The new file fits beside the old one, but not twice.
    tool_run full = run_tool(dir.path.string(), "mid.jpg -w photo.app1 small/t.jpg",
                             as_user(4242));
    EXPECT_EQ(full.output, "output file write error [small/t.jpg].\n");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(read_file(dir / "small/t.jpg"), OLD);
    EXPECT_TRUE(leftover_temp_files(dir / "small").empty());
    ::umount((dir / "small").c_str());
}

// Two edits of one photo in a shared folder, started moments apart by a user
// who may write the photo but not rename over it: both rewrite it in place.
// Neither reads the photo while the other rewrites it, so it ends as one of
// the two results, whole.
TEST(FaultTest, TwoEditsInPlaceOfOnePhotoLeaveOneResultWhole) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to run the tool as two users";
    const uid_t OWNER = 4242, EDITOR = 4243;
    // The order of reads and writes is the point here, not the disk.
    scoped_temp_dir dir(memory_folder());
    fixture::jpeg_options options;
    options.tail = pattern(4u << 20, 5);
    // Segments of three lengths: a run that read the old photo's layout and
    // copied the rest after the other's rewrite would copy it from the
    // wrong place.
    bytes x = fixture::camera_segment(false), y = x;
    x.resize(x.size() + 1000, 0x11);
    y.resize(y.size() + 3000, 0x22);
    for (bytes* segment : {&x, &y}) {
        (*segment)[0] = static_cast<std::uint8_t>(segment->size() >> 8);
        (*segment)[1] = static_cast<std::uint8_t>(segment->size());
    }
    write_file(dir / "x.app1", x);
    write_file(dir / "y.app1", y);
    const bytes old = fixture::jpeg(fixture::camera_segment(true), options);
    const bytes results[] = {fixture::jpeg(x, options), fixture::jpeg(y, options)};
    fs::create_directories(dir / "shared");
    ASSERT_EQ(::chown((dir / "shared").c_str(), OWNER, OWNER), 0);
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
    auto reset_photo = [&] {
        write_file(dir / "shared/p.jpg", old);
        ASSERT_EQ(::chown((dir / "shared/p.jpg").c_str(), OWNER, OWNER), 0);
        ASSERT_EQ(::chmod((dir / "shared/p.jpg").c_str(), 0666), 0);
    };
    // The second run starts within the length of one run alone.
    ASSERT_NO_FATAL_FAILURE(reset_photo());
    auto started = std::chrono::steady_clock::now();
    int raw[2] = {};
    pid_t alone = spawn_binary(dir.path.string(), {"shared/p.jpg", "-w", "x.app1", "shared/p.jpg"}, EDITOR);
    ASSERT_GT(alone, 0);
    ASSERT_EQ(::waitpid(alone, &raw[0], 0), alone);
    ASSERT_TRUE(WIFEXITED(raw[0]) && WEXITSTATUS(raw[0]) == 0) << ending(raw[0]);
    auto one_run = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::mt19937 random(20261210);
    std::uniform_int_distribution<long long> gap(0, one_run.count());
    int first_won = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(reset_photo());
        pid_t first = spawn_binary(dir.path.string(), {"shared/p.jpg", "-w", "x.app1", "shared/p.jpg"}, EDITOR);
        ASSERT_GT(first, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        pid_t second = spawn_binary(dir.path.string(), {"shared/p.jpg", "-w", "y.app1", "shared/p.jpg"}, EDITOR);
        ASSERT_GT(second, 0) << "no second run: " << std::strerror(errno);
        ASSERT_EQ(::waitpid(first, &raw[0], 0), first);
        ASSERT_EQ(::waitpid(second, &raw[1], 0), second);
        for (int r : raw) EXPECT_TRUE(WIFEXITED(r) && WEXITSTATUS(r) == 0) << ending(r);
        bytes now = read_file(dir / "shared/p.jpg");
        EXPECT_TRUE(now == results[0] || now == results[1])
            << "the photo is neither result: " << now.size() << " bytes, "
            << (now == old ? "the old photo" : "no whole file");
        first_won += now == results[0];
        EXPECT_TRUE(leftover_temp_files(dir / "shared").empty());
    }
    std::cout << "[   INFO   ] one run takes " << one_run.count() << " us; the first edit's result stayed "
              << first_won << " times of 30\n";
}

// A user who may rewrite another's photo in place may not set its times: -k
// then says so, with the photo rewritten.
TEST(FaultTest, TimesThatCannotBeKeptAreReported) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to run the tool as another user";
    scoped_temp_dir dir;
    write_file(dir / "photo.jpg", camera_jpeg());
    write_file(dir / "photo.app1", fixture::camera_segment(false));
    fs::create_directories(dir / "shared");
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
    write_file(dir / "shared/p.jpg", OLD);
    ASSERT_EQ(::chmod((dir / "shared/p.jpg").c_str(), 0666), 0);
    tool_run run = run_tool(dir.path.string(), "photo.jpg -k -w photo.app1 shared/p.jpg", as_user(4242));
    EXPECT_EQ(run.output, "times not kept [shared/p.jpg].\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir / "shared/p.jpg"), fixture::jpeg(fixture::camera_segment(false)));
    EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
}

// Folders that allow less than usual: append-only ones, where nothing can be
// removed or renamed, so that only a new target can be made without leaving
// a temporary file; and ones that may not be read (0333), which cannot be
// synced, so that the replaced target is there and the job succeeds.
TEST(FaultTest, FoldersThatForbidRemovingOrReading) {
    if (!running_as_root()) GTEST_SKIP() << "needs root for chattr +a and to run the tool as another user";
    struct row {
        const char* name;
        std::string attribute, mode, user, args, message;
        int status;
    } rows[] = {
        {"append-only, existing target", "+a", "", "", "photo.jpg -w photo.app1 f/out.jpg",
         "output file open error 1 [f/out.jpg].\n", 1},
        {"append-only, new target", "+a", "", "", "photo.jpg -w photo.app1 f/new.jpg", "", 0},
        {"unreadable, existing target", "", "0333", "4242", "photo.jpg -w photo.app1 f/out.jpg", "", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        write_file(dir / "photo.jpg", camera_jpeg());
        write_file(dir / "photo.app1", fixture::camera_segment(false));
        fs::create_directories(dir / "f");
        write_file(dir / "f/out.jpg", OLD);
        if (!r.user.empty()) {
            ASSERT_EQ(::chown((dir / "f").c_str(), 4242, 4242), 0);
            ASSERT_EQ(::chown((dir / "f/out.jpg").c_str(), 4242, 4242), 0);
        }
        if (!r.attribute.empty() && std::system(("chattr " + r.attribute + " '" + (dir / "f") + "'").c_str()) != 0)
            GTEST_SKIP() << "chattr " << r.attribute << " does not work here";
        if (!r.mode.empty()) ::chmod((dir / "f").c_str(), static_cast<mode_t>(std::stoi(r.mode, nullptr, 8)));
        std::string wrapper = r.user.empty() ? "" : as_user(static_cast<unsigned>(std::stoul(r.user)));
        tool_run run = run_tool(dir.path.string(), r.args, wrapper);
        std::vector<std::string> left = leftover_temp_files(dir / "f");
        if (!r.attribute.empty()) std::system(("chattr -a '" + (dir / "f") + "'").c_str());
        ::chmod((dir / "f").c_str(), 0755);
        EXPECT_EQ(run.output, r.message);
        EXPECT_EQ(run.status, r.status);
        EXPECT_TRUE(left.empty());
        std::string target = r.args.substr(r.args.rfind(' ') + 1);
        EXPECT_EQ(read_file(dir / target), r.status == 0 ? fixture::jpeg(fixture::camera_segment(false)) : OLD);
    }
}

// A target as long as the system lets a path be is written, though its
// directory and a temporary file's name together are longer than that.
TEST(FaultTest, TargetsAsLongAsAPathMayBe) {
    // As long as the system takes a path whole, and longer: then SRCFILE and
    // APP1_FILE are opened a component at a time, as targets are.
    for (std::size_t length : {4076u, 6000u}) {
        SCOPED_TRACE(length);
        scoped_temp_dir dir;
        const std::string name = "p.jpg";
        std::string path;
        int deep = ::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; path.size() + name.size() < length; ++level) {
            std::string dir_name(std::min<std::size_t>(100, length - path.size() - name.size() - 1), 'a' + level % 26);
            ASSERT_EQ(::mkdirat(deep, dir_name.c_str(), 0755), 0);
            int next = ::openat(deep, dir_name.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(deep);
            deep = next;
            path += dir_name + "/";
        }
        path += name;
        ASSERT_EQ(path.size(), length);
        auto write_deep = [&](const std::string& file, const bytes& content) {
            int fd = ::openat(deep, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size())) << file;
            ::close(fd);
        };
        auto read_back = [&](const std::string& file) {
            bytes content(1 << 16);
            int in = ::openat(deep, file.c_str(), O_RDONLY);
            ssize_t n = in < 0 ? 0 : ::read(in, content.data(), content.size());
            if (in >= 0) ::close(in);
            content.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            return content;
        };
        write_deep(name, camera_jpeg());
        write_deep("new.app1", fixture::camera_segment(false));
        tool_run cut = run_tool(dir.path.string(), path + " -r");
        EXPECT_EQ(cut.output, "");
        EXPECT_EQ(cut.status, 0);
        EXPECT_EQ(read_back(name + ".app1"), fixture::camera_segment(true));
        std::string app1 = path.substr(0, path.size() - name.size()) + "new.app1";
        tool_run in_place = run_tool(dir.path.string(), path + " -w " + app1 + " " + path);
        EXPECT_EQ(in_place.output, "");
        EXPECT_EQ(in_place.status, 0);
        EXPECT_EQ(read_back(name), fixture::jpeg(fixture::camera_segment(false)));
        ::close(deep);
    }
}
