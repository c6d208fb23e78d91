// The daemon killed at each system call of a commit, in turn: after the
// next start every file it was replacing holds its old content or its new
// one, byte for byte, a log another process holds open is still the file
// that process writes, and nothing of the daemon's own naming is left. The
// kill comes from strace, attached to the running daemon, which makes the
// daemon's n-th call of one kind (write, copy_file_range, fsync, ftruncate,
// rename, unlink) raise SIGKILL as it enters it; n counts up until the
// command ends without being killed.
#include "faults/fault_files.h"
#include "session/command_list.h"
#include "support/daemon_harness.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

using faults::entries;
using faults::kEvents;
using faults::kTechBox;
using faults::logLines;

const std::string kConfig = "/mnt/rwfs/data/system_config/";

// A kind of call a commit makes, the system calls behind it ("?": one the
// architecture lacks is left out), and whether only calls on the commit's
// own paths count: the messaging threads write and remove files of their
// own, while no other thread syncs, truncates or renames.
struct CallKind {
    const char *name;
    const char *calls;
    bool onCommitPathsOnly;
};
const CallKind kCallKinds[] = {
    {"write", "write,?pwrite64,?writev", true},
    {"copy_file_range", "copy_file_range", true},
    {"fsync", "fsync,fdatasync", false},
    {"ftruncate", "ftruncate", false},
    {"rename", "?rename,?renameat,?renameat2", false},
    {"unlink", "?unlink,unlinkat", true},
};

enum { MAX_CALLS_OF_A_KIND = 40, ANSWER_WAIT_MS = 15000 };

// Starts a command line with its output discarded; its pid.
pid_t startQuietly(const std::vector<std::string> &words)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const std::string &word : words)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits about 5 s at most for the process to end, then kills it; its wait
// status, or -1 when it had to be killed.
int reap(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 500; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Whether every thread of the process is traced by `tracer`.
bool allThreadsTracedBy(pid_t pid, pid_t tracer)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (!std::filesystem::exists(tasks))
        return false;
    const std::string expected = "TracerPid:\t" + std::to_string(tracer) + "\n";
    for (const auto &task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream status(task.path() / "status");
        std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
        if (text.find(expected) == std::string::npos)
            return false;
    }
    return true;
}

// Whether the process has ended (and waits to be reaped).
bool ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 4, ") Z ") == 0;
}

