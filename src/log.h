// The trace switch and the one stream that trace lines and messages share.
#ifndef SEGSPLICE_LOG_H
#define SEGSPLICE_LOG_H

#include <cstdint>
#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define SEGSPLICE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SEGSPLICE_PRINTF(fmt, args)
#endif

// Stores the trace switch. The trace is written only while it holds exactly 1.
void set_log_enable(std::uint8_t flag);

// Returns the trace switch.
std::uint8_t get_log_enable();

// printf-style; writes the expanded text to output_stream() when the trace is on.
// Adds nothing: every line end comes from the format.
void logoutput(const char* format, ...) SEGSPLICE_PRINTF(1, 2);

// The stream for trace lines and the tool's messages, so both keep their order.
// Standard output unless a caller (a test) redirects it.
std::FILE* output_stream();
void set_output_stream(std::FILE* stream);

#endif
