// An appliance file opened with stdio for one scope: it is closed however
// the scope ends.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/paths.h"

struct StdioFileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using StdioFile = std::unique_ptr<FILE, StdioFileCloser>;

// Opens an appliance path (under MIF_ROOT when set) with fopen's `mode`;
// null, with errno set, when it cannot be opened.
inline StdioFile openApplianceFile(const char *appliancePath, const char *mode)
{
    return StdioFile(fopen(mifPath(appliancePath).c_str(), mode));
}
