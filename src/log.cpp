#include "log.h"

#include <cstdarg>

namespace {
std::uint8_t log_enable = 0;
std::FILE* sink = nullptr;
}  // namespace

void set_log_enable(std::uint8_t flag) { log_enable = flag; }

std::uint8_t get_log_enable() { return log_enable; }

void logoutput(const char* format, ...) {
    if (log_enable != 1) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(output_stream(), format, args);
    va_end(args);
}

std::FILE* output_stream() { return sink ? sink : stdout; }

void set_output_stream(std::FILE* stream) { sink = stream; }
