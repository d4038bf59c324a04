// Words for people: the reason of every failure and every warning, on
// standard error in the form "segsplice: NAME: reason", beside the tool's own
// lines on its output, which scripts read and which stay as they are.
#ifndef SEGSPLICE_REPORT_H
#define SEGSPLICE_REPORT_H

#include <string>

// Prints format on the tool's output, with name in place of its %s where it
// has one, then "segsplice: NAME: reason" on standard error.
void report_failure(const char* format, const std::string& name, const std::string& reason);

// Only the line "segsplice: NAME: reason" on standard error, for a failure
// whose own line must not go to standard output.
void report_reason(const std::string& name, const std::string& reason);

// The system's words for the errno value error; fallback where error is 0,
// when the tool refused on its own or no call said why.
std::string system_reason(int error, const char* fallback);

// "segsplice: text" on standard error; the exit status is not touched.
void warn(const std::string& text);

#endif
