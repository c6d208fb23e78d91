// The supervisor "SvDaemon": starts the daemon if asked to (as the
// appliance's supervisor does), lets it start serving once it is ready,
// watches that it is alive, and ends the appliance when the daemon asked
// for a shutdown and has exited.
//
// Handshake: the daemon pushes READY (1); the supervisor publishes its
// start event (topic 5, an id with the value 16 set) and repeats it until
// the daemon pushes START (2), since the daemon only sees a start event
// that arrives while it waits. Shutdown: request 7 with the value 2.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ipc/ipc.h"
#include "peer.h"
#include "peers.h"
#include "platform/clock.h"
#include "requests/request_codes.h"
#include "sim_console.h"

namespace {

const char kWho[] = SUPERVISOR_PROCESS_NAME;

enum {
    START_EVENT_REPEAT_MS = 250,
    SURVEY_PERIOD_MS = 2000,
    SURVEY_DEADLINE_MS = 500,
    // Without a daemon of its own, the supervisor waits at most this long
    // for the daemon to stop answering surveys after its shutdown request.
    SHUTDOWN_WAIT_MS = 10000,
    DAEMON_STOP_MS = 3000,
    SURVEY_ALIVE = 1,
};

// The start event's id: the start bit and nothing else.
const uint32_t kStartEventId = SUPERVISOR_START_EVENT_BIT;

struct SupervisorState {
    std::mutex lock;
    bool ready = false;
    bool started = false;
    bool shutdownRequested = false;
    int64_t shutdownAtMs = 0;
    int64_t nextStartEventMs = 0;
    int64_t nextSurveyMs = 0;
    int64_t lastResponseMs = 0;
    int64_t lastSurveyMs = 0;
    pid_t daemon = -1;
};

SupervisorState gSv;

void publishStartEvent()
{
    EventHeader hdr{SUPERVISOR_TOPIC, 0, kStartEventId};
    IpcStatus rc = IPC_Publish(&hdr, nullptr, 0);
    simTrace(kWho, "start event published (status %d)", rc);
}

void onPush(const void *msg, const void *, int)
{
    const PushHeader *hdr = static_cast<const PushHeader *>(msg);
    std::lock_guard<std::mutex> lock(gSv.lock);
    if (hdr->code == SUPERVISOR_READY) {
        simSay(kWho, "READY from process %u: publishing the start event", hdr->senderId);
        gSv.ready = true;
        gSv.started = false;
        gSv.nextStartEventMs = monotonicMs();
        wakePeerLoop();
    } else if (hdr->code == SUPERVISOR_START) {
        simSay(kWho, "START from process %u: the daemon serves", hdr->senderId);
        gSv.started = true;
    } else {
        simSay(kWho, "push code %u from process %u ignored", hdr->code, hdr->senderId);
    }
}

void onRequest(const void *msg, const void *payload, int len, ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    const RequestHeader *hdr = static_cast<const RequestHeader *>(msg);
    uint32_t value = 0;
    if (payload && len >= int(sizeof value))
        memcpy(&value, payload, sizeof value);
    if (hdr->requestCode != SUPERVISOR_SHUTDOWN_REQUEST || value != SUPERVISOR_SHUTDOWN_VALUE) {
        simSay(kWho, "request %u (value %u) refused", hdr->requestCode, value);
        outHdr->status = 1;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(gSv.lock);
        gSv.shutdownRequested = true;
        gSv.shutdownAtMs = monotonicMs();
    }
    simSay(kWho, "shutdown requested by process %u: the appliance ends once the daemon has exited", hdr->senderId);
    uint8_t *flag = static_cast<uint8_t *>(malloc(1));
    if (flag) {
        *flag = 1;
        *outPayload = flag;
        *outLen = 1;
    }
    wakePeerLoop();
}

void onResponse(const void *msg, const void *, int)
{
    const ResponseHeader *hdr = static_cast<const ResponseHeader *>(msg);
    std::lock_guard<std::mutex> lock(gSv.lock);
    if (hdr->respondentId == MIF_PROCESS_ID)
        gSv.lastResponseMs = monotonicMs();
}

pid_t startDaemon(const std::vector<char *> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        // The daemon gets a clean signal state, and ends with its
        // supervisor.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // A bare name is looked up on PATH: the command may start with an
        // emulator that runs a daemon built for the appliance.
        execvp(argv[0], argv.data());
        static const char failed[] = "[SvDaemon] cannot start the daemon\n";
        ssize_t ignored = write(STDERR_FILENO, failed, sizeof failed - 1);
        (void)ignored;
        _exit(127);
    }
    return pid;
}

