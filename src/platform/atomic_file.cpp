#include "platform/atomic_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// A rollback copy is ".<name>" + this marker: the old content of a file
// whose in-place commit is under way. One name per file, so that start-up
// finds it, and one nothing but this module makes.
static const char kRollbackMarker[] = ".mif-rollback";

// While the copy is being written it goes by this name (the rollback
// copy's with ".part"), one per file, so that a cut copy is never taken for
// a whole one and the next start-up sweeps it.
static const char kRollbackPartMarker[] = ".mif-rollback.part";

static std::string rollbackPathFor(const std::string &path)
{
    std::string directory = directoryOf(path);
    return (directory == "/" ? "" : directory) + "/." + baseNameOf(path) + kRollbackMarker;
}

// When `name` is ".<base>", optionally ".N" with one to three digits, then
// `marker`: the length of "<base>[.N]", the name of the file it belongs to;
// otherwise 0.
static size_t ownerLength(const char *name, const std::string &base, const char *marker)
{
    if (name[0] != '.' || strncmp(name + 1, base.c_str(), base.size()) != 0)
        return 0;
    const char *rest = name + 1 + base.size();
    const char *at = strstr(rest, marker);
    if (!at)
        return 0;
    if (at != rest) {
        size_t digits = size_t(at - rest) - 1;
        if (rest[0] != '.' || digits == 0 || digits > COPY_NUMBER_DIGITS || !allOf(rest + 1, digits, isdigit))
            return 0;
    }
    return size_t(at - (name + 1));
}

// When `name` is exactly ".<base>[.N]" + `marker`: the file it belongs to
// ("<base>[.N]"); otherwise "".
static std::string markedOwner(const char *name, const std::string &base, const char *marker)
{
    size_t owner = ownerLength(name, base, marker);
    if (owner == 0 || strcmp(name + 1 + owner, marker) != 0)
        return "";
    return std::string(name + 1, owner);
}

// The file a rollback copy named `name` belongs to ("<base>[.N]"), or "".
static std::string rollbackOwner(const char *name, const std::string &base)
{
    return markedOwner(name, base, kRollbackMarker);
}

// Whether `name` is a temporary file of `base` or of one of its numbered
// copies: the marker followed by the six letters and digits mkostemp chose,
// or a rollback copy cut while it was written.
static bool isLeftoverOf(const char *name, const std::string &base)
{
    if (!markedOwner(name, base, kRollbackPartMarker).empty())
        return true;
    size_t owner = ownerLength(name, base, kTempMarker);
    if (owner == 0)
        return false;
    const char *suffix = name + 1 + owner + (sizeof kTempMarker - 1);
    size_t length = strlen(suffix);
    return length == TEMP_SUFFIX_LENGTH && allOf(suffix, length, isalnum);
}

