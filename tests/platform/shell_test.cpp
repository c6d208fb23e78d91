#include "platform/shell.h"
#include "test_env.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

// An appliance script under a simulated root whose name needs quoting, and
// one the root does not have.
TEST(ApplianceScript, RunsUnderTheRootOrNotAtAll)
{
    char pattern[] = "/tmp/mifXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string root = std::string(pattern) + "/it's a root";
    std::filesystem::create_directories(root + "/opt");
    {
        std::ofstream(root + "/opt/script.sh") << "#!/bin/sh\necho ran > \"$MIF_ROOT/ran\"\nexit 3\n";
    }
    chmod((root + "/opt/script.sh").c_str(), 0755);
    {
        ScopedEnv env("MIF_ROOT", root.c_str());
        int status = runApplianceScript("/opt/script.sh");
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3);
        EXPECT_TRUE(std::filesystem::exists(root + "/ran"));
        EXPECT_EQ(runApplianceScript("/opt/missing.sh"), -1) << "a script the root lacks is not looked for on the host";
    }
    std::filesystem::remove_all(pattern);
}

// Whatever the text, the shell reads it back as one word, unchanged.
TEST(ShellWord, TheShellReadsItBackAsOneWord)
{
    EXPECT_EQ(shellWord("/mnt/rwfs/data/Events.log"), "/mnt/rwfs/data/Events.log");
    for (const std::string text : {"it's a root", "", "$(echo injected)", "a b\tc\nd", "'", "\\\"*?"}) {
        FILE *echo = popen(("printf '%s|' " + shellWord(text)).c_str(), "r");
        ASSERT_NE(echo, nullptr);
        std::string out;
        char buffer[256];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, echo)) > 0)
            out.append(buffer, n);
        EXPECT_EQ(pclose(echo), 0);
        EXPECT_EQ(out, text + "|") << text;
    }
}
