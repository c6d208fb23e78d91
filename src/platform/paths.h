// Where the daemon's files and devices are.
//
// On the appliance every path is used exactly as written. On a PC the
// environment variable MIF_ROOT names a directory under which every absolute
// path is resolved instead, so that a simulated appliance, a test or a demo
// never touches the host's /tmp, /dev or /mnt. This is the only place that
// joins a root and a path.
#pragma once

#include <string>
#include <string_view>

// The directory MIF_ROOT names, without a trailing slash, or "" when unset.
std::string mifRoot();

// The host path of an appliance path: `path` itself when MIF_ROOT is unset,
// when the path is relative, and for /dev/urandom and /dev/null, which stay
// real; otherwise MIF_ROOT followed by the path.
std::string mifPath(std::string_view path);

// Where a program finds the development keys: `sourceKeyDir` (the source
// tree's keys/dev) when it runs from `buildBinDir`, the build tree that
// compiled it; otherwise `installedKeyDir`, relative to the directory of
// the program's executable, where its package puts them. An installed
// program never reaches into the source tree it was merely built from.
std::string developmentKeyDir(const char *buildBinDir, const char *sourceKeyDir, const char *installedKeyDir);

// The same for code in `dir` (a real path, without a trailing slash): a
// module loaded into a program of its own choosing, such as the Python
// package's extension, whose host's executable says nothing.
std::string developmentKeyDirBeside(const std::string &dir, const char *buildDir, const char *sourceKeyDir,
                                    const char *installedKeyDir);
