// Figures of the running daemon's command path: round trips, the
// authentication, and the start-up.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "figures.h"
#include "placement.h"
#include "processes.h"
#include "raw_peers.h"
#include "raw_session.h"
#include "session_client.h"
#include "support/daemon_harness.h"

namespace {

enum { MCH_GET_WEIGHT_INDEX = 17, MCH_SET_HEATING_INDEX = 35, ROUND_TRIPS = 10000, WARM_UP = 200, ROUNDS = 100 };

// Round trips of one command without payload on an authenticated session;
// the answer's tag must be the request's.
std::vector<double> commandRoundTrips(int fd, int32_t index, const void *payload, uint32_t length, int count)
{
    std::vector<double> samples;
    samples.reserve(size_t(count));
    AnswerFrame answer;
    for (int i = 0; i < count; i++) {
        int64_t start = nowNs();
        if (!sendFrame(fd, index, i, payload, length) || !readFrame(fd, &answer) || answer.tag != i)
            break;
        samples.push_back(double(nowNs() - start));
    }
    return samples;
}

void append(std::vector<double> *to, const std::vector<double> &from) { to->insert(to->end(), from.begin(), from.end()); }

}  // namespace

// ------------------------------------------------------------- figure 2

namespace {

// A command's round trips on an authenticated session against a daemon
// whose peers play their parts as `peerOptions` says, and raw round trips
// (TCP echo, and nanomsg request/reply when `withRequestReply`) in
// alternating rounds, so that a burst of load elsewhere hits both.
// `argument` is sent with its NUL.
struct RoundTrips {
    std::vector<double> daemon, tcp, nn;
    std::string answer;      // the first answer that is not a refusal, or the last refusal
    std::string failure;     // why nothing was measured
    bool oneCpu = false;     // everything ran on one core (placement.h)
};

bool isRefusal(const std::string &answer) { return answer.rfind("NAK", 0) == 0; }

RoundTrips measureRoundTrips(int32_t index, const char *argument, const PeerOptions &peerOptions,
                             bool withRequestReply)
{
    enum { ANSWER_WAIT_MS = 3000, ANSWER_RETRY_MS = 20 };
    RoundTrips r;
    // First, so that the peers, the daemon and the raw servers start on the
    // one core, and last to go.
    OneCpu pin;
    r.oneCpu = pinToOneCpu(&pin);
    TempRoot root;
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    if (!startBenchDaemon(&mifd, &peers, root, peerOptions) || !loadRoleKey(&key, "testlab")) {
        r.failure = "the daemon or its peers did not start";
        return r;
    }
    int fd = connectLoopback(mifd.port());
    if (fd < 0 || !authenticateSession(fd, key)) {
        if (fd >= 0)
            close(fd);
        r.failure = "no authenticated session";
        return r;
    }
    uint32_t length = argument ? uint32_t(strlen(argument) + 1) : 0;
    // What the daemon answers from machine control's reports (the scale)
    // is there once the first report has reached it: until then the
    // command is refused, which is not the path to be measured.
    AnswerFrame answer;
    for (int64_t end = nowNs() + int64_t(ANSWER_WAIT_MS) * 1000000;;) {
        if (!sendFrame(fd, index, 1, argument, length) || !readFrame(fd, &answer))
            break;
        r.answer = answer.text();
        if (!isRefusal(r.answer) || nowNs() > end)
            break;
        usleep(ANSWER_RETRY_MS * 1000);
    }
    TcpEchoServer echo;
    NnEchoServer nnEcho;
    std::string nnAddress = "ipc://" + root.path() + "/tmp/BenchEchoReply.ipc";
    int echoFd = startTcpEcho(&echo) ? connectLoopback(echo.port) : -1;
    if (echoFd < 0 || (withRequestReply && !startNnEcho(&nnEcho, nnAddress))) {
        if (echoFd >= 0)
            close(echoFd);
        close(fd);
        r.failure = "no raw baseline";
        return r;
    }
    // Requests of the daemon's size: a 16-byte header and a one-byte argument.
    const size_t nnSize = 17;
    commandRoundTrips(fd, index, argument, length, WARM_UP);
    tcpEchoRoundTrips(echoFd, 12, WARM_UP);
    if (withRequestReply)
        nnReqRepRoundTrips(nnAddress, nnSize, WARM_UP);
    for (int round = 0; round < ROUNDS; round++) {
        append(&r.daemon, commandRoundTrips(fd, index, argument, length, ROUND_TRIPS / ROUNDS));
        append(&r.tcp, tcpEchoRoundTrips(echoFd, 12, ROUND_TRIPS / ROUNDS));
        if (withRequestReply)
            append(&r.nn, nnReqRepRoundTrips(nnAddress, nnSize, ROUND_TRIPS / ROUNDS));
    }
    close(fd);
    close(echoFd);
    stopTcpEcho(&echo);
    stopNnEcho(&nnEcho);
    return r;
}

// What the row's note says of how the round trips ran.
std::string conditions(const RoundTrips &r)
{
    std::string text = r.oneCpu ? "all on one core" : "unpinned: the system refused to keep it on one core";
    if (r.daemon.size() < ROUND_TRIPS)
        text += "; only " + std::to_string(r.daemon.size()) + " round trips were answered";
    return text;
}

// MCH_GET_WEIGHT answered from the scale reading machine control reported;
// a refusal means the reading never arrived and nothing was measured.
RoundTrips weightRoundTrips(unsigned logLevel)
{
    RoundTrips r = measureRoundTrips(MCH_GET_WEIGHT_INDEX, nullptr, {.logLevel = logLevel, .scale = true}, false);
    if (r.failure.empty() && isRefusal(r.answer))
        r.failure = "MCH_GET_WEIGHT answered \"" + r.answer + "\", not a reading";
    return r;
}

}  // namespace

