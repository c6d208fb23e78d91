// The console's door: token, Host and Origin.
#include <gtest/gtest.h>

#include "gate.h"

TEST(ConsoleGate, TokensAreFreshHexAndComparedExactly)
{
    const std::string a = makeToken(), b = makeToken();
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);

    GateConfig gate{"127.0.0.1", 8080, a};
    EXPECT_TRUE(tokenMatches(gate, a));
    EXPECT_FALSE(tokenMatches(gate, b));
    EXPECT_FALSE(tokenMatches(gate, ""));
    EXPECT_FALSE(tokenMatches(gate, a.substr(0, 31)));
    EXPECT_FALSE(tokenMatches(gate, a + "0"));
    // A console without a token lets nobody in, not even with an empty one.
    EXPECT_FALSE(tokenMatches(GateConfig{"127.0.0.1", 8080, ""}, ""));
}

TEST(ConsoleGate, LoopbackConsoleTakesOnlyItsOwnNames)
{
    GateConfig gate{"127.0.0.1", 8080, "t"};
    EXPECT_TRUE(hostAllowed(gate, "127.0.0.1:8080"));
    EXPECT_TRUE(hostAllowed(gate, "localhost:8080"));
    EXPECT_FALSE(hostAllowed(gate, "127.0.0.1:8081"));
    EXPECT_FALSE(hostAllowed(gate, "127.0.0.1"));
    EXPECT_FALSE(hostAllowed(gate, ""));
    // DNS rebinding: a name the attacker points at 127.0.0.1.
    EXPECT_FALSE(hostAllowed(gate, "attacker.example:8080"));
    EXPECT_FALSE(hostAllowed(gate, "192.0.2.1:8080"));
}

TEST(ConsoleGate, NetworkConsoleTakesAddressesButNoNames)
{
    GateConfig own{"192.0.2.7", 9000, "t"};
    EXPECT_TRUE(hostAllowed(own, "192.0.2.7:9000"));
    EXPECT_FALSE(hostAllowed(own, "localhost:9000"));
    EXPECT_FALSE(hostAllowed(own, "console.example:9000"));

    GateConfig any{"0.0.0.0", 9000, "t"};
    EXPECT_TRUE(hostAllowed(any, "198.51.100.4:9000"));
    EXPECT_FALSE(hostAllowed(any, "console.example:9000"));
    EXPECT_FALSE(hostAllowed(any, "198.51.100.4:9001"));
}

TEST(ConsoleGate, OriginMustBeThePageItself)
{
    EXPECT_TRUE(originAllowed("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("http://evil.example", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("https://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("null", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("http://", ""));
}

TEST(ConsoleGate, LoopbackAndUrl)
{
    EXPECT_TRUE(isLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(isLoopbackAddress("127.1.2.3"));
    EXPECT_TRUE(isLoopbackAddress("localhost"));
    EXPECT_FALSE(isLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(isLoopbackAddress("192.0.2.1"));
    EXPECT_FALSE(isLoopbackAddress("128.0.0.1"));
    EXPECT_EQ(consoleUrl(GateConfig{"127.0.0.1", 8080, "abc"}), "http://127.0.0.1:8080/?token=abc");
}
