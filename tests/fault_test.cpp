// Faults, end to end on the real binary: whatever goes wrong, a job reports it
// once, ends with status 1, leaves no temporary file and leaves every file
// that was there before with its bytes.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    if (std::ifstream(dir / "photo.jpg")) GTEST_SKIP() << "permission bits do not stop this user (root)";
    auto before = snapshot(dir.path.string());
    tool_run run = run_tool(dir.path.string(), "photo.jpg -r");
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

// A hang-up that the caller ignores, as nohup does, does not end the job.
TEST(FaultTest, AnIgnoredHangUpLetsTheJobFinish) {
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        scoped_temp_dir dir;
        write_file(dir / "photo.jpg", camera_jpeg());
        write_file(dir / "out.jpg", OLD);
        ASSERT_EQ(::mkfifo((dir / "seg.fifo").c_str(), 0644), 0);
        pid_t pid = spawn_job(dir.path.string(), {"photo.jpg", "-w", "seg.fifo", "out.jpg"}, named, SIGHUP);
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
// that a signal sent to the child reaches the tool.
pid_t spawn_binary(const std::string& dir, const std::vector<std::string>& args) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (::chdir(dir.c_str()) != 0 || null < 0 || ::dup2(null, 1) < 0) ::_exit(127);
        std::vector<const char*> argv = {SEGSPLICE_BINARY};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        ::execv(SEGSPLICE_BINARY, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    return pid;
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(dir)) names.insert(item.path().filename().string());
    return names;
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
    scoped_temp_dir dir;
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
        ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
        ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
        auto whole = std::chrono::steady_clock::now() - started;
        const bytes fresh = read_file(dir / r.target);
        const std::set<std::string> names = names_in(dir.path.string());
        // Some kills come after the end, so both ends of the job are covered.
        std::uniform_int_distribution<long long> moment(0, std::chrono::duration_cast<std::chrono::microseconds>(whole * 3 / 2).count());
        int old_seen = 0, new_seen = 0;
        for (int kill = 0; kill < 30; ++kill) {
            write_file(dir / r.target, OLD);
            pid = spawn_binary(dir.path.string(), r.args);
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
            ::kill(pid, SIGKILL);
            ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
            bytes now = read_file(dir / r.target);
            EXPECT_TRUE(now == OLD || now == fresh) << "torn target after kill " << kill;
            (now == OLD ? old_seen : new_seen) += 1;
            EXPECT_EQ(names_in(dir.path.string()), names) << "after kill " << kill;
        }
        std::cout << "[   INFO   ] " << r.name << ": " << old_seen << " kills left the old file, " << new_seen
                  << " the new one\n";
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

// Replacing someone else's photo keeps who it belongs to, and a link that
// another user planted in a sticky folder is refused rather than followed.
TEST(FaultTest, OwnersKeptAndPlantedLinksRefused) {
    if (!running_as_root()) GTEST_SKIP() << "needs root to make files and links of another user";
    const uid_t OTHER = 4242;
    scoped_temp_dir dir;
    fs::create_directories(dir / "sticky");
    fs::create_directories(dir / "private");
    ::chmod((dir / "sticky").c_str(), 01777);
    const bytes photo = camera_jpeg();
    struct row {
        const char* name;
        std::string link;  // a symlink in sticky/ to private/victim, empty for none
        uid_t link_owner;
        std::string args, message;
        int status;
        std::string written;  // the file the job must write, relative to dir
    } rows[] = {
        {"another user's photo edited in place", "", 0, "sticky/p.jpg -w photo.app1 sticky/p.jpg", "", 0,
         "sticky/p.jpg"},
        {"-w through a planted link", "sticky/out.jpg", OTHER, "sticky/p.jpg -w photo.app1 sticky/out.jpg",
         "output file open error 1 [sticky/out.jpg].\n", 1, ""},
        {"-r through a planted side file link", "sticky/p.jpg.app1", OTHER, "sticky/p.jpg -r",
         "output file open error [sticky/p.jpg.app1].\n", 1, ""},
        {"-w through the caller's own link", "sticky/out.jpg", 0, "sticky/p.jpg -w photo.app1 sticky/out.jpg",
         "", 0, "private/victim"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        for (const char* name : {"sticky/out.jpg", "sticky/p.jpg.app1"}) fs::remove(dir / name);
        write_file(dir / "photo.app1", fixture::camera_segment(true));
        write_file(dir / "sticky/p.jpg", photo);
        write_file(dir / "private/victim", OLD);
        ASSERT_EQ(::chown((dir / "sticky/p.jpg").c_str(), OTHER, OTHER), 0);
        ASSERT_EQ(::chmod((dir / "sticky/p.jpg").c_str(), 0640), 0);
        if (!r.link.empty()) {
            fs::create_symlink(dir / "private/victim", dir / r.link);
            ASSERT_EQ(::lchown((dir / r.link).c_str(), r.link_owner, r.link_owner), 0);
        }
        tool_run run = run_tool(dir.path.string(), r.args);
        EXPECT_EQ(run.output, r.message);
        EXPECT_EQ(run.status, r.status);
        if (r.written.empty()) {
            EXPECT_EQ(read_file(dir / "private/victim"), OLD);
        } else {
            EXPECT_EQ(read_file(dir / r.written), photo);
        }
        struct stat st;
        ASSERT_EQ(::stat((dir / "sticky/p.jpg").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, OTHER);
        EXPECT_EQ(st.st_gid, OTHER);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}
