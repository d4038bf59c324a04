#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "byte_source.h"
#include "log.h"

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "segsplice fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

namespace {

struct parse_job {
    byte_source* source;
    memory_parse* result;
};

// Owns nothing: run_bounded may leave it half-way.
void parse(void* context) {
    parse_job& job = *static_cast<parse_job*>(context);
    job.result->found = search_app1_start(*job.source);
    if (!job.result->found) return;
    job.result->info.start_address = source_tell(*job.source);
    // The run sequence's own line between the scan and the header.
    logoutput("app1 start_address = %lld.\n", static_cast<long long>(job.result->info.start_address));
    get_app1_data(*job.source, job.result->info);
}

}  // namespace

memory_parse trace_from_memory(trace_sink& sink, const std::uint8_t* data, std::size_t size) {
    byte_source memory = memory_source(std::vector<std::uint8_t>(data, data + size));
    memory_parse result;
    parse_job job{&memory, &result};
    set_output_stream(sink.stream());
    set_log_enable(1);
    result.complete = sink.run_bounded(parse, &job);
    set_log_enable(0);
    return result;
}
