// Helpers shared by the tests: scratch directories, files, trace capture and
// runs of the real binary.
#ifndef SEGSPLICE_TESTS_TEST_UTIL_H
#define SEGSPLICE_TESTS_TEST_UTIL_H

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "fixture.h"

// A fresh directory, removed with its contents when the object goes: in the
// system's temporary folder, or in parent.
struct scoped_temp_dir {
    std::filesystem::path path;
    scoped_temp_dir() : scoped_temp_dir(std::filesystem::temp_directory_path()) {}
    explicit scoped_temp_dir(const std::filesystem::path& parent);
    ~scoped_temp_dir();
    std::string operator/(const std::string& name) const { return (path / std::filesystem::u8path(name)).u8string(); }
};

// Why a test that compares with ImageMagick and ExifTool cannot run here (the
// Windows build, or a peer that is not installed); empty when it can.
std::string missing_peers();

// Runs command with the shell in dir; its raw status, as std::system gives it.
int shell_in(const scoped_temp_dir& dir, const std::string& command);

// A folder in memory (/dev/shm) where the system has one, else the temporary
// folder: for tests that write much and need no disk.
std::filesystem::path memory_folder();

// Writes content to path; a test failure when it cannot.
void write_file(const std::string& path, const fixture::bytes& content);
fixture::bytes read_file(const std::string& path);

// A fresh read-write stream on a file that goes when the stream is closed.
std::FILE* temp_stream();

// Runs fn with the trace on and returns what it wrote.
std::string capture_trace(const std::function<void()>& fn);

// n bytes from a linear congruential generator started at seed: no short
// run repeats, so a byte copied to the wrong place shows.
fixture::bytes noise(std::size_t n, std::uint32_t seed);

// How often what occurs in text.
std::size_t count_of(const std::string& text, const std::string& what);

struct tool_run {
    int status;
    std::string output;  // standard output
    std::string error;   // standard error
};

// Runs the segsplice binary with args (shell words) in dir, after the shell
// commands in setup (a ulimit, say) that apply to this run alone. The binary
// runs under $SEGSPLICE_TEST_WRAPPER (valgrind, say) when that is set, and is
// $SEGSPLICE_TEST_BINARY when that is set. On
// Windows cmd.exe runs it, so args and setup must mean the same there.
tool_run run_tool(const std::string& dir, const std::string& args, const std::string& setup = "");

// While it lives, the first copy that a job makes out of any file from
// offset `from` or beyond finds path resized to size bytes first: another
// program cutting a source short, or adding to it, after the job has read its
// structure and before it copies the rest.
struct resized_before_copy {
    resized_before_copy(const std::string& path, std::int64_t from, std::int64_t size);
    ~resized_before_copy();
    resized_before_copy(const resized_before_copy&) = delete;
    resized_before_copy& operator=(const resized_before_copy&) = delete;
};

#ifndef _WIN32
// A copy of the tool that any user may run, in a folder any user may enter:
// the build tree may lie where only its owner can (root's home, a folder
// that mktemp -d made).
const std::string& binary_for_others();

// The setup for run_tool that runs that copy as user (the caller is root).
std::string as_user(unsigned user);
#endif

// Paths under dir, at any depth, that look like leftover temporary files.
std::vector<std::string> leftover_temp_files(const std::string& dir);

#endif
