#include "frame/startup.h"
#include "mif_version.h"
#include "test_env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

unsigned delayOf(const char *content) { return startDelayFromFile(content, strlen(content)); }

TEST(StartDelay, FileContentGivesTheDelay)
{
    EXPECT_EQ(delayOf("250"), 250u);
    EXPECT_EQ(delayOf("0x20"), 32u);
    EXPECT_EQ(delayOf("0"), 0u);
    EXPECT_EQ(delayOf("010"), 8u);
    EXPECT_EQ(delayOf("  75\n"), 75u) << "leading blanks and trailing text are ignored";
    EXPECT_EQ(delayOf("12ms"), 12u);
    EXPECT_EQ(delayOf("abc"), 0u) << "text without digits converts to 0: no delay";
    EXPECT_EQ(delayOf(""), 100u) << "an empty file";
    EXPECT_EQ(delayOf("1234567890"), 100u) << "ten bytes or more";
    EXPECT_EQ(delayOf("-5"), 100u) << "negative as a signed 32-bit number";
    EXPECT_EQ(delayOf("3000000000"), 100u) << "negative as a signed 32-bit number";
    EXPECT_EQ(delayOf("999999999"), 999999999u);
    EXPECT_EQ(startDelayFromFile(nullptr, 0), 100u) << "no file";
}

TEST(CommandLine, NowaitAndListenAddress)
{
    struct Case { std::vector<const char *> args; bool noWait; const char *address; } cases[] = {
        {{"mifd"}, false, nullptr},
        {{"mifd", "10.0.0.2"}, false, "10.0.0.2"},
        {{"mifd", "-nowait"}, true, nullptr},
        {{"mifd", "-nowait", "127.0.0.1"}, true, "127.0.0.1"},
        {{"mifd", "host", "-nowait"}, true, "-nowait"},   // the second argument in this mode
        {{"mifd", "host", "x", "-nowait"}, true, "x"},
    };
    for (auto &c : cases) {
        CommandLine line = parseCommandLine(int(c.args.size()), const_cast<char **>(c.args.data()));
        EXPECT_EQ(line.noWait, c.noWait);
        if (c.address) {
            EXPECT_STREQ(line.listenAddress, c.address);
        } else {
            EXPECT_EQ(line.listenAddress, nullptr);
        }
    }
}

// What one command line answers without starting the daemon: its action,
// the exit status and what it wrote to each stream.
struct Answer {
    CommandLineAction action;
    int status;
    std::string out, err;
};

Answer answerOf(std::vector<const char *> args, bool developmentKeys = false)
{
    CommandLine line = parseCommandLine(int(args.size()), const_cast<char **>(args.data()));
    Answer answer{line.action, 0, {}, {}};
    if (line.action == COMMAND_LINE_SERVE)
        return answer;
    char *outText = nullptr, *errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE *out = open_memstream(&outText, &outSize);
    FILE *err = open_memstream(&errText, &errSize);
    answer.status = answerCommandLine(line, developmentKeys, out, err);
    fclose(out);
    fclose(err);
    answer.out = outText;
    answer.err = errText;
    free(outText);
    free(errText);
    return answer;
}

TEST(CommandLine, OptionsAreAnsweredAndNeverTakenForAnAddress)
{
    Answer help = answerOf({"mifd", "--help"});
    EXPECT_EQ(help.action, COMMAND_LINE_HELP);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: mifd [-nowait] [ADDRESS]\n", 0), 0u) << help.out;
    EXPECT_EQ(answerOf({"mifd", "-nowait", "-h"}).action, COMMAND_LINE_HELP) << "in the address position too";

    Answer version = answerOf({"mifd", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "mifd " MIF_VERSION "\n") << "one line: help2man and scripts read the first";
    EXPECT_NE(answerOf({"mifd", "--version"}, true).out.find("development role keys"), std::string::npos)
        << "a development build cannot pass for a field build";

    Answer unknown = answerOf({"mifd", "--listen=1.2.3.4"});
    EXPECT_EQ(unknown.action, COMMAND_LINE_UNKNOWN);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.out.empty());
    EXPECT_NE(unknown.err.find("--listen=1.2.3.4"), std::string::npos) << unknown.err;

    EXPECT_EQ(answerOf({"mifd", "-nowait", "127.0.0.1"}).action, COMMAND_LINE_SERVE);
    EXPECT_EQ(answerOf({"mifd", "host", "-nowait"}).action, COMMAND_LINE_SERVE) << "-nowait is no unknown option";
}

// The daemon itself: these command lines end at once, before anything of
// the start-up runs. A daemon that started would hold the pipe until the
// time-out; it would do so in a root of its own.
TEST(CommandLine, TheDaemonAnswersOptionsAndExits)
{
    char root[] = "/tmp/mifd-options.XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    ScopedEnv rootEnv("MIF_ROOT", root);
    std::string mifd = std::string(MIF_TEST_EMULATOR) + " " MIF_TEST_BIN_DIR "/mifd";
    auto run = [&mifd](const char *args, std::string *out) {
        FILE *pipe = popen(("timeout 20 " + mifd + " " + args + " 2>&1").c_str(), "r");
        char buffer[4096];
        size_t got;
        while (pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out->append(buffer, got);
        int status = pipe ? pclose(pipe) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string help, version, unknown;
    EXPECT_EQ(run("--help", &help), 0);
    EXPECT_EQ(help.rfind("Usage: mifd", 0), 0u) << help;
    EXPECT_EQ(run("-nowait --version", &version), 0);
    EXPECT_EQ(version.rfind("mifd " MIF_VERSION "\n", 0), 0u) << version;
    EXPECT_EQ(run("--bogus", &unknown), 2) << unknown;
    rmdir(root);
}

} // namespace