FigureRows weightRoundTripFigure(const MicroResults &)
{
    const char *what = "MCH_GET_WEIGHT round trip";
    const char *traced = "MCH_GET_WEIGHT round trip, logger at trace level";
    RoundTrips plain = weightRoundTrips(LOG_LEVEL_WARNING);
    if (!plain.failure.empty())
        return {missingRow("2", what, plain.failure)};
    FigureRow row = latencyRow("2", what, summarize(plain.daemon), summarize(plain.tcp), "TCP echo", 1.5);
    row.note = "answer \"" + plain.answer + "\", " + conditions(plain);
    // What trace logging costs: every command then formats and pushes its
    // trace lines to the logger.
    RoundTrips trace = weightRoundTrips(LOG_LEVEL_TRACE);
    if (!trace.failure.empty())
        return {row, missingRow("2", traced, trace.failure)};
    FigureRow traceRow = latencyRow("2", traced, summarize(trace.daemon), summarize(trace.tcp), "TCP echo", 1.5);
    traceRow.verdict = Verdict::Reported;
    traceRow.goal = "reported";
    return {row, traceRow};
}

// ------------------------------------------------------------- figure 6

namespace {

// Connect to "ACK": the time from connect() to the challenge plus the time
// from sending the signature to the answer, and each half on its own. The
// client's own signing (an RSA private-key operation) lies between the two
// and is not the daemon's.
struct AuthSamples {
    std::vector<double> total, toChallenge, toAck;
};

void authenticate(int port, const SigningKey &key, int count, AuthSamples *samples)
{
    for (int i = 0; i < count; i++) {
        int64_t start = nowNs();
        int fd = connectLoopback(port);
        AnswerFrame challenge;
        if (fd < 0 || !readFrame(fd, &challenge) || challenge.tag != 42) {
            if (fd >= 0)
                close(fd);
            break;
        }
        int64_t challenged = nowNs();
        uint8_t signature[512];
        uint32_t length = sizeof signature;
        signChallenge(&key, challenge.payload.data(), uint32_t(challenge.payload.size()), signature, &length);
        int64_t signedAt = nowNs();
        AnswerFrame answer;
        bool ok = sendFrame(fd, 1, 11, signature, length) && readFrame(fd, &answer) && answer.text() == "ACK";
        int64_t end = nowNs();
        close(fd);
        if (!ok)
            break;
        samples->toChallenge.push_back(double(challenged - start));
        samples->toAck.push_back(double(end - signedAt));
        samples->total.push_back(double((challenged - start) + (end - signedAt)));
    }
}

struct AuthTimes {
    AuthSamples first, last, floor;
    bool started = false;
};

// Sessions authenticated alternately with the last-row key and, when
// `complete`, with the first-row key and against the raw session server,
// the floor (raw_session.h), against daemons whose logger asks for
// `logLevel`. On a machine where other processes keep both cores busy,
// every wake-up of a thread may wait for their time slice to end; which
// daemon instance that hits is luck, so the sessions are spread over three.
AuthTimes measureAuthentication(unsigned logLevel, bool complete)
{
    enum { INSTANCES = 3, SESSIONS = 150, ROUNDS = 5 };
    AuthTimes t;
    SigningKey firstKey, lastKey;
    RawSessionServer floor;
    if (!loadRoleKey(&firstKey, "service") || !loadRoleKey(&lastKey, "dunra-production") ||
        (complete && !startRawSessionServer(&floor)))
        return t;
    for (int instance = 0; instance < INSTANCES; instance++) {
        TempRoot root;
        BenchPeers peers;
        Daemon mifd;
        if (!startBenchDaemon(&mifd, &peers, root, {.logLevel = logLevel}))
            return t;
        t.started = true;
        AuthSamples warmUp;
        authenticate(mifd.port(), lastKey, 10, &warmUp);
        for (int round = 0; round < ROUNDS; round++) {
            int count = SESSIONS / ROUNDS / INSTANCES;
            if (complete) {
                authenticate(mifd.port(), firstKey, count, &t.first);
                authenticate(floor.port, lastKey, count, &t.floor);
            }
            authenticate(mifd.port(), lastKey, count, &t.last);
        }
    }
    return t;
}

std::string halves(const AuthSamples &s)
{
    return "connect to challenge " + formatDuration(summarize(s.toChallenge).median) + ", signature to ACK " +
           formatDuration(summarize(s.toAck).median) + " (medians)";
}

}  // namespace

