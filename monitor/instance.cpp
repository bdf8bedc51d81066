#include "monitor/instance.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "config/settings_store.h"
#include "monitor/control_commands.h"

namespace varnell {

namespace {

std::string ParentOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

std::string ControlSocketPath()
{
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir == nullptr || dir[0] != '/')
        return {};
    return std::string(dir) + "/varnell/control";
}

std::string StoreLockPath() { return ParentOf(RegistryPath()) + "/registry.lock"; }

bool MakePrivateFolder(const std::string& dir, std::string& error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
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
        if (mkdir(config.c_str(), 0700) != 0 && errno != EEXIST) {
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

int ConnectControl(const std::string& path)
{
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendControlLine(int fd, const std::string& line)
{
    std::string data = line + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadControlLine(int fd, std::string& pending, std::string& line, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        const auto end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        if (pending.size() > kControlLineLimit)
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
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool AskInstance(const std::string& request, std::string& reply, int ms)
{
    const int fd = ConnectControl(ControlSocketPath());
    if (fd < 0)
        return false;
    std::string pending;
    // A refusal may come and the socket close before the request is through: the
    // reply is read whether or not the send went through.
    SendControlLine(fd, request);
    const bool ok = ReadControlLine(fd, pending, reply, ms);
    close(fd);
    return ok;
}

Claim ClaimStore(StoreLock& lock, const std::string& request, std::string& reply, std::string& error, int waitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        switch (TryLockStore(lock, error)) {
        case LockResult::kLocked: return Claim::kOurs;
        case LockResult::kFailed: return Claim::kFailed;
        case LockResult::kBusy: break;
        }
        if (AskInstance(request, reply, 5000))
            return Claim::kOtherAnswered;
        if (std::chrono::steady_clock::now() >= deadline)
            return Claim::kOtherSilent;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace varnell
