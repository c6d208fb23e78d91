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
// Before the target is emptied its old content is saved and synced beside
// it as `.<name>.mif-rollback` (written as `.<name>.mif-rollback.part` and
// renamed, so that a copy by that name is whole); the copy is removed only
// once the new content is in and synced. If the new content does not fit
// (full storage), the old one is copied back and the error returned. A
// process ended at any point leaves the old content, the new one, or the
// rollback copy that atomicFileRecover puts back. A rollback copy already
// there (of a restore that failed) is put back first. A target that does
// not exist yet is created by the rename, as atomicFileCommit does. The
// temporary file is removed in every case. 0, or a negative errno. Readers
// may still see the target half written while the copy runs, and a line
// another process appends during that window is lost if the copy is undone.
int atomicFileCommitInPlace(AtomicFile *file);
// Drops the new content; the target stays as it was.
void atomicFileAbort(AtomicFile *file);

// The whole cycle for content held in memory.
int writeFileAtomically(const char *path, const void *data, size_t size);

// What a process ended mid-write left beside `path` or beside one of its
// numbered copies (`path`.1 to `path`.999): a rollback copy means an
// in-place commit was cut, and its content is put back into the file in
// place (same inode), then the copy is removed; the temporary files that
// were never committed are removed (such a copy of a large upload would
// otherwise stay on the flash for good). Only names this module makes are
// touched. Call it only while nothing replaces these files. The number of
// files restored and removed, or a negative errno when the directory cannot
// be read or a restore failed (its rollback copy then stays for the next
// try).
int atomicFileRecover(const char *path);
