// The metrics endpoint: GET (or HEAD) /metrics answers the exposition text;
// every other path is 404 and every other method on /metrics 405. Off unless
// the "MetricsListen" setting names an address.
//
// The HTTP side is libmicrohttpd on one internal polling thread. A request line
// or header block beyond the connection's memory answers 414/431 and closes, and
// a client that sends nothing is closed after the idle time-out, so neither can
// hold up the next scrape; the engine never waits on this thread, which takes
// the engine lock only while TakeMetricsSnapshot copies.
//
// Who touches what: start, stop and apply run on the thread that owns start-up
// and shutdown (the user-interface thread); the server's own thread reaches the
// engine only through TakeMetricsSnapshot.
//
// With a web configuration (SetMetricsWebConfig) it speaks TLS and asks for a
// logon: a request without one the configuration knows gets 401.
//
// A request is answered only when its Host names an IP address, localhost or
// this machine (421 otherwise): a web page that points its own name at this
// address must not read the items through the browser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace varnell {

inline constexpr const char* kDefaultMetricsAddress = "127.0.0.1";
inline constexpr std::uint16_t kDefaultMetricsPort = 9353;
inline constexpr unsigned kMetricsIdleSeconds = 10;

enum MetricsStatus : int {
    kMetricsOff = 0,          // no address set: nothing listens
    kMetricsListening = 1,
    kMetricsBadAddress = -1,  // the setting is not ADDRESS:PORT
    kMetricsBindFailed = -2,  // the port is taken, or the address is not this host's
    kMetricsServerFailed = -3,
    kMetricsBadWebConfig = -4, // the web configuration cannot be read or used: nothing listens
};

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// "127.0.0.1:9353", "[::1]:9353": a numeric address and a port (0 lets the
// system choose). No names: the endpoint binds where the operator said, not
// where a lookup happens to point.
bool ParseListenAddress(std::string_view text, ListenAddress& out);

// Starts serving on listen ("ADDRESS:PORT"; empty is off). Any server already
// running is stopped first. A failure is reported as an event-list row and
// monitoring goes on without the endpoint.
int StartMetricsServer(const std::string& listen, unsigned idleSeconds = kMetricsIdleSeconds);
void StopMetricsServer();
// Restarts the server when listen differs from what it was started with, or
// when it is set but the server is not running (the port may be free now).
int ApplyMetricsSetting(const std::string& listen);
// The web configuration file (TLS, logons; metrics/web_config.h) the next start
// reads; empty: plain HTTP without a logon. Takes effect at the next start.
void SetMetricsWebConfig(const std::string& path);
// Starts again with the same address, reading the web configuration anew (a
// renewed certificate, a changed password); off stays off.
int ReloadMetricsServer();
// The port actually bound (useful after ":0"), 0 when not listening.
std::uint16_t MetricsPort();

} // namespace varnell
