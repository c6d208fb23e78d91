// One daemon per root.
//
// The daemon holds an exclusive flock on a lock file for its whole life.
// The kernel drops the lock when the process ends, however it ends
// (SIGKILL included), so a file left behind never blocks a later start,
// and whoever asks whether the lock is held learns whether a daemon is
// alive on the root.
//
// The file is $MIF_ROOT/run/mifd.lock under MIF_ROOT (beside the recorded
// clock), and /tmp/mifd.lock on the appliance, whose /tmp is a RAM file
// system that already holds the messaging sockets.
#pragma once

#include <string>
#include <sys/types.h>

std::string daemonLockPath();

// Takes the lock for the rest of the process's life and writes the pid
// into the file. The descriptor stays open on purpose until the process
// ends (close-on-exec, so children do not inherit the lock). 0;
// -EWOULDBLOCK when another process holds it, with *holder set to the pid
// that process wrote (0 when unknown); another negative errno when the
// file cannot be made or locked.
int acquireDaemonLock(pid_t *holder);

// Whether some process holds the lock now. The probe takes a shared lock
// for an instant; acquireDaemonLock waits out such an instant.
bool daemonLockHeld();
