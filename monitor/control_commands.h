// The requests of the control protocol, carried out on the thread that owns the
// item table: by the running program when the control socket hands one over,
// or by the command line itself, on the store, when no program runs.
//
// One JSON object per line each way. A request is {"cmd": NAME, ...}; a reply
// always has "ok" (true or false) and, when false, "error" (a sentence for the
// operator). Commands and their arguments:
//   ping                         -> pid, window (whether a main window exists), store
//   show                         -> window: true when a main window was shown
//   status                       -> items [{name, domain, type, server, state,
//                                   current_rtt_ms, average_rtt_ms, last_event}],
//                                   exit (0 all up, 1 failing, 2 down, 3 not known),
//                                   running, stopped (and message), store
//   list                         -> items [{name, domain, type, server, interval_ms,
//                                   timeout_ms, continuous_lost, suspended, description}]
//   add     fields {column: text}-> the item is added with the import's rules
//   delete | suspend | resume  name -> count: the items of that name acted on
//   import  csv (text)           -> imported, or problems [{line, reason}]
//   export                       -> csv (text)
//   events  [follow]             -> events [{seq, time, text, kind}], missed (served by the
//                                   socket's own thread from the event record; see control_server.h)
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace varnell {

// Limits of one request line and of the clients served at once.
// An import of kItemsCsvLimit fits, with the escapes its JSON text adds for
// quotes and line ends (text full of other control characters does not).
inline constexpr std::size_t kControlLineLimit = std::size_t{8} << 20;
inline constexpr int kControlClients = 16;

struct ControlOutcome {
    std::string reply;    // one JSON object, no line end
    bool changed = false; // the item table was changed (and, when ok, the change is saved)
};

// Parses one request line; a discarded value when it is no JSON object. Members
// nested deeper than a request has are left out, so no line builds a deep tree.
nlohmann::json ParseControlRequest(std::string_view line);
// A text member of a request, or "" when it is absent or not a text.
std::string RequestText(const nlohmann::json& request, const char* key);

// Carries out one request line. running: whether monitoring runs in this
// process (the state of a stored item is then known). A request that changes
// the items is answered "ok" only once the change is saved (SaveStoreNow); a
// failed save is answered as a failure with the store's reason.
ControlOutcome RunControlRequest(std::string_view line, bool running);

// The command line with no instance running: loads the store, carries out one
// request and saves what it changed. A store that exists but cannot be read is
// neither used nor written: the reply is a failure that says why.
std::string RunRequestOnStore(std::string_view line);

} // namespace varnell
