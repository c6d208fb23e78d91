// The console's door checks.
#include "gate.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
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

// A numeric address in a canonical form ("127.0.0.1", "::1"), so that two
// spellings of one address compare equal; empty for a name.
static std::string canonicalAddress(const std::string &text)
{
    char out[INET6_ADDRSTRLEN] = "";
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        inet_ntop(AF_INET, &v4, out, sizeof out);
    else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        inet_ntop(AF_INET6, &v6, out, sizeof out);
    return out;
}

bool isLoopbackAddress(const std::string &host)
{
    in_addr v4{};
    in6_addr v6{};
    if (host == "localhost")
        return true;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Splits "HOST:PORT", "[V6]:PORT", "HOST" or "[V6]" (port 80); false when
// it is none of these.
static bool splitHost(const std::string &header, std::string *host, std::string *port)
{
    size_t hostEnd;
    if (!header.empty() && header[0] == '[') {
        const size_t close = header.find(']');
        if (close == std::string::npos)
            return false;
        *host = header.substr(1, close - 1);
        if (host->find(':') == std::string::npos)
            return false;
        hostEnd = close + 1;
    } else {
        hostEnd = header.find(':');
        if (hostEnd == std::string::npos)
            hostEnd = header.size();
        *host = header.substr(0, hostEnd);
    }
    if (host->empty())
        return false;
    if (hostEnd == header.size()) {
        *port = "80";
        return true;
    }
    if (header[hostEnd] != ':')
        return false;
    *port = header.substr(hostEnd + 1);
    return !port->empty() && port->find_first_not_of("0123456789") == std::string::npos;
}

bool hostAllowed(const GateConfig &gate, const std::string &hostHeader)
{
    std::string host, port;
    if (!splitHost(hostHeader, &host, &port) || port != std::to_string(gate.port))
        return false;
    const std::string address = canonicalAddress(host);
    const std::string listening = canonicalAddress(gate.listenHost);
    if (host == gate.listenHost || (!address.empty() && address == listening))
        return true;
    const bool anyAddress = listening == "0.0.0.0" || listening == "::";
    if (host == "localhost")
        return anyAddress || isLoopbackAddress(gate.listenHost);
    if (isLoopbackAddress(gate.listenHost))
        return address == (listening.find(':') == std::string::npos ? "127.0.0.1" : "::1");
    return anyAddress && !address.empty();
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
    const std::string listening = canonicalAddress(gate.listenHost);
    std::string host = listening == "0.0.0.0" ? "127.0.0.1" : listening == "::" ? "::1" : gate.listenHost;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(gate.port) + "/?token=" + gate.token;
}

std::string bodyRefusal(const std::string &method, const std::string &path, const std::string *contentLength,
                        bool chunked, int *status)
{
    if (method == "GET" || method == "HEAD") {
        *status = 400;
        return (contentLength && *contentLength != "0") || chunked ? "A request that reads takes no body." : "";
    }
    // Without a length the library would read until the client closes; only
    // an upload is counted as it arrives, so only an upload may come in chunks.
    *status = 411;
    if (!contentLength && !chunked)
        return "Say the body's length (Content-Length).";
    if (chunked && path != "/api/upload")
        return "Only an upload may come in chunks; say the body's length.";
    // A body declared too long is refused before a byte of it is read (the
    // library would read it all to throw it away).
    const bool file = path == "/api/upload" || path == "/api/preview";
    if (contentLength &&
        (contentLength->empty() || contentLength->find_first_not_of("0123456789") != std::string::npos)) {
        *status = 400;
        return "The body's length is not a number.";
    }
    *status = 413;
    // Saturates at ULLONG_MAX for more digits than it holds: too long all the same.
    const unsigned long long length = contentLength ? strtoull(contentLength->c_str(), nullptr, 10) : 0;
    if (length > (file ? FILE_BODY_LIMIT : COMMAND_BODY_LIMIT))
        return file ? "The file is larger than the appliance takes (80 MiB)." : "A command is a few bytes of JSON.";
    return "";
}
