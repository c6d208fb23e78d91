// The console's door checks.
#include "gate.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/random.h>

std::string makeToken()
{
    unsigned char bytes[16];
    size_t have = 0;
    while (have < sizeof bytes) {
        ssize_t got = getrandom(bytes + have, sizeof bytes - have, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return "";
        have += size_t(got);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

static bool parseIpv4(const std::string &text, in_addr *address)
{
    return inet_pton(AF_INET, text.c_str(), address) == 1;
}

bool isLoopbackAddress(const std::string &host)
{
    in_addr address{};
    if (host == "localhost")
        return true;
    return parseIpv4(host, &address) && (ntohl(address.s_addr) >> 24) == 127;
}

bool hostAllowed(const GateConfig &gate, const std::string &hostHeader)
{
    const size_t colon = hostHeader.rfind(':');
    if (colon == std::string::npos || hostHeader.substr(colon + 1) != std::to_string(gate.port))
        return false;
    const std::string host = hostHeader.substr(0, colon);
    if (host == gate.listenHost)
        return true;
    in_addr address{};
    if (isLoopbackAddress(gate.listenHost))
        return host == "localhost" || host == "127.0.0.1";
    return gate.listenHost == "0.0.0.0" && parseIpv4(host, &address);
}

bool tokenMatches(const GateConfig &gate, const std::string &given)
{
    if (gate.token.empty() || given.size() != gate.token.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); i++)
        difference |= static_cast<unsigned char>(given[i] ^ gate.token[i]);
    return difference == 0;
}

bool originAllowed(const std::string &origin, const std::string &hostHeader)
{
    return !hostHeader.empty() && origin == "http://" + hostHeader;
}

std::string consoleUrl(const GateConfig &gate)
{
    const std::string host = gate.listenHost == "0.0.0.0" ? "127.0.0.1" : gate.listenHost;
    return "http://" + host + ":" + std::to_string(gate.port) + "/?token=" + gate.token;
}
