#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <unistd.h>

#include "frame/log.h"
#include "session/command_list.h"
#include "session/command_table.h"
#include "session/wire.h"

namespace fs = std::filesystem;

namespace {

std::string root;

#define MIF_FUZZ_ROW(index, name, level, type, file, handler) {index, #name, level, nullptr, type, file},
const CommandTableRow fuzzCommandTable[COMMAND_COUNT] = {MIF_COMMAND_LIST(MIF_FUZZ_ROW)};
#undef MIF_FUZZ_ROW

void removeRoot()
{
    std::error_code ignored;
    if (!root.empty())
        fs::remove_all(root, ignored);
}

} // namespace

void fuzzSetup()
{
    if (!root.empty())
        return;
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/mif-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("mkdtemp");
        abort();
    }
    root = pattern;
    atexit(removeRoot);
    setenv("MIF_ROOT", root.c_str(), 1);
    for (const char *dir : {"/tmp", "/dev", "/mnt/rwfs/data/system_config", "/mnt/rwfs/data/tech_box"})
        fs::create_directories(root + dir);
    // The console's operator lines would only slow the run down.
    fs::create_symlink("/dev/null", root + "/dev/tty0");
    openConsole();
    installCommandTable(fuzzCommandTable);
}

std::string fuzzPath(const std::string &appliancePath) { return root + appliancePath; }

void fuzzWriteFile(const std::string &appliancePath, const uint8_t *data, size_t size)
{
    fs::path path(fuzzPath(appliancePath));
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), std::streamsize(size));
}

bool fuzzReadFile(const std::string &appliancePath, std::vector<uint8_t> *content)
{
    std::ifstream in(fuzzPath(appliancePath), std::ios::binary);
    if (!in)
        return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void fuzzClearDirectory(const std::string &applianceDir)
{
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(fuzzPath(applianceDir), ignored))
        fs::remove_all(entry.path(), ignored);
}

std::vector<std::string> fuzzListDirectory(const std::string &applianceDir)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(fuzzPath(applianceDir), ignored))
        names.push_back(entry.path().filename().string());
    return names;
}

SocketPair::SocketPair(size_t bytes)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        perror("socketpair");
        abort();
    }
    near = fds[0];
    far = fds[1];
    int size = int(bytes);
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
}

SocketPair::~SocketPair()
{
    if (near >= 0)
        close(near);
    if (far >= 0)
        close(far);
}

bool SocketPair::feed(const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(near, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return shutdown(near, SHUT_WR) == 0;
}

std::vector<uint8_t> SocketPair::drain()
{
    shutdown(far, SHUT_WR);
    std::vector<uint8_t> bytes;
    uint8_t block[4096];
    for (;;) {
        ssize_t n = recv(near, block, sizeof block, MSG_DONTWAIT);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), block, block + n);
    }
    return bytes;
}

std::string SentFrame::text() const
{
    size_t end = 0;
    while (end < payload.size() && payload[end])
        end++;
    return std::string(payload.begin(), payload.begin() + long(end));
}

bool splitFrames(const std::vector<uint8_t> &bytes, std::vector<SentFrame> *frames)
{
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < FRAME_HEADER_SIZE)
            return false;
        SentFrame frame;
        uint32_t length = 0;
        decodeFrameHeader(bytes.data() + at, &frame.index, &frame.tag, &length);
        at += FRAME_HEADER_SIZE;
        if (bytes.size() - at < length)
            return false;
        frame.payload.assign(bytes.begin() + long(at), bytes.begin() + long(at + length));
        at += length;
        frames->push_back(std::move(frame));
    }
    return true;
}

void fuzzFail(const char *file, int line, const char *what)
{
    fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    abort();
}
