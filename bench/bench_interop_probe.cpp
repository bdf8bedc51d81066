// Probes one item through the real engine (scheduler, receiver, reply parser,
// result evaluation) with a headless desktop and prints what Varnell gathered,
// for scripts/interop.sh to compare with dig.
//
// usage: bench_interop_probe SERVER PORT TYPE NAME [TIMEOUT-MS [EDNS-SIZE
//                            [TRANSPORT TLS-NAME-OR-URL CA-FILE]]]
// SERVER: an IPv4 or IPv6 address. EDNS-SIZE: the UDP size queries advertise,
// 0 for no OPT record (default 1232, the program's own default). TRANSPORT:
// tcp, tls (PORT is the TLS port) or https (the URL gives the port).
// prints: "code N" (0 = answered), "over udp" or "over tcp" (the answer came
// truncated and was asked again over TCP), then the gathered addresses,
// sorted, one a line (RFC 5952 text for an AAAA item), or for a type read for
// its content (TXT, SRV, CAA, HTTPS, DNSKEY, DS) the texts of its answer set as
// dig prints them. Exit status 0 when a result came back in time.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/headless_ui_channel.h"
#include "base/net/address_text.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/item_table.h"
#include "items/reply_detail.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "monitor/monitor.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/transport_probe.h"
#include "items/transport_state.h"

using namespace varnell;

namespace {

class QuietHooks : public ResultHooks {
public:
    void SetRowText(const DnsItem&, int, const std::string&) override {}
    void SetRowImage(const DnsItem&, int) override {}
    void AddEventRow(const DnsItem*, const std::string&, std::int64_t, int, std::string& timeText) override
    {
        timeText = "2026-01-01 00:00:00";
    }
    void DispatchEvent(const DnsItem&, const std::string&, const std::string&) override {}
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SERVER PORT TYPE NAME [TIMEOUT-MS [EDNS-SIZE]]\n", argv[0]);
        return 2;
    }
    ItemEdit e;
    in_addr server{};
    in6_addr server6{};
    if (inet_pton(AF_INET, argv[1], &server) == 1) {
        e.serverBE = server.s_addr;
    } else if (inet_pton(AF_INET6, argv[1], &server6) == 1) {
        e.server6 = true;
        std::memcpy(e.server6Address.bytes, &server6, sizeof server6);
    } else {
        std::fprintf(stderr, "not an IPv4 or IPv6 address: %s\n", argv[1]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 10));
    e.typeIndex = kRecordTypeCount;
    for (std::uint32_t t = 0; t < kRecordTypeCount; ++t)
        if (std::strcmp(argv[3], RecordTypeName(t)) == 0)
            e.typeIndex = t;
    if (e.typeIndex == kRecordTypeCount) {
        std::fprintf(stderr, "unknown record type %s\n", argv[3]);
        return 2;
    }
    e.name = "interop";
    e.domain = argv[4];
    e.timeout = argc > 5 ? static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10)) : 2000;
    e.interval = 60000;
    SetQueryEdnsSize(argc > 6 ? static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10)) : 1232);

    HeadlessUiChannel desktop;
    SetUiChannel(&desktop);
    QuietHooks hooks;
    std::atomic<int> code{-1};
    std::vector<std::uint32_t> addresses;
    std::vector<std::string> addresses6;
    std::vector<std::string> texts;
    MonitorLayer layer;
    layer.createWindows = [&] {
        // The answers are the reply's own; evaluating it does not change them.
        InstallResultWindows(&hooks, {[&](std::uint32_t slot, int result) {
                                          std::lock_guard lock(EngineLock());
                                          const ItemBlock& block = LockItems()->blocks[slot];
                                          addresses.clear();
                                          addresses6.clear();
                                          texts.clear();
                                          const DnsItem& item = LockItems()->items[slot];
                                          if (IsContentType(RecordQueryType(item.typeIndex))) {
                                              texts = AnswerDisplayTexts(item, block);
                                              code = result;
                                              return;
                                          }
                                          // The engine keeps an AAAA item's answers sorted by their bytes.
                                          if (IsAaaaItem(LockItems()->items[slot])) {
                                              for (std::uint32_t i = 0; i < std::min(block.answerCount, kReplyRecords); ++i)
                                                  addresses6.push_back(Address6Text(block.answers6[i]));
                                          } else {
                                              for (std::uint32_t i = 0; i < std::min(block.answerCount, kAnswerAddresses); ++i)
                                                  addresses.push_back(ntohl(block.answers[i].addrBE));
                                          }
                                          code = result;
                                      },
                                      [](const std::string& text) { std::fprintf(stderr, "engine: %s\n", text.c_str()); }});
    };
    StartMonitor(EngineOnlyOptions(), layer, false);
    ItemTransport transport;
    if (argc > 9) {
        if (!ParseTransport(argv[7], transport.transport)) {
            std::fprintf(stderr, "unknown transport %s\n", argv[7]);
            return 2;
        }
        (transport.transport == Transport::kHttps ? transport.url : transport.tlsName) = argv[8];
        SetTransportCaFile(argv[9]);
    }
    const int slot = NewItemSlot();
    if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), e))
        return 1;
    LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(port);
    {
        auto items = LockItems();
        if (!SetItemTransport(items->items[static_cast<std::size_t>(slot)], transport))
            return 1;
    }
    StartMonitorThreads();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(e.timeout + 3000);
    while (code.load() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    StopMonitor();
    desktop.Drain();
    if (code.load() < 0) {
        std::printf("code none\n");
        return 1;
    }
    std::sort(addresses.begin(), addresses.end());
    std::printf("code %d\n", code.load());
    std::printf("over %s\n", AnsweredOverTcp(static_cast<std::uint32_t>(slot)) ? "tcp" : "udp");
    for (std::uint32_t a : addresses)
        std::printf("%u.%u.%u.%u\n", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    for (const std::string& a : addresses6)
        std::printf("%s\n", a.c_str());
    std::sort(texts.begin(), texts.end());
    for (const std::string& t : texts)
        std::printf("%s\n", t.c_str());
    return 0;
}
