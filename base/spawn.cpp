#include "base/spawn.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace varnell {

namespace {

// Holds the spawn attributes for one start and frees them on every way out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
    int error = 0;

    SpawnSetup()
    {
        if ((error = posix_spawn_file_actions_init(&actions)) != 0)
            return;
        if ((error = posix_spawnattr_init(&attr)) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        // Our sockets, the wake pipe and the log stream are none of the child's
        // business, and a child holding them would keep them alive past our exit.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        // The user-interface thread ignores or catches some signals; a child
        // inheriting that would not stop on Ctrl+C or a broken pipe.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP})
            sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    }
    ~SpawnSetup()
    {
        if (error != 0)
            return;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

SpawnResult Spawn(const std::vector<std::string>& argv, ExitHandler onExit)
{
    if (argv.empty() || argv[0].empty())
        return {-1, ENOENT};
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    SpawnSetup setup;
    if (setup.error != 0)
        return {-1, setup.error};
    pid_t pid = -1;
    // posix_spawnp searches PATH only for a name without '/'.
    const int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    if (rc != 0)
        return {-1, rc};
    std::thread([pid, onExit = std::move(onExit)] {
        int status = 0;
        pid_t r = 0;
        while ((r = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        if (!onExit)
            return;
        if (r < 0)
            onExit(-1);
        else
            onExit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }).detach();
    return {pid, 0};
}

} // namespace varnell