std::string describeExit(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

void onChild()
{
    std::lock_guard<std::mutex> lock(gSv.lock);
    if (gSv.daemon <= 0)
        return;
    int status = 0;
    if (waitpid(gSv.daemon, &status, WNOHANG) != gSv.daemon)
        return;
    gSv.daemon = -1;
    gSv.ready = gSv.started = false;
    simSay(kWho, "the daemon has exited (%s)", describeExit(status).c_str());
    if (gSv.shutdownRequested)
        stopPeerLoop(SUPERVISOR_EXIT_SHUTDOWN);
}

void tick()
{
    std::lock_guard<std::mutex> lock(gSv.lock);
    int64_t now = monotonicMs();
    if (gSv.ready && !gSv.started && now >= gSv.nextStartEventMs) {
        publishStartEvent();
        gSv.nextStartEventMs = now + START_EVENT_REPEAT_MS;
    }
    if (now >= gSv.nextSurveyMs) {
        static const uint8_t none = 0;
        gSv.lastSurveyMs = now;
        IPC_Survey(SurveyHeader{SUPERVISOR_PROCESS_ID, SURVEY_ALIVE}, &none, 0);
        gSv.nextSurveyMs = now + SURVEY_PERIOD_MS;
    }
    // A daemon the supervisor did not start has gone once a survey sent
    // after the shutdown request stays unanswered.
    if (gSv.shutdownRequested && gSv.daemon <= 0) {
        bool surveyedSince = gSv.lastSurveyMs > gSv.shutdownAtMs && now > gSv.lastSurveyMs + SURVEY_DEADLINE_MS;
        if ((surveyedSince && gSv.lastResponseMs < gSv.lastSurveyMs) || now > gSv.shutdownAtMs + SHUTDOWN_WAIT_MS)
            stopPeerLoop(SUPERVISOR_EXIT_SHUTDOWN);
    }
}

// Ends the daemon the supervisor started: SIGTERM, then SIGKILL.
void stopDaemon()
{
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(gSv.lock);
        pid = gSv.daemon;
        gSv.daemon = -1;
    }
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int64_t end = monotonicMs() + DAEMON_STOP_MS; monotonicMs() < end;) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            simSay(kWho, "the daemon has ended (%s)", describeExit(status).c_str());
            return;
        }
        sleepMs(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    simSay(kWho, "the daemon was killed");
}

}  // namespace

int runSupervisor(int argc, char **argv)
{
    std::vector<char *> daemonArgv;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--daemon") == 0 && i + 1 < argc) {
            daemonArgv.assign(argv + i + 1, argv + argc);
            break;
        }
        fprintf(stderr, "usage: mif-sim supervisor [--daemon PATH [ARGS...]]\n");
        return 2;
    }
    daemonArgv.push_back(nullptr);

    peerProcessSetup();
    if (!peerOpenEndpoints(kWho, SUPERVISOR_PROCESS_ID,
                           {[] { return IPC_OpenPublisher(); }, [] { return IPC_OpenPullServer(onPush); },
                            [] { return IPC_OpenReplyServer(onRequest); },
                            [] { return IPC_OpenSurveyor(onResponse, SURVEY_DEADLINE_MS); }}))
        return 1;
    if (daemonArgv.size() > 1) {
        std::lock_guard<std::mutex> lock(gSv.lock);
        gSv.daemon = startDaemon(daemonArgv);
        if (gSv.daemon < 0)
            simSay(kWho, "cannot start %s: %s", daemonArgv[0], strerror(errno));
        else
            simSay(kWho, "started %s (pid %d)", daemonArgv[0], int(gSv.daemon));
    } else {
        simSay(kWho, "supervisor ready; waiting for a daemon to report READY");
    }

    PeerLoop loop;
    loop.name = kWho;
    loop.tickMs = 100;
    loop.onTick = tick;
    loop.onChild = onChild;
    int status = runPeerLoop(loop);
    stopDaemon();
    IPC_Deinit();
    return status;
}
