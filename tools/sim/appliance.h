// `mif-sim` without a subcommand: the whole simulated appliance. It lays
// out the root, starts machine control, the logger, the network daemon and
// the supervisor (which may start the daemon), runs the OTP stand-in and
// the input devices, echoes the appliance's console (/dev/tty0) and takes
// control commands until it is told to quit, is interrupted, or the daemon
// has shut the appliance down.
#pragma once

// The usage lines of mif-sim's command line.
const char *simUsage();

int runAppliance(int argc, char **argv);
