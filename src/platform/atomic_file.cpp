#include "platform/atomic_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static std::string directoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

enum { TEMP_SUFFIX_LENGTH = 6, COPY_NUMBER_DIGITS = 3 };

// A temporary file is ".<name>" + this marker + six random characters:
// hidden, and named so that nothing but this module makes such a name. The
// start-up sweep removes these and nothing else, so a backup or another
// program's temporary file beside the target is never mistaken for ours.
static const char kTempMarker[] = ".mif-part.";

static bool allOf(const char *text, size_t length, int (*test)(int))
{
    for (size_t i = 0; i < length; i++)
        if (!test(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

static std::string baseNameOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

static std::string tempPathFor(const std::string &path)
{
    std::string directory = directoryOf(path);
    return (directory == "/" ? "" : directory) + "/." + baseNameOf(path) + kTempMarker + "XXXXXX";
}

// Whether `name` is ".<base>", optionally ".N" with one to three digits, then
// the marker and the six letters and digits mkostemp chose.
static bool isLeftoverOf(const char *name, const std::string &base)
{
    if (name[0] != '.' || strncmp(name + 1, base.c_str(), base.size()) != 0)
        return false;
    const char *rest = name + 1 + base.size();
    const size_t markerLength = sizeof kTempMarker - 1;
    const char *marker = strstr(rest, kTempMarker);
    if (!marker)
        return false;
    if (marker != rest) {
        size_t digits = size_t(marker - rest) - 1;
        if (rest[0] != '.' || digits == 0 || digits > COPY_NUMBER_DIGITS || !allOf(rest + 1, digits, isdigit))
            return false;
    }
    const char *suffix = marker + markerLength;
    size_t length = strlen(suffix);
    return length == TEMP_SUFFIX_LENGTH && allOf(suffix, length, isalnum);
}

int atomicFileRemoveLeftovers(const char *path)
{
    const std::string whole = path;
    const std::string directory = directoryOf(whole);
    const std::string base = baseNameOf(whole);
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return -errno;
    int removed = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (!isLeftoverOf(entry->d_name, base))
            continue;
        // Only regular files: a directory or device by that name is not ours.
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            unlinkat(dirfd(dir), entry->d_name, 0) == 0)
            removed++;
    }
    closedir(dir);
    return removed;
}

int atomicFileOpen(AtomicFile *file, const char *path)
{
    file->path = path;
    file->tempPath = tempPathFor(file->path);
    file->fd = mkostemp(file->tempPath.data(), O_CLOEXEC);
    if (file->fd < 0) {
        int error = errno;
        file->tempPath.clear();
        return -error;
    }
    // Keep the permissions of the file being replaced, or the usual ones.
    struct stat old;
    fchmod(file->fd, stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644);
    return 0;
}

int atomicFileWrite(AtomicFile *file, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(file->fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        bytes += n;
        size -= size_t(n);
    }
    return 0;
}

int atomicFileCommit(AtomicFile *file)
{
    int result = 0;
    if (fsync(file->fd) != 0)
        result = -errno;
    if (close(file->fd) != 0 && result == 0)
        result = -errno;
    file->fd = -1;
    if (result == 0 && rename(file->tempPath.c_str(), file->path.c_str()) != 0)
        result = -errno;
    if (result != 0) {
        unlink(file->tempPath.c_str());
        file->tempPath.clear();
        return result;
    }
    file->tempPath.clear();
    int dir = open(directoryOf(file->path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

// Appends everything from `from` (at its start) to `to`. 0, or a negative
// errno.
static int copyAll(int from, int to)
{
    char buffer[16384];
    off_t offset = 0;
    for (;;) {
        ssize_t got = pread(from, buffer, sizeof buffer, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (got == 0)
            return 0;
        offset += got;
        for (ssize_t done = 0; done < got;) {
            ssize_t n = write(to, buffer + done, size_t(got - done));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -errno;
            }
            done += n;
        }
    }
}

int atomicFileCommitInPlace(AtomicFile *file)
{
    // Without a file to keep, there is nothing to keep: the rename is the
    // safer way to create it.
    int target = open(file->path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (target < 0) {
        if (errno == ENOENT)
            return atomicFileCommit(file);
        int error = errno;
        atomicFileAbort(file);
        return -error;
    }
    // The whole new content is on the flash before the old is touched, so
    // that a failure up to here leaves the target as it was.
    int result = fsync(file->fd) == 0 ? 0 : -errno;
    // Emptied and refilled through an appending descriptor: lines a writer
    // appends meanwhile land at the end as it stands and are not
    // overwritten.
    if (result == 0 && ftruncate(target, 0) != 0)
        result = -errno;
    if (result == 0)
        result = copyAll(file->fd, target);
    if (result == 0 && fsync(target) != 0)
        result = -errno;
    if (close(target) != 0 && result == 0)
        result = -errno;
    atomicFileAbort(file);
    return result;
}

void atomicFileAbort(AtomicFile *file)
{
    if (file->fd >= 0)
        close(file->fd);
    file->fd = -1;
    if (!file->tempPath.empty())
        unlink(file->tempPath.c_str());
    file->tempPath.clear();
}

int writeFileAtomically(const char *path, const void *data, size_t size)
{
    AtomicFile file;
    int result = atomicFileOpen(&file, path);
    if (result != 0)
        return result;
    result = atomicFileWrite(&file, data, size);
    if (result != 0) {
        atomicFileAbort(&file);
        return result;
    }
    return atomicFileCommit(&file);
}
