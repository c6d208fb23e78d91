// Who may talk to the console.
//
// The console holds a session with full rights on the appliance, so the
// page is guarded like a notebook server's: a token made at launch and
// printed in the URL rides on every request; the Host header must name
// the console itself, so that a web site whose name an attacker points at
// 127.0.0.1 (DNS rebinding) is refused; and every request that changes
// something is a POST whose Origin is the console's own page.
#pragma once

#include <string>

struct GateConfig {
    std::string listenHost;  // the address the console listens on
    int port = 0;
    std::string token;
};

// A fresh token: 32 hexadecimal digits from the kernel's random source.
// Empty when no randomness could be had (the console then refuses to start).
std::string makeToken();

// Whether an address is on the loopback network (127.0.0.0/8, ::1,
// "localhost").
bool isLoopbackAddress(const std::string &host);

// Whether a Host header names this console: its own address and port, or
// localhost with its port. A console listening on loopback also takes
// 127.0.0.1; one listening on 0.0.0.0 (or ::) any numeric address: a
// rebinding attack needs a host *name*, and localhost never leaves the
// machine. IPv6 addresses come in brackets ("[::1]:8080"); a Host without
// a port means port 80, as browsers leave the default port out.
bool hostAllowed(const GateConfig &gate, const std::string &hostHeader);

// Compares the token in constant time.
bool tokenMatches(const GateConfig &gate, const std::string &given);

// Whether an Origin header is the page this console served under the
// (already checked) Host header.
bool originAllowed(const std::string &origin, const std::string &hostHeader);

// The page's own address, printed at start: http://HOST:PORT/?token=TOKEN,
// an IPv6 address in brackets.
std::string consoleUrl(const GateConfig &gate);

// The longest bodies taken: a file the page sends (the largest data
// package the appliance takes, and the form around it), and anything else.
enum : unsigned long long {
    FILE_BODY_LIMIT = 80ull * 1024 * 1024 + 64 * 1024,
    COMMAND_BODY_LIMIT = 64 * 1024,
};

// Why a request that passed the door checks still may not be read: a
// body where none belongs, one of no declared length outside an upload,
// or one declared longer than its route takes (contentLength: the
// header's text, null when absent). Empty when it may go on; else the status in *status.
std::string bodyRefusal(const std::string &method, const std::string &path, const std::string *contentLength,
                        bool chunked, int *status);
