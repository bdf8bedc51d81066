// One instance per store. The instance holds an exclusive lock on a file beside
// the store for its whole run and serves the store's own control socket; the
// command line takes the same lock for the moment it works on the store alone,
// so a starting instance waits for it rather than loading a half-made change.
//
//   ConfigDir()/varnell/registry.lock  the lock (flock), beside the store
//   RUNTIME/varnell/control-KEY        the control socket (folder 0700, socket 0600)
//
// RUNTIME is $XDG_RUNTIME_DIR, else /run/user/UID when it is this user's; KEY
// names the store's folder, so instances of several stores run side by side.
// Cron, sudo -u and monitoring agents often run without either: the socket then
// lives in the store's own folder (STORE/control), which every program finds
// from the store alone. A client looks in that order and takes the first that
// answers; it talks only to a socket in a folder of its own user (0700, not a
// link) served by a process of its own user, so nobody else can read its
// requests or forge the answers.
#pragma once

#include <cstdint>
#include <string>

#include "base/net/line_buffer.h"
#include <vector>

namespace varnell {

// A system service's instance: "--instance NAME" keeps the store in
// /var/lib/varnell/NAME and the control socket in /run/varnell/NAME, the
// folders its unit has systemd make for it; "--store FOLDER" (or an --instance
// that is a path) keeps the store in FOLDER and looks for the socket as for any
// store. Called before anything else reads the store's place; false, with why,
// for a name that is no plain name or a folder that is not absolute.
inline constexpr const char* kInstanceStateRoot = "/var/lib/varnell";
inline constexpr const char* kInstanceRuntimeRoot = "/run/varnell";
bool SelectInstance(const std::string& nameOrFolder, bool isFolder, std::string& error);

// The store's folder with links resolved, as ping and status name it.
std::string StoreFolder();
// Where this store's control socket may be, in the order clients look.
std::vector<std::string> ControlSocketCandidates();
// Where an instance serves it: the first candidate whose folder is (or is now
// made) private to this user. skipped tells of candidates passed over; empty
// when none will do.
std::string ControlSocketPath(std::string& skipped);
std::string StoreLockPath();

// Creates dir (not its parents) as 0700, or checks that the existing one is a
// real folder of this user; tightens its mode to 0700. false with a reason.
bool MakePrivateFolder(const std::string& dir, std::string& error);

// An open lock file; the lock goes with the descriptor.
struct StoreLock {
    int fd = -1;
    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock();
};

enum class LockResult { kLocked, kBusy, kFailed };
LockResult TryLockStore(StoreLock& lock, std::string& error);
void UnlockStore(StoreLock& lock);

// The client side of the control socket. -1 when nothing listens at path, or
// when the folder is not private to this user or the listener runs as another
// user: then nothing was sent and refusal (when given) says why.
int ConnectControl(const std::string& path, std::string* refusal = nullptr);
// Connects to this store's instance at the first candidate that answers; -1 when none.
int ConnectInstance(std::string* refusal = nullptr);
// Sends one request line. false when the peer is gone.
bool SendControlLine(int fd, const std::string& line);
// What a client has read of the replies on one connection: lines end in "\n"
// and none may be longer than kControlLineLimit.
struct ControlLines : LineBuffer {
    ControlLines();
};
// Reads one reply line (without its end) into line, keeping what follows in
// pending; waits up to ms (negative: no limit). false on end, error, time-out
// or a line over the limit.
bool ReadControlLine(int fd, ControlLines& pending, std::string& line, int ms);
enum class Asked {
    kAnswered,   // reply holds the answer
    kUnreached,  // no instance took the request
    kUnanswered, // the request went out but no answer came: it may have been carried out
};
// Connects, sends one request, reads one reply within ms.
Asked AskInstance(const std::string& request, std::string& reply, int ms = 10000, std::string* refusal = nullptr);

enum class Claim {
    kOurs,          // this process now holds the store
    kOtherAnswered, // another instance holds it and answered the request (reply)
    kOtherSilent,   // another process holds it and did not answer in time
    kUnanswered,    // an instance took the request and did not answer in time (not repeatable)
    kFailed,        // the lock file cannot be made or locked (error)
};
// Finds the instance that serves the store and asks it, or takes the store for
// this process: while the lock is held elsewhere, asks again for up to waitMs
// (the holder may be the command line for a moment, or an instance that has not
// opened its socket yet). A request that is not repeatable (one that changes
// items) is never sent twice: the first that goes out unanswered ends the claim.
// error also carries, whatever the outcome, why a socket found was not trusted.
Claim ClaimStore(StoreLock& lock, const std::string& request, std::string& reply, std::string& error,
                 bool repeatable = true, int waitMs = 10000);

// varnell-monitor's exit status when the window program holds the store: the
// service unit lists it so systemd does not restart the monitor into it again.
inline constexpr int kExitWindowHoldsStore = 4;

} // namespace varnell
