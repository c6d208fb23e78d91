// The console's work directory.
#include "work_dir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kPrefix[] = "mif-console.";
static const char kLock[] = "/.lock";
// A directory without a lock is a console's between making and locking it,
// or one of a console from before the locks, which may still run: only one
// untouched for a day is taken for left over.
enum { LOCKLESS_GRACE_S = 24 * 3600 };

int makeWorkDir(const std::string &parent, std::string *dir, std::string *error)
{
    *dir = parent + "/" + kPrefix + "XXXXXX";
    if (!mkdtemp(dir->data())) {
        *error = std::string("cannot make a work directory: ") + strerror(errno);
        return -1;
    }
    const int fd = open((*dir + kLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = std::string("cannot lock the work directory: ") + strerror(errno);
        if (fd >= 0)
            close(fd);
        std::error_code ignored;
        std::filesystem::remove_all(*dir, ignored);
        return -1;
    }
    return fd;
}

// Whether the console that made DIR is gone.
static bool isStale(const std::string &dir)
{
    const int fd = open((dir + kLock).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        struct stat st {};
        return errno == ENOENT && lstat(dir.c_str(), &st) == 0 &&
               time(nullptr) - st.st_mtime > LOCKLESS_GRACE_S;
    }
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

int removeStaleWorkDirs(const std::string &parent)
{
    int removed = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(parent, ec)) {
        const std::string name = entry.path().filename().string();
        struct stat st {};
        // Only our own directories: the temporary directory is shared.
        if (name.rfind(kPrefix, 0) != 0 || lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != geteuid())
            continue;
        std::error_code ignored;
        if (isStale(entry.path().string()) && std::filesystem::remove_all(entry.path(), ignored) > 0)
            removed++;
    }
    return removed;
}
