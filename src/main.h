// The front end: command line, APP1 marker scan and header, the Exif
// directory walk and the run sequence; the jobs are in jobs.h.
#ifndef SEGSPLICE_MAIN_H
#define SEGSPLICE_MAIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "common_ifd.h"

// The sixteen bytes after the 0xFF 0xE1 marker, offsets from start_address:
//
//   +0  app1_length (2, big-endian)    +2 exif_header (4, big-endian, "Exif")
//   +6  dummy (2, big-endian)          +8 byte_order (2, "MM" or "II")
//   +10 fixed (2, TIFF order, 42)      +12 first_ifd_address (4, TIFF order)
//
// The TIFF byte order is big-endian for "MM" and little-endian for anything else.
struct tiff_header {
    std::uint16_t app1_length = 0;
    std::uint32_t exif_header = 0;
    std::uint16_t dummy = 0;
    std::uint16_t byte_order = 0;
    std::uint16_t fixed = 0;
    std::uint32_t first_ifd_address = 0;
};

constexpr std::uint16_t BYTE_ORDER_BIG_ENDIAN = 0x4D4D;

// Where the APP1 segment is: it spans start_address (the byte after the
// marker, where the length field starts) up to start_address + app1_length.
struct app1_info {
    std::int64_t start_address = 0;
    std::uint16_t app1_length = 0;
};

enum cut_mode { MODE_NONE = 0, MODE_CUT = 1, MODE_REPLACE = 2, MODE_REPLACE_VIREO = 3, MODE_INSERT = 4,
                MODE_STRIP = 5, MODE_LOCATION = 6 };

// What the command line asks for. error is the line to print for a usage
// problem, null when there is none; warnings name what the run ignores.
struct run_options {
    int mode = MODE_NONE;
    bool debug = false;
    bool json_map = false;    // -j: print the byte map before the job
    bool keep_times = false;  // -k: a replaced target's times go to the new file
    std::string source;
    std::string app1_file;
    std::string output;
    const char* error = nullptr;
    std::string error_reason;           // beside error, for people
    std::vector<std::string> warnings;  // for people, in argument order
};

// Scans argv from index 0: the first mode option (-r, -w, -wvireo, -i, -s, -g)
// wins and ends the scan, so "-d", "-j" and "-k" count only before it. argv[1]
// is always the source, and is read as an option too. Whatever else the scan
// passes over or never reaches gets a warning. REQUIRES: argc >= 2.
run_options parse_arguments(int argc, const char* const* argv);

// Scans byte by byte from the current position for 0xFF directly followed by
// 0xE1. True with the source on the byte after the 0xE1; false at the end.
bool search_app1_start(byte_source& source);

// Reads and logs the sixteen header bytes at the current position; bytes the
// file does not hold read as zero.
void get_app1_header(byte_source& source, tiff_header& header);

// With the source on info.start_address: reads the header, sets
// info.app1_length, then walks the Exif directories. Only reads.
void get_app1_data(byte_source& source, app1_info& info);

// Walks IFD0 at offset_base + first_ifd_address, then the Exif IFD, the GPS
// IFD and the vendor makernote that it points at, in that order, tracing each.
void walk_exif_directories(byte_source& source, bool big_endian, std::int32_t offset_base,
                           std::uint32_t first_ifd_address);

// Prints format, with name in place of its one %s, on the tool's output.
void print_message(const char* format, const std::string& name);

// The whole run; returns the exit status (0 or 1). A lone --help, -h or
// --version that is not the name of an existing file prints the help or the
// version.
int segsplice_main(int argc, const char* const* argv);

#endif
