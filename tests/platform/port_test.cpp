#include "platform/port.h"
#include "test_env.h"

#include <gtest/gtest.h>

TEST(MifListenPort, DefaultsAndOverrides)
{
    struct Case { const char *value; int port; } cases[] = {
        {nullptr, 16176}, {"", 16176},     {"20001", 20001}, {"1", 1},
        {"65535", 65535}, {"65536", 16176}, {"0", 16176},    {"-5", 16176},
        {"12ab", 16176},  {" 80", 16176},   {"0x50", 16176},
    };
    for (const Case &c : cases) {
        ScopedEnv port("MIF_PORT", c.value);
        EXPECT_EQ(mifListenPort(), c.port) << (c.value ? c.value : "(unset)");
    }
}
