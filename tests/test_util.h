// Helpers shared by the tests: scratch directories, files, trace capture and
// runs of the real binary.
#ifndef SEGSPLICE_TESTS_TEST_UTIL_H
#define SEGSPLICE_TESTS_TEST_UTIL_H

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "fixture.h"

// A fresh directory, removed with its contents when the object goes.
struct scoped_temp_dir {
    std::filesystem::path path;
    scoped_temp_dir();
    ~scoped_temp_dir();
    std::string operator/(const std::string& name) const { return (path / std::filesystem::u8path(name)).u8string(); }
};

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
// runs under $SEGSPLICE_TEST_WRAPPER (valgrind, say) when that is set. On
// Windows cmd.exe runs it, so args and setup must mean the same there.
tool_run run_tool(const std::string& dir, const std::string& args, const std::string& setup = "");

// Paths under dir, at any depth, that look like leftover temporary files.
std::vector<std::string> leftover_temp_files(const std::string& dir);

#endif
