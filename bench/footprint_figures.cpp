// What the daemon costs while it waits: CPU when idle, resident memory.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "figures.h"
#include "processes.h"
#include "raw_peers.h"
#include "session_client.h"
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"

namespace {

// User plus system CPU time of the whole process (all its threads), in
// seconds; -1 when it cannot be read.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return -1;
    // The command name may hold blanks; the fields count from after its ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Resident set size in bytes, from VmRSS.
double residentBytes(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) * 1024;
    return -1;
}

// Proportional set size in bytes (shared pages divided among their users),
// from smaps_rollup.
double proportionalBytes(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::stod(line.substr(4)) * 1024;
    return -1;
}

// Percent of one core over `seconds` of waiting.
double idlePercent(pid_t pid, int seconds)
{
    double before = cpuSeconds(pid);
    int64_t start = nowNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double used = cpuSeconds(pid) - before;
    double elapsed = double(nowNs() - start) / 1e9;
    return before < 0 ? -1 : 100.0 * used / elapsed;
}

}  // namespace

// ------------------------------------------------------------- figure 7

FigureRows idleCpuFigure(const MicroResults &)
{
    enum { IDLE_SECONDS = 10 };
    const char *alone = "idle CPU, no client (10 s)";
    const char *withClient = "idle CPU, one idle authenticated client (10 s)";
    TempRoot root;
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    if (!startBenchDaemon(&mifd, &peers, root) || !loadRoleKey(&key, "testlab"))
        return {missingRow("7", alone, "the daemon did not start")};
    std::this_thread::sleep_for(std::chrono::milliseconds(500));   // the harness's probe session ends
    FigureRow first = limitRow("7", alone, idlePercent(mifd.pid(), IDLE_SECONDS), "% of a core", 1.0, "<= 1% of one core");
    int fd = connectLoopback(mifd.port());
    if (fd < 0 || !authenticateSession(fd, key)) {
        if (fd >= 0)
            close(fd);
        return {first, missingRow("7", withClient, "no authenticated session")};
    }
    FigureRow second = limitRow("7", withClient, idlePercent(mifd.pid(), IDLE_SECONDS), "% of a core", 1.0,
                                "<= 1% of one core");
    close(fd);
    return {first, second};
}

// ------------------------------------------------------------- figure 8

// One whole session: connect, authenticate, one command, leave.
static bool oneSession(int port, const SigningKey &key)
{
    int fd = connectLoopback(port);
    if (fd < 0)
        return false;
    AnswerFrame answer;
    bool ok = authenticateSession(fd, key) && sendFrame(fd, 17, 1, nullptr, 0) && readFrame(fd, &answer);
    close(fd);
    return ok;
}

// The daemon's state log filled by machine control: secondary motor data,
// four records of up to 24 characters per event, with the widest field
// values. More events are published than the log holds, in bursts the
// daemon's subscriber keeps up with; the oldest entries fall out.
static FigureRow fullStateLogRow()
{
    enum { EVENTS = 90000, BURST = 50, MCH_GET_STATE_INDEX = 43 };
    const char *what = "resident memory with a full state log";
    TempRoot root;
    IpcPeer mcl;
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    root.write("/mnt/rwfs/data/mif_sleep.txt", "0");
    if (!mcl.start(root.path(), PeerRole::Mcl) || !startBenchPeers(&peers, root, {.withMcl = false}) ||
        !mifd.start(root) || !loadRoleKey(&key, "testlab"))
        return missingRow("8", what, "the daemon or its peers did not start");
    int fd = connectLoopback(mifd.port());
    if (fd < 0 || !authenticateSession(fd, key)) {
        if (fd >= 0)
            close(fd);
        return missingRow("8", what, "no authenticated session");
    }
    // Whatever start-up logged goes first, so that the log holds only these.
    AnswerFrame answer;
    sendFrame(fd, MCH_GET_STATE_INDEX, 1, nullptr, 0);
    int32_t index = 0, tag = 0;
    uint32_t length = 0;
    if (!readFrameHeader(fd, &index, &tag, &length) || !drain(fd, length)) {
        close(fd);
        return missingRow("8", what, "MCH_GET_STATE failed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double before = residentBytes(mifd.pid());

    Bytes payload(18, 0);
    const uint16_t wide[4] = {65535, 65535, 0x8000, 0x8000};   // 65535, 65535, -32768, -32768
    for (int event = 0; event < EVENTS; event++) {
        uint64_t stamp = 1700000000000ULL + uint64_t(event);
        memcpy(payload.data(), &stamp, sizeof stamp);
        memcpy(payload.data() + 10, wide, sizeof wide);
        mcl.publish(0, 22, payload);
        if (event % BURST == BURST - 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            mcl.clear();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double full = residentBytes(mifd.pid());

    std::vector<char> text;
    bool fetched = sendFrame(fd, MCH_GET_STATE_INDEX, 2, nullptr, 0) && readFrameHeader(fd, &index, &tag, &length);
    if (fetched && length > 0) {
        text.resize(length);
        fetched = receiveAll(fd, text.data(), length);
    }
    close(fd);
    if (!fetched || length <= 1)
        return missingRow("8", what, "the state log could not be fetched");
    double textSize = double(length - 1);
    size_t records = size_t(std::count(text.begin(), text.end(), ';'));
    FigureRow row = ratioRow("8", what, full - before, textSize, "B", "its text", 1.5, "<= 1.5x its text");
    row.note = "growth of the resident set while the log filled, against the text MCH_GET_STATE then returned: " +
               std::to_string(records / 4) + " entries of " + std::to_string(size_t(textSize) / (records / 4 ? records / 4 : 1)) +
               " characters";
    return row;
}

FigureRows memoryFigure(const MicroResults &)
{
    enum { SESSIONS = 1000, SETTLED = 100 };
    const char *start = "resident memory after start";
    const char *sessions = "resident memory after 1,000 sessions";
    TempRoot root;
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    if (!startBenchDaemon(&mifd, &peers, root) || !loadRoleKey(&key, "testlab"))
        return {missingRow("8", start, "the daemon did not start")};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FigureRows rows;
    rows.push_back(limitRow("8", start, residentBytes(mifd.pid()), "B", 4.0 * 1024 * 1024, "<= 4 MiB"));
    // Most of the resident pages are shared libraries' code, which every
    // process of the appliance maps too; the proportional size shows the
    // daemon's own share.
    FigureRow pss = limitRow("8", "proportional memory (PSS) after start", proportionalBytes(mifd.pid()), "B",
                             4.0 * 1024 * 1024, "reported");
    pss.verdict = Verdict::Reported;
    rows.push_back(pss);
    // The first sessions bring in what every session uses (a thread stack,
    // allocator arenas); growth after them would be a leak.
    double settled = -1;
    int done = 0;
    for (; done < SESSIONS && oneSession(mifd.port(), key); done++)
        if (done + 1 == SETTLED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            settled = residentBytes(mifd.pid());
        }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (done < SESSIONS)
        rows.push_back(missingRow("8", sessions, "session " + std::to_string(done + 1) + " failed"));
    else {
        FigureRow row = ratioRow("8", sessions, residentBytes(mifd.pid()), settled, "B", "after 100 sessions",
                                 0, "no growth across sessions");
        // A few pages of slack for the allocator's own bookkeeping.
        row.verdict = row.valueNumber - row.baselineNumber <= 64 * 1024 ? Verdict::Met : Verdict::Missed;
        rows.push_back(row);
    }
    rows.push_back(fullStateLogRow());
    return rows;
}
