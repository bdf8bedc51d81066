#include "monitor/instance.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "base/folders.h"
#include "base/write_all.h"
#include "config/settings_store.h"
#include "monitor/control_commands.h"

namespace varnell {

namespace {

std::string ParentOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A real folder (lstat: not a link) of this user.
bool OwnFolder(const std::string& dir, struct stat& st)
{
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// 16 hex digits of the SHA-256 of the store's folder: short enough for any
// socket path, and the same for every program that opens that store.
std::string StoreKey()
{
    const std::string folder = StoreFolder();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(folder.data(), folder.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 8)
        return "store";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key;
    for (unsigned int i = 0; i < 8; ++i) {
        key += kHex[digest[i] >> 4];
        key += kHex[digest[i] & 15];
    }
    return key;
}

constexpr std::size_t kSocketPathLimit = sizeof(sockaddr_un{}.sun_path);

// A system service's runtime folder, made by systemd; set once at start.
std::string g_runtimeFolder;

} // namespace

bool SelectInstance(const std::string& nameOrFolder, bool isFolder, std::string& error)
{
    if (isFolder || nameOrFolder.find('/') != std::string::npos) {
        if (nameOrFolder.empty() || nameOrFolder[0] != '/') {
            char cwd[PATH_MAX];
            if (nameOrFolder.empty() || getcwd(cwd, sizeof cwd) == nullptr) {
                error = "the store folder \"" + nameOrFolder + "\" is not an absolute path";
                return false;
            }
            SetStoreFolder(std::string(cwd) + "/" + nameOrFolder);
        } else {
            SetStoreFolder(nameOrFolder);
        }
        return true;
    }
    // What systemd's %i can be, less what would leave the two folders.
    const bool plain = !nameOrFolder.empty() && nameOrFolder[0] != '.' &&
                       std::all_of(nameOrFolder.begin(), nameOrFolder.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                                  c == '.' || c == '@' || c == ':';
                       });
    if (!plain) {
        error = "the instance name \"" + nameOrFolder + "\" is not a plain name (letters, digits, - _ . @ :)";
        return false;
    }
    SetStoreFolder(std::string(kInstanceStateRoot) + "/" + nameOrFolder);
    g_runtimeFolder = std::string(kInstanceRuntimeRoot) + "/" + nameOrFolder;
    return true;
}

std::string StoreFolder()
{
    // The store folder itself is never a link (MakePrivateFolder refuses one);
    // resolving what holds it makes /b and a link to /b one store.
    const std::string folder = ParentOf(RegistryPath());
    char resolved[PATH_MAX];
    if (realpath(ParentOf(folder).c_str(), resolved) == nullptr)
        return folder;
    const std::string holder(resolved);
    return (holder == "/" ? std::string() : holder) + folder.substr(folder.rfind('/'));
}

std::vector<std::string> ControlSocketCandidates()
{
    std::vector<std::string> out;
    if (!g_runtimeFolder.empty()) {
        out.push_back(g_runtimeFolder + "/control");
        out.push_back(StoreFolder() + "/control");
        return out;
    }
    const std::string name = "/varnell/control-" + StoreKey();
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/')
        out.push_back(std::string(xdg) + name);
    const std::string run = "/run/user/" + std::to_string(geteuid());
    struct stat st {};
    if (OwnFolder(run, st) && (out.empty() || out[0] != run + name))
        out.push_back(run + name);
    out.push_back(StoreFolder() + "/control");
    return out;
}

std::string ControlSocketPath(std::string& skipped)
{
    for (const std::string& path : ControlSocketCandidates()) {
        std::string why;
        if (path.size() >= kSocketPathLimit)
            why = path + ": too long for a socket";
        else if (MakePrivateFolder(ParentOf(path), why))
            return path;
        skipped += (skipped.empty() ? "" : "; ") + why;
    }
    return {};
}

std::string StoreLockPath() { return ParentOf(RegistryPath()) + "/registry.lock"; }

bool MakePrivateFolder(const std::string& dir, std::string& error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (!OwnFolder(dir, st)) {
        error = dir + " is not a folder of this user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

StoreLock::~StoreLock() { UnlockStore(*this); }

LockResult TryLockStore(StoreLock& lock, std::string& error)
{
    if (lock.fd < 0) {
        const std::string path = StoreLockPath();
        const std::string config = ParentOf(ParentOf(path));
        if (!MakeFolder(config)) {
            error = config + ": " + std::strerror(errno);
            return LockResult::kFailed;
        }
        if (!MakePrivateFolder(ParentOf(path), error))
            return LockResult::kFailed;
        lock.fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lock.fd < 0) {
            error = path + ": " + std::strerror(errno);
            return LockResult::kFailed;
        }
    }
    if (flock(lock.fd, LOCK_EX | LOCK_NB) == 0)
        return LockResult::kLocked;
    if (errno == EWOULDBLOCK)
        return LockResult::kBusy;
    error = std::string("lock: ") + std::strerror(errno);
    return LockResult::kFailed;
}

void UnlockStore(StoreLock& lock)
{
    if (lock.fd >= 0)
        close(lock.fd);
    lock.fd = -1;
}

int ConnectControl(const std::string& path, std::string* refusal)
{
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return -1;
    const auto refuse = [&](const std::string& why) {
        if (refusal != nullptr)
            *refusal += (refusal->empty() ? "" : "; ") + why;
        return -1;
    };
    // A folder that others can write to, or one that is not there as it looks,
    // may hold anybody's socket: nothing is sent through it.
    const std::string folder = ParentOf(path);
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0)
        return -1;
    if (!OwnFolder(folder, st) || (st.st_mode & 07777) != 0700)
        return refuse(folder + " is not a private folder of this user (0700, not a link); its socket is not used");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer ||
        peer.uid != geteuid()) {
        close(fd);
        return refuse(path + " is served by another user; it is not used");
    }
    return fd;
}

