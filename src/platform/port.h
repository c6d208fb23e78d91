// The TCP port the daemon listens on: MIF_PORT when it holds a port number
// (1 to 65535, decimal, nothing else), otherwise the appliance's 16176.
#pragma once

enum { MIF_DEFAULT_PORT = 16176 };

int mifListenPort();
