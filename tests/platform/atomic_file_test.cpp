#include "platform/atomic_file.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char pattern[] = "/tmp/mifXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string read(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int entries() { return int(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }
};

TEST_F(AtomicFileTest, CommitReplacesAndAbortKeepsTheOldContent)
{
    std::string path = dir + "/scali.dat";
    std::ofstream(path) << "0,1200;";

    AtomicFile file;
    ASSERT_EQ(atomicFileOpen(&file, path.c_str()), 0);
    ASSERT_EQ(atomicFileWrite(&file, "0,1200;1000,", 12), 0);
    EXPECT_EQ(read(path), "0,1200;") << "readers see the old content until commit";
    atomicFileAbort(&file);
    EXPECT_EQ(read(path), "0,1200;");
    EXPECT_EQ(entries(), 1) << "no temporary file is left behind";

    ASSERT_EQ(writeFileAtomically(path.c_str(), "0,1200;1000,81200;", 18), 0);
    EXPECT_EQ(read(path), "0,1200;1000,81200;");
    EXPECT_EQ(entries(), 1);
}

TEST_F(AtomicFileTest, MissingDirectoryFailsWithoutSideEffects)
{
    std::string path = dir + "/no/such/dir/qxsn.dat";
    EXPECT_EQ(writeFileAtomically(path.c_str(), "x", 1), -ENOENT);
    EXPECT_EQ(entries(), 0);
}

// What a process ended between open and commit leaves behind goes; the file,
// its numbered copies and anything only resembling a leftover stay.
TEST_F(AtomicFileTest, LeftoversOfTheFileAndItsNumberedCopiesAreRemoved)
{
    std::string path = dir + "/Events.log";
    AtomicFile cut;
    ASSERT_EQ(atomicFileOpen(&cut, path.c_str()), 0);
    ASSERT_EQ(atomicFileWrite(&cut, "1000;x\n", 7), 0);
    close(cut.fd);   // the process ends here: no commit, no abort

    const std::vector<std::string> leftovers = {"Events.log.3.a1B2c3", "Events.log.999.ZZZZZ9"};
    const std::vector<std::string> kept = {
        "Events.log",          "Events.log.3",         "Events.log.123456",   // a copy's number, not a leftover
        "Events.log.abc",      "Events.log.aBcDeFg",   "Events.log.1000.aBcDeF",
        "Events.log.x.aBcDeF", "Errors.log.aBcDeF",    "Events.logX.aBcDeF",
        "Events.log.aB-DeF",   "Events.log..aBcDeF"};
    for (const std::string &name : leftovers)
        std::ofstream(dir + "/" + name) << "partial";
    for (const std::string &name : kept)
        std::ofstream(dir + "/" + name) << "keep";
    fs::create_directory(dir + "/Events.log.dIrEcT");

    EXPECT_EQ(atomicFileRemoveLeftovers(path.c_str()), 3);
    EXPECT_FALSE(fs::exists(cut.tempPath));
    for (const std::string &name : leftovers)
        EXPECT_FALSE(fs::exists(dir + "/" + name)) << name;
    for (const std::string &name : kept)
        EXPECT_TRUE(fs::exists(dir + "/" + name)) << name;
    EXPECT_TRUE(fs::is_directory(dir + "/Events.log.dIrEcT"));

    EXPECT_EQ(atomicFileRemoveLeftovers(path.c_str()), 0) << "nothing left the second time";
    EXPECT_EQ(atomicFileRemoveLeftovers((dir + "/no/such/Events.log").c_str()), -ENOENT);
}

} // namespace
