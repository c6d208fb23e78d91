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

static bool allOf(const char *text, size_t length, int (*test)(int))
{
    for (size_t i = 0; i < length; i++)
        if (!test(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// Whether `name` is `base`, optionally ".N" with one to three digits, then
// "." and the six letters and digits mkostemp chose. A suffix of six digits
// is taken for a numbered copy of someone else's, not for a leftover.
static bool isLeftoverOf(const char *name, const std::string &base)
{
    if (strncmp(name, base.c_str(), base.size()) != 0 || name[base.size()] != '.')
        return false;
    const char *rest = name + base.size() + 1;
    size_t length = strlen(rest);
    if (const char *dot = strchr(rest, '.')) {
        size_t digits = size_t(dot - rest);
        if (digits == 0 || digits > COPY_NUMBER_DIGITS || !allOf(rest, digits, isdigit))
            return false;
        rest = dot + 1;
        length -= digits + 1;
    }
    return length == TEMP_SUFFIX_LENGTH && allOf(rest, length, isalnum) && !allOf(rest, length, isdigit);
}

int atomicFileRemoveLeftovers(const char *path)
{
    const std::string whole = path;
    const std::string directory = directoryOf(whole);
    size_t slash = whole.rfind('/');
    const std::string base = slash == std::string::npos ? whole : whole.substr(slash + 1);
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
    file->tempPath = file->path + ".XXXXXX";
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
