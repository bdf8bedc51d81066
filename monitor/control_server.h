// The control socket: a Unix stream socket served by one thread, one JSON
// request per line (monitor/control_commands.h). Only the user who runs the
// program gets in (SO_PEERCRED); the folder is 0700 and the socket 0600 as well.
//
// Who touches what: the socket thread owns the clients and their buffers. It
// never touches the item table: each request is handed to the owner thread with
// the desktop layer's Send (WM_CONTROL_REQUEST), carried out there, and the
// reply comes back through an exchange record under the server's lock. Only
// `events` is answered on the socket thread, from the event record. A client
// that sends garbage gets an error line; one that goes away mid-request, sends
// a line longer than kControlLineLimit or stops reading its replies is dropped;
// at most kControlClients are served at once.
#pragma once

#include <cstdint>
#include <string>

#include "engine/desktop.h"

namespace varnell {

inline constexpr std::uint32_t WM_CONTROL_REQUEST = kWmUser + 10; // w = exchange number

// Call on the owner thread with the desktop installed. false (with a reason)
// when the socket cannot be made, or another live instance serves it.
bool StartControlServer(const std::string& path, std::string& error);
// Call after Desktop::ReleaseWaiters, so a hand-over in progress lets go.
void StopControlServer();

} // namespace varnell
