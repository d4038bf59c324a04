#include "main.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "byte_map.h"
#include "jobs.h"
#include "kalvo.h"
#include "log.h"
#include "report.h"

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

// Printed after the usage text by --help.
const char HELP_TEXT[] = R"(
segsplice SRCFILE -i APP1_FILE OUTPUT_FILE
segsplice SRCFILE -s OUTPUT_FILE
segsplice SRCFILE -g OUTPUT_FILE
segsplice SRCFILE -d
segsplice SRCFILE -j
segsplice --help | -h | --version

SRCFILE always comes first. The first of -r, -w, -wvireo, -i, -s and -g wins,
and the arguments after it are ignored, with a warning on standard error.
SRCFILE is read as an option too: name a photo called -r (or any other
option) ./-r. A lone - is standard input as SRCFILE or APP1_FILE and
standard output as OUTPUT_FILE; a file named - is ./-.

  -r       write the APP1 segment of SRCFILE (its length field and payload,
           without the FF E1 marker) to SRCFILE.app1
  -w       write OUTPUT_FILE: SRCFILE with APP1_FILE, copied verbatim, in
           place of its APP1 segment
  -wvireo  as -w, but whatever stood before the APP1 marker is dropped: the
           output starts FF D8 FF E1
  -i       write OUTPUT_FILE: SRCFILE with APP1_FILE in place of its first
           Exif APP1 segment, or right after its FF D8 where it has none;
           every other segment stays. APP1_FILE is a side file, whose
           big-endian length field must equal its size and whose payload
           must start Exif 00 00, or a JPEG, whose Exif segment is taken
  -s       write OUTPUT_FILE: SRCFILE without its metadata. Every APPn
           segment but JFIF, ICC_PROFILE and Adobe, every comment, and all
           that follows the image's EOI are dropped, and a JFIF thumbnail;
           an Orientation of 2 to 8 stays, in an Exif segment of its own.
           An HDR photo's gain map stays, with only what renders it ("gain
           map dropped [NAME]." where its index does not lead to a whole one)
  -g       write OUTPUT_FILE: SRCFILE without its location. The GPS data of
           every Exif segment (further MPF images' too) is zeroed in place,
           and every Exif GPS property of the XMP turned to spaces; every
           other byte stays. Says "no location found [SRCFILE]." when there
           is none, and refuses a location it cannot remove whole
  -d       trace the marker scan, the header and every Exif directory entry;
           counts only before the mode option, and alone writes nothing
  -j       print a JSON map of every byte of SRCFILE at absolute offsets
           (segments, scan data, MPF images, trailer, Exif directories and
           entries) and image_sha256, the SHA-256 of the image data alone;
           counts only before the mode option, printed before the job runs
  -k       keep the target's times: a replaced target's access and
           modification times go to the new file; counts only before the
           mode option
  --help, -h, --version
           print this text, or the version; only as the one argument

-r, -w and -wvireo take the first FF E1 bytes for the APP1 marker; -i, -s
and -g walk the JPEG's segments and refuse a file whose structure is broken.
Each output replaces its target only when complete; OUTPUT_FILE may be
SRCFILE itself.

Exit status:
  0  the job was done, or there was none; also for a source without an APP1
     marker, where -r, -w and -wvireo print "can't find app1 maker. Abort."
     and write nothing
  1  a usage error, or a job that failed: a file could not be opened, read
     or written, or was refused (-g: "location not removed [SRCFILE]."
     where the location cannot be removed whole); nothing was written,
     existing files are as they were
Each failure also says why on standard error: "segsplice: NAME: reason".

See segsplice(1).
)";

void print_line(const char* text) { std::fprintf(output_stream(), "%s\n", text); }

void print_usage() {
    for (const char* line : USAGE_LINES) print_line(line);
}

void print_help() {
    print_usage();
    std::fputs(HELP_TEXT, output_stream());
}

void print_version() { print_line("segsplice " SEGSPLICE_VERSION); }

struct info_option {
    const char* name;
    void (*print)();
};

// Answered only as the one argument, and only when no file has that name:
// such a file is still a source.
constexpr info_option INFO_OPTIONS[] = {{"--help", print_help}, {"-h", print_help}, {"--version", print_version}};

