// The console's private directory for files on their way through: made at
// start, removed at the end, and those of consoles that ended without
// removing theirs (killed, or aborted) removed at the next start.
#pragma once

#include <string>

// Makes PARENT/mif-console.XXXXXX and holds a lock in it for as long as
// the returned descriptor stays open (-1, with *error, on failure).
int makeWorkDir(const std::string &parent, std::string *dir, std::string *error);

// Removes the work directories under PARENT whose console is gone: their
// lock is free, or they have none and were not touched for a day. Returns
// how many were removed.
int removeStaleWorkDirs(const std::string &parent);