// Syncs the directory that holds `path`, which makes a rename, a new name
// or a removal in it durable. 0, or a negative errno.
static int syncDirectoryOf(const std::string &path)
{
    int dir = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -errno;
    int result = fsync(dir) == 0 ? 0 : -errno;
    close(dir);
    return result;
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
    // The data is on the flash before the name points at it: a rename that
    // reaches the flash ahead of the data would leave, after a power cut, the
    // file's name on an empty or half-written file.
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
    // The rename lives in the directory: until the directory is synced, a
    // power cut may bring back the old name (the old content, or no file)
    // after the caller was told the new content is in. A failure here is not
    // reported: the new content is in place for every reader.
    syncDirectoryOf(file->path);
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

// Copies everything from `from` (at its start) to `to` (not appending) in
// the kernel, so that a rollback copy of a large log costs no trip of its
// bytes through this process, and nothing at all on a file system that
// shares extents. Falls back to copyAll where the kernel cannot (another
// file system, an old kernel). 0, or a negative errno.
static int copyWhole(int from, int to)
{
    loff_t offset = 0;
    for (;;) {
        ssize_t n = copy_file_range(from, &offset, to, nullptr, size_t(1) << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (offset == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            return copyAll(from, to);
        return -errno;
    }
}

// Empties `target` (open for appending) and fills it with the content of
// `from`, synced. 0, or a negative errno.
static int refill(int target, int from)
{
    // Emptied and refilled through an appending descriptor: lines a writer
    // appends meanwhile land at the end as it stands and are not
    // overwritten.
    if (ftruncate(target, 0) != 0)
        return -errno;
    int result = copyAll(from, target);
    if (result == 0 && fsync(target) != 0)
        result = -errno;
    return result;
}

// Puts the rollback copy back into `target` (the file `path`, open for
// appending), then removes the copy. 0, or a negative errno; the copy stays
// when the file could not be refilled, for the next try.
static int restoreFrom(const std::string &rollback, int target, const std::string &path)
{
    int copy = open(rollback.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (copy < 0)
        return -errno;
    int result = refill(target, copy);
    close(copy);
    if (result != 0)
        return result;
    // Only once the old content is synced back into the file may its last
    // copy go.
    if (unlink(rollback.c_str()) != 0)
        return -errno;
    syncDirectoryOf(path);
    return 0;
}

// Saves the content of `target` (the file `path`) as its rollback copy. The
// copy is written under its ".part" name and renamed, so that a rollback
// copy, whenever one exists, is whole: a cut during the copy leaves only a
// temporary file to sweep, and the target untouched.
static int saveRollback(int target, const std::string &path, const std::string &rollback)
{
    const std::string temp = rollback + ".part";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    int result = copyWhole(target, fd);
    // Synced before the rename for the reason atomicFileCommit syncs.
    if (result == 0 && fsync(fd) != 0)
        result = -errno;
    if (close(fd) != 0 && result == 0)
        result = -errno;
    if (result == 0 && rename(temp.c_str(), rollback.c_str()) != 0)
        result = -errno;
    if (result != 0) {
        unlink(temp.c_str());
        return result;
    }
    // The copy's name must be on the flash before the target is emptied:
    // after a power cut in the copy that follows, start-up finds the old
    // content only by this name.
    result = syncDirectoryOf(path);
    if (result != 0)
        unlink(rollback.c_str());
    return result;
}

int atomicFileCommitInPlace(AtomicFile *file)
{
    // Without a file to keep, there is nothing to keep: the rename is the
    // safer way to create it.
    int target = open(file->path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (target < 0) {
        if (errno == ENOENT)
            return atomicFileCommit(file);
        int error = errno;
        atomicFileAbort(file);
        return -error;
    }
    const std::string rollback = rollbackPathFor(file->path);
    // The whole new content is on the flash before the old is touched, so
    // that a failure up to here leaves the target as it was.
    int result = fsync(file->fd) == 0 ? 0 : -errno;
    // A rollback copy already there is the content from before a commit
    // whose restore failed: it goes back first, or the copy below would
    // save the broken file as the old content.
    struct stat st;
    if (result == 0 && lstat(rollback.c_str(), &st) == 0)
        result = restoreFrom(rollback, target, file->path);
    if (result == 0)
        result = saveRollback(target, file->path, rollback);
    if (result == 0) {
        result = refill(target, file->fd);
        if (result != 0) {
            // Storage full (or failing) in the middle of the copy: the old
            // content goes back. Should that fail too, its copy stays, and
            // the next start-up or commit puts it back.
            restoreFrom(rollback, target, file->path);
        } else if (unlink(rollback.c_str()) != 0) {
            // A copy that stays would undo this commit at the next start:
            // report the failure, which is what the file will then show.
            result = -errno;
        } else {
            // Once the copy's removal is durable, the new content is final.
            syncDirectoryOf(file->path);
        }
    }
    if (close(target) != 0 && result == 0)
        result = -errno;
    atomicFileAbort(file);
    return result;
}

// Puts back the rollback copy `name` found in `directory` into the file it
// belongs to (`owner`). 0, or a negative errno.
static int restoreRollback(const std::string &directory, const std::string &name, const std::string &owner)
{
    const std::string prefix = directory == "/" ? "" : directory;
    const std::string rollback = prefix + "/" + name;
    const std::string path = prefix + "/" + owner;
    int target = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (target < 0) {
        if (errno != ENOENT)
            return -errno;
        // The file went while its copy was cut: the copy is its content.
        if (rename(rollback.c_str(), path.c_str()) != 0)
            return -errno;
        syncDirectoryOf(path);
        return 0;
    }
    int result = restoreFrom(rollback, target, path);
    close(target);
    return result;
}

int atomicFileRecover(const char *path)
{
    const std::string whole = path;
    const std::string directory = directoryOf(whole);
    const std::string base = baseNameOf(whole);
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return -errno;
    // Collected first, acted on after: a restore may add a name to the
    // directory being read.
    std::vector<std::string> rollbacks, leftovers;
    while (struct dirent *entry = readdir(dir)) {
        const bool rollback = !rollbackOwner(entry->d_name, base).empty();
        if (!rollback && !isLeftoverOf(entry->d_name, base))
            continue;
        // Only regular files: a directory or device by that name is not ours.
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        (rollback ? rollbacks : leftovers).push_back(entry->d_name);
    }
    closedir(dir);

    int done = 0, failure = 0;
    for (const std::string &name : rollbacks) {
        int result = restoreRollback(directory, name, rollbackOwner(name.c_str(), base));
        if (result == 0)
            done++;
        else
            failure = result;
    }
    const std::string prefix = directory == "/" ? "" : directory;
    for (const std::string &name : leftovers)
        if (unlink((prefix + "/" + name).c_str()) == 0)
            done++;
    return failure != 0 ? failure : done;
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
