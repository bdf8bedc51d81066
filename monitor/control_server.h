// The control socket: a Unix stream socket served by one thread, one JSON
// request per line (monitor/control_commands.h). Only the user who runs the
// program gets in (SO_PEERCRED); the folder is 0700 and the socket 0600 as well.
//
// Who touches what: the socket thread owns the clients and their buffers. It
// never touches the item table: each request is handed to the owner thread with
// the desktop layer's Send (WM_CONTROL_REQUEST), carried out there, and the
// reply comes back through an exchange record under the server's lock. Only
// `events` is answered on the socket thread, from the event record. A client
// that sends garbage gets an error line; one that goes away mid-request or
// sends a line longer than kControlLineLimit is dropped. A client whose replies
// pile up unread is not read further until they go out, and one that moves no
// byte either way for the idle limit is dropped (a follower only when its
// events stay unread). At most kControlClients are served at once, the last
// slot only to one `status` request, so leaked clients cannot keep a
// monitoring system from its answer. A client that half-closes after its
// request still gets the reply, and at shutdown what is queued goes out first.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "base/ui_channel.h"

namespace varnell {

inline constexpr std::uint32_t WM_CONTROL_REQUEST = kWmUser + 10; // w = exchange number

inline constexpr std::chrono::milliseconds kControlIdleLimit{30000};

// Call on the owner thread with the desktop installed. false (with a reason)
// when the socket cannot be made, or another live instance serves it.
bool StartControlServer(const std::string& path, std::string& error,
                        std::chrono::milliseconds idleLimit = kControlIdleLimit);
// Call after UiChannel::ReleaseWaiters, so a hand-over in progress lets go.
void StopControlServer();

} // namespace varnell
