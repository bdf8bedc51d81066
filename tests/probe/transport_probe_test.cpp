// Items probed over TCP, TLS and HTTPS through the real scheduler, transport
// thread and reply processing, against unbound serving all of them: the same
// answers as over UDP, one connection per server and transport, and failures
// that end the probe with their own code and say why.
#include <gtest/gtest.h>

#include <chrono>

#include "items/reply_detail.h"
#include "items/transport_state.h"
#include "probe/transport_probe.h"
#include "tests/probe/engine_fixture.h"
#include "tests/support/encrypted_peers.h"

namespace varnell::test {
namespace {

using namespace std::chrono_literals;

class EncryptedItems : public EngineAgainstServer {
protected:
    static void SetUpTestSuite()
    {
        pki_ = new TempDir();
        ca_ = MakeCa(pki_->Path(), "ca");
        good_ = MakeServerCert(pki_->Path(), "good", ca_, {std::string("DNS:") + kDnsServerName, "IP:127.0.0.1"});
        server_ = new EncryptedUnbound();
        ASSERT_TRUE(server_->Start(
            {{"test", ZoneText("test.", "ns IN A 127.0.0.1\nwww IN A 192.0.2.2\nwww IN A 192.0.2.1\n")}}, good_));
    }
    static void TearDownTestSuite()
    {
        delete server_;
        delete pki_;
    }
    void SetUp() override
    {
        EngineAgainstServer::SetUp();
        SetTransportCaFile(ca_.cert);
    }
    void TearDown() override
    {
        EngineAgainstServer::TearDown();
        SetTransportCaFile("");
    }

    std::uint32_t AddOver(const std::string& name, Transport transport, std::uint16_t port, std::string url = "",
                          std::uint32_t timeout = 3000)
    {
        const std::uint32_t slot = Add(name, "www.test", 0, port, timeout);
        ItemTransport t;
        t.transport = transport;
        if (transport == Transport::kTls)
            t.tlsName = kDnsServerName;
        t.url = std::move(url);
        std::lock_guard lock(EngineLock());
        EXPECT_TRUE(SetItemTransport(LockItems()->items[slot], t));
        return slot;
    }
    std::string Url(std::uint16_t port) const
    {
        return std::string("https://") + kDnsServerName + ":" + std::to_string(port) + "/dns-query";
    }
    bool Answered(std::uint32_t slot) { return !ResultsOf(slot).empty(); }
    static std::string Detail(std::uint32_t slot)
    {
        std::string text;
        for (const DetailRun& run : ReplyDetailOf(LockItems()->items[slot]))
            text += run.text;
        return text;
    }

    static TempDir* pki_;
    static CertFiles ca_, good_;
    static EncryptedUnbound* server_;
};
TempDir* EncryptedItems::pki_ = nullptr;
CertFiles EncryptedItems::ca_, EncryptedItems::good_;
EncryptedUnbound* EncryptedItems::server_ = nullptr;

TEST_F(EncryptedItems, EveryTransportGivesTheAnswerUdpGives)
{
    const std::uint32_t udp = Add("udp", "www.test", 0, server_->Port());
    const std::uint32_t tcp = AddOver("tcp", Transport::kTcp, server_->Port());
    const std::uint32_t tls = AddOver("tls", Transport::kTls, server_->TlsPort());
    const std::uint32_t https = AddOver("https", Transport::kHttps, 53, Url(server_->HttpsPort()));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return Answered(udp) && Answered(tcp) && Answered(tls) && Answered(https); }, 20s));
    const std::vector<std::string> expected = {"192.0.2.1", "192.0.2.2"};
    for (const std::uint32_t slot : {udp, tcp, tls, https}) {
        const Result r = ResultsOf(slot)[0];
        EXPECT_EQ(r.code, 0) << slot;
        EXPECT_EQ(r.answers, expected) << slot;
    }
    std::lock_guard lock(EngineLock());
    auto items = LockItems();
    EXPECT_GE(TransportOf(tls).handshakeUs, 0);
    EXPECT_GT(TransportOf(https).certNotAfter, 0);
    EXPECT_EQ(TransportOf(udp).handshakeUs, -1);
    // The reply detail names the transport the answer came over.
    EXPECT_NE(Detail(tls).find("2 (TLS) Address:"), std::string::npos) << Detail(tls);
    EXPECT_NE(Detail(https).find("2 (HTTPS) Address:"), std::string::npos) << Detail(https);
    EXPECT_NE(Detail(udp).find("2 Address:"), std::string::npos) << Detail(udp);
    // The round trip is the query's on the open connection, within its time-out.
    const ItemBlock& block = items->blocks[tls];
    EXPECT_LE(block.receiveTime - block.sendTime, 3000u);
}

