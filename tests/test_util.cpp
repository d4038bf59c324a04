#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "copy_engine.h"
#include "log.h"
#include "wtf8.h"

namespace fs = std::filesystem;

scoped_temp_dir::scoped_temp_dir(const fs::path& parent) {
    std::random_device random;
    path = parent / ("segsplice-test-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(path);
}

scoped_temp_dir::~scoped_temp_dir() {
    std::error_code ec;
    // Tests may have made parts read-only; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

fs::path memory_folder() {
    std::error_code ec;
    return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

void write_file(const std::string& path, const fixture::bytes& content) {
    std::ofstream out(fs::u8path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) ADD_FAILURE() << "cannot write the fixture " << path;
}

fixture::bytes read_file(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    return fixture::bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::FILE* temp_stream() {
#ifdef _WIN32
    // The C runtime's tmpfile() writes in the root of the current drive, which
    // a user may not write to; "D" removes the file when it is closed.
    static std::random_device random;
    std::string name = "segsplice-stream-" + std::to_string(random()) + std::to_string(random());
    return std::fopen((fs::temp_directory_path() / name).string().c_str(), "w+bD");
#else
    return std::tmpfile();
#endif
}

std::string capture_trace(const std::function<void()>& fn) {
    std::FILE* sink = temp_stream();
    set_output_stream(sink);
    set_log_enable(1);
    fn();
    set_log_enable(0);
    set_output_stream(nullptr);
    std::string text;
    std::rewind(sink);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, sink)) > 0;) text.append(buffer, n);
    std::fclose(sink);
    return text;
}

fixture::bytes noise(std::size_t n, std::uint32_t seed) {
    fixture::bytes out(n);
    for (std::uint8_t& b : out) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    return out;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

#ifdef _WIN32
// cmd.exe runs the command: shell words in double quotes mean the same to it.
// The command goes wide as the tool reads it (WTF-8), so that any name,
// unpaired surrogates included, reaches the tool intact.
tool_run run_tool(const std::string& dir, const std::string& args, const std::string& setup) {
    std::string out = dir + "\\.stdout";
    std::string err = dir + "\\.stderr";
    std::string command = "cd /d \"" + dir + "\" && " + setup + " \"" SEGSPLICE_BINARY "\" " + args + " > \"" + out +
                          "\" 2> \"" + err + "\"";
    std::u16string units;
    if (!wtf8_decode(command, units)) return {-1, "the command is not WTF-8"};
    // cmd.exe says 9009 when it could not start the program, which wine
    // now and then fails to do under load; the tool itself ends with 0 or 1.
    int status = 9009;
    for (int attempt = 0; attempt < 3 && status == 9009; ++attempt)
        status = _wsystem(std::wstring(units.begin(), units.end()).c_str());
    fixture::bytes text = read_file(out);
    fixture::bytes error = read_file(err);
    fs::remove(fs::u8path(out));
    fs::remove(fs::u8path(err));
    return {status, std::string(text.begin(), text.end()), std::string(error.begin(), error.end())};
}
#else
tool_run run_tool(const std::string& dir, const std::string& args, const std::string& setup) {
    std::string out = dir + "/.stdout";
    std::string err = dir + "/.stderr";
    std::string command = "cd '" + dir + "' && (" + setup + " $SEGSPLICE_TEST_WRAPPER \"${SEGSPLICE_TEST_BINARY:-" SEGSPLICE_BINARY
                          "}\" " + args + ") > '" + out + "' 2> '" + err + "'";
    int raw = std::system(command.c_str());
    fixture::bytes text = read_file(out);
    fixture::bytes error = read_file(err);
    fs::remove(out);
    fs::remove(err);
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return {status, std::string(text.begin(), text.end()), std::string(error.begin(), error.end())};
}
#endif

namespace {

struct pending_resize {
    std::string path;
    std::int64_t from = 0, size = 0;
    bool armed = false;
} resize;

void resize_on_copy(const input_file&, std::int64_t offset, std::int64_t) {
    if (!resize.armed || offset < resize.from) return;
    resize.armed = false;
    fs::resize_file(fs::u8path(resize.path), static_cast<std::uintmax_t>(resize.size));
}

}  // namespace

resized_before_copy::resized_before_copy(const std::string& path, std::int64_t from, std::int64_t size) {
    resize = {path, from, size, true};
    set_copy_observer(resize_on_copy);
}

resized_before_copy::~resized_before_copy() {
    set_copy_observer(nullptr);
    resize.armed = false;
}

#ifndef _WIN32
const std::string& binary_for_others() {
    static scoped_temp_dir home;
    static const std::string path = [] {
        constexpr fs::perms ANYONE_RUNS = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec;
        std::string copy = home / "segsplice";
        fs::copy_file(SEGSPLICE_BINARY, copy);
        fs::permissions(home.path, ANYONE_RUNS);
        fs::permissions(copy, ANYONE_RUNS);
        return copy;
    }();
    return path;
}

std::string as_user(unsigned user) {
    std::string id = std::to_string(user);
    return "SEGSPLICE_TEST_WRAPPER='setpriv --reuid=" + id + " --regid=" + id +
           " --clear-groups'; SEGSPLICE_TEST_BINARY='" + binary_for_others() + "';";
}
#endif

std::string missing_peers() {
#ifdef _WIN32
    return "the peers (ImageMagick, ExifTool) run in the Linux build";
#else
    if (!fs::exists("/usr/bin/convert")) return "needs ImageMagick (Debian package imagemagick)";
    if (!fs::exists("/usr/bin/exiftool")) return "needs ExifTool (Debian package libimage-exiftool-perl)";
    return "";
#endif
}

int shell_in(const scoped_temp_dir& dir, const std::string& command) {
    return std::system(("cd '" + dir.path.string() + "' && " + command).c_str());
}

std::vector<std::string> leftover_temp_files(const std::string& dir) {
    std::vector<std::string> found;
    fs::path root = fs::u8path(dir);
#ifdef _WIN32
    // Directories past 260 characters are only listed under their \\?\ name.
    root = fs::u8path("\\\\?\\" + fs::absolute(root).u8string());
#endif
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.path().filename().string().find(".tmp") != std::string::npos)
            found.push_back(item.path().string());
    return found;
}
