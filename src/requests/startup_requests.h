// What the daemon says to its peers while it starts and before it ends:
// the first requests to machine control, the handshake with the supervisor,
// the GUI's start-up requests and the shutdown report.
#pragma once

// Whether /mnt/rwfs/data/system_config/qxsn.dat holds a serial number: all
// 17 bytes present and not every one of them '0'.
bool serialNumberIsSet();

// Machine control is asked for a warm start when the appliance has no serial
// number yet, and told that the remote interface is active. Then, unless
// `noWait`, the supervisor handshake: READY, the start event (topic 5 with
// bit 16 in its id, waited for without limit), START.
void machineStartup(bool serialSet, bool noWait);

// The GUI's start-up requests: balance on, rotary mode normal.
void guiStartup();

// Tells the supervisor that a client asked for the shutdown.
void reportShutdownToSupervisor();
