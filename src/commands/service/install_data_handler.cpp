// The MCH_INSTALL_DATA handler with its clock: machine control's. Kept apart
// from the installation itself so that the installation can be exercised
// with any clock.
#include "commands/service/install_data.h"

#include "requests/remote_if.h"

Command *cmdHandler_MCHInstallData(Command *request, int socket)
{
    return installDataPackage(request, socket, RemoteIF_getSysTime);
}
