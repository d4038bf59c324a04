#include "log.h"

#include <gtest/gtest.h>

#include "test_util.h"

TEST(Log, WritesOnlyWhileTheSwitchHoldsExactlyOne) {
    std::FILE* sink = temp_stream();
    set_output_stream(sink);
    for (std::uint8_t flag : {0, 2, 255}) {
        set_log_enable(flag);
        logoutput("hidden %d\n", flag);
    }
    set_log_enable(0);
    set_output_stream(nullptr);
    EXPECT_EQ(std::ftell(sink), 0);
    std::fclose(sink);
    EXPECT_EQ(capture_trace([] { logoutput("true value\n"); logoutput("[%02x]", 10); }), "true value\n[0a]");
}
