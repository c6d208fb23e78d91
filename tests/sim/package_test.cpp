// Signed data packages: what `mif-sim sign-package` signs, checkpak
// accepts; a package or signature changed afterwards, a missing signature
// and a signature by another key it refuses.
#include "sim_test_util.h"

#include <fstream>

namespace {

class PackageTest : public ::testing::Test {
protected:
    int run(const std::string &command)
    {
        int status = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int sign(const std::string &extra = "") { return run(programLine(binDir() + "/mif-sim") + " sign-package " + package_ + extra); }
    int check(const std::string &extra = "") { return run(programLine(binDir() + "/checkpak") + " " + extra + package_); }
    void flipByte(const std::string &path, long offset)
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(offset);
        char c = 0;
        f.get(c);
        f.seekp(offset);
        f.put(char(c ^ 0x01));
    }
    std::string keys() const { return std::string(MIF_TEST_SOURCE_DIR) + "/keys/dev/"; }

    TempRoot root_;
    std::string package_ = root_.path() + "/tmp/partdata.tar.gz";
};

TEST_F(PackageTest, AcceptsASignedPackageAndRefusesEveryChange)
{
    root_.write("/tmp/partdata.tar.gz", std::string(100000, 'p') + "the package");
    EXPECT_EQ(check(), 1);   // no signature yet
    ASSERT_EQ(sign(), 0);
    EXPECT_EQ(root_.read("/tmp/partdata.tar.gz.sig").size(), 256u);
    EXPECT_EQ(check(), 0);

    flipByte(package_, 5000);
    EXPECT_EQ(check(), 1);
    flipByte(package_, 5000);
    EXPECT_EQ(check(), 0);
    flipByte(package_ + ".sig", 100);
    EXPECT_EQ(check(), 1);

    // Signed with another key: refused with the package key, accepted with
    // that key's public half.
    ASSERT_EQ(sign(" -k " + keys() + "service.pem"), 0);
    EXPECT_EQ(check(), 1);
    EXPECT_EQ(check("-k " + keys() + "service.der "), 0);

    EXPECT_EQ(run(programLine(binDir() + "/checkpak")), 2);
    EXPECT_EQ(sign(" -k /nonexistent.pem"), 1);
}

}  // namespace
