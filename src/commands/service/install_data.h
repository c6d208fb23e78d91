// MCH_INSTALL_DATA: installing a signed data package.
//
// The client uploads a 256-byte signature and a gzip-compressed tar archive
// in one payload. Both are stored under /tmp, the appliance's package
// checker verifies them, the archive is unpacked into /mnt/rwfs/data, and
// the installation is recorded in the repair-event log with the package's
// version. Everything after the upload is one shell command line, so that a
// failing step stops the rest and always removes the temporary files.
#pragma once

#include <cstdint>
#include <string>

#include "frame/mif_utilfuncs.h"

enum {
    INSTALL_SIGNATURE_SIZE = 256,
    INSTALL_MAX_PAYLOAD = 67108864,   // 64 MiB, signature included
};
// The signature is stored beside the package, as "<package>.sig".
#define INSTALL_SIGNATURE_SUFFIX ".sig"

// The installation command line for the package file (an appliance path)
// and the machine time (ms), with every path mapped under MIF_ROOT.
std::string buildInstallCommandLine(const char *packageFile, uint64_t machineTimeMs);

// The whole command; `machineTime` gives the machine-control clock (0 when
// machine control does not answer).
Command *installDataPackage(Command *request, int socket, uint64_t (*machineTime)());

// The handler of MCH_INSTALL_DATA: installDataPackage with the machine time
// from machine control.
Command *cmdHandler_MCHInstallData(Command *request, int socket);
