// The four simulated processes of the appliance, each the entry of a
// process of its own (`mif-sim mcl`, ...): argc/argv are what follows the
// subcommand. Each returns the process's exit status.
#pragma once

int runMcl(int argc, char **argv);
int runSupervisor(int argc, char **argv);
int runLogger(int argc, char **argv);
int runNetlink(int argc, char **argv);

// The supervisor's exit status when the daemon asked for the appliance to
// shut down and has ended: the appliance then ends as a whole.
enum { SUPERVISOR_EXIT_SHUTDOWN = 10 };
