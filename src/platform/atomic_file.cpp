#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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
