// Endpoint addresses: the ipc path on the appliance and under MIF_ROOT, and
// the environment override that moves an endpoint to TCP.
#include "ipc/address.h"
#include "test_env.h"

#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>
#include <nanomsg/tcp.h>

#include <cstdlib>
#include <string>

namespace {

class IpcAddress : public ::testing::Test {
protected:
    void SetUp() override { sock_ = nn_socket(AF_SP, NN_PUSH); ASSERT_GE(sock_, 0); }
    void TearDown() override { nn_close(sock_); }

    std::string build(const char *name, const char *word, bool bind)
    {
        char *a = _IPC_BuildAddress(name, word, sock_, bind);
        std::string s = a ? a : "(null)";
        std::free(a);
        return s;
    }

    int nodelay()
    {
        int v = -1;
        size_t sz = sizeof v;
        nn_getsockopt(sock_, NN_TCP, NN_TCP_NODELAY, &v, &sz);
        return v;
    }

    int sock_ = -1;
    ScopedEnv noRoot_{"MIF_ROOT", nullptr};
};

TEST_F(IpcAddress, WithoutOverrideBothSidesShareTheApplianceIpcPath)
{
    ScopedEnv unset("SvDaemonPull", nullptr);
    EXPECT_EQ(build("SvDaemon", "Pull", false), "ipc:////tmp/SvDaemonPull.ipc");
    EXPECT_EQ(build("SvDaemon", "Pull", true), "ipc:////tmp/SvDaemonPull.ipc");
    EXPECT_EQ(nodelay(), 0);
}

TEST_F(IpcAddress, UnderMifRootTheSocketFileMovesIntoTheRoot)
{
    ScopedEnv root("MIF_ROOT", "/tmp/mifABC/");
    EXPECT_EQ(build("Mcl", "Reply", false), "ipc:///tmp/mifABC/tmp/MclReply.ipc");
    EXPECT_EQ(build("Mif", "Log", true), "ipc:///tmp/mifABC/tmp/MifLog.ipc");
}

TEST_F(IpcAddress, ValidOverrideMovesTheEndpointToTcp)
{
    ScopedEnv v("MclReply", "10.0.0.7:7000");
    EXPECT_EQ(build("Mcl", "Reply", false), "tcp://10.0.0.7:7000");
    EXPECT_EQ(nodelay(), 1);
    EXPECT_EQ(build("Mcl", "Reply", true), "tcp://0.0.0.0:7000");

    // Split as a tokeniser would: leading and repeated ':' skipped, a third
    // token ignored. The override wins over MIF_ROOT.
    ScopedEnv root("MIF_ROOT", "/tmp/mifABC");
    ScopedEnv odd("MclReply", "::10.0.0.7::7000:extra");
    EXPECT_EQ(build("Mcl", "Reply", false), "tcp://10.0.0.7:7000");

    // The port's range ends are the valid ones just inside 1024..65535.
    ScopedEnv low("MclPublish", "127.0.0.1:1025");
    EXPECT_EQ(build("Mcl", "Publish", false), "tcp://127.0.0.1:1025");
    ScopedEnv high("MclSurvey", "127.0.0.1:65534");
    EXPECT_EQ(build("Mcl", "Survey", false), "tcp://127.0.0.1:65534");
    // Trailing characters after the number are ignored, in the address too.
    ScopedEnv trailing("MclPull", "127.0.0.1:20001x");
    EXPECT_EQ(build("Mcl", "Pull", false), "tcp://127.0.0.1:20001");
}

TEST_F(IpcAddress, InvalidOverrideFallsBackToTheIpcPath)
{
    const char *bad[] = {
        "10.0.0.7:1024",      // port below the range
        "10.0.0.7:65535",     // port above the range
        "10.0.0.7:-7000",
        "10.0.0.7:4294974296",  // would wrap into range if truncated to 32 bits
        "localhost:7000",     // host names are not resolved
        "10.0.0:7000",
        "10.0.0.7",           // no port
        "10.0.0.7:",
        ":7000",
        "",
    };
    for (const char *value : bad) {
        ScopedEnv v("LoggerDLog", value);
        EXPECT_EQ(build("LoggerD", "Log", false), "ipc:////tmp/LoggerDLog.ipc") << value;
        EXPECT_EQ(nodelay(), 0) << value;
    }
}

}  // namespace
