#include "daemon_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "session/signing.h"
#include "session/socket_io.h"
#include "session/wire.h"

namespace fs = std::filesystem;

// ------------------------------------------------------------------ TempRoot

TempRoot::TempRoot()
{
    char pattern[] = "/tmp/mifXXXXXX";
    if (mkdtemp(pattern))
        path_ = pattern;
    fs::create_directories(path_ + "/tmp");
    fs::create_directories(path_ + "/mnt/rwfs/data/system_config");
    fs::create_directories(path_ + "/mnt/rwfs/data/tech_box");
}

TempRoot::~TempRoot()
{
    std::error_code ignored;
    if (!path_.empty())
        fs::remove_all(path_, ignored);
}

void TempRoot::write(const std::string &appliancePath, const std::string &content) const
{
    fs::path file(at(appliancePath));
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string TempRoot::read(const std::string &appliancePath) const
{
    std::ifstream in(at(appliancePath), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool TempRoot::exists(const std::string &appliancePath) const { return fs::exists(at(appliancePath)); }

// --------------------------------------------------------------------- ports

int freeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ::close(fd);
        return -1;
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string binDir()
{
    const char *dir = getenv("MIF_BIN_DIR");
    return dir ? dir : MIF_TEST_BIN_DIR;
}

int openInputFeeder(const std::string &path)
{
    for (int i = 0; i < 300; i++) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::vector<std::string> programCommand(const std::string &program)
{
    std::vector<std::string> command;
    std::istringstream emulator(MIF_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        command.push_back(word);
    command.push_back(program);
    return command;
}

// -------------------------------------------------------------------- Daemon

// In a forked child: runs a built program with its arguments, or ends.
[[noreturn]] static void execProgram(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> command = programCommand(program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

static bool portAccepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

Daemon::~Daemon()
{
    if (pid_ > 0 && exitStatus_ < 0)
        signalAndWait(SIGKILL, 5000);
    stopDefaultPeers();
    if (!errorFile_.empty())
        unlink(errorFile_.c_str());
}

bool Daemon::start(const TempRoot &root, const std::vector<std::string> &args,
                   const std::map<std::string, std::string> &env)
{
    // A test that needs a port of its own (one it holds, say) passes MIF_PORT.
    auto chosen = env.find("MIF_PORT");
    port_ = chosen != env.end() ? std::stoi(chosen->second) : freeLoopbackPort();
    errorFile_ = root.path() + "/mifd.stderr";
    std::string program = binDir() + "/mifd";
    // The start delay file keeps tests quick unless a test wrote its own.
    if (!root.exists("/mnt/rwfs/data/mif_sleep.txt"))
        root.write("/mnt/rwfs/data/mif_sleep.txt", "0");

    if (defaultPeers)
        startDefaultPeers(root);

    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        setenv("MIF_ROOT", root.path().c_str(), 1);
        setenv("MIF_PORT", std::to_string(port_).c_str(), 1);
        for (const auto &[name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        int err = open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            dup2(err, 2);
            dup2(err, 1);
        }
        execProgram(program, args);
    }
    for (int i = 0; i < 500; i++) {   // at most about 5 s
        if (portAccepts(port_))
            return true;
        if (waitExit(0) >= 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Machine control runs apart from the others, whose request codes overlap
// with its own.
void Daemon::startDefaultPeers(const TempRoot &root)
{
    auto played = [&](const char *name) { return root.exists(std::string("/tmp/") + name + "Reply.ipc"); };
    std::vector<std::vector<std::string>> groups;
    if (!played("Mcl"))
        groups.push_back({"Mcl"});
    std::vector<std::string> others;
    for (const char *name : {"SvDaemon", "LoggerD", "NetLinkD"})
        if (!played(name))
            others.push_back(name);
    if (!others.empty())
        groups.push_back(others);

    std::string program = binDir() + "/mif-test-peer";
    for (const std::vector<std::string> &roles : groups) {
        pid_t pid = fork();
        if (pid < 0)
            continue;
        if (pid == 0) {
            setenv("MIF_ROOT", root.path().c_str(), 1);
            execProgram(program, roles);
        }
        peers_.push_back(pid);
        for (int i = 0; i < 500 && !played(roles.back().c_str()); i++)   // about 5 s
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Daemon::stopDefaultPeers()
{
    for (pid_t pid : peers_)
        kill(pid, SIGTERM);
    for (pid_t pid : peers_) {
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !ended; i++) {   // about 3 s
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    peers_.clear();
}

int Daemon::waitExit(unsigned ms)
{
    if (exitStatus_ >= 0 || pid_ <= 0)
        return exitStatus_;
    for (unsigned waited = 0;; waited += 10) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        if (waited >= ms)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Daemon::signalAndWait(int signal, unsigned ms)
{
    if (pid_ > 0 && exitStatus_ < 0)
        kill(pid_, signal);
    return waitExit(ms);
}

std::string Daemon::errorOutput() const
{
    std::ifstream in(errorFile_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

static int countEntries(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

int Daemon::descriptorCount() const { return countEntries("/proc/" + std::to_string(pid_) + "/fd"); }
int Daemon::threadCount() const { return countEntries("/proc/" + std::to_string(pid_) + "/task"); }

// -------------------------------------------------------------------- Client

std::string Frame::text() const
{
    size_t end = 0;
    while (end < payload.size() && payload[end])
        end++;
    return std::string(payload.begin(), payload.begin() + long(end));
}

Client::~Client() { close(); }

bool Client::connect(int port, int receiveBuffer)
{
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Before the connection, so that the window offered is that small too.
    if (receiveBuffer > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

void Client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool Client::sendRaw(const void *bytes, size_t length)
{
    return socket_send(fd_, bytes, length, 0, 5000) == ssize_t(length);
}

bool Client::send(int32_t index, int32_t tag, const void *payload, uint32_t length)
{
    uint8_t header[FRAME_HEADER_SIZE];
    encodeFrameHeader(header, index, tag, length);
    return sendRaw(header, sizeof header) && (length == 0 || sendRaw(payload, length));
}

bool Client::sendText(int32_t index, int32_t tag, const char *text)
{
    return send(index, tag, text, text ? uint32_t(strlen(text) + 1) : 0);
}

bool Client::receive(Frame *frame, unsigned timeoutMs)
{
    uint8_t header[FRAME_HEADER_SIZE];
    if (socket_recv(fd_, header, sizeof header, 0, int(timeoutMs)) != FRAME_HEADER_SIZE)
        return false;
    uint32_t length = 0;
    decodeFrameHeader(header, &frame->index, &frame->tag, &length);
    frame->payload.assign(length, 0);
    return length == 0 || socket_recv(fd_, frame->payload.data(), length, 0, int(timeoutMs)) == ssize_t(length);
}

bool Client::closedByPeer(unsigned ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, int(ms)) <= 0)
        return false;
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
}

std::string Client::call(int32_t index, const char *text, int32_t tag)
{
    Frame answer;
    if (!sendText(index, tag, text) || !receive(&answer))
        return "";
    return answer.text();
}

bool Client::readChallenge()
{
    Frame frame;
    if (!receive(&frame) || frame.index != 1 || frame.tag != 42)
        return false;
    challenge = frame.payload;
    return true;
}

std::vector<uint8_t> Client::sign(const std::string &role) const
{
    const char *source = getenv("MIF_SOURCE_DIR");
    std::string path = std::string(source ? source : MIF_TEST_SOURCE_DIR) + "/keys/dev/" + role + ".pem";
    signingSetup();
    SigningKey key;
    std::vector<uint8_t> signature(512);
    uint32_t length = uint32_t(signature.size());
    if (loadSigningKeyFile(&key, path.c_str()) != CRYPT_OK ||
        signChallenge(&key, challenge.data(), uint32_t(challenge.size()), signature.data(), &length) != CRYPT_OK)
        return {};
    signature.resize(length);
    return signature;
}

std::string Client::authenticate(const std::string &role)
{
    if (challenge.empty() && !readChallenge())
        return "";
    std::vector<uint8_t> signature = sign(role);
    Frame answer;
    if (signature.empty() || !send(1, 11, signature.data(), uint32_t(signature.size())) || !receive(&answer))
        return "";
    return answer.text();
}
