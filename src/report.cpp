#include "report.h"

#include <cstdio>
#include <cstring>

#include "main.h"

void report_failure(const char* format, const std::string& name, const std::string& reason) {
    print_message(format, name);
    report_reason(name, reason);
}

void report_reason(const std::string& name, const std::string& reason) {
    // The tool's line goes first wherever both streams reach one terminal.
    std::fflush(nullptr);
    std::fputs(("segsplice: " + name + ": " + reason + "\n").c_str(), stderr);
}

std::string system_reason(int error, const char* fallback) { return error != 0 ? std::strerror(error) : fallback; }

void warn(const std::string& text) {
    std::fflush(nullptr);
    std::fputs(("segsplice: " + text + "\n").c_str(), stderr);
}
