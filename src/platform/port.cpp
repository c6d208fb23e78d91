#include "platform/port.h"

#include <cerrno>
#include <cstdlib>

int mifListenPort()
{
    const char *text = std::getenv("MIF_PORT");
    if (!text || *text < '0' || *text > '9')
        return MIF_DEFAULT_PORT;
    char *end = nullptr;
    errno = 0;
    unsigned long port = std::strtoul(text, &end, 10);
    if (errno || *end || port < 1 || port > 65535)
        return MIF_DEFAULT_PORT;
    return static_cast<int>(port);
}
