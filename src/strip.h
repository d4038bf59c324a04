// -s: a photo without its metadata, for sharing: the primary image with
// only what shows it as it was meant (JFIF without its thumbnail, the colour
// profile, Adobe's colour transform, the orientation), and of a phone's HDR
// photo the gain map with just what renders it.
#ifndef SEGSPLICE_STRIP_H
#define SEGSPLICE_STRIP_H

#include <array>
#include <cstdint>

#include "byte_source.h"
#include "main.h"
#include "marker_walk.h"

// -s: writes options.output as the source without its metadata. Prints
// "gain map dropped [NAME]." (status 0) where an HDR photo's index does not
// lead to a whole gain map, which then goes with the rest.
int strip_metadata(const run_options& options, byte_source& source);

// The Orientation of the Exif APP1 segment exif: the first IFD0 entry with
// tag 0x0112, when it is a SHORT, SSHORT, LONG or SLONG of count 1 holding 2
// to 8; 0 otherwise. Reads only inside the segment, whatever its offsets claim.
int exif_orientation(byte_source& source, const jpeg_segment& exif);

// What -s puts where the Exif segment stood for an orientation of 2 to 8: an
// Exif APP1 segment, marker included, whose IFD0 holds only that Orientation.
std::array<std::uint8_t, 36> orientation_segment(int orientation);

#endif
