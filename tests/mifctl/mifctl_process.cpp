#include "mifctl_process.h"
#include "support/daemon_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static std::string binaryDir()
{
    const char *dir = getenv("MIF_BIN_DIR");
    return dir ? dir : MIFCTL_TEST_BIN_DIR;
}

std::string devKeyDir()
{
    return std::string(MIFCTL_TEST_SOURCE_DIR) + "/keys/dev";
}

std::map<std::string, std::string> daemonEnv(int port)
{
    return {{"MIF_PORT", std::to_string(port)}, {"MIF_KEY_DIR", devKeyDir()}};
}

static int64_t nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

MifctlProcess::~MifctlProcess()
{
    if (pid_ > 0)
        finish(1000);
}

bool MifctlProcess::start(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                          const std::string &cwd)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return false;
    std::vector<std::string> environment;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "MIF_", 4) != 0 && strncmp(*e, "MIFCTL_", 7) != 0)
            environment.push_back(*e);
    for (const auto &[name, value] : env)
        environment.push_back(name + "=" + value);
    // In a cross build the emulator runs the program.
    std::vector<std::string> copies = programCommand(binaryDir() + "/mifctl");
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    return pid_ > 0;
}

bool MifctlProcess::write(const std::string &text)
{
    return in_ >= 0 && ::write(in_, text.data(), text.size()) == ssize_t(text.size());
}

bool MifctlProcess::waitForOutput(const std::string &needle, unsigned ms)
{
    const int64_t deadline = nowMs() + ms;
    while (outSoFar_.find(needle) == std::string::npos) {
        int64_t left = deadline - nowMs();
        pollfd p{out_, POLLIN, 0};
        if (left <= 0 || out_ < 0 || poll(&p, 1, int(left)) <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        outSoFar_.append(buffer, size_t(n));
    }
    return true;
}

void MifctlProcess::closeInput()
{
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

MifctlResult MifctlProcess::finish(unsigned ms)
{
    MifctlResult result;
    result.out = outSoFar_;
    outSoFar_.clear();
    closeInput();
    const int64_t deadline = nowMs() + ms;
    bool killed = false;
    while (out_ >= 0 || err_ >= 0) {
        int64_t left = deadline - nowMs();
        if (left <= 0 && !killed) {
            kill(pid_, SIGKILL);
            killed = true;
        }
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, left > 0 ? int(left) : 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            int &fd = i == 0 ? out_ : err_;
            if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, size_t(n));
            } else {
                close(fd);
                fd = -1;
            }
        }
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return result;
}

MifctlResult runMifctl(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                       const std::string &input, const std::string &cwd)
{
    MifctlProcess process;
    if (!process.start(args, env, cwd))
        return {};
    process.write(input);
    return process.finish();
}

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/mifcXXXXXX";
    if (mkdtemp(name))
        path = name;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

void ScratchDir::write(const std::string &name, const std::string &content) const
{
    std::ofstream(file(name), std::ios::binary) << content;
}

void ScratchDir::write(const std::string &name, const std::vector<uint8_t> &content) const
{
    write(name, std::string(content.begin(), content.end()));
}

std::string ScratchDir::read(const std::string &name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ScratchDir::exists(const std::string &name) const
{
    struct stat st{};
    return stat(file(name).c_str(), &st) == 0;
}
