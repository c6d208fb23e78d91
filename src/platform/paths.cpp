#include "platform/paths.h"

#include <cstdlib>

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
