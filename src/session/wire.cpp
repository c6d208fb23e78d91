// The listening socket, accepting clients, and reading and writing frames.
#include "session/wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/port.h"
#include "session/command_table.h"
#include "session/socket_io.h"

static void putBE32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

static uint32_t getBE32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void encodeFrameHeader(uint8_t out[FRAME_HEADER_SIZE], int32_t index, int32_t tag, uint32_t length)
{
    putBE32(out, uint32_t(index));
    putBE32(out + 4, uint32_t(tag));
    putBE32(out + 8, length);
}

void decodeFrameHeader(const uint8_t in[FRAME_HEADER_SIZE], int32_t *index, int32_t *tag, uint32_t *length)
{
    *index = int32_t(getBE32(in));
    *tag = int32_t(getBE32(in + 4));
    *length = getBE32(in + 8);
}

// ------------------------------------------------------- listening socket

// The address text of the qxip file, for the operator: at most 63 bytes,
// cut after the last decimal digit.
static std::string readAddressFile()
{
    std::string text;
    FILE *file = fopen(mifPath("/mnt/rwfs/data/system_config/qxip").c_str(), "r");
    if (!file)
        return text;
    char buffer[64] = {};
    size_t n = fread(buffer, 1, 63, file);
    fclose(file);
    text.assign(buffer, n);
    size_t lastDigit = text.find_last_of("0123456789");
    text.resize(lastDigit == std::string::npos ? 0 : lastDigit + 1);
    return text;
}

static int failSocket(int fd, bool quiet)
{
    const int error = errno;
    if (!quiet)
        MIF_LOG(3, "%s\n", strerror(error));
    LOGGER_LogMessage(6, 0, "%s,%i: Function left early due to error \n", __func__, __LINE__);
    if (fd >= 0)
        close(fd);
    errno = error;   // the caller says why it is not listening
    return -1;
}

static bool resolveIPv4(const char *name, in_addr *out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    *out = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

int registerSocket(const char *name, bool quiet)
{
    const int port = mifListenPort();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failSocket(-1, quiet);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        return failSocket(fd, quiet);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!name || !resolveIPv4(name, &address.sin_addr)) {
        const char *text = "No or invalid IP address/hostname specified, will listen on all interfaces!\n";
        consoleLog(1, "%s", text);
        MIF_LOG(4, "%s", text);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    }

    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        char resolved[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address.sin_addr, resolved, sizeof resolved);
        const char *given = name ? name : "0.0.0.0";
        if (!quiet)
            consoleLog(1, "Unable to bind '%s' (resolved to %s), will try all interfaces instead!\n", given, resolved);
        if (!quiet)
            MIF_LOG(4, "Unable to bind '%s' (resolved to %s), will try all interfaces instead!\n", given, resolved);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
            return failSocket(fd, quiet);
    }

    if (listen(fd, 5) < 0)
        MIF_LOG(3, "%s\n", strerror(errno));   // kept: later accepts fail and say so

    char bound[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, bound, sizeof bound);
    consoleLog(2, "MIF awaiting client connection on %s:%d\n", bound, port);
    MIF_LOG(5, "MIF awaiting client connection on %s:%d\n", bound, port);
    if (strcmp(bound, "0.0.0.0") == 0) {
        std::string shown = readAddressFile();
        consoleLog(2, "You may connect to %s:%d\n", shown.c_str(), port);
        MIF_LOG(5, "You may connect to %s:%d\n", shown.c_str(), port);
    }
    return fd;
}

int wait4Client2Connect(int listenSocket)
{
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    int fd = accept4(listenSocket, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) {
        const char *reason = strerror(errno);
        consoleLog(0, "accept error: %s\n", reason);
        MIF_LOG(3, "accept error: %s\n", reason);
        return -1;
    }
    char host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    LOGGER_LogMessage(5, 0, "Incoming client connection from %s:%d\n", host, ntohs(peer.sin_port));
    consoleLog(2, "Incoming client connection from %s:%d\n", host, ntohs(peer.sin_port));
    return fd;
}

