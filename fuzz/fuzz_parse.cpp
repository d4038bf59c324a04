// The fast fuzz target: arbitrary bytes, held in memory, through the byte
// map of "-j" and the "-d" run's marker scan, header read and directory
// walk, the trace hashed as it is written. No files, no processes, so the fuzzer gets thousands of runs a
// second and can reach deep into the directories.
#include <cstdint>
#include <vector>

#include "byte_map.h"
#include "byte_source.h"
#include "harness.h"

namespace {

// A parse is cut short at this much trace: some 190 directory entries, or 30
// with long values, four times the trace of a camera's whole segment. Most
// time goes into formatting, so this bounds the cost of every run; a
// directory of 65535 entries that mostly lie past the end of the input would
// cost a thousand times more. (The jobs target reaches the 256th entry, which
// overflows a table.)
constexpr std::uint64_t PARSE_TRACE_LIMIT = 32 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The byte map (-j) covers the input exactly once, in file order.
    byte_source mapped = memory_source(std::vector<std::uint8_t>(data, data + size));
    byte_map map = build_byte_map(mapped);
    std::int64_t covered = 0;
    for (const map_range& range : map.ranges) {
        check(range.offset == covered && range.length > 0, "the byte map leaves a gap or covers a byte twice");
        covered += range.length;
    }
    check(covered == static_cast<std::int64_t>(size), "the byte map does not end at the input's end");
    check(!byte_map_json(map, "input").empty(), "the byte map wrote nothing");

    static trace_sink sink{PARSE_TRACE_LIMIT};
    memory_parse traced = trace_from_memory(sink, data, size);
    if (!traced.complete && !traced.found) return 0;  // the scan was cut short

    // Runs without "-d" find the marker by a faster scan: it must stop on
    // the same byte as the traced one.
    byte_source quiet = memory_source(std::vector<std::uint8_t>(data, data + size));
    bool found = search_app1_start(quiet);
    check(found == traced.found, "the quiet scan disagrees about the marker");
    check(!found || source_tell(quiet) == traced.info.start_address, "the quiet scan stops elsewhere");
    return 0;
}
