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
    int port = freeLoopbackPort();
    SimChild sim;
    ASSERT_NO_FATAL_FAILURE(startApplianceWithDaemon(root, port, &sim));
    Client client;
    ASSERT_TRUE(eventually([&] { return client.connect(port); }, 20000)) << sim.output();
    ASSERT_EQ(client.authenticate("service"), "ACK");

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

}  // namespace
