#include "output_plan.h"

void plan_range(output_plan& plan, std::int64_t offset, std::int64_t length) {
    if (length == 0) return;
    if (!plan.pieces.empty()) {
        plan_piece& last = plan.pieces.back();
        if (last.bytes.empty() && last.length > 0 && last.offset + last.length == offset) {
            last.length = length < 0 ? -1 : last.length + length;
            return;
        }
    }
    plan.pieces.push_back(plan_piece{offset, length, {}});
}

bool plan_patch(output_plan& plan, std::int64_t position, const std::uint8_t* bytes, std::size_t n) {
    const auto size = static_cast<std::int64_t>(n);
    // Patches come in file order: the range that holds one is mostly the last.
    for (std::size_t i = plan.pieces.size(); i-- > 0;) {
        const plan_piece range{plan.pieces[i].offset, plan.pieces[i].length, {}};
        if (!plan.pieces[i].bytes.empty() || position < range.offset) continue;
        const std::int64_t before = position - range.offset;
        if (range.length >= 0 && (size > range.length || before > range.length - size)) continue;
        std::vector<plan_piece> split;
        if (before > 0) split.push_back(plan_piece{range.offset, before, {}});
        split.push_back(plan_piece{0, 0, std::vector<std::uint8_t>(bytes, bytes + n)});
        const std::int64_t after = range.length < 0 ? -1 : range.length - before - size;
        if (after != 0) split.push_back(plan_piece{position + size, after, {}});
        plan.pieces.erase(plan.pieces.begin() + static_cast<std::ptrdiff_t>(i));
        plan.pieces.insert(plan.pieces.begin() + static_cast<std::ptrdiff_t>(i), split.begin(), split.end());
        return true;
    }
    return false;
}

copy_result write_plan(output_file& out, const input_file& source, const output_plan& plan) {
    for (const plan_piece& piece : plan.pieces) {
        copy_result result = copy_result::done;
        if (!piece.bytes.empty()) {
            if (!write_output(out, piece.bytes.data(), piece.bytes.size())) result = copy_result::write_failed;
        } else if (piece.length != 0) {
            result = copy_range(out, source, piece.offset, piece.length);
            if (result == copy_result::short_input) result = copy_result::read_failed;
        }
        if (result != copy_result::done) return result;
    }
    return copy_result::done;
}
