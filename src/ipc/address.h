// Endpoint addresses (inside the messaging layer; public for its tests and
// for tools that want to show where an endpoint lives).
#pragma once

// The nanomsg address of endpoint `name` + `kindWord` ("Mcl" + "Reply"): a
// TCP address when the environment variable of that name holds a valid
// IPv4 host and port (0.0.0.0 for the binding side; NN_TCP_NODELAY is then
// set on `socket`), else the ipc path of the endpoint under /tmp (under
// MIF_ROOT when set). A malloc'd string the caller frees; null when out of
// memory.
char *_IPC_BuildAddress(const char *name, const char *kindWord, int socket, bool bind);
