#include "probe/engine_threads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/socket.h>

#include "probe/engine.h"
#include "probe/probe_socket.h"
#include "probe/tcp_query.h"

namespace varnell {

namespace {

// One flag per engine thread: set by the thread as its body returns. The flags
// live as long as the process, so a detached thread can still set its own.
struct EndFlags {
    std::mutex mutex;
    std::condition_variable ended;
    bool done[kEngineThreadCount] = {};
};

EndFlags& Flags()
{
    static EndFlags* flags = new EndFlags();
    return *flags;
}

} // namespace

std::thread LaunchEngineThread(EngineThreadId which, int (*body)())
{
    {
        std::lock_guard lock(Flags().mutex);
        Flags().done[which] = false;
    }
    return std::thread([which, body] {
        body();
        EndFlags& flags = Flags();
        {
            std::lock_guard lock(flags.mutex);
            flags.done[which] = true;
        }
        flags.ended.notify_all();
    });
}

bool FinishEngineThread(std::thread& thread, EngineThreadId which, std::uint32_t ms)
{
    if (!thread.joinable())
        return true;
    EndFlags& flags = Flags();
    bool ended = false;
    {
        std::unique_lock lock(flags.mutex);
        ended = flags.ended.wait_for(lock, std::chrono::milliseconds(ms), [&] { return flags.done[which]; });
    }
    if (ended)
        thread.join();
    else
        thread.detach();
    return ended;
}

int StopEngineThreads(std::uint32_t waitMs)
{
    EngineState& engine = Engine();
    engine.exitFlag.store(1);
    WakeScheduler();
    // Shut the sockets down but keep their descriptors until the receiver has
    // ended, so a number cannot be reused by another open while it still polls it.
    for (const int fd : {engine.probeSocket.load(), engine.probeSocket6.load()})
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    int ended = 0;
    ended += FinishEngineThread(engine.scheduler, kSchedulerThread, waitMs) ? 1 : 0;
    const bool receiverEnded = FinishEngineThread(engine.receiver, kReceiverThread, waitMs);
    ended += receiverEnded ? 1 : 0;
    // The TCP worker (answers that came truncated) takes no question once the
    // exit flag is set; it ends with its connections closed.
    StopTcpQueries();
    if (receiverEnded)
        CloseProbeSocket();
    return ended;
}

} // namespace varnell
