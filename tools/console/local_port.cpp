// Listening sockets, from the kernel's TCP tables.
#include "local_port.h"

#include <cstdio>

enum { TCP_LISTEN_STATE = 0x0A };

// Scans one table (/proc/net/tcp or tcp6): "sl local rem st ...", the
// local address as HEX:PORTHEX.
static int scanTable(const char *path, int port)
{
    FILE *table = fopen(path, "re");
    if (!table)
        return -1;
    char line[512];
    int found = 0;
    if (!fgets(line, sizeof line, table)) {  // the column names
        fclose(table);
        return -1;
    }
    while (!found && fgets(line, sizeof line, table)) {
        char local[64];
        unsigned localPort = 0, state = 0;
        if (sscanf(line, " %*d: %63[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x", local, &localPort, &state) == 3)
            found = int(localPort) == port && state == TCP_LISTEN_STATE;
    }
    fclose(table);
    return found;
}

int localPortListening(int port)
{
    const int v4 = scanTable("/proc/net/tcp", port);
    const int v6 = scanTable("/proc/net/tcp6", port);
    if (v4 == 1 || v6 == 1)
        return 1;
    return v4 < 0 && v6 < 0 ? -1 : 0;
}