const info_option* info_option_of(int argc, const char* const* argv) {
    if (argc != 2) return nullptr;
    for (const info_option& option : INFO_OPTIONS) {
        if (argv[1] == std::string_view(option.name) && !name_exists(argv[1])) return &option;
    }
    return nullptr;
}

}  // namespace

void print_message(const char* format, const std::string& name) {
    std::fprintf(output_stream(), format, name.c_str());
}

// ---------------------------------------------------------------------------
// Command line

namespace {

struct mode_option {
    const char* name;
    int mode;
    int names;  // 0: the output is SRCFILE.app1; 1: OUTPUT_FILE; 2: APP1_FILE OUTPUT_FILE
};

constexpr mode_option MODE_OPTIONS[] = {
    {"-r", MODE_CUT, 0},    {"-w", MODE_REPLACE, 2}, {"-wvireo", MODE_REPLACE_VIREO, 2},
    {"-i", MODE_INSERT, 2}, {"-s", MODE_STRIP, 1},   {"-g", MODE_LOCATION, 1},
};

// What each count of names is called, for the usage problems.
const char* const NAMES_TAKEN[] = {"", "OUTPUT_FILE", "APP1_FILE and OUTPUT_FILE"};

// The switches, which count only before the mode option. does_work: alone,
// with no mode option, the run still gives something.
struct flag_option {
    const char* name;
    bool run_options::*field;
    bool does_work;
};

constexpr flag_option FLAG_OPTIONS[] = {
    {"-d", &run_options::debug, true},
    {"-k", &run_options::keep_times, false},
    {"-j", &run_options::json_map, true},
};

const mode_option* mode_of(std::string_view arg) {
    for (const mode_option& option : MODE_OPTIONS)
        if (arg == option.name) return &option;
    return nullptr;
}

const flag_option* flag_of(std::string_view arg) {
    for (const flag_option& option : FLAG_OPTIONS)
        if (arg == option.name) return &option;
    return nullptr;
}

bool looks_like_option(std::string_view arg) { return arg.size() > 1 && arg[0] == '-'; }

// "nothing to do: give -r, -w, ..., -d; segsplice --help", from the tables.
std::string nothing_to_do() {
    std::string text = "nothing to do: give";
    for (const mode_option& option : MODE_OPTIONS) text += std::string(" ") + option.name + ",";
    for (const flag_option& option : FLAG_OPTIONS)
        if (option.does_work) text += std::string(" ") + option.name + ",";
    text.back() = ';';
    return text + " segsplice --help";
}

// The warnings for what the scan passes over or never reaches: mode is the
// index of the mode option (argc without one), last that of its last name.
void warn_about_arguments(int argc, const char* const* argv, int mode, int last, run_options& options) {
    bool second_file = false;
    for (int i = 2; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (i >= mode && i <= last) continue;  // the mode option and its names
        if (i > mode && flag_of(arg)) {
            options.warnings.push_back(std::string(arg) + " after the mode option is ignored: put it before " +
                                       argv[mode]);
        } else if (i > mode || looks_like_option(arg)) {
            if (!flag_of(arg)) options.warnings.push_back("ignored argument [" + std::string(arg) + "]");
        } else if (!second_file) {
            second_file = true;
            options.warnings.push_back(
                "only the first file is read; segsplice takes one photo per run, see \"Many photos\" in the README");
        }
    }
    bool works = mode < argc;
    for (const flag_option& option : FLAG_OPTIONS) works = works || (option.does_work && options.*option.field);
    if (!works) options.warnings.push_back(nothing_to_do());
}

}  // namespace

