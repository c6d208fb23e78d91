// The simulated appliance with the real daemon: the supervisor starts it,
// the handshake lets it serve, machine control answers its start-up
// requests, and a client's MCH_SHUTDOWN ends the daemon and then the whole
// appliance.
#include "sim_test_util.h"

#include "session/command_list.h"

namespace {

// The simulated appliance, whose supervisor starts the daemon on `port`.
void startApplianceWithDaemon(const TempRoot &root, int port, SimChild *sim)
{
    std::vector<std::string> args = {"--daemon"};
    for (const std::string &word : programCommand(binDir() + "/mifd"))
        args.push_back(word);
    ASSERT_TRUE(sim->start(root, args, {"MIF_PORT=" + std::to_string(port)}));
}

TEST(ApplianceWithDaemon, SupervisorStartsTheDaemonAndTheDaemonsShutdownEndsTheAppliance)
{
    TempRoot root;
    int port = freeLoopbackPort();
    SimChild sim;
    ASSERT_NO_FATAL_FAILURE(startApplianceWithDaemon(root, port, &sim));

    // The daemon serves only after the handshake.
    Client client;
    ASSERT_TRUE(eventually([&] { return client.connect(port); }, 20000)) << sim.output();
    std::string output = sim.output();
    EXPECT_NE(output.find("READY from process 5"), std::string::npos) << output;
    EXPECT_NE(output.find("START from process 5"), std::string::npos) << output;
    // Its start-up requests reached machine control.
    EXPECT_NE(output.find("remote interface active"), std::string::npos) << output;

    ASSERT_EQ(client.authenticate("developer"), "ACK");
    EXPECT_EQ(client.call(MCH_SHUTDOWN, "0"), "ACK");
    client.close();
    EXPECT_EQ(sim.waitExit(20000), 0) << sim.output();
    output = sim.output();
    EXPECT_NE(output.find("shutdown requested by process 5"), std::string::npos) << output;
    EXPECT_NE(output.find("the daemon has exited (exit status 0)"), std::string::npos) << output;
    EXPECT_NE(output.find("the daemon shut the appliance down"), std::string::npos) << output;
    // The daemon's log reached the logger.
    EXPECT_NE(root.read("/var/log/mifd.log").find("[MIF] send START to Supervisor"), std::string::npos);
}

// The appliance with its daemon, and a client authenticated with `role`.
void startAndConnect(const TempRoot &root, SimChild *sim, Client *client, const char *role)
{
    int port = freeLoopbackPort();
    ASSERT_NO_FATAL_FAILURE(startApplianceWithDaemon(root, port, sim));
    ASSERT_TRUE(eventually([&] { return client->connect(port); }, 20000)) << sim->output();
    ASSERT_EQ(client->authenticate(role), "ACK");
}

// Words 0-3 of the simulated OTP, as id.bin holds them.
std::vector<uint32_t> otpWords(const TempRoot &root)
{
    std::string image = root.read("/sys/uid/otp/id.bin");
    std::vector<uint32_t> words(4, 0xDEADBEEF);
    if (image.size() >= 16)
        memcpy(words.data(), image.data(), 16);
    return words;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// A burnt bit stays: whatever the daemon wrongly burnt would still show in
// the words at the end. Refused values never reach the driver, and once a
// value is burnt (here without its lock, since the lock switch is gone)
// no other value is burnt over it.
TEST(ApplianceWithDaemon, OtpIsBurntOnlyWithValuesThatReadBackAndOnlyOnce)
{
    TempRoot root;
    SimChild sim;
    Client client;
    ASSERT_NO_FATAL_FAILURE(startAndConnect(root, &sim, &client, "service"));

    for (const char *value : {"FEEAN:-1", "PEDEU:-1", "FEEAN:+42"})
        EXPECT_EQ(client.call(MCH_SET_SERIAL, value), "NAK: Wrong number format in argument") << value;
    for (const char *value : {"PEDEU:18446744073709551615", "FEEAN:18446744073709551615", "FEEAN:100000000000000000"})
        EXPECT_EQ(client.call(MCH_SET_SERIAL, value), "NAK: Serial too big") << value;

    ASSERT_EQ(unlink(root.at("/sys/module/otp/parameters/otp_full").c_str()), 0);
    EXPECT_EQ(client.call(MCH_SET_SERIAL, "FEEAN:42"), "ACK") << sim.output();
    EXPECT_EQ(client.call(MCH_SET_SERIAL, "FEEAN:43"), "NAK: Serial already set");
    EXPECT_EQ(client.call(MCH_SET_SERIAL, "FEEAN:42"), "ACK") << "the same value: only the lock is tried again";

    const std::vector<uint32_t> expected = {0, 0, 42, 0};
    EXPECT_TRUE(eventually([&] { return otpWords(root) == expected; }, 2000));
    EXPECT_EQ(otpWords(root), expected);
    const std::string output = sim.output();
    EXPECT_EQ(count(output, "word 2 burnt"), 1u) << output;
    EXPECT_EQ(count(output, "word 0 burnt"), 0u) << output;
    EXPECT_EQ(count(output, "lock word now"), 0u) << output;
    EXPECT_EQ(root.read("/sys/module/unique_id/parameters/unlock"), std::string("0", 2));

    client.close();
    sim.stop();
}

// What a technician met on a first visit, against the simulated machine
// control: refused calibration points leave the table and the file as they
// were; a second daemon on the root refuses to start; and when the daemon
// is killed with the motor running and the heater on, machine control
// stops both.
TEST(ApplianceWithDaemon, RefusedPointsAreTakenBackAndTheMachineStopsWhenTheDaemonDies)
{
    TempRoot root;
    SimChild sim;
    Client client;
    ASSERT_NO_FATAL_FAILURE(startAndConnect(root, &sim, &client, "developer"));

    const char *const calFile = "/mnt/rwfs/data/system_config/scali.dat";
    EXPECT_EQ(client.call(MCH_SET_CALDATA, "CLEAR"), "ACK");
    EXPECT_EQ(client.call(MCH_SET_CALDATA, "0,1200"), "NAK: Failed to calibrate scale") << "one point is no segment";
    EXPECT_EQ(root.read(calFile), "0,1200;") << "but it is stored";
    EXPECT_EQ(client.call(MCH_SET_CALDATA, "2000,161200"), "ACK") << sim.output();
    // Machine control takes only rising segments: 4294967291 g ("-5") makes
    // a flat one, 1000 g with a lower AD value a falling one.
    for (const char *refused : {"-5,161200", "1000,1200"}) {
        EXPECT_EQ(client.call(MCH_SET_CALDATA, refused), "NAK: Failed to calibrate scale") << refused;
        EXPECT_EQ(client.call(MCH_GET_CALDATA, nullptr), "0,1200;2000,161200;") << refused;
        EXPECT_EQ(root.read(calFile), "0,1200;2000,161200;") << refused;
    }
    EXPECT_EQ(client.call(MCH_SET_CALDATA, "1000,81200"), "ACK") << "a refused point spoils none after it";

    // The daemon the supervisor started holds the root's lock.
    pid_t first = pid_t(atol(root.read("/run/mifd.lock").c_str()));
    ASSERT_GT(first, 0);
    Daemon second;
    second.defaultPeers = false;
    EXPECT_FALSE(second.start(root));
    EXPECT_EQ(second.waitExit(5000), 1);
    EXPECT_NE(second.errorOutput().find("another mifd (pid " + std::to_string(first) + ") is running on this root"),
              std::string::npos)
        << second.errorOutput();

    EXPECT_EQ(client.call(MCH_SET_SPEED, "5.0"), "ACK") << sim.output();
    EXPECT_EQ(client.call(MCH_SET_HEATING, "ON"), "ACK");
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return sim.output().find("the daemon is gone: motor stopped and heater off") !=
                                        std::string::npos; },
                           5000))
        << sim.output();
    // The motor runs down to its target 0; the heating is off.
    // The motor runs down to its target 0; the heating is off.
    sim.control("status");
    const char *const mark = ", error 0";   // the end of the status line alone
    EXPECT_TRUE(eventually([&] { return sim.output().find(mark) != std::string::npos; }, 3000)) << sim.output();
    const std::string output = sim.output();
    const size_t end = std::min(output.size(), output.rfind(mark));
    const std::string status = output.substr(output.rfind('\n', end) + 1, end - output.rfind('\n', end));
    EXPECT_NE(status.find("speed 0.0 (motor "), std::string::npos) << status;
    EXPECT_NE(status.find(" of 0), "), std::string::npos) << status;
    EXPECT_NE(status.find("heating off"), std::string::npos) << status;
    client.close();
    sim.stop();
}

}  // namespace
