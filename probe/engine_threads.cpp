#include "probe/engine_threads.h"

#include "probe/transport_probe.h"

#include <sys/socket.h>

#include "probe/engine.h"
#include "probe/probe_socket.h"
#include "probe/receiver.h"
#include "probe/tcp_query.h"

namespace varnell {

namespace {

// One mark per engine thread, set as its body returns. The marks live as long
// as the process, so a detached thread can still set its own.
ThreadEndMark* Marks()
{
    static ThreadEndMark* marks = new ThreadEndMark[kEngineThreadCount];
    return marks;
}

} // namespace

std::thread LaunchEngineThread(EngineThreadId which, int (*body)())
{
    Marks()[which].Clear();
    return std::thread([which, body] {
        body();
        Marks()[which].Set();
    });
}

bool FinishEngineThread(std::thread& thread, EngineThreadId which, std::uint32_t ms)
{
    return !thread.joinable() || Marks()[which].JoinWithin(thread, ms);
}

int StopEngineThreads(std::uint32_t waitMs)
{
    EngineState& engine = Engine();
    engine.exitFlag.store(1);
    WakeScheduler();
    WakeReceiver();
    // Shut the sockets down as well: a thread that does not end in time meets
    // dead sockets. Their descriptors stay until the receiver has ended, so a
    // number cannot be reused by another open while it still polls it.
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
    StopTransportProbes();
    if (receiverEnded)
        CloseProbeSocket();
    return ended;
}

} // namespace varnell