// ------------------------------------------------------------------ frames

Command *receiveCommand(int socket, int *timedOut)
{
    uint8_t header[FRAME_HEADER_SIZE];
    errno = 0;
    ssize_t got = socket_recv(socket, header, 1, 0, FRAME_POLL_MS);
    if (got != 1 && errno == ETIMEDOUT) {
        if (timedOut)
            *timedOut = 1;
        return nullptr;
    }
    // A client that closes its connection between commands is how a session
    // normally ends: a notice, not an error (errno would only tell of the
    // last wait).
    if (got == 0 || (got < 0 && errno == ECONNRESET)) {
        MIF_LOG(5, "%s\n", "Connection closed by peer");
        return nullptr;
    }
    if (got < 0)
        return nullptr;
    ssize_t rest = socket_recv(socket, header + 1, FRAME_HEADER_SIZE - 1, 0);
    if (rest != FRAME_HEADER_SIZE - 1) {
        MIF_LOG(3, "%s\n", rest == 0 ? "Connection closed by peer" : strerror(errno));
        return nullptr;
    }

    Command *command = createRawCommand(0, 0, nullptr, 0);
    if (!command)
        return nullptr;
    uint32_t length = 0;
    decodeFrameHeader(header, &command->index, &command->tag, &length);
    command->length = length;

    int type = getCmdTransferType(command->index);
    if (length == 0 || type == 1 || type == 3)
        return command;

    if (length > FRAME_MAX_PAYLOAD || !(command->data = allocCommandPayload(length))) {
        MIF_LOG(3, "Refusing payload of %u bytes for command %i\n", length, command->index);
        command->length = 0;
        deleteCommand(&command);
        return nullptr;
    }
    if (socket_recv(socket, command->data, length, 0) != ssize_t(length)) {
        MIF_LOG(3, "%s\n", strerror(errno));
        deleteCommand(&command);
        return nullptr;
    }
    MIF_LOG(5, "Receiving command %s (index %i), %i bytes of data, socket %i\n", getCmdName(command->index),
            command->index, int(length), socket);
    return command;
}

int sendPlainCommand(int socket, Command **command)
{
    if (!command || !*command)
        return -EINVAL;
    Command *c = *command;
    LOGGER_LogMessage(6, 0, "%s,%i: Function entered, socket %i\n", __func__, __LINE__, socket);
    MIF_LOG(5, "Sending command %s (index %i), %i bytes of data\n", getCmdName(c->index), c->index, int(c->length));

    int failure = 0;
    uint8_t header[FRAME_HEADER_SIZE];
    encodeFrameHeader(header, c->index, c->tag, c->length);
    // MSG_MORE lets the header and a payload leave in one segment.
    int more = c->length ? MSG_MORE : 0;
    if (socket_send(socket, header, sizeof header, more) != FRAME_HEADER_SIZE) {
        MIF_LOG(3, "%s\n", strerror(errno));
        failure = errno ? -errno : -EIO;
    }

    uint32_t sent = 0;
    while (!failure && sent < c->length) {
        ssize_t n = socket_send(socket, c->data + sent, c->length - sent, 0);
        if (n <= 0)
            break;
        sent += uint32_t(n);
        MIF_LOG(5, "sent %i bytes (%i bytes left in command)\n", int(n), int(c->length - sent));
    }
    if (!failure && sent < c->length) {
        MIF_LOG(3, "socket_send() on socket %i returned %i (should have %i), system error: %s\n", socket,
                int(sent), int(c->length), strerror(errno));
        failure = errno ? -errno : -EIO;
    }

    deleteCommand(command);
    LOGGER_LogMessage(6, 0, "%s,%i: Function left, socket %i\n", __func__, __LINE__, socket);
    return failure ? failure : int(sent);
}
