// One instance per user and store. The instance holds an exclusive lock on a
// file beside the store for its whole run and serves the control socket; the
// command line takes the same lock for the moment it works on the store alone,
// so a starting instance waits for it rather than loading a half-made change.
//
//   $XDG_RUNTIME_DIR/varnell/control   the control socket (folder 0700, socket 0600)
//   ConfigDir()/varnell/registry.lock  the lock (flock), beside the store
#pragma once

#include <cstdint>
#include <string>

namespace varnell {

// $XDG_RUNTIME_DIR/varnell/control; empty when XDG_RUNTIME_DIR is unset or not
// an absolute path (there is then no safe private place for it).
std::string ControlSocketPath();
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

// The client side of the control socket. -1 when nothing listens at path.
int ConnectControl(const std::string& path);
// Sends one request line. false when the peer is gone.
bool SendControlLine(int fd, const std::string& line);
// Reads one reply line (without its end) into line, keeping what follows in
// pending; waits up to ms (negative: no limit). false on end, error or time-out.
bool ReadControlLine(int fd, std::string& pending, std::string& line, int ms);
// Connects, sends one request, reads one reply. false when no instance answered.
bool AskInstance(const std::string& request, std::string& reply, int ms = 10000);

enum class Claim {
    kOurs,          // this process now holds the store
    kOtherAnswered, // another instance holds it and answered the request (reply)
    kOtherSilent,   // another process holds it and did not answer in time
    kFailed,        // the lock file cannot be made (error)
};
// Takes the store for this process or finds the instance that holds it: while
// the lock is held elsewhere, asks over the control socket, retrying for up to
// waitMs (the holder may be the command line for a moment, or an instance that
// has not opened its socket yet).
Claim ClaimStore(StoreLock& lock, const std::string& request, std::string& reply, std::string& error,
                 int waitMs = 10000);

} // namespace varnell
