// mif-sim: the simulated appliance around the daemon.
//
//   mif-sim [--root DIR] [-v] [--quiet-console] [--daemon PROGRAM [ARGS...]]
//   mif-sim mcl | supervisor [--daemon PROGRAM [ARGS...]] | logger | netlink | otp
//   mif-sim ctl COMMAND...
//   mif-sim sign-package PACKAGE [-k KEY.pem] [-o SIG]
//   mif-sim fb-png [PNG] | dsp-wav [WAV]
//   mif-sim test-pattern PNG
//   mif-sim help
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "appliance.h"
#include "control.h"
#include "media.h"
#include "mif_version.h"
#include "otp.h"
#include "package.h"
#include "peer.h"
#include "peers.h"
#include "platform/paths.h"
#include "sim_console.h"
#include "sim_root.h"

namespace {

bool needRoot()
{
    std::string error;
    if (simRequireRoot(&error).empty()) {
        fprintf(stderr, "mif-sim: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The OTP stand-in alone, until SIGTERM or SIGINT.
int runOtp()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, otpLeaseSignal());
    sigaddset(&set, SIGIO);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::string error;
    for (const char *dir : {"/sys", "/sys/uid", "/sys/uid/otp", "/sys/module", "/sys/module/unique_id",
                            "/sys/module/unique_id/parameters", "/sys/module/otp", "/sys/module/otp/parameters", "/run"})
        mkdir(mifPath(dir).c_str(), 0755);
    if (!otpCreateFiles(&error) || !otpDriverStart(&error)) {
        fprintf(stderr, "mif-sim otp: %s\n", error.c_str());
        return 1;
    }
    simSay("OTP", "OTP stand-in ready");
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    int signal = 0;
    sigwait(&stop, &signal);
    otpDriverStop();
    return 0;
}

enum { CTL_REPLY_TIMEOUT_MS = 3000 };

int runCtl(int argc, char **argv)
{
    std::string line;
    for (int i = 0; i < argc; i++)
        line += (i ? " " : "") + std::string(argv[i]);
    std::string error;
    std::vector<std::string> words = splitControlLine(line);
    if (words.empty() || !findControlCommand(words[0])) {
        fprintf(stderr, "mif-sim ctl: unknown command \"%s\"\n%s\n", line.c_str(), controlHelp().c_str());
        return 2;
    }
    // The state the caller asks for comes back to the caller, not only to
    // the simulator's console.
    if (words[0] == "status") {
        std::string reply;
        if (!sendControlLineForReply(line, CTL_REPLY_TIMEOUT_MS, &reply, &error)) {
            fprintf(stderr, "mif-sim ctl: %s\n", error.c_str());
            return 1;
        }
        fputs(reply.c_str(), stdout);
        return 0;
    }
    if (!sendControlLine(line, &error)) {
        fprintf(stderr, "mif-sim ctl: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int runSignPackage(int argc, char **argv)
{
    std::string package, signature;
    std::string key = developmentKeyDir(MIF_SIM_BUILD_BIN_DIR, MIF_SIM_PACKAGE_KEY_DIR, "../share/mif-tools/dev-keys") +
                      "/" MIF_SIM_PACKAGE_KEY_NAME;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-k" && i + 1 < argc)
            key = argv[++i];
        else if (arg == "-o" && i + 1 < argc)
            signature = argv[++i];
        else if (package.empty() && arg[0] != '-')
            package = arg;
        else
            package.clear(), i = argc;
    }
    if (package.empty()) {
        fprintf(stderr, "usage: mif-sim sign-package PACKAGE [-k KEY.pem] [-o SIG]  (SIG defaults to PACKAGE.sig)\n");
        return 2;
    }
    if (signature.empty())
        signature = package + ".sig";
    std::string error;
    if (!signPackage(package, key, signature, &error)) {
        fprintf(stderr, "mif-sim sign-package: %s\n", error.c_str());
        return 1;
    }
    printf("%s\n", signature.c_str());
    return 0;
}

int runRender(bool frame, int argc, char **argv)
{
    if (!needRoot())
        return 2;
    std::string out = argc > 0 ? argv[0] : (frame ? "fb.png" : "dsp.wav");
    std::string error;
    bool ok = frame ? renderFrameToPng(mifPath(FB_DEVICE), out, &error) : convertPcmToWav(mifPath(DSP_DEVICE), out, &error);
    if (!ok) {
        fprintf(stderr, "mif-sim: %s\n", error.c_str());
        return 1;
    }
    printf("%s\n", out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (getenv("MIF_SIM_VERBOSE"))
        simSetVerbose(true);
    std::string sub = argc > 1 ? argv[1] : "";
    int restc = argc > 2 ? argc - 2 : 0;
    char **rest = argv + 2;
    if (sub == "sign-package")
        return runSignPackage(restc, rest);
    // `ctl help` needs no running simulator: the list is this program's own.
    if (sub == "help" || (sub == "ctl" && restc == 1 && std::string(rest[0]) == "help")) {
        printf("%s\n", controlHelp().c_str());
        return 0;
    }
    if (sub == "--help" || sub == "-h") {
        // The usage and the control commands, as the manual page shows them.
        printf("%s\nControl %s\n", simUsage(), controlHelp().c_str());
        return 0;
    }
    if (sub == "--version") {
        printf("mif-sim %s\n", MIF_VERSION);
        return 0;
    }
    if (sub == "fb-png" || sub == "dsp-wav")
        return runRender(sub == "fb-png", restc, rest);
    if (sub == "test-pattern") {
        std::string error;
        if (restc != 1 || !writeTestPattern(rest[0], &error)) {
            fprintf(stderr, "%s\n", restc != 1 ? "usage: mif-sim test-pattern PNG" : error.c_str());
            return restc != 1 ? 2 : 1;
        }
        return 0;
    }
    if (sub.empty() || sub[0] == '-')
        return runAppliance(argc - 1, argv + 1);
    if (!needRoot())
        return 2;
    if (sub == "mcl")
        return runMcl(restc, rest);
    if (sub == "supervisor")
        return runSupervisor(restc, rest);
    if (sub == "logger")
        return runLogger(restc, rest);
    if (sub == "netlink")
        return runNetlink(restc, rest);
    if (sub == "otp")
        return runOtp();
    if (sub == "ctl")
        return runCtl(restc, rest);
    fprintf(stderr, "mif-sim: unknown subcommand %s (mif-sim --help)\n", sub.c_str());
    return 2;
}
