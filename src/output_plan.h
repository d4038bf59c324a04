// An output planned before it is written: pieces that are either a range of
// the source or new bytes. Jobs whose output holds its own sizes and offsets
// (a rewritten multi-picture index) plan the whole file first, so that every
// size is known before the first byte goes out.
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

// Appends a piece of its own, empty until the caller fills it, and returns
// its index: a place for bytes that depend on sizes not yet known.
std::size_t plan_slot(output_plan& plan);

// Bytes the first count pieces put out; a range to the end counts as 0.
std::int64_t planned_length(const output_plan& plan, std::size_t count);
inline std::int64_t planned_length(const output_plan& plan) { return planned_length(plan, plan.pieces.size()); }

// Puts n bytes in place of the source's bytes at position: the source range
// that holds them is split around them. False, with the plan unchanged, when
// no single range holds all n.
bool plan_patch(output_plan& plan, std::int64_t position, const std::uint8_t* bytes, std::size_t n);

// Writes the pieces in order. The ranges were read when the plan was made, so
// a source that now ends early gives read_failed.
copy_result write_plan(output_file& out, const input_file& source, const output_plan& plan);

#endif
