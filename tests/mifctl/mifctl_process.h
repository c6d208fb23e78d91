// Running build/bin/mifctl from a test: arguments, environment, standard
// input, and what it printed, with every wait bounded.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct MifctlResult {
    int exitCode = -1;   // 128 + signal when killed
    std::string out;
    std::string err;
};

class MifctlProcess {
public:
    MifctlProcess() = default;
    ~MifctlProcess();
    MifctlProcess(const MifctlProcess &) = delete;
    MifctlProcess &operator=(const MifctlProcess &) = delete;

    // Starts mifctl with the arguments. The environment is the test's, less
    // every MIF_* variable, plus `env`; the working directory is `cwd` when
    // given.
    bool start(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
               const std::string &cwd = "");
    bool write(const std::string &text);
    // Reads standard output until it holds `needle`, at most `ms`.
    bool waitForOutput(const std::string &needle, unsigned ms);
    void closeInput();
    pid_t pid() const { return pid_; }
    // Closes standard input, collects the output and waits for the end, at
    // most `ms`; kills the process after that.
    MifctlResult finish(unsigned ms = 20000);

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outSoFar_;
};

// Runs mifctl to its end with `input` on standard input.
MifctlResult runMifctl(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
                       const std::string &input = "", const std::string &cwd = "");

// The development key directory of this source tree.
std::string devKeyDir();

// The environment that points mifctl at a daemon on a loopback port and at
// the development keys.
std::map<std::string, std::string> daemonEnv(int port);

// A temporary directory, removed with its content when the object goes.
struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
    void write(const std::string &name, const std::string &content) const;
    void write(const std::string &name, const std::vector<uint8_t> &content) const;
    std::string read(const std::string &name) const;
    bool exists(const std::string &name) const;
};
