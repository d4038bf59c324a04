// The jobs that write files: cut the APP1 segment out (-r), splice a segment
// in (-w, -wvireo), put the Exif segment in (-i) and strip the metadata (-s).
// Every output goes through the file module: a temporary file beside the
// target, put in its place only when complete.
#ifndef SEGSPLICE_JOBS_H
#define SEGSPLICE_JOBS_H

#include <array>
#include <cstdint>

#include "main.h"
#include "marker_walk.h"

// True for the jobs that find their segments by the marker walk (-i, -s):
// they have work to do on a source without any 0xFF 0xE1 pair.
bool job_walks_markers(int mode);

// Runs the job that options.mode names on source and returns the exit status
// (0 also for MODE_NONE). found is the segment the byte scan found, null when
// it found no marker; only -r, -w and -wvireo use it. May close source.
int run_job(const run_options& options, byte_source& source, const app1_info* found);

// The Orientation of the Exif APP1 segment exif: the first IFD0 entry with
// tag 0x0112, when it is a SHORT of count 1 holding 2 to 8; 0 otherwise. Reads
// only inside the segment, whatever its offsets claim.
int exif_orientation(byte_source& source, const jpeg_segment& exif);

// What -s puts where the Exif segment stood for an orientation of 2 to 8: an
// Exif APP1 segment, marker included, whose IFD0 holds only that Orientation.
std::array<std::uint8_t, 36> orientation_segment(int orientation);

#endif
