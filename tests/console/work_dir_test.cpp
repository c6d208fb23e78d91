// The console's files and ports on this machine: its work directory, what
// consoles before it left, and whether a local daemon still listens.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include "local_port.h"
#include "work_dir.h"

TEST(ConsoleWorkDir, LeftoversOfEndedConsolesGoOthersStay)
{
    namespace fs = std::filesystem;
    const fs::path parent = fs::temp_directory_path() / ("mif-console-workdir-test." + std::to_string(getpid()));
    fs::remove_all(parent);
    fs::create_directories(parent);
    std::string live, ended, error;
    const int liveLock = makeWorkDir(parent, &live, &error);
    ASSERT_GE(liveLock, 0) << error;
    const int endedLock = makeWorkDir(parent, &ended, &error);
    ASSERT_GE(endedLock, 0) << error;
    // An aborted console: its lock is free, a half-sent upload is inside.
    close(endedLock);
    { FILE *f = fopen((ended + "/upload.abc123").c_str(), "w"); ASSERT_TRUE(f); fputs("half", f); fclose(f); }
    // An older console's directory without a lock: gone when old, kept when new.
    const fs::path oldOne = parent / "mif-console.OLDONE", newOne = parent / "mif-console.NEWONE";
    const fs::path other = parent / "someone-else.XYZ";
    fs::create_directories(oldOne);
    fs::create_directories(newOne);
    fs::create_directories(other);
    const timespec longAgo[2] = {{time(nullptr) - 2 * 86400, 0}, {time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, oldOne.c_str(), longAgo, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), longAgo, 0), 0);

    EXPECT_EQ(removeStaleWorkDirs(parent), 2);
    EXPECT_TRUE(fs::exists(live));
    EXPECT_FALSE(fs::exists(ended));
    EXPECT_FALSE(fs::exists(oldOne));
    EXPECT_TRUE(fs::exists(newOne));
    EXPECT_TRUE(fs::exists(other));
    close(liveLock);
    fs::remove_all(parent);
}

TEST(ConsoleLocalPort, ListeningIsSeenWithoutConnecting)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    EXPECT_EQ(localPortListening(port), 0);  // bound, not yet listening
    ASSERT_EQ(listen(fd, 1), 0);
    EXPECT_EQ(localPortListening(port), 1);
    close(fd);
    EXPECT_EQ(localPortListening(port), 0);
}
