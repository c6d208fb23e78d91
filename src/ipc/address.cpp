// Where an endpoint lives. Both ends of a channel derive the address from
// the same process name (the binder's own name, the connecter's peer name)
// and kind word, so they meet without configuration: a socket file under
// /tmp, or, when an environment variable named after the endpoint holds an
// IPv4 address and a port (MclReply=127.0.0.1:20001), a TCP port.
#include "ipc/address.h"
#include "ipc/ipc_internal.h"
#include "platform/paths.h"

#include <arpa/inet.h>
#include <nanomsg/nn.h>
#include <nanomsg/tcp.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// Splits "host:port" as a tokeniser would (leading and repeated ':' are
// skipped, a third token is ignored). Valid only for a dotted IPv4 host and
// a port of 1025..65534.
bool parseOverride(const char *value, std::string *host, long long *port)
{
    std::string copy(value);
    char *save = nullptr;
    const char *h = strtok_r(copy.data(), ":", &save);
    const char *p = h ? strtok_r(nullptr, ":", &save) : nullptr;
    if (!h || !p)
        return false;
    in_addr addr;
    if (inet_pton(AF_INET, h, &addr) != 1)
        return false;
    long long n = std::strtoll(p, nullptr, 10);  // trailing characters ignored
    if (n < 1025 || n > 65534)
        return false;
    *host = h;
    *port = n;
    return true;
}

char *heapCopy(const std::string &s)
{
    char *out = static_cast<char *>(std::malloc(s.size() + 1));
    if (out)
        std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

}  // namespace

static char *buildAddress(const char *name, const char *kindWord, int socket, bool bind)
{
    std::string endpoint = std::string(name) + kindWord;

    std::string host;
    long long port = 0;
    const char *value = std::getenv(endpoint.c_str());
    if (value && parseOverride(value, &host, &port)) {
        int one = 1;
        (void)nn_setsockopt(socket, NN_TCP, NN_TCP_NODELAY, &one, sizeof one);
        // The port is written as read, so "20001x" means port 20001 rather
        // than an address nanomsg refuses.
        return heapCopy("tcp://" + (bind ? std::string("0.0.0.0") : host) + ":" +
                        std::to_string(port));
    }

    // On the appliance the address keeps its historical extra slash
    // (ipc:////tmp/MclReply.ipc); under a root the path is the root's.
    std::string path = mifPath("/tmp/" + endpoint + ".ipc");
    return heapCopy((mifRoot().empty() ? "ipc:///" : "ipc://") + path);
}

char *_IPC_BuildAddress(const char *name, const char *kindWord, int socket, bool bind)
{
    // The strings on the way may throw; the callers expect null instead.
    try {
        return buildAddress(name, kindWord, socket, bind);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
