// An output planned before it is written: a few pieces that are either a
// range of the source or new bytes, and fields of the source rewritten on the
// way (-i's multi-picture index).
#ifndef SEGSPLICE_OUTPUT_PLAN_H
#define SEGSPLICE_OUTPUT_PLAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "copy_engine.h"
#include "output_file.h"

// bytes when it holds any, else length bytes of the source from offset; a
// negative length runs to the source's end.
struct plan_piece {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::vector<std::uint8_t> bytes;
};

struct output_plan {
    std::vector<plan_piece> pieces;
};

// Appends a source range, joined to the range before it when they touch.
// Empty ranges add nothing.
void plan_range(output_plan& plan, std::int64_t offset, std::int64_t length);

// Puts n bytes in place of the source's bytes at position: the source range
// that holds them is split around them. False, with the plan unchanged, when
// no single range holds all n.
bool plan_patch(output_plan& plan, std::int64_t position, const std::uint8_t* bytes, std::size_t n);

// Writes the pieces in order. The ranges were read when the plan was made, so
// a source that now ends early gives read_failed.
copy_result write_plan(output_file& out, const input_file& source, const output_plan& plan);

#endif
