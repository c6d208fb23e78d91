// The service client as a technician runs it, in-process: one mifctl
// command line through mifctl's own library (parsing, the local checks and
// conversions, connecting and authenticating, the transfer, the answer).
// Only the process start is left out, so that small transfers are not
// measured as exec and dynamic linking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Runs `mifctl -q -p PORT -r testlab ARGS...` against 127.0.0.1:port. The
// answer it prints goes to /dev/null. Returns mifctl's exit code and the
// time it took in *ns.
int runMifctl(int port, const std::vector<std::string> &args, int64_t *ns);
