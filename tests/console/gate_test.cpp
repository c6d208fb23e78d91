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
    EXPECT_FALSE(hostAllowed(gate, "127.0.0.1"));  // port 80 by default
    EXPECT_FALSE(hostAllowed(gate, "127.0.0.1:08080x"));
    EXPECT_FALSE(hostAllowed(gate, "[::1]:8080"));  // another socket altogether
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

TEST(ConsoleGate, Ipv6AndTheDefaultPort)
{
    GateConfig v6{"::1", 8080, "t"};
    EXPECT_TRUE(hostAllowed(v6, "[::1]:8080"));
    EXPECT_TRUE(hostAllowed(v6, "[0:0:0:0:0:0:0:1]:8080"));
    EXPECT_TRUE(hostAllowed(v6, "localhost:8080"));
    EXPECT_FALSE(hostAllowed(v6, "::1:8080"));  // an IPv6 address needs its brackets
    EXPECT_FALSE(hostAllowed(v6, "[::1:8080"));
    EXPECT_FALSE(hostAllowed(v6, "[::1]8080"));
    EXPECT_FALSE(hostAllowed(v6, "[::1]:8081"));
    EXPECT_EQ(consoleUrl(v6), "http://[::1]:8080/?token=t");

    // Browsers leave the default port out of Host.
    GateConfig http{"127.0.0.1", 80, "t"};
    EXPECT_TRUE(hostAllowed(http, "127.0.0.1"));
    EXPECT_TRUE(hostAllowed(http, "localhost"));
    EXPECT_TRUE(hostAllowed(http, "127.0.0.1:80"));
    EXPECT_FALSE(hostAllowed(http, "rebound.example"));
    EXPECT_TRUE(hostAllowed(GateConfig{"::1", 80, "t"}, "[::1]"));

    // Listening on every address: localhost too, but still no other name.
    GateConfig any{"0.0.0.0", 9000, "t"};
    EXPECT_TRUE(hostAllowed(any, "localhost:9000"));
    EXPECT_TRUE(hostAllowed(any, "127.0.0.1:9000"));
    GateConfig any6{"::", 9000, "t"};
    EXPECT_TRUE(hostAllowed(any6, "[2001:db8::5]:9000"));
    EXPECT_TRUE(hostAllowed(any6, "192.0.2.9:9000"));
    EXPECT_FALSE(hostAllowed(any6, "console.example:9000"));
    EXPECT_EQ(consoleUrl(any6), "http://[::1]:9000/?token=t");
    EXPECT_EQ(consoleUrl(any), "http://127.0.0.1:9000/?token=t");
}

TEST(ConsoleGate, BodiesOnlyWhereTheyBelong)
{
    int status = 0;
    const std::string zero = "0", some = "120";
    EXPECT_EQ(bodyRefusal("GET", "/api/info", nullptr, false, &status), "");
    EXPECT_EQ(bodyRefusal("GET", "/api/info", &zero, false, &status), "");
    EXPECT_NE(bodyRefusal("GET", "/api/info", &some, false, &status), "");
    EXPECT_EQ(status, 400);
    EXPECT_NE(bodyRefusal("HEAD", "/", nullptr, true, &status), "");
    EXPECT_EQ(bodyRefusal("POST", "/api/command", &some, false, &status), "");
    EXPECT_NE(bodyRefusal("POST", "/api/command", nullptr, false, &status), "");
    EXPECT_EQ(status, 411);
    EXPECT_NE(bodyRefusal("POST", "/api/command", nullptr, true, &status), "");
    EXPECT_EQ(bodyRefusal("POST", "/api/upload", nullptr, true, &status), "");
    // Declared too long: refused before it is read.
    const std::string huge = "2147483648", file = std::to_string(FILE_BODY_LIMIT), bad = "12abc";
    EXPECT_EQ(bodyRefusal("POST", "/api/upload", &file, false, &status), "");
    EXPECT_NE(bodyRefusal("POST", "/api/upload", &huge, false, &status), "");
    EXPECT_EQ(status, 413);
    EXPECT_NE(bodyRefusal("POST", "/api/command", &file, false, &status), "");
    EXPECT_EQ(status, 413);
    EXPECT_NE(bodyRefusal("POST", "/api/command", &bad, false, &status), "");
    EXPECT_EQ(status, 400);
}

TEST(ConsoleGate, OriginMustBeThePageItself)
{
    EXPECT_TRUE(originAllowed("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("http://evil.example", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("https://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("null", "127.0.0.1:8080"));
    EXPECT_FALSE(originAllowed("http://", ""));
    EXPECT_TRUE(originAllowed("http://[::1]:8080", "[::1]:8080"));
    EXPECT_TRUE(originAllowed("http://127.0.0.1", "127.0.0.1"));
}

TEST(ConsoleGate, LoopbackAndUrl)
{
    EXPECT_TRUE(isLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(isLoopbackAddress("127.1.2.3"));
    EXPECT_TRUE(isLoopbackAddress("localhost"));
    EXPECT_FALSE(isLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(isLoopbackAddress("192.0.2.1"));
    EXPECT_FALSE(isLoopbackAddress("128.0.0.1"));
    EXPECT_TRUE(isLoopbackAddress("::1"));
    EXPECT_FALSE(isLoopbackAddress("::"));
    EXPECT_FALSE(isLoopbackAddress("2001:db8::1"));
    EXPECT_EQ(consoleUrl(GateConfig{"127.0.0.1", 8080, "abc"}), "http://127.0.0.1:8080/?token=abc");
}
