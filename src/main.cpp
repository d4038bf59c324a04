#include "main.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif

#include "kalvo.h"
#include "log.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t TAG_EXIF_IFD_POINTER = 0x8769;
constexpr std::uint16_t TAG_GPS_IFD_POINTER = 0x8825;
constexpr std::uint16_t TAG_MAKERNOTE = 0x927C;
constexpr std::size_t IFD_TABLE_SIZE = 255;

const char* const USAGE_LINES[] = {
    "",
    "usage:",
    "segsplice SRCFILE -r",
    "segsplice SRCFILE -w APP1_FILE OUTPUT_FILE",
    "segsplice SRCFILE -wvireo APP1_FILE OUTPUT_FILE",
    "",
    "-r      : cut out APP1_header from SRCFILE, and write it to FILENAME.app1",
    "-w      : replace APP1_header of SRCFILE to APP1_FILE and output to OUTPUT_FILE",
    "-wvireo : almost same as \"-w\" option (for Kalvo Vireo Loom viewer)",
};

void print_line(const char* text) { std::fprintf(output_stream(), "%s\n", text); }

void print_message(const char* format, const std::string& name) {
    std::fprintf(output_stream(), format, name.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Command line

run_options parse_arguments(int argc, const char* const* argv) {
    run_options options;
    options.source = argv[1];
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-d") options.debug = true;
        if (arg == "-r") {
            options.mode = MODE_CUT;
            options.output = options.source + ".app1";
            break;
        }
        if (arg == "-w") options.mode = MODE_REPLACE;
        else if (arg == "-wvireo") options.mode = MODE_REPLACE_VIREO;
        if (options.mode == MODE_REPLACE || options.mode == MODE_REPLACE_VIREO) {
            if (i + 1 >= argc) {
                options.error = "set input filename";
                break;
            }
            options.app1_file = argv[i + 1];
            if (i + 2 >= argc) {
                options.error = "set output filename";
                break;
            }
            options.output = argv[i + 2];
            break;
        }
    }
    return options;
}

// ---------------------------------------------------------------------------
// Marker scan and header

namespace {

// The scan without a trace: the same search, a block at a time.
bool find_marker_quietly(byte_source& source) {
    bool prev_was_ff = false;
    std::size_t available = 0;
    while (const std::uint8_t* span = source_span(source, available)) {
        const std::uint8_t* end = span + available;
        for (const std::uint8_t* at = span; (at = static_cast<const std::uint8_t*>(
                                                 std::memchr(at, 0xE1, static_cast<std::size_t>(end - at))));
             ++at) {
            if (at > span ? at[-1] == 0xFF : prev_was_ff) {
                source_seek(source, source_tell(source) + (at - span) + 1);
                return true;
            }
        }
        prev_was_ff = end[-1] == 0xFF;
        source_seek(source, source_tell(source) + static_cast<std::int64_t>(available));
    }
    return false;
}

}  // namespace

bool search_app1_start(byte_source& source) {
    if (get_log_enable() != 1) return find_marker_quietly(source);
    bool prev_was_ff = false;
    for (int byte; (byte = source_getc(source)) >= 0;) {
        logoutput("address:[%04llx] data[%02x]\n",
                  static_cast<unsigned long long>(source_tell(source) - 1), byte);
        if (prev_was_ff && byte == 0xE1) {
            logoutput("find app1 marker.\n");
            return true;
        }
        prev_was_ff = byte == 0xFF;
    }
    return false;
}

void get_app1_header(byte_source& source, tiff_header& header) {
    std::uint8_t raw[16];
    source_read(source, raw, sizeof raw);
    header.app1_length = load_u16(raw, true);
    header.exif_header = load_u32(raw + 2, true);
    header.dummy = load_u16(raw + 6, true);
    header.byte_order = load_u16(raw + 8, true);
    bool big_endian = header.byte_order == BYTE_ORDER_BIG_ENDIAN;
    header.fixed = load_u16(raw + 10, big_endian);
    header.first_ifd_address = load_u32(raw + 12, big_endian);
    logoutput("tiff_header.app1_length [%04x]\n", header.app1_length);
    logoutput("tiff_header.exif_header[%08x]\n", header.exif_header);
    logoutput("tiff_header.dummy[%04x]\n", header.dummy);
    logoutput("tiff_header.byte_order[%04x]\n", header.byte_order);
    logoutput("tiff_header.fixed[%04x]\n", header.fixed);
    logoutput("tiff_header.first_ifd_address[%08x]\n", header.first_ifd_address);
}

void get_app1_data(byte_source& source, app1_info& info) {
    tiff_header header;
    get_app1_header(source, header);
    info.app1_length = header.app1_length;
    bool big_endian = header.byte_order == BYTE_ORDER_BIG_ENDIAN;
    // TIFF offsets are 32-bit: the base wraps like every position built from it.
    auto offset_base = static_cast<std::int32_t>(static_cast<std::uint32_t>(info.start_address + 8));
    walk_exif_directories(source, big_endian, offset_base, header.first_ifd_address);
}

// ---------------------------------------------------------------------------
// Directory walk

void walk_exif_directories(byte_source& source, bool big_endian, std::int32_t offset_base,
                           std::uint32_t first_ifd_address) {
    std::int32_t exif_ifd_position = 0;
    std::int32_t gps_ifd_position = 0;
    std::int32_t makernote_position = 0;

    source_seek(source, tiff_position(offset_base, first_ifd_address));
    std::uint16_t count = 0;
    get_ifd_tag_count(source, count, big_endian);
    logoutput("------------------\n");
    ifd_table<IFD_TABLE_SIZE> ifd0;
    for (unsigned i = 0; i < count; ++i) {
        tag_main& entry = ifd0.next();
        get_ifd_tag_data(source, offset_base, entry, big_endian);
        if (entry.tag == TAG_EXIF_IFD_POINTER) exif_ifd_position = tiff_position(offset_base, entry.value);
        else if (entry.tag == TAG_GPS_IFD_POINTER) gps_ifd_position = tiff_position(offset_base, entry.value);
    }

    if (exif_ifd_position > 0) {
        source_seek(source, exif_ifd_position);
        logoutput("exif_unique_tag_pointer [0x%x] \n", static_cast<unsigned>(exif_ifd_position));
        count = read_u16(source, big_endian);
        logoutput("exif_unique_tag_count [%d] \n", count);
        ifd_table<IFD_TABLE_SIZE> exif_ifd;
        for (unsigned i = 0; i < count; ++i) {
            tag_main& entry = exif_ifd.next();
            get_ifd_tag_data(source, offset_base, entry, big_endian);
            if (entry.tag == TAG_MAKERNOTE) makernote_position = tiff_position(offset_base, entry.value);
        }
    }

    if (gps_ifd_position > 0) {
        source_seek(source, gps_ifd_position);
        count = read_u16(source, big_endian);
        logoutput("gps_tag_count [%d] \n", count);
        ifd_table<IFD_TABLE_SIZE> gps_ifd;
        for (unsigned i = 0; i < count; ++i) get_ifd_tag_data(source, offset_base, gps_ifd.next(), big_endian);
    }

    if (makernote_position > 0) get_kalvo_makernote(source, offset_base, makernote_position);
}

// ---------------------------------------------------------------------------
// Output files: written beside the target and renamed over it when complete

namespace {

// The temporary file being written, for the signal handler to remove.
std::atomic<const char*> pending_temp{nullptr};

extern "C" void remove_pending_temp(int sig) {
    if (const char* path = pending_temp.load()) {
#if __has_include(<unistd.h>)
        ::unlink(path);
#else
        std::remove(path);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void install_signal_handlers() {
    std::signal(SIGINT, remove_pending_temp);
    std::signal(SIGTERM, remove_pending_temp);
#ifdef SIGHUP
    std::signal(SIGHUP, remove_pending_temp);
#endif
#ifdef SIGXFSZ
    // Past a file-size limit, a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

struct output_file {
    std::string path;  // where the result goes: the target, symlinks followed
    std::string temp;  // empty when writing straight to a device or pipe
    std::FILE* file = nullptr;
    bool replaces_existing = false;
    fs::perms perms = fs::perms::none;
    std::int64_t written = 0;  // bytes handed to the file so far
};

std::string temp_name_beside(const fs::path& target) {
    static std::mt19937_64 random{std::random_device{}()};
    char name[40];
    std::snprintf(name, sizeof name, ".segsplice-%016llx.tmp",
                  static_cast<unsigned long long>(random()));
    fs::path dir = target.parent_path();
    return (dir.empty() ? fs::path(name) : dir / name).string();
}

// Opens a fresh temporary file beside the target. False when the target is a
// directory or cannot be written, or no temporary file can be made there.
bool open_output(output_file& out, const std::string& target) {
    std::error_code ec;
    fs::path path = target;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        path = fs::weakly_canonical(path, ec);
        if (ec) return false;
    }
    out.path = path.string();
    fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) return false;
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A device or pipe (/dev/null, /dev/stdout) cannot be renamed over.
        out.file = std::fopen(out.path.c_str(), "wb");
        return out.file != nullptr;
    }
    if (fs::exists(status)) {
        // A read-only target stays protected even though its directory is writable.
        std::FILE* probe = std::fopen(out.path.c_str(), "r+b");
        if (!probe) return false;
        std::fclose(probe);
        out.replaces_existing = true;
        out.perms = status.permissions();
    }
    install_signal_handlers();
    for (int attempt = 0; attempt < 16 && !out.file; ++attempt) {
        out.temp = temp_name_beside(path);
        out.file = std::fopen(out.temp.c_str(), "wbx");
    }
    if (!out.file) return false;
    // copy_stream writes whole blocks; a stream buffer would split each one.
    std::setvbuf(out.file, nullptr, _IONBF, 0);
    pending_temp.store(out.temp.c_str());
    return true;
}

bool write_output(output_file& out, const void* bytes, std::size_t n) {
    std::size_t done = std::fwrite(bytes, 1, n, out.file);
    out.written += static_cast<std::int64_t>(done);
    return done == n;
}

void discard_output(output_file& out) {
    if (out.file) std::fclose(out.file);
    out.file = nullptr;
    if (!out.temp.empty()) std::remove(out.temp.c_str());
    pending_temp.store(nullptr);
}

enum class commit_result { done, write_failed, replace_failed };

// Completes the file and puts it in place; on failure nothing is left behind.
commit_result commit_output(output_file& out) {
    bool written = std::fflush(out.file) == 0 && !std::ferror(out.file);
    written = std::fclose(out.file) == 0 && written;
    out.file = nullptr;
    if (out.temp.empty()) return written ? commit_result::done : commit_result::write_failed;
    if (!written) {
        discard_output(out);
        return commit_result::write_failed;
    }
    std::error_code ec;
    if (out.replaces_existing) fs::permissions(out.temp, out.perms, ec);
    if (std::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        discard_output(out);
        return commit_result::replace_failed;
    }
    pending_temp.store(nullptr);
    return commit_result::done;
}

enum class copy_result { done, short_input, read_failed, write_failed };

// Copies length bytes, or everything to the end when length is negative, from
// the current position of in to out, in large blocks. Each block ends where the
// output reaches a multiple of the block size, so that after the first one the
// writes cover whole aligned pages, which the page cache takes fastest. The
// block is small enough to stay in the processor's cache between read and write.
copy_result copy_stream(std::FILE* in, std::int64_t length, output_file& out) {
    static std::uint8_t buffer[1 << 18];
    bool to_end = length < 0;
    while (to_end || length > 0) {
        std::size_t want = sizeof buffer - static_cast<std::size_t>(out.written % sizeof buffer);
        if (!to_end && length < static_cast<std::int64_t>(want)) want = static_cast<std::size_t>(length);
        std::size_t got = std::fread(buffer, 1, want, in);
        if (got > 0 && !write_output(out, buffer, got)) return copy_result::write_failed;
        if (!to_end) length -= static_cast<std::int64_t>(got);
        if (got < want) {
            if (std::ferror(in)) return copy_result::read_failed;
            return to_end ? copy_result::done : copy_result::short_input;
        }
    }
    return copy_result::done;
}

bool position_file(std::FILE* file, std::int64_t position) {
    std::clearerr(file);
    return std::fseek(file, static_cast<long>(position), SEEK_SET) == 0;
}

// Messages for the failures a job can meet, with the name each one names.
struct job_messages {
    const char* open_failed;  // the output cannot be made or replaced
    const std::string& output;
    const std::string& source;
};

// Ends a job whose copies gave result: commits the output or removes it, and
// reports what went wrong. read_name names the file whose read failed.
int finish_job(output_file& out, copy_result result, const job_messages& messages,
               const std::string& read_name) {
    switch (result) {
        case copy_result::short_input:
            discard_output(out);
            print_message("app1 segment truncated [%s].\n", messages.source);
            return 1;
        case copy_result::read_failed:
            discard_output(out);
            print_message("input file read error [%s].\n", read_name);
            return 1;
        case copy_result::write_failed:
            discard_output(out);
            print_message("output file write error [%s].\n", messages.output);
            return 1;
        case copy_result::done:
            break;
    }
    switch (commit_output(out)) {
        case commit_result::done:
            return 0;
        case commit_result::write_failed:
            print_message("output file write error [%s].\n", messages.output);
            return 1;
        case commit_result::replace_failed:
            print_message(messages.open_failed, messages.output);
            return 1;
    }
    return 1;
}

int cut_segment(const run_options& options, byte_source& source, const app1_info& info) {
    job_messages messages{"output file open error [%s].\n", options.output, options.source};
    output_file out;
    if (!open_output(out, options.output)) {
        print_message(messages.open_failed, options.output);
        return 1;
    }
    copy_result result = copy_result::read_failed;
    if (position_file(source.file, info.start_address))
        result = copy_stream(source.file, info.app1_length, out);
    return finish_job(out, result, messages, options.source);
}

std::FILE* open_input(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

int replace_segment(const run_options& options, byte_source& source, const app1_info& info) {
    static const std::uint8_t VIREO_HEAD[] = {0xFF, 0xD8, 0xFF, 0xE1};
    job_messages messages{"output file open error 1 [%s].\n", options.output, options.source};
    output_file out;
    if (!open_output(out, options.output)) {
        print_message(messages.open_failed, options.output);
        return 1;
    }
    std::FILE* app1 = open_input(options.app1_file);
    if (!app1) {
        discard_output(out);
        print_message("app1 file open error 2 [%s].\n", options.app1_file);
        return 1;
    }
    const std::string* read_name = &options.source;
    copy_result result = copy_result::done;
    if (options.mode == MODE_REPLACE_VIREO) {
        if (!write_output(out, VIREO_HEAD, sizeof VIREO_HEAD)) result = copy_result::write_failed;
    } else if (!position_file(source.file, 0)) {
        result = copy_result::read_failed;
    } else {
        result = copy_stream(source.file, info.start_address, out);
        // The prefix was scanned a moment ago: a shortfall now is a failing read.
        if (result == copy_result::short_input) result = copy_result::read_failed;
    }
    if (result == copy_result::done) {
        result = copy_stream(app1, -1, out);
        if (result == copy_result::read_failed) read_name = &options.app1_file;
    }
    if (result == copy_result::done) {
        result = position_file(source.file, info.start_address + info.app1_length)
                     ? copy_stream(source.file, -1, out)
                     : copy_result::read_failed;
    }
    std::fclose(app1);
    return finish_job(out, result, messages, *read_name);
}

int run_job(const run_options& options, byte_source& source, const app1_info& info) {
    switch (options.mode) {
        case MODE_CUT:
            return cut_segment(options, source, info);
        case MODE_REPLACE:
        case MODE_REPLACE_VIREO:
            return replace_segment(options, source, info);
        default:
            return 0;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Run sequence

int segsplice_main(int argc, const char* const* argv) {
    if (argc <= 1) {
        for (const char* line : USAGE_LINES) print_line(line);
        return 1;
    }
    run_options options = parse_arguments(argc, argv);
    if (options.debug) set_log_enable(1);
    if (options.error) {
        print_line(options.error);
        return 1;
    }
    byte_source source;
    if (!open_source(source, options.source)) {
        print_line("file open error.");
        return 1;
    }
    int status = 0;
    source_seek(source, 0);
    if (!search_app1_start(source)) {
        // A scan cut short by a failing read has not shown that there is no marker.
        if (source.read_failed) {
            print_message("input file read error [%s].\n", options.source);
            status = 1;
        } else {
            print_line("can't find app1 maker. Abort.");
        }
    } else {
        app1_info info;
        info.start_address = source_tell(source);
        logoutput("app1 start_address = %lld.\n", static_cast<long long>(info.start_address));
        get_app1_data(source, info);
        status = run_job(options, source, info);
    }
    close_source(source);
    return status;
}
