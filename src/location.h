// -g: the location out of a photo, every other byte as it was. The GPS IFD
// of each Exif segment is zeroed where it stands, with the values its entries
// point at, and each Exif GPS property of each XMP packet becomes spaces, so
// that no offset, length or size anywhere changes.
#ifndef SEGSPLICE_LOCATION_H
#define SEGSPLICE_LOCATION_H

#include <cstdint>
#include <vector>

#include "byte_source.h"
#include "main.h"

// Bytes of the file to overwrite, each with fill.
struct blank_range {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::uint8_t fill = 0;  // 0x00 in Exif, a space in XMP
};

// refused: a location that cannot be removed whole (a GPS directory or
// value that does not lie inside its segment, or lies on IFD0; XMP that
// cannot be parsed cleanly), so the file must not be written. In order of
// weight: one segment's refusal outweighs every other segment's finding.
enum class location_found { none, found, refused };

struct location_plan {
    location_found found = location_found::none;
    std::vector<blank_range> ranges;  // in file order, none overlapping
};

// Walks the primary image, then every further image that its MPF index
// places after it, and plans the blanking of each Exif and XMP segment met.
// False when the primary's walk does not reach its EOI; source.read_failed
// tells a failing read. Reads only inside the segments it walks.
bool plan_location(byte_source& source, location_plan& plan);

// -g: writes options.output as the source with its location blanked. Prints
// "no location found [NAME]." after a byte-for-byte copy, and refuses with
// "location not removed [NAME]." (status 1, nothing written) what it cannot
// remove whole.
int remove_location(const run_options& options, byte_source& source);

#endif