bool attachedWithin5s(pid_t pid, pid_t tracer)
{
    for (int i = 0; i < 500 && !ended(tracer); i++) {
        if (allThreadsTracedBy(pid, tracer))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether strace is installed, can inject a kill and may attach here: it
// attaches to a sleeping child within the usual bound.
bool tracerWorks()
{
    pid_t target = startQuietly({"sleep", "10"});
    pid_t strace = startQuietly({"strace", "-qq", "-o", "/dev/null", "-e", "trace=write", "-e",
                                 "inject=write:signal=SIGKILL:when=1000", "-p", std::to_string(target)});
    bool works = attachedWithin5s(target, strace);
    kill(target, SIGKILL);
    reap(target);
    reap(strace);
    return works;
}

// One file a command replaces and the two contents it may hold after a
// kill. `removedWhenDone`: a command that runs to its end removes it.
struct Replaced {
    std::string path;
    std::string oldContent;
    std::string newContent;
    bool removedWhenDone = false;
};

struct Scenario {
    std::vector<Replaced> files;
    std::string heldOpen;                   // a log another process holds open for appending
    std::vector<std::string> commitPaths;   // beside the files: rollback copies, directories
    std::string expectedAnswer;             // once the command runs to its end
    std::function<bool(Client *)> send;     // sends the command
};

class CrashCommitTest : public ::testing::Test {
protected:
    TempRoot root;
    // Its peer processes serve every daemon of the test: a peer's socket
    // file outlives it, and would be taken for a peer still there.
    Daemon peerHolder;

    void SetUp() override
    {
        if (!tracerWorks())
            GTEST_SKIP() << "strace is missing or may not trace here";
        ASSERT_TRUE(peerHolder.start(root));
        peerHolder.signalAndWait(SIGKILL, 5000);
    }

    // strace attached to every thread of the daemon (-p, -f: and to those
    // it starts), killing it at the n-th call of the kind. Attached after
    // start-up, which under the tracer would crawl.
    std::vector<std::string> tracer(const CallKind &kind, int n, const Scenario &scenario, pid_t daemon) const
    {
        std::vector<std::string> words = {"strace", "-f", "-qq", "-o", "/dev/null"};
        if (kind.onCommitPathsOnly) {
            for (const Replaced &file : scenario.files)
                words.insert(words.end(), {"-P", root.at(file.path)});
            for (const std::string &path : scenario.commitPaths)
                words.insert(words.end(), {"-P", root.at(path)});
        }
        words.insert(words.end(), {"-e", std::string("trace=") + kind.calls, "-e",
                                   std::string("inject=") + kind.calls + ":signal=SIGKILL:when=" +
                                       std::to_string(n),
                                   "-p", std::to_string(daemon)});
        return words;
    }

    // Starts the daemon, attaches the tracer and sends the command. Whether
    // the daemon was killed before it answered; `answer` gets the answer.
    bool killedDuring(const CallKind &kind, int n, const Scenario &scenario, std::string *answer)
    {
        Daemon daemon;
        if (!daemon.start(root)) {
            ADD_FAILURE() << "the daemon did not start: " << daemon.errorOutput();
            return false;
        }
        Client client;
        EXPECT_TRUE(client.connect(daemon.port()));
        EXPECT_EQ(client.authenticate("testlab"), "ACK") << kind.name << " " << n;
        pid_t strace = startQuietly(tracer(kind, n, scenario, daemon.pid()));
        bool killed = false;
        if (!attachedWithin5s(daemon.pid(), strace)) {
            ADD_FAILURE() << "strace did not attach";
        } else {
            Frame frame;
            if (scenario.send(&client) && client.receive(&frame, ANSWER_WAIT_MS))
                *answer = frame.text();
            else
                killed = daemon.waitExit(5000) == 128 + SIGKILL;
        }
        daemon.signalAndWait(SIGKILL, 5000);
        reap(strace);   // it ends with the daemon
        return killed;
    }

    // What the next start leaves: every file old or new, the held log still
    // the file its writer holds, nothing of the daemon's naming.
    void expectRecovered(const Scenario &scenario, bool done, ino_t heldInode, const std::string &where)
    {
        {
            Daemon plain;   // listening means start-up, and so recovery, is over
            ASSERT_TRUE(plain.start(root)) << where;
        }
        for (const Replaced &file : scenario.files) {
            if (done && file.removedWhenDone && !root.exists(file.path))
                continue;
            std::string now = root.read(file.path);
            if (done) {
                EXPECT_EQ(now, file.newContent) << file.path << ", " << where;
            } else {
                EXPECT_TRUE(now == file.oldContent || now == file.newContent)
                    << file.path << " holds " << now.size() << " bytes, neither old nor new, " << where;
            }
        }
        if (!scenario.heldOpen.empty()) {
            struct stat st;
            ASSERT_EQ(stat(root.at(scenario.heldOpen).c_str(), &st), 0);
            EXPECT_EQ(st.st_ino, heldInode) << where;
        }
        for (const Replaced &file : scenario.files) {
            std::string dir = file.path.substr(0, file.path.rfind('/') + 1);
            for (const std::string &name : entries(root, dir))
                EXPECT_EQ(name.find(".mif-"), std::string::npos) << name << " left, " << where;
        }
    }

    // Every crash point of every kind, in turn. The number of crash points.
    int crashEverywhere(const Scenario &scenario)
    {
        int points = 0;
        std::string summary;
        for (const CallKind &kind : kCallKinds) {
            const int before = points;
            for (int n = 1; !::testing::Test::HasFailure(); n++) {
                if (n > MAX_CALLS_OF_A_KIND) {
                    ADD_FAILURE() << "more than " << MAX_CALLS_OF_A_KIND << " calls of " << kind.name;
                    break;
                }
                for (const Replaced &file : scenario.files)
                    root.write(file.path, file.oldContent);   // in place: the held log keeps its inode
                int held = -1;
                struct stat st {};
                if (!scenario.heldOpen.empty()) {
                    held = open(root.at(scenario.heldOpen).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                    fstat(held, &st);
                }
                std::string answer;
                bool killed = killedDuring(kind, n, scenario, &answer);
                const std::string where = std::string("killed at ") + kind.name + " " + std::to_string(n);
                if (!killed) {
                    EXPECT_EQ(answer, scenario.expectedAnswer) << "with " << kind.name << " " << n;
                }
                expectRecovered(scenario, !killed, st.st_ino, killed ? where : "not killed");
                if (held >= 0)
                    close(held);
                if (!killed || ::testing::Test::HasFailure())
                    break;
                points++;
            }
            summary += std::string(" ") + kind.name + ":" + std::to_string(points - before);
        }
        printf("crash points%s\n", summary.c_str());
        return points;
    }
};

bool sendBytes(Client *client, int32_t index, const std::string &bytes)
{
    return client->send(index, 9, bytes.data(), uint32_t(bytes.size()));
}

TEST_F(CrashCommitTest, UploadOfALogHeldOpenByItsWriter)
{
    Scenario scenario;
    scenario.files = {{kEvents, logLines('o', 20000), logLines('n', 30000)}};
    scenario.heldOpen = kEvents;
    scenario.commitPaths = {kTechBox + ".Events.log.mif-rollback", kTechBox + ".Events.log.mif-rollback.part",
                            kTechBox};
    scenario.expectedAnswer = "ACK";
    const std::string upload = scenario.files[0].newContent;
    scenario.send = [&](Client *client) { return sendBytes(client, SVC_SET_EVENTS, upload); };
    int points = crashEverywhere(scenario);
    EXPECT_GE(points, 10);
    RecordProperty("crash_points", points);
}

TEST_F(CrashCommitTest, CalibrationAndSerialFiles)
{
    Scenario calibration;
    calibration.files = {{kConfig + "scali.dat", "0,1200;", "0,1300;"}};
    calibration.commitPaths = {kConfig};
    // One point alone cannot calibrate: the answer after the file is stored.
    calibration.expectedAnswer = "NAK: Failed to calibrate scale";
    calibration.send = [](Client *client) { return client->sendText(MCH_SET_CALDATA, 9, "0,1300"); };
    int points = crashEverywhere(calibration);

    Scenario serial;
    serial.files = {{kConfig + "qxsn.dat", "12345678901234560", "70000000000000423"}};
    serial.commitPaths = {kConfig};
    serial.expectedAnswer = "ACK";
    serial.send = [](Client *client) { return client->sendText(MCH_SET_SERIAL, 9, "70000000000000423"); };
    points += crashEverywhere(serial);
    EXPECT_GE(points, 6);
    RecordProperty("crash_points", points);
}

TEST_F(CrashCommitTest, DataPackageAndItsSignature)
{
    const std::string package = "/tmp/partdata.tar.gz";
    const std::string signature(256, 's');
    const std::string archive(3000, 'p');
    Scenario scenario;
    // Run to its end the command line removes both (the package checker
    // is not installed here, so the install fails).
    scenario.files = {{package + ".sig", "old signature", signature, true},
                      {package, "old package", archive, true}};
    scenario.commitPaths = {"/tmp"};
    scenario.expectedAnswer = "NAK: Unsuccessful";
    scenario.send = [&](Client *client) { return sendBytes(client, MCH_INSTALL_DATA, signature + archive); };
    int points = crashEverywhere(scenario);
    EXPECT_GE(points, 6);
    RecordProperty("crash_points", points);
}

// Storage that fills while the new content is copied into the log (its
// first write there fails as on a full file system): the old content comes
// back from the rollback copy, the upload answers its NAK, and a later
// upload goes in.
TEST_F(CrashCommitTest, StorageFullDuringTheCopyKeepsTheOldLog)
{
    const std::string oldContent = logLines('o', 20000);
    root.write(kEvents, oldContent);
    int held = open(root.at(kEvents).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(held, 0);
    struct stat before;
    ASSERT_EQ(fstat(held, &before), 0);

    Daemon daemon;
    ASSERT_TRUE(daemon.start(root));
    Client client;
    ASSERT_TRUE(client.connect(daemon.port()));
    ASSERT_EQ(client.authenticate("testlab"), "ACK");
    pid_t strace = startQuietly({"strace", "-f", "-qq", "-o", "/dev/null", "-P", root.at(kEvents), "-e",
                                 "trace=write", "-e", "inject=write:error=ENOSPC:when=1", "-p",
                                 std::to_string(daemon.pid())});
    ASSERT_TRUE(attachedWithin5s(daemon.pid(), strace));
    const std::string newContent = logLines('n', 30000);
    ASSERT_TRUE(sendBytes(&client, SVC_SET_EVENTS, newContent));
    Frame answer;
    ASSERT_TRUE(client.receive(&answer, ANSWER_WAIT_MS));
    EXPECT_EQ(answer.text(), "NAK: Error receiving data!");
    EXPECT_EQ(root.read(kEvents), oldContent);
    EXPECT_EQ(entries(root, kTechBox), std::vector<std::string>{"Events.log"});

    // Room again: the same upload on the same connection goes in, into the
    // file the writer holds.
    ASSERT_TRUE(sendBytes(&client, SVC_SET_EVENTS, newContent));
    ASSERT_TRUE(client.receive(&answer, ANSWER_WAIT_MS));
    EXPECT_EQ(answer.text(), "ACK");
    ASSERT_EQ(write(held, "9;after\n", 8), 8);
    close(held);
    EXPECT_EQ(root.read(kEvents), newContent + "9;after\n");
    daemon.signalAndWait(SIGKILL, 5000);
    reap(strace);
}

} // namespace
