#include "platform/atomic_file.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

} // namespace
