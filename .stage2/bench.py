import os
root=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '')
p=root+'bench/bench_probe.cpp'
s=open(p).read()
def rep(a,b):
    global s
    if s.count(a)!=1: print("MISSING", a[:70]); return
    s=s.replace(a,b)
rep('''//                    [--servers S] [--rcvbuf BYTES] [--edns SIZE] [--no-dnsperf]
''','''//                    [--servers S] [--rcvbuf BYTES] [--edns SIZE] [--no-dnsperf]
//                    [--transport udp|tcp|tls|https]
''')
rep('''// default is 1232).
''','''// default is 1232). --transport: how the items ask (the default UDP); over TLS
// and HTTPS unbound serves with a certificate of a CA made for the run
// (scripts/peers/make-ca.sh), and dnsperf is run in its matching mode (-m tcp,
// dot or doh).
''')
rep('''    bool dnsperf = true;
};''','''    bool dnsperf = true;
    Transport transport = Transport::kUdp;
};''')
rep('''        else if (a == "--no-dnsperf")
            o.dnsperf = false;''','''        else if (a == "--no-dnsperf")
            o.dnsperf = false;
        else if (a == "--transport" && i + 1 < argc && ParseTransport(argv[i + 1], o.transport))
            ++i;''')
rep('''    const std::uint16_t port = FreeUdpPort();
    std::vector<std::string> args = {"bash", UnboundScript(), dir, std::to_string(port)};''','''    const std::uint16_t port = FreeUdpPort();
    std::vector<std::string> args = {"bash", UnboundScript()};
    // The encrypted ports: free ones near the UDP port's, checked as unbound binds them.
    const std::uint16_t tlsPort = static_cast<std::uint16_t>(port + 1), httpsPort = static_cast<std::uint16_t>(port + 2);
    const bool encrypted = o.transport == Transport::kTls || o.transport == Transport::kHttps;
    if (encrypted) {
        const pid_t ca = Spawn({"bash", (std::filesystem::path(UnboundScript()).parent_path() / "make-ca.sh").string(), dir},
                               dir + "/make-ca.log");
        int caStatus = 0;
        while (ca > 0 && waitpid(ca, &caStatus, 0) < 0 && errno == EINTR) {
        }
        args.insert(args.end(), {"--tls", std::to_string(tlsPort), "--https", std::to_string(httpsPort), "--cert",
                                 dir + "/server.pem", dir + "/server.key"});
        SetTransportCaFile(dir + "/ca.pem");
    }
    args.insert(args.end(), {dir, std::to_string(port)});''')
rep('''        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        LockItems()->items[i].server.portBE = htons(port);''','''        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        auto items = LockItems();
        items->items[i].server.portBE = htons(o.transport == Transport::kTls ? tlsPort : port);
        ItemTransport t;
        t.transport = o.transport;
        if (o.transport == Transport::kHttps)
            t.url = "https://127.0.0.1:" + std::to_string(httpsPort) + "/dns-query";
        SetItemTransport(items->items[i], t);''')
rep('''    std::printf("CPU %.3f s, %.4f s per 1000 probes; peak RSS %ld KiB\\n", cpu, perProbe * 1000.0, after.ru_maxrss);
''','''    std::printf("CPU %.3f s, %.4f s per 1000 probes; peak RSS %ld KiB\\n", cpu, perProbe * 1000.0, after.ru_maxrss);
    if (o.transport != Transport::kUdp) {
        const TransportCounters tc = TransportProbeCounters();
        std::printf("transport %s: %llu queries, %llu answered, %llu failed; connections opened: %llu stream, %llu "
                    "HTTPS\\n",
                    std::string(TransportName(o.transport)).c_str(), static_cast<unsigned long long>(tc.submitted),
                    static_cast<unsigned long long>(tc.answered), static_cast<unsigned long long>(tc.failed),
                    static_cast<unsigned long long>(tc.streamConnections),
                    static_cast<unsigned long long>(tc.httpsConnections));
    }
''')
rep('''        const pid_t perf = Spawn({"dnsperf", "-s", "127.0.0.1", "-p", std::to_string(port), "-d", dir + "/queries.txt",
                                  "-l", std::to_string(o.seconds), "-Q", std::to_string(rate), "-c", "1", "-q",
                                  std::to_string(o.items)},
                                 dir + "/dnsperf.txt");''','''        // dnsperf in the same transport: -m tcp, dot or doh, to the matching port.
        const char* mode = o.transport == Transport::kTcp    ? "tcp"
                           : o.transport == Transport::kTls   ? "dot"
                           : o.transport == Transport::kHttps ? "doh"
                                                              : "udp";
        const std::uint16_t perfPort =
            o.transport == Transport::kTls ? tlsPort : o.transport == Transport::kHttps ? httpsPort : port;
        const pid_t perf = Spawn({"dnsperf", "-m", mode, "-s", "127.0.0.1", "-p", std::to_string(perfPort), "-d",
                                  dir + "/queries.txt", "-l", std::to_string(o.seconds), "-Q", std::to_string(rate),
                                  "-c", "1", "-q", std::to_string(o.items)},
                                 dir + "/dnsperf.txt");''')
rep('#include "probe/receiver.h"\n','#include "probe/receiver.h"\n#include "probe/transport_probe.h"\n#include "items/transport_state.h"\n')
open(p,'w').write(s)
print("bench done")
p=root+'bench/bench_interop_probe.cpp'
s=open(p).read()
rep('''// usage: bench_interop_probe SERVER PORT TYPE NAME [TIMEOUT-MS [EDNS-SIZE]]
// SERVER: an IPv4 or IPv6 address. EDNS-SIZE: the UDP size queries advertise,
// 0 for no OPT record (default 1232, the program's own default).''','''// usage: bench_interop_probe SERVER PORT TYPE NAME [TIMEOUT-MS [EDNS-SIZE
//                            [TRANSPORT TLS-NAME-OR-URL CA-FILE]]]
// SERVER: an IPv4 or IPv6 address. EDNS-SIZE: the UDP size queries advertise,
// 0 for no OPT record (default 1232, the program's own default). TRANSPORT:
// tcp, tls (PORT is the TLS port) or https (the URL gives the port).''')
rep('''    StartMonitor(EngineOnlyOptions(), layer, false);
    const int slot = NewItemSlot();''','''    StartMonitor(EngineOnlyOptions(), layer, false);
    ItemTransport transport;
    if (argc > 9) {
        if (!ParseTransport(argv[7], transport.transport)) {
            std::fprintf(stderr, "unknown transport %s\\n", argv[7]);
            return 2;
        }
        (transport.transport == Transport::kHttps ? transport.url : transport.tlsName) = argv[8];
        SetTransportCaFile(argv[9]);
    }
    const int slot = NewItemSlot();''')
rep('''    StartMonitorThreads();
    const auto deadline''','''    {
        auto items = LockItems();
        if (!SetItemTransport(items->items[static_cast<std::size_t>(slot)], transport))
            return 1;
    }
    StartMonitorThreads();
    const auto deadline''')
rep('#include "probe/engine.h"\n','#include "probe/engine.h"\n#include "probe/transport_probe.h"\n#include "items/transport_state.h"\n')
open(p,'w').write(s)
print("interop done")