run_options parse_arguments(int argc, const char* const* argv) {
    run_options options;
    options.source = argv[1];
    int mode = argc;
    int last = argc;
    for (int i = 0; i < argc; ++i) {
        if (const flag_option* flag = flag_of(argv[i])) options.*flag->field = true;
        const mode_option* option = mode_of(argv[i]);
        if (!option) continue;
        options.mode = option->mode;
        mode = i;
        last = std::min(i + option->names, argc - 1);
        if (option->names == 0) {
            options.output = options.source + ".app1";
        } else if (option->names == 1) {
            if (i + 1 >= argc) options.error = "set output filename";
            else options.output = argv[i + 1];
        } else if (i + 1 >= argc) {
            options.error = "set input filename";
        } else {
            options.app1_file = argv[i + 1];
            if (i + 2 >= argc) options.error = "set output filename";
            else options.output = argv[i + 2];
        }
        if (options.error)
            options.error_reason = std::string(option->name) + " takes " + NAMES_TAKEN[option->names] +
                                   "; segsplice --help";
        break;
    }
    warn_about_arguments(argc, argv, mode, last, options);
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
    // One directory at a time: each reuses the table, so that a walk touches
    // one table's memory, not three.
    ifd_table<IFD_TABLE_SIZE> table;
    for (unsigned i = 0; i < count; ++i) {
        tag_main& entry = table.next();
        get_ifd_tag_data(source, offset_base, entry, big_endian);
        if (entry.tag == TAG_EXIF_IFD_POINTER) exif_ifd_position = tiff_position(offset_base, entry.value);
        else if (entry.tag == TAG_GPS_IFD_POINTER) gps_ifd_position = tiff_position(offset_base, entry.value);
    }

    if (exif_ifd_position > 0) {
        source_seek(source, exif_ifd_position);
        logoutput("exif_unique_tag_pointer [0x%x] \n", static_cast<unsigned>(exif_ifd_position));
        count = read_u16(source, big_endian);
        logoutput("exif_unique_tag_count [%d] \n", count);
        table.restart();
        for (unsigned i = 0; i < count; ++i) {
            tag_main& entry = table.next();
            get_ifd_tag_data(source, offset_base, entry, big_endian);
            if (entry.tag == TAG_MAKERNOTE) makernote_position = tiff_position(offset_base, entry.value);
        }
    }

    if (gps_ifd_position > 0) {
        source_seek(source, gps_ifd_position);
        count = read_u16(source, big_endian);
        logoutput("gps_tag_count [%d] \n", count);
        table.restart();
        for (unsigned i = 0; i < count; ++i) get_ifd_tag_data(source, offset_base, table.next(), big_endian);
    }

    if (makernote_position > 0) get_kalvo_makernote(source, offset_base, makernote_position);
}

// ---------------------------------------------------------------------------
// Run sequence

namespace {

// Prints the byte map of source, from a pass of its own; the job after it
// finds the source where it was. False when the file could not be read.
bool print_byte_map(const run_options& options, byte_source& source) {
    const std::int64_t saved = source_tell(source);
    byte_map map = build_byte_map(source);
    source_seek(source, saved);
    if (source.read_failed) {
        report_failure("input file read error [%s].\n", options.source,
                       system_reason(source.file.error, "the file changed while it was read"));
        return false;
    }
    std::string json = byte_map_json(map, options.source);
    std::fwrite(json.data(), 1, json.size(), output_stream());
    return true;
}

}  // namespace

int segsplice_main(int argc, const char* const* argv) {
    if (argc <= 1) {
        print_usage();
        warn("every option and the exit statuses: segsplice --help");
        return 1;
    }
    if (const info_option* option = info_option_of(argc, argv)) {
        option->print();
        return 0;
    }
    run_options options = parse_arguments(argc, argv);
    for (const std::string& warning : options.warnings) warn(warning);
    if (options.debug) set_log_enable(1);
    if (options.error) {
        print_line(options.error);
        warn(options.error_reason);
        return 1;
    }
    byte_source source;
    if (!open_source(source, options.source)) {
        report_failure("file open error.\n", options.source, system_reason(source.file.error, "cannot be read"));
        return 1;
    }
    int status = 0;
    source_seek(source, 0);
    if (!search_app1_start(source)) {
        // A scan cut short by a failing read has not shown that there is no marker.
        if (source.read_failed) {
            report_failure("input file read error [%s].\n", options.source,
                           system_reason(source.file.error, "the file changed while it was read"));
            status = 1;
        } else if (options.json_map && !print_byte_map(options, source)) {
            status = 1;
        } else if (job_walks_markers(options.mode)) {
            status = run_job(options, source, nullptr);
        } else if (options.mode != MODE_NONE || !options.json_map) {
            // A map alone is the whole run: its output stays one JSON document.
            report_failure("can't find app1 maker. Abort.\n", options.source,
                           "no FF E1 marker in the file: it has no APP1 segment");
        }
    } else {
        app1_info info;
        info.start_address = source_tell(source);
        logoutput("app1 start_address = %lld.\n", static_cast<long long>(info.start_address));
        get_app1_data(source, info);
        if (options.json_map && !print_byte_map(options, source)) status = 1;
        else status = run_job(options, source, &info);
    }
    close_source(source);
    return status;
}
