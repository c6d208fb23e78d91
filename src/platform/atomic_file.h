// Replacing a file so that readers, and a power cut, see either the old or
// the new content, never a torn one: the new content goes to a temporary
// file in the same directory (".<name>.mif-part.XXXXXX"), is synced, and is
// renamed over the old file; then the directory is synced so the rename
// itself is durable.
//
// Paths are host paths (map appliance paths with mifPath first).
#pragma once

#include <cstddef>
#include <string>

struct AtomicFile {
    int fd = -1;
    std::string path;       // the file being replaced
    std::string tempPath;   // where the new content goes until commit
};

// Creates the temporary file next to `path`. 0, or a negative errno.
int atomicFileOpen(AtomicFile *file, const char *path);
// Writes all bytes. 0, or a negative errno.
int atomicFileWrite(AtomicFile *file, const void *data, size_t size);
// Syncs, renames over the target and syncs the directory. 0, or a negative
// errno (the temporary file is removed and the target left as it was).
int atomicFileCommit(AtomicFile *file);
// Syncs, then replaces the target's content with the new one in place: the
// target keeps its inode, owner and mode, so that a process holding it open
// (a logger appending to it) goes on writing into the file everyone reads.
// A target that does not exist yet is created by the rename, as
// atomicFileCommit does. The temporary file is removed in every case. 0, or
// a negative errno. Unlike the rename, the copy is not atomic: a power cut
// during it leaves the target cut short, and readers may see it half
// written.
int atomicFileCommitInPlace(AtomicFile *file);
// Drops the new content; the target stays as it was.
void atomicFileAbort(AtomicFile *file);

// The whole cycle for content held in memory.
int writeFileAtomically(const char *path, const void *data, size_t size);

// Removes the temporary files a process ended before commit or abort left
// beside `path` or beside one of its numbered copies (`path`.1 to
// `path`.999). Such a copy of a large upload would otherwise stay on the
// flash for good. Call it only while nothing replaces these files. The
// number of files removed, or a negative errno when the directory cannot
// be read.
int atomicFileRemoveLeftovers(const char *path);