FigureRows authenticationFigure(const MicroResults &micro)
{
    const char *first = "authentication, first-row key (service)";
    const char *last = "authentication, last-row key (dunra-production)";
    const char *noticed = "authentication, last-row key, logger at notice level";
    const char *floorName = "session start, raw server without the daemon";
    auto verify = micro.find("BM_RsaPssVerify");
    if (verify == micro.end())
        return {missingRow("6", last, "no signature verification baseline from the in-process benchmarks")};
    AuthTimes plain = measureAuthentication(LOG_LEVEL_WARNING, true);
    if (!plain.started)
        return {missingRow("6", last, "the daemon did not start or a key is missing")};
    const Summary &one = verify->second.latency;
    std::string goal = "<= 8x one verification + 1 ms";
    FigureRow firstRow = budgetRow("6", first, summarize(plain.first.total), one, "one verification", 8, 1e6, goal);
    FigureRow lastRow = budgetRow("6", last, summarize(plain.last.total), one, "one verification", 8, 1e6, goal);
    firstRow.note = "connect to ACK without the client's own signing: " + halves(plain.first);
    lastRow.note = halves(plain.last);
    // What the same exchange costs on this machine now without the daemon:
    // a connection, a thread, two round trips. Under load it moves with
    // the rows above.
    FigureRow floorRow =
        budgetRow("6", floorName, summarize(plain.floor.total), one, "one verification", 8, 1e6, goal);
    floorRow.verdict = floorRow.verdict == Verdict::NotMeasured ? Verdict::NotMeasured : Verdict::Reported;
    floorRow.goal = "reported";
    floorRow.note = halves(plain.floor);
    // Each session logs about fifteen notices (connection, session start,
    // challenge, dispatch), each pushed to the logger on its own.
    AuthTimes notice = measureAuthentication(LOG_LEVEL_NOTICE, false);
    FigureRow noticeRow =
        budgetRow("6", noticed, summarize(notice.last.total), one, "one verification", 8, 1e6, goal);
    noticeRow.verdict = noticeRow.verdict == Verdict::NotMeasured ? Verdict::NotMeasured : Verdict::Reported;
    noticeRow.goal = "reported";
    return {firstRow, lastRow, floorRow, noticeRow};
}

