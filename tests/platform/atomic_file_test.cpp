#include "platform/atomic_file.h"
#include "support/file_size_limit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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
    static ino_t inode(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
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

    const std::vector<std::string> leftovers = {".Events.log.3.mif-part.a1B2c3", ".Events.log.999.mif-part.ZZZZZ9",
                                                ".Events.log.mif-part.123456"};
    // Backups, another program's temporary files, names that only resemble
    // the daemon's own.
    const std::vector<std::string> kept = {
        "Events.log",        "Events.log.3",      "Events.log.backup",            "Events.log.aBcDeF",
        "Events.log.123456", "Events.log.3.a1B2c3", "Events.log.mif-part.aBcDeF", ".Events.log",
        ".Events.log.1000.mif-part.aBcDeF",    ".Events.log.x.mif-part.aBcDeF",  ".Errors.log.mif-part.aBcDeF",
        ".Events.logX.mif-part.aBcDeF",        ".Events.log.mif-part.aB-DeF",    ".Events.log.mif-part.aBcDeFg",
        ".Events.log..mif-part.aBcDeF",        ".Events.log.mif-part.aBcDe"};
    for (const std::string &name : leftovers)
        std::ofstream(dir + "/" + name) << "partial";
    for (const std::string &name : kept)
        std::ofstream(dir + "/" + name) << "keep";
    fs::create_directory(dir + "/.Events.log.mif-part.dIrEcT");

    EXPECT_EQ(atomicFileRecover(path.c_str()), 4);
    EXPECT_EQ(fs::path(cut.tempPath).filename().string().rfind(".Events.log.mif-part.", 0), 0u) << cut.tempPath;
    EXPECT_FALSE(fs::exists(cut.tempPath));
    for (const std::string &name : leftovers)
        EXPECT_FALSE(fs::exists(dir + "/" + name)) << name;
    for (const std::string &name : kept)
        EXPECT_TRUE(fs::exists(dir + "/" + name)) << name;
    EXPECT_TRUE(fs::is_directory(dir + "/.Events.log.mif-part.dIrEcT"));

    EXPECT_EQ(atomicFileRecover(path.c_str()), 0) << "nothing left the second time";
    EXPECT_EQ(atomicFileRecover((dir + "/no/such/Events.log").c_str()), -ENOENT);
}

// The in-place commit keeps the file a writer holds open: what the writer
// appends after it lands in the file everyone reads.
TEST_F(AtomicFileTest, InPlaceCommitKeepsTheFileAndItsWriters)
{
    std::string path = dir + "/Events.log";
    std::ofstream(path) << "1;old line\n2;old line\n";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    int writer = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);

    AtomicFile file;
    ASSERT_EQ(atomicFileOpen(&file, path.c_str()), 0);
    ASSERT_EQ(atomicFileWrite(&file, "7;new\n", 6), 0);
    ASSERT_EQ(atomicFileCommitInPlace(&file), 0);
    ASSERT_EQ(write(writer, "8;after\n", 8), 8);
    close(writer);

    EXPECT_EQ(read(path), "7;new\n8;after\n");
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(entries(), 1) << "the temporary file is gone";

    // Nothing to keep: the file is created by the rename.
    std::string fresh = dir + "/RepaEvents.log";
    ASSERT_EQ(atomicFileOpen(&file, fresh.c_str()), 0);
    ASSERT_EQ(atomicFileWrite(&file, "x", 1), 0);
    ASSERT_EQ(atomicFileCommitInPlace(&file), 0);
    EXPECT_EQ(read(fresh), "x");
    EXPECT_EQ(entries(), 2);
}

// A cut in-place commit leaves a rollback copy beside the file: recovery
// puts it back into the same file (the inode its writers hold), also for a
// numbered copy; a copy cut while it was saved is only removed.
TEST_F(AtomicFileTest, RecoveryPutsRollbackCopiesBackInPlace)
{
    std::string path = dir + "/Events.log";
    std::ofstream(path) << "1;half of the new";
    std::ofstream(dir + "/.Events.log.mif-rollback") << "1;old\n";
    std::ofstream(dir + "/.Events.log.2.mif-rollback") << "2;old copy\n";
    std::ofstream(dir + "/.Events.log.mif-rollback.part") << "1;ol";   // cut while saved: the file is whole
    std::ofstream(dir + "/Events.log.mif-rollback") << "not ours";
    const ino_t before = inode(path);
    int writer = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);

    EXPECT_EQ(atomicFileRecover(path.c_str()), 3);
    ASSERT_EQ(write(writer, "3;after\n", 8), 8);
    close(writer);
    EXPECT_EQ(read(path), "1;old\n3;after\n");
    EXPECT_EQ(inode(path), before);
    EXPECT_EQ(read(dir + "/Events.log.2"), "2;old copy\n");
    EXPECT_EQ(read(dir + "/Events.log.mif-rollback"), "not ours");
    EXPECT_EQ(entries(), 3);
    EXPECT_EQ(atomicFileRecover(path.c_str()), 0);
}

// Storage that fills while the new content is copied in: the old content
// comes back from its rollback copy, the commit fails, nothing is left
// beside the file. A rollback copy a failed restore left is put back before
// the next commit saves the file as its old content.
TEST_F(AtomicFileTest, StorageFullDuringTheInPlaceCopyRestoresTheOldContent)
{
    std::string path = dir + "/Events.log";
    const std::string oldContent(20000, 'o');
    std::ofstream(path) << oldContent;
    AtomicFile file;
    ASSERT_EQ(atomicFileOpen(&file, path.c_str()), 0);
    const std::string newContent(50000, 'n');
    ASSERT_EQ(atomicFileWrite(&file, newContent.data(), newContent.size()), 0);
    {
        FileSizeLimit limit(32768);   // the old content fits, the new does not
        int result = atomicFileCommitInPlace(&file);
        EXPECT_TRUE(result == -EFBIG || result == -ENOSPC) << result;
    }
    EXPECT_EQ(read(path), oldContent);
    EXPECT_EQ(entries(), 1);

    std::ofstream(path) << "broken";
    std::ofstream(dir + "/.Events.log.mif-rollback") << oldContent;
    ASSERT_EQ(atomicFileOpen(&file, path.c_str()), 0);
    ASSERT_EQ(atomicFileWrite(&file, newContent.data(), newContent.size()), 0);
    {
        FileSizeLimit limit(32768);
        EXPECT_NE(atomicFileCommitInPlace(&file), 0);
    }
    EXPECT_EQ(read(path), oldContent) << "the broken file never became the old content";
    EXPECT_EQ(entries(), 1);
}

} // namespace
