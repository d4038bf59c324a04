// The jobs that write files: cut the APP1 segment out (-r), splice a segment
// in (-w, -wvireo) and put the Exif segment in (-i); the strip (-s, strip.h)
// and the location out (-g, location.h) write through the helpers here.
// Every output goes through the file module: a temporary file beside the
// target, put in its place only when complete.
#ifndef SEGSPLICE_JOBS_H
#define SEGSPLICE_JOBS_H

#include <cstdint>
#include <string>

#include "copy_engine.h"
#include "main.h"
#include "marker_walk.h"
#include "output_file.h"

// Messages for the failures a job can meet, with the name each one names.
struct job_messages {
    const char* open_failed;  // the output cannot be made or replaced
    const std::string& output;
    const std::string& source;
    std::int64_t segment_length = 0;  // the APP1 length field, for a segment cut short
};

// Ends a job whose copies gave result: commits the output or removes it, and
// reports what went wrong. read_name names the file whose read failed.
int finish_job(output_file& out, copy_result result, const job_messages& messages, const std::string& read_name);

// Says why a walk of source's primary image stopped short of its EOI: a
// failing read, a broken structure (where, and what broke), or a file that
// changed since an earlier walk reached its EOI.
void report_walk_failure(const byte_source& source, const marker_walk& walk, const std::string& name);

// Walks the primary image again from its SOI and says why it stops short;
// for a job whose own walk did not keep its state.
void report_unwalkable(byte_source& source, const std::string& name);

// Opens the job's output as the options ask; prints the open error if it fails.
bool open_job_output(output_file& out, const run_options& options, const job_messages& messages);

// An output written straight into one of its inputs (`>> photo.jpg`) would
// read itself back: it is refused before anything is written, as cat does.
// True, with the output discarded and the open error printed, when it is.
bool output_feeds_input(output_file& out, const input_file& in, const job_messages& messages);

// Copies length bytes of the source from offset; a short read is a failing one.
copy_result copy_source(output_file& out, const byte_source& source, std::int64_t offset, std::int64_t length);

// Appends n bytes to the output.
copy_result write_bytes(output_file& out, const std::uint8_t* bytes, std::size_t n);

// True for the jobs that find their segments by the marker walk (-i, -s, -g):
// they have work to do on a source without any 0xFF 0xE1 pair.
bool job_walks_markers(int mode);

// Runs the job that options.mode names on source and returns the exit status
// (0 also for MODE_NONE). found is the segment the byte scan found, null when
// it found no marker; only -r, -w and -wvireo use it. May close source.
int run_job(const run_options& options, byte_source& source, const app1_info* found);

#endif