// ------------------------------------------------------------ figure 10

namespace {

bool accepting(int port)
{
    int fd = connectLoopback(port);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Exec to the first accepted connection, probing every 100 us for at most
// five seconds; -1 when the daemon never listened. The peers are running.
double startUpTime(const TempRoot &root)
{
    int port = freeLoopbackPort();
    std::vector<std::string> command = programCommand(binDir() + "/mifd");
    command.push_back("-nowait");
    int64_t start = nowNs();
    pid_t pid = spawn(command, {{"MIF_ROOT", root.path()}, {"MIF_PORT", std::to_string(port)}},
                      root.path() + "/mifd.out");
    if (pid < 0)
        return -1;
    double elapsed = -1;
    while (nowNs() - start < 5000000000LL) {
        if (accepting(port)) {
            elapsed = double(nowNs() - start);
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return -1;
        usleep(100);
    }
    kill(pid, SIGTERM);
    reap(pid, 5000);
    return elapsed;
}

double trueTime()
{
    int64_t start = nowNs();
    pid_t pid = spawn({"/bin/true"}, {}, "/dev/null");
    if (pid < 0)
        return -1;
    reap(pid, 5000);
    return double(nowNs() - start);
}

}  // namespace

FigureRows startUpFigure(const MicroResults &)
{
    enum { STARTS = 20 };
    const char *what = "start-up, exec to listening (-nowait)";
    TempRoot root;
    BenchPeers peers;
    root.write("/mnt/rwfs/data/mif_sleep.txt", "0");
    if (!startBenchPeers(&peers, root))
        return {missingRow("10", what, "the peers did not start")};
    std::vector<double> daemon, baseline;
    for (int i = 0; i < STARTS; i++) {
        double d = startUpTime(root);
        if (d < 0)
            return {missingRow("10", what, "the daemon did not listen within 5 s")};
        daemon.push_back(d);
        baseline.push_back(trueTime());
    }
    return {budgetRow("10", what, summarize(daemon), summarize(baseline), "exec of /bin/true", 1, 100e6,
                      "<= 100 ms over it")};
}

// ------------------------------------------------------------- figure 1

FigureRows heatingRoundTripFigure(const MicroResults &)
{
    const char *what = "MCH_SET_HEATING round trip through machine control";
    RoundTrips r = measureRoundTrips(MCH_SET_HEATING_INDEX, "ON", {}, true);
    if (!r.failure.empty())
        return {missingRow("1", what, r.failure)};
    if (r.answer != "ACK")
        return {missingRow("1", what, "MCH_SET_HEATING answered \"" + r.answer + "\", not \"ACK\"")};
    // The floor is the two hops the request makes: the client's TCP round
    // trip and the daemon's request/reply round trip to machine control.
    Summary tcp = summarize(r.tcp), nn = summarize(r.nn);
    Summary floor{tcp.median + nn.median, tcp.p99 + nn.p99, std::min(tcp.count, nn.count)};
    FigureRow row = latencyRow("1", what, summarize(r.daemon), floor, "TCP echo + nanomsg REQ/REP", 2.0);
    row.note = "TCP echo " + formatDuration(tcp.median) + ", nanomsg REQ/REP " + formatDuration(nn.median) +
               ", " + conditions(r);
    return {row};
}