TEST_F(EncryptedItems, AHundredItemsPerTransportShareOneConnection)
{
    std::vector<std::uint32_t> slots;
    for (int i = 0; i < 100; ++i) {
        slots.push_back(AddOver("dot" + std::to_string(i), Transport::kTls, server_->TlsPort()));
        slots.push_back(AddOver("doh" + std::to_string(i), Transport::kHttps, 53, Url(server_->HttpsPort())));
    }
    // The worker's counters run on across the tests of this program.
    const TransportCounters before = TransportProbeCounters();
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return ResultCount() >= slots.size() * 2; }, 30s)) << ResultCount();
    for (const std::uint32_t slot : slots)
        for (const Result& r : ResultsOf(slot))
            EXPECT_EQ(r.code, 0) << slot;
    EXPECT_EQ(ConnectionsTo(server_->TlsPort()), 1);
    EXPECT_EQ(ConnectionsTo(server_->HttpsPort()), 1);
    const TransportCounters after = TransportProbeCounters();
    EXPECT_EQ(after.streamConnections - before.streamConnections, 1u);
    EXPECT_EQ(after.httpsConnections - before.httpsConnections, 1u);
    std::size_t overHttps = 0;
    for (std::size_t k = 1; k < slots.size(); k += 2)
        overHttps += ResultsOf(slots[k]).size();
    EXPECT_GE(after.http2Transfers - before.http2Transfers, overHttps) << "streams of one HTTP/2 connection";
}

TEST_F(EncryptedItems, AFailedHandshakeFailsTheProbeWithItsCodeAndText)
{
    SilentTcpPort silent;
    const std::uint32_t wrongName = AddOver("wrong name", Transport::kHttps, 53,
                                            "https://other.varnell.test:" + std::to_string(server_->HttpsPort()) + "/");
    const std::uint32_t quiet = AddOver("silent", Transport::kTls, silent.Port(), "", 1500);
    DohFrontPeer front;
    ASSERT_TRUE(front.Start(good_, "status500"));
    const std::uint32_t broken = AddOver("500", Transport::kHttps, 53, Url(front.Port()));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return Answered(wrongName) && Answered(quiet) && Answered(broken); }, 20s));
    EXPECT_EQ(ResultsOf(wrongName)[0].code, kResultCertificateNameMismatch);
    EXPECT_EQ(ResultsOf(quiet)[0].code, kResultConnectTimeout);
    EXPECT_EQ(ResultsOf(broken)[0].code, kResultHttpStatus);
    std::lock_guard lock(EngineLock());
    auto items = LockItems();
    EXPECT_EQ(TransportOf(wrongName).failure, "the server's certificate is not accepted: hostname mismatch");
    EXPECT_EQ(TransportOf(quiet).failure, "the TLS handshake did not finish in time");
    EXPECT_NE(Detail(wrongName).find("hostname mismatch"), std::string::npos) << Detail(wrongName);
    EXPECT_EQ(TransportOf(broken).failure, "the HTTPS server answered with status 500");
}

} // namespace
} // namespace varnell::test
