#include "platform/paths.h"
#include "test_env.h"

#include <gtest/gtest.h>

TEST(MifPath, UnsetRootLeavesAppliancePathsAlone)
{
    ScopedEnv root("MIF_ROOT", nullptr);
    EXPECT_EQ(mifPath("/mnt/rwfs/data/mif_sleep.txt"), "/mnt/rwfs/data/mif_sleep.txt");
    EXPECT_EQ(mifPath("/dev/fb"), "/dev/fb");
    EXPECT_EQ(mifRoot(), "");
}

TEST(MifPath, RootPrefixesAbsolutePathsButNotRandomOrNull)
{
    ScopedEnv root("MIF_ROOT", "/tmp/sim/");
    EXPECT_EQ(mifRoot(), "/tmp/sim");
    EXPECT_EQ(mifPath("/mnt/rwfs/data/system_config/qxsn.dat"),
              "/tmp/sim/mnt/rwfs/data/system_config/qxsn.dat");
    EXPECT_EQ(mifPath("/tmp/MclReply.ipc"), "/tmp/sim/tmp/MclReply.ipc");
    EXPECT_EQ(mifPath("/dev/urandom"), "/dev/urandom");
    EXPECT_EQ(mifPath("/dev/null"), "/dev/null");
    EXPECT_EQ(mifPath("relative/file"), "relative/file");
}

TEST(MifPath, EmptyOrSlashRootMeansNoRoot)
{
    {
        ScopedEnv root("MIF_ROOT", "");
        EXPECT_EQ(mifPath("/dev/fb"), "/dev/fb");
    }
    ScopedEnv root("MIF_ROOT", "/");
    EXPECT_EQ(mifPath("/dev/fb"), "/dev/fb");
}
