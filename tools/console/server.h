// The console's web server: the page, its API and the event stream.
#pragma once

#include <string>

#include "console_session.h"
#include "event_hub.h"
#include "gate.h"

namespace httplib {
class Server;
}

// Installs the routes and the door checks on `server`.
void installRoutes(httplib::Server &server, const GateConfig &gate, ConsoleSession &session, EventHub &hub,
                   const std::string &workDir);
