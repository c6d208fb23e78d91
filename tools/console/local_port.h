// Whether a daemon on this machine still listens, found without
// connecting: the daemon takes every new connection as its client and
// drops the one before, so a test connection would displace whoever holds
// the session now.
#pragma once

// 1: something on this machine listens on TCP port PORT; 0: nothing does;
// -1: the kernel's tables could not be read.
int localPortListening(int port);
