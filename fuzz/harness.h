// What the fuzz targets share: the failure report that libFuzzer and the
// replay driver catch, and the "-d" parse of an input held in memory.
#ifndef SEGSPLICE_FUZZ_HARNESS_H
#define SEGSPLICE_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "main.h"
#include "trace_sink.h"

// Prints what broke and aborts, so that a broken promise reads as a crash.
[[noreturn]] void fail(const char* what, const std::string& detail = "");
inline void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) fail(what, detail);
}

// The outcome of a traced parse: whether it ran to its end (its trace stayed
// under the sink's limit), whether a marker was found, and where.
struct memory_parse {
    bool complete = false;
    bool found = false;
    app1_info info;
};

// Runs the "-d" run's marker scan, header read and directory walk over the
// bytes, as the tool would trace a file holding them, through
// sink.run_bounded: sink's digest then holds the trace. Leaves the trace
// switched off and sink as the output stream.
memory_parse trace_from_memory(trace_sink& sink, const std::uint8_t* data, std::size_t size);

#endif
