#include "platform/paths.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

std::string mifRoot()
{
    const char *root = std::getenv("MIF_ROOT");
    if (!root || !*root)
        return "";
    std::string r(root);
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    return r == "/" ? "" : r;
}

std::string mifPath(std::string_view path)
{
    std::string root = mifRoot();
    if (root.empty() || path.empty() || path.front() != '/' ||
        path == "/dev/urandom" || path == "/dev/null")
        return std::string(path);
    return root + std::string(path);
}

std::string developmentKeyDir(const char *buildBinDir, const char *sourceKeyDir, const char *installedKeyDir)
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string program(path, size_t(length > 0 ? length : 0));
    size_t slash = program.rfind('/');
    if (slash == std::string::npos)
        return sourceKeyDir;
    program.resize(slash);
    return developmentKeyDirBeside(program, buildBinDir, sourceKeyDir, installedKeyDir);
}

std::string developmentKeyDirBeside(const std::string &dir, const char *buildDir, const char *sourceKeyDir,
                                    const char *installedKeyDir)
{
    char built[PATH_MAX];
    if (realpath(buildDir, built) && dir == built)
        return sourceKeyDir;
    return dir + "/" + installedKeyDir;
}