int ConnectInstance(std::string* refusal)
{
    for (const std::string& path : ControlSocketCandidates())
        if (const int fd = ConnectControl(path, refusal); fd >= 0)
            return fd;
    return -1;
}

bool SendControlLine(int fd, const std::string& line)
{
    return SendAll(fd, line + "\n");
}

ControlLines::ControlLines() : LineBuffer("\n", kControlLineLimit) {}

bool ReadControlLine(int fd, ControlLines& pending, std::string& line, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        if (pending.Next(line))
            return true;
        if (pending.Overlong())
            return false;
        int wait = -1;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            wait = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pending.Append(buffer, static_cast<std::size_t>(n));
    }
}

Asked AskInstance(const std::string& request, std::string& reply, int ms, std::string* refusal)
{
    const int fd = ConnectInstance(refusal);
    if (fd < 0)
        return Asked::kUnreached;
    ControlLines pending;
    // A refusal may come and the socket close before the request is through: the
    // reply is read whether or not the send went through.
    const bool sent = SendControlLine(fd, request);
    const bool answered = ReadControlLine(fd, pending, reply, ms);
    close(fd);
    return answered ? Asked::kAnswered : sent ? Asked::kUnanswered : Asked::kUnreached;
}

Claim ClaimStore(StoreLock& lock, const std::string& request, std::string& reply, std::string& error,
                 bool repeatable, int waitMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::string refusal; // why the socket last found was not trusted
    const auto note = [&](Claim claim) {
        if (!refusal.empty())
            error += (error.empty() ? "" : "; ") + refusal;
        return claim;
    };
    for (;;) {
        // The instance first: it may serve the store even when the lock file is
        // out of reach, and then it decides whether to serve us.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        refusal.clear();
        switch (AskInstance(request, reply, static_cast<int>(std::max<long long>(left, 1000)), &refusal)) {
        case Asked::kAnswered: return note(Claim::kOtherAnswered);
        case Asked::kUnanswered:
            if (!repeatable) {
                error = "the instance took the request but did not answer in time; it may have been carried out";
                return note(Claim::kUnanswered);
            }
            break;
        case Asked::kUnreached: break;
        }
        switch (TryLockStore(lock, error)) {
        case LockResult::kLocked: return note(Claim::kOurs);
        case LockResult::kFailed: return note(Claim::kFailed);
        case LockResult::kBusy: break;
        }
        if (Clock::now() >= deadline)
            return note(Claim::kOtherSilent);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace varnell
