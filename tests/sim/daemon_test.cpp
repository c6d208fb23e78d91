// The simulated appliance with the real daemon: the supervisor starts it,
// the handshake lets it serve, machine control answers its start-up
// requests, and a client's MCH_SHUTDOWN ends the daemon and then the whole
// appliance.
#include "sim_test_util.h"

#include "session/command_list.h"

namespace {

TEST(ApplianceWithDaemon, SupervisorStartsTheDaemonAndTheDaemonsShutdownEndsTheAppliance)
{
    TempRoot root;
    int port = freeLoopbackPort();
    std::vector<std::string> args = {"--daemon"};
    for (const std::string &word : programCommand(binDir() + "/mifd"))
        args.push_back(word);
    SimChild sim;
    ASSERT_TRUE(sim.start(root, args, {"MIF_PORT=" + std::to_string(port)}));

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

}  // namespace
