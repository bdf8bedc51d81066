// One scrape of a full item table (2048 items) as the metrics endpoint does
// it: the copy under the engine lock, then the exposition text without it.
// Prints the median and the worst processor time of each part and of a whole
// scrape through HTTP on loopback; the target is under 50 ms for a scrape.
//
//   bench_metrics [repetitions]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "items/item_table.h"
#include "metrics/exposition.h"
#include "metrics/metrics_server.h"
#include "tests/support/http_client.h"

using namespace varnell;

namespace {

double CpuMs(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void FillTable()
{
    InitItemTable();
    for (std::uint32_t i = 0; i < kItemSlots; ++i) {
        ItemEdit e;
        e.interval = 5000;
        e.timeout = 2000;
        e.serverBE = 0x0100007F + (i % 8 << 24);
        e.typeIndex = i % kRecordTypeCount;
        e.name = "monitored-host-" + std::to_string(i);
        e.description = "branch office resolver " + std::to_string(i);
        e.domain = "host" + std::to_string(i) + ".example.org";
        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        ItemBlock& b = LockItems()->blocks[i];
        b.rttLast = 12 + i % 90, b.rttMin = 3, b.rttMax = 1890, b.rttAvg = 41;
        b.sent = 100000 + i, b.probesFailed = i, b.replies = 99000, b.answerCount = 4, b.lastEventTime = 1765000000;
    }
}

struct Figures {
    std::vector<double> ms;
    void Print(const char* what)
    {
        std::sort(ms.begin(), ms.end());
        std::printf("%-28s median %7.2f ms   worst %7.2f ms\n", what, ms[ms.size() / 2], ms.back());
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    FillTable();
    Figures copy, format, whole;
    std::size_t bytes = 0;
    for (int i = 0; i < repetitions; ++i) {
        const double t0 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        const MetricsSnapshot snap = TakeMetricsSnapshot();
        const double t1 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        bytes = FormatExposition(snap).size();
        const double t2 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        copy.ms.push_back(t1 - t0);
        format.ms.push_back(t2 - t1);
    }
    // A whole scrape through the server: the process's time, the client's included.
    if (StartMetricsServer("127.0.0.1:0") != kMetricsListening)
        return 1;
    for (int i = 0; i < repetitions; ++i) {
        const double t0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
        if (test::HttpGetBody(MetricsPort(), "/metrics").empty())
            return 1;
        whole.ms.push_back(CpuMs(CLOCK_PROCESS_CPUTIME_ID) - t0);
    }
    StopMetricsServer();
    std::printf("2048 items, %zu bytes of exposition text, %d scrapes\n", bytes, repetitions);
    copy.Print("copy under the engine lock");
    format.Print("exposition text");
    whole.Print("whole scrape over HTTP");
    return 0;
}
