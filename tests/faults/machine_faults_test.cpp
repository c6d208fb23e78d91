// Machine control that dies in the middle of a request and comes back, and
// the appliance's other processes missing altogether: the daemon answers
// every command with its failure text, keeps serving, and works with
// machine control again as soon as it is back, without a restart.
#include "support/daemon_harness.h"
#include "support/mcl_peer.h"
#include "requests/request_codes.h"
#include "session/command_list.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Machine control as a process of its own, so that it can be killed. With
// `holdHeating` it keeps every heating request unanswered and leaves a
// marker file once one has arrived; another marker tells that the daemon's
// first poll for secondary motor data has come (the next is 30 s later).
pid_t startMachineControl(const TempRoot &root, bool holdHeating)
{
    const std::string marker = root.at("/run/heating-request");
    const std::string polled = root.at("/run/motor-data-poll");
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    IpcPeer mcl;
    if (!mcl.start(root.path(), PeerRole::Mcl))
        _exit(1);
    if (holdHeating) {
        mcl.setSilentHoldMs(60000);
        mcl.setSilent(RIF_SET_HEATING);
    }
    // Until the test kills it, or the test process is gone.
    for (int i = 0; i < 1200 && getppid() == parent; i++) {
        if (!mcl.requests(RIF_REQUEST_SECONDARY_MOTOR_DATA).empty())
            std::ofstream(polled) << "1";
        if (holdHeating && mcl.waitForRequests(RIF_SET_HEATING, 1, 100))
            std::ofstream(marker) << "1";
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    _exit(0);
}

void killAndReap(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

// A command's answer, waiting as long as machine control's three tries
// may take on a loaded machine; "(no answer)" when none came.
std::string callMachine(Client *client, int32_t index, const char *argument, int32_t tag)
{
    Frame answer;
    if (!client->sendText(index, tag, argument) || !client->receive(&answer, 20000) || answer.tag != tag)
        return "(no answer)";
    return answer.text();
}

// A machine control that holds the heating request without answering, the
// daemon, and a test-lab client authenticated to it.
void startHoldingMachineControl(const TempRoot &root, pid_t *mcl, Daemon *daemon, Client *client)
{
    *mcl = startMachineControl(root, true);
    for (int i = 0; i < 500 && !root.exists("/tmp/MclReply.ipc"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(root.exists("/tmp/MclReply.ipc"));
    ASSERT_TRUE(daemon->start(root));
    ASSERT_TRUE(client->connect(daemon->port()));
    ASSERT_EQ(client->authenticate("testlab"), "ACK");
}

bool isFailure(const std::string &answer) { return answer.rfind("NAK: ", 0) == 0 || answer == "0"; }

TEST(MachineFaultTest, MachineControlKilledMidRequestAndRestarted)
{
    TempRoot root;
    std::filesystem::create_directories(root.at("/run"));
    pid_t mcl = -1;
    Daemon daemon;
    Client client;
    ASSERT_NO_FATAL_FAILURE(startHoldingMachineControl(root, &mcl, &daemon, &client));

    // The heating request reaches machine control, which dies holding it.
    ASSERT_TRUE(client.sendText(MCH_SET_HEATING, 31, "ON"));
    for (int i = 0; i < 2000 && !root.exists("/run/heating-request"); i++)   // about 20 s
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(root.exists("/run/heating-request"));
    killAndReap(mcl);
    Frame answer;
    ASSERT_TRUE(client.receive(&answer, 20000));
    EXPECT_EQ(answer.tag, 31);
    EXPECT_TRUE(isFailure(answer.text())) << answer.text();

    // While it is gone every request fails, and the session goes on.
    std::string gone = callMachine(&client, MCH_SET_HEATING, "OFF", 32);
    EXPECT_TRUE(isFailure(gone)) << "machine control is gone: " << gone;

    // Back again: the same daemon reaches it (its connection is retried
    // in the background, so allow it a few tries).
    pid_t again = startMachineControl(root, false);
    std::string result;
    for (int i = 0; i < 20 && result != "ACK"; i++)
        result = callMachine(&client, MCH_SET_HEATING, "ON", 40 + i);
    EXPECT_EQ(result, "ACK");
    EXPECT_LT(daemon.waitExit(0), 0) << "the daemon was not restarted";
    client.close();
    daemon.signalAndWait(SIGKILL, 5000);
    killAndReap(again);
}

TEST(MachineFaultTest, PeersAbsentFromTheStart)
{
    TempRoot root;
    Daemon daemon;
    daemon.defaultPeers = false;
    // Its first requests to machine control time out before it listens, so
    // the harness may give up waiting for the port first.
    daemon.start(root, {"-nowait"});
    Client client;
    for (int i = 0; i < 300 && !client.connect(daemon.port()); i++)   // about 15 s
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(client.fd(), 0);
    ASSERT_EQ(client.authenticate("testlab"), "ACK");

    // Commands whose answer depends on machine control carrying them out.
    const std::vector<std::pair<int32_t, const char *>> commands = {
        {MCH_SET_HEATING, "ON"},    {MCH_LOCK_LID, "CLOSE"},     {MCH_SWITCH_RELAYS, "CLOSE"},
        {MCH_SET_SPEED, "1,2,3,4"}, {MCH_RESET_MC, nullptr},     {MCH_PWRDOWN, "0"},
        {MCH_AMBI_LIGHT, "50,50"},  {MCH_MILLIS_TRANSP, "500"},  {MCH_SET_TRANSP, "ON"},
        // These two hand the request over and report nothing of its outcome
        // (a test command's result comes as an event): only an answer.
        {MCH_MCTEST_CMD, "133"},    {MCH_HEAT_CTRL, "ON"},
    };
    for (const auto &[index, argument] : commands) {
        SCOPED_TRACE("index " + std::to_string(index));
        Frame answer;
        ASSERT_TRUE(client.sendText(index, index, argument));
        ASSERT_TRUE(client.receive(&answer, 20000)) << "no answer";
        EXPECT_EQ(answer.tag, index);
        if (index != MCH_MCTEST_CMD && index != MCH_HEAT_CTRL) {
            EXPECT_TRUE(isFailure(answer.text())) << answer.text();
        }
    }
    EXPECT_EQ(client.call(60, nullptr), "NAK: No such command");
    EXPECT_LT(daemon.waitExit(0), 0);
}

// A request reported as failed is dropped for good: machine control that
// hung holding it and then comes back (a new process on the same address)
// never receives it, although a request socket would deliver it again on
// reconnection.
TEST(MachineFaultTest, FailedRequestNeverReachesMachineControlLater)
{
    TempRoot root;
    std::filesystem::create_directories(root.at("/run"));
    pid_t hung = -1;
    Daemon daemon;
    Client client;
    ASSERT_NO_FATAL_FAILURE(startHoldingMachineControl(root, &hung, &daemon, &client));
    // The daemon's own poll is over: the heating request is the last one
    // sent to this machine control.
    for (int i = 0; i < 1000 && !root.exists("/run/motor-data-poll"); i++)   // about 10 s
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(root.exists("/run/motor-data-poll"));
    std::string answer = callMachine(&client, MCH_SET_HEATING, "ON", 31);
    EXPECT_TRUE(isFailure(answer)) << answer;
    EXPECT_TRUE(root.exists("/run/heating-request"));
    // Machine control dies without ever answering, and a new one starts.
    killAndReap(hung);

    IpcPeer back;
    ASSERT_TRUE(back.start(root.path(), PeerRole::Mcl));
    // Time for the daemon to connect again; the request, had it been kept,
    // would be re-sent at once.
    EXPECT_FALSE(back.waitForRequests(RIF_SET_HEATING, 1, 2000)) << "the failed request arrived after its NAK";
    std::string result;
    for (int i = 0; i < 10 && result != "ACK"; i++)
        result = callMachine(&client, MCH_SET_HEATING, "OFF", 40 + i);
    EXPECT_EQ(result, "ACK");
    for (const PeerRequest &request : back.requests(RIF_SET_HEATING))
        EXPECT_EQ(request.payload, (Bytes{0})) << "only the later OFF reaches machine control";
    client.close();
    daemon.signalAndWait(SIGKILL, 5000);
    back.stop();
}

// Machine control that is slow but alive: it answers 0.5 to 4 s after a
// request came, so replies reach tries that were given up, also just before
// the request is dropped. Every command is answered with its success or
// failure text, the daemon lives on, and nothing of a command reaches
// machine control after a later one: no try is held back or sent again.
TEST(MachineFaultTest, LateRepliesNeitherEndTheDaemonNorArriveLater)
{
    TempRoot root;
    IpcPeer mcl;
    ASSERT_TRUE(mcl.start(root.path(), PeerRole::Mcl));
    Daemon daemon;
    ASSERT_TRUE(daemon.start(root));
    Client client;
    ASSERT_TRUE(client.connect(daemon.port()));
    ASSERT_EQ(client.authenticate("testlab"), "ACK");

    mcl.setDelays(RIF_SET_HEATING, {500, 1200, 1500, 2500, 4000});
    // ON and OFF by turns, so that machine control's log of payloads shows
    // which command each try belongs to.
    int commands = 0;
    for (; commands < 5; commands++) {
        std::string answer = callMachine(&client, MCH_SET_HEATING, commands % 2 ? "OFF" : "ON", 50 + commands);
        EXPECT_TRUE(answer == "ACK" || answer == "NAK: Unsuccessful") << "command " << commands << ": " << answer;
    }
    // The held tries are answered at once now; the daemon is back to normal.
    ASSERT_TRUE(mcl.waitIdle(15000));
    std::string result;
    for (int i = 0; i < 5 && result != "ACK"; i++, commands++)
        result = callMachine(&client, MCH_SET_HEATING, commands % 2 ? "OFF" : "ON", 50 + commands);
    EXPECT_EQ(result, "ACK");
    EXPECT_LT(daemon.waitExit(0), 0) << "the daemon ended";

    // Quiet from here on: nothing of the earlier commands comes later.
    size_t arrived = mcl.requests(RIF_SET_HEATING).size();
    EXPECT_FALSE(mcl.waitForRequests(RIF_SET_HEATING, arrived + 1, 1500)) << "a try arrived after its command";
    std::vector<PeerRequest> tries = mcl.requests(RIF_SET_HEATING);
    int changes = 0;
    for (size_t i = 1; i < tries.size(); i++)
        changes += tries[i].payload != tries[i - 1].payload;
    EXPECT_LE(changes, commands - 1) << "a try of an earlier command came after a later one";
    client.close();
    daemon.signalAndWait(SIGKILL, 5000);
    mcl.stop();
}

// Machine control as a process of its own that gives no time until the
// marker file /run/time-back appears.
pid_t startTimelessMachineControl(const TempRoot &root)
{
    const std::string marker = root.at("/run/time-back");
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    IpcPeer mcl;
    if (!mcl.start(root.path(), PeerRole::Mcl))
        _exit(1);
    mcl.setSilent(RIF_GET_SYS_TIME);
    bool silent = true;
    for (int i = 0; i < 1200 && getppid() == parent; i++) {
        if (silent && std::filesystem::exists(marker)) {
            mcl.clearReply(RIF_GET_SYS_TIME);
            silent = false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    _exit(0);
}

// Without machine control's time, the service level's window of the logs
// cannot be placed: nothing is sent rather than everything.
TEST(MachineFaultTest, BoundedDownloadWithoutMachineTimeSendsNothing)
{
    TempRoot root;
    std::filesystem::create_directories(root.at("/run"));
    std::string events;
    for (uint64_t time = 1000; events.size() < 5000; time += 7)
        events += std::to_string(time) + ";EV;event\n";
    root.write("/mnt/rwfs/data/tech_box/Events.log", events);
    pid_t mcl = startTimelessMachineControl(root);
    for (int i = 0; i < 500 && !root.exists("/tmp/MclReply.ipc"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(root.exists("/tmp/MclReply.ipc"));
    // This process is the logger, at errors only: the daemon's small log
    // ring then keeps the line until it is sent.
    IpcPeer logger;
    ASSERT_TRUE(logger.start(root.path(), PeerRole::Supervisor));
    ASSERT_TRUE(logger.addRole(PeerRole::Logger));
    logger.setLoggerThreshold(3);
    Daemon daemon;
    ASSERT_TRUE(daemon.start(root));
    Client client;
    ASSERT_TRUE(client.connect(daemon.port()));
    ASSERT_EQ(client.authenticate("service"), "ACK");

    EXPECT_EQ(callMachine(&client, SVC_GET_EVENTS, nullptr, 3), "NAK: No data to send");
    EXPECT_TRUE(logger.waitForLogText("sendAnswer: Machine control gave no time", 5000));
    // A rotation suffix with a line end names no log, and its bytes reach
    // the log blanked: the line stays one line.
    EXPECT_EQ(callMachine(&client, SVC_GET_EVENTS, "1\n", 90), "NAK: No data to send");
    EXPECT_TRUE(logger.waitForLogText("Events.log.1  is sent", 5000));
    for (const PeerLogEntry &entry : logger.logEntries())
        EXPECT_EQ(entry.text().find("Events.log.1\n"), std::string::npos) << entry.text();

    // With the time back, the window is sent (the whole log: the machine
    // has run for less than the window).
    std::ofstream(root.at("/run/time-back")) << "1";
    std::string got;
    for (int i = 0; i < 10 && got != events; i++) {
        Frame answer;
        ASSERT_TRUE(client.sendText(SVC_GET_EVENTS, 4 + i, nullptr));
        ASSERT_TRUE(client.receive(&answer, 20000));
        got.assign(answer.payload.begin(), answer.payload.end());
    }
    EXPECT_EQ(got, events);
    client.close();
    daemon.signalAndWait(SIGKILL, 5000);
    killAndReap(mcl);
    logger.stop();
}

} // namespace
