// Windows reads every file through the byte source's blocks.
#include "file_map.h"

map_result scan_mapped(const input_file&, std::int64_t, std::size_t, byte_scan, scan_stop&) {
    return map_result::unmappable;
}

void set_map_hook(void (*)(const input_file&)) {}
