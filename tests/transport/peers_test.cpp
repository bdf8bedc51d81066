// The transports against real servers on loopback: unbound with DoT and DoH,
// certificates that fail in each way, a silent TLS port, a broken DoH front
// end. Every failure must come back with its own code and say why, in time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>
#include <openssl/pem.h>
#include <thread>

#include "tests/support/encrypted_peers.h"
#include "tls/tls_client.h"
#include "transport/transport_worker.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

class Answers {
public:
    void Add(TransportAnswer&& a)
    {
        std::lock_guard<std::mutex> lock(lock_);
        got_.push_back(std::move(a));
        cv_.notify_all();
    }
    std::vector<TransportAnswer> WaitFor(std::size_t n, std::chrono::milliseconds limit = 20s)
    {
        std::unique_lock<std::mutex> lock(lock_);
        cv_.wait_for(lock, limit, [&] { return got_.size() >= n; });
        return got_;
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<TransportAnswer> got_;
};

PeerAddress Loopback(std::uint16_t port) { return Ipv4Peer(htonl(INADDR_LOOPBACK), htons(port)); }

class Transports : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pki_ = new TempDir();
        ca_ = MakeCa(pki_->Path(), "ca");
        otherCa_ = MakeCa(pki_->Path(), "other-ca");
        good_ = MakeServerCert(pki_->Path(), "good", ca_, {std::string("DNS:") + kDnsServerName, "IP:127.0.0.1"});
        server_ = new EncryptedUnbound();
        ASSERT_TRUE(server_->Start({{"test", ZoneText("test.", "ns IN A 127.0.0.1\n")}}, good_));
    }
    static void TearDownTestSuite()
    {
        delete server_;
        delete pki_;
    }
    void SetUp() override { ASSERT_TRUE(worker_.Start([this](TransportAnswer&& a) { answers_.Add(std::move(a)); })); }

    TransportQuery Dot(std::uint16_t id, std::uint16_t port = 0, std::string name = kDnsServerName)
    {
        TransportQuery q;
        q.token = id;
        q.transport = Transport::kTls;
        q.server = Loopback(port != 0 ? port : server_->TlsPort());
        q.tlsName = std::move(name);
        q.caFile = ca_.cert;
        q.timeoutMs = 4000;
        q.message = ProbeQuery(id);
        return q;
    }
    TransportQuery Doh(std::uint16_t id, std::uint16_t port = 0, std::string host = kDnsServerName)
    {
        TransportQuery q = Dot(id);
        q.transport = Transport::kHttps;
        q.server = Loopback(port != 0 ? port : server_->HttpsPort());
        q.tlsName.clear();
        q.url = "https://" + host + "/dns-query";
        return q;
    }
    // The one answer to one query.
    TransportAnswer Ask(TransportQuery q)
    {
        EXPECT_TRUE(worker_.Submit(std::move(q)));
        const auto got = answers_.WaitFor(1);
        return got.empty() ? TransportAnswer{} : got[0];
    }

    static TempDir* pki_;
    static CertFiles ca_, otherCa_, good_;
    static EncryptedUnbound* server_;
    Answers answers_;
    TransportWorker worker_;
};
TempDir* Transports::pki_ = nullptr;
CertFiles Transports::ca_, Transports::otherCa_, Transports::good_;
EncryptedUnbound* Transports::server_ = nullptr;

TEST_F(Transports, TlsHttpsAndTcpBringTheSameAnswer)
{
    TransportQuery tcp = Dot(0x100, server_->Port());
    tcp.transport = Transport::kTcp;
    TransportQuery byAddress = Dot(0x103);
    byAddress.tlsName.clear(); // the certificate is checked for 127.0.0.1
    ASSERT_TRUE(worker_.Submit(Dot(0x101)));
    ASSERT_TRUE(worker_.Submit(Doh(0x102)));
    ASSERT_TRUE(worker_.Submit(std::move(tcp)));
    ASSERT_TRUE(worker_.Submit(std::move(byAddress)));
    const auto got = answers_.WaitFor(4);
    ASSERT_EQ(got.size(), 4u);
    for (const auto& a : got) {
        EXPECT_EQ(a.code, 0) << a.token << ": " << a.failure;
        ASSERT_GE(a.reply.size(), 12u);
        EXPECT_EQ(a.reply[0] << 8 | a.reply[1], static_cast<int>(a.token));
        EXPECT_EQ(a.reply[7], 1) << "one answer record";
        if (a.token != 0x100) {
            EXPECT_GT(a.certNotAfter, 0) << a.token;
        }
    }
}

// The address of the one A record the transport brought, and what dig says
// over the same transport.
TEST_F(Transports, UnboundAndNamedAgreeWithDig)
{
    EncryptedNamed named;
    ASSERT_TRUE(named.Start({{"test", ZoneText("test.", "ns IN A 127.0.0.1\n")}}, good_));
    struct Server {
        std::uint16_t tls, https;
    };
    std::uint16_t token = 0x300;
    for (const Server s : {Server{server_->TlsPort(), server_->HttpsPort()}, Server{named.TlsPort(), named.HttpsPort()}}) {
        for (const bool https : {false, true}) {
            Answers one;
            TransportWorker w;
            ASSERT_TRUE(w.Start([&](TransportAnswer&& a) { one.Add(std::move(a)); }));
            ASSERT_TRUE(w.Submit(https ? Doh(++token, s.https) : Dot(++token, s.tls)));
            const auto got = one.WaitFor(1);
            ASSERT_EQ(got.size(), 1u);
            ASSERT_EQ(got[0].code, 0) << got[0].failure;
            const auto& r = got[0].reply;
            // The first answer's data follows the question (25 bytes) and the
            // record's compressed owner, type, class, TTL and length (12).
            ASSERT_GE(r.size(), 41u);
            char address[32];
            std::snprintf(address, sizeof address, "%d.%d.%d.%d\n", r[37], r[38], r[39], r[40]);
            const auto dig = RunProgram({"dig", https ? "+https" : "+tls", "+tls-ca=" + ca_.cert,
                                         std::string("+tls-hostname=") + kDnsServerName, "@127.0.0.1", "-p",
                                         std::to_string(https ? s.https : s.tls), "ns.test", "A", "+short"});
            EXPECT_EQ(dig.out, address) << (https ? "https " : "tls ") << s.tls;
        }
    }
}

TEST_F(Transports, HundredQueriesShareOneConnectionPerTransport)
{
    for (std::uint16_t i = 0; i < 100; ++i) {
        ASSERT_TRUE(worker_.Submit(Dot(static_cast<std::uint16_t>(0x1000 + i))));
        ASSERT_TRUE(worker_.Submit(Doh(static_cast<std::uint16_t>(0x2000 + i))));
    }
    const auto got = answers_.WaitFor(200);
    ASSERT_EQ(got.size(), 200u);
    int handshakes = 0;
    for (const auto& a : got) {
        EXPECT_EQ(a.code, 0) << a.failure;
        handshakes += a.handshakeUs >= 0 && (a.token & 0x2000) != 0;
    }
    EXPECT_EQ(worker_.Counters().streamConnections, 1u);
    EXPECT_EQ(worker_.Counters().httpsConnections, 1u);
    EXPECT_EQ(worker_.Counters().http2Transfers, 100u) << "the DoH queries are streams of one HTTP/2 connection";
    EXPECT_EQ(handshakes, 1) << "the DoH handshake belongs to the transfer that opened the connection";
    EXPECT_EQ(ConnectionsTo(server_->TlsPort()), 1);
    EXPECT_EQ(ConnectionsTo(server_->HttpsPort()), 1);
}

TEST_F(Transports, IdleConnectionsCloseAndTheNextQueryOpensAnother)
{
    worker_.Stop();
    ASSERT_TRUE(worker_.Start([this](TransportAnswer&& a) { answers_.Add(std::move(a)); }, 300));
    ASSERT_TRUE(worker_.Submit(Dot(1)));
    ASSERT_EQ(answers_.WaitFor(1).size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return worker_.Counters().openStreams == 0; }, 10s));
    ASSERT_TRUE(worker_.Submit(Dot(2)));
    const auto got = answers_.WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].code, 0) << got[1].failure;
    EXPECT_EQ(worker_.Counters().streamConnections, 2u);
}

TEST_F(Transports, CertificateFailuresAreNamedForBothTransports)
{
    const auto expired = MakeServerCert(pki_->Path(), "expired", ca_, {"IP:127.0.0.1"}, true);
    const auto stranger = MakeServerCert(pki_->Path(), "stranger", otherCa_, {std::string("DNS:") + kDnsServerName});
    EncryptedUnbound expiredServer, strangerServer;
    ASSERT_TRUE(expiredServer.Start({{"test", ZoneText("test.", "")}}, expired));
    ASSERT_TRUE(strangerServer.Start({{"test", ZoneText("test.", "")}}, stranger));

    struct Case {
        TransportQuery query;
        int code;
        const char* text;
    };
    TransportQuery pinned = Dot(5);
    pinned.pin = "sha256/" + std::string(43, 'A') + "=";
    TransportQuery pinnedDoh = Doh(6);
    pinnedDoh.pin = pinned.pin;
    std::vector<Case> cases;
    cases.push_back({Dot(1, expiredServer.TlsPort(), ""), kResultCertificateExpired, "certificate has expired"});
    cases.push_back({Dot(2, 0, "other.varnell.test"), kResultCertificateNameMismatch, "mismatch"});
    cases.push_back({Dot(3, strangerServer.TlsPort()), kResultCertificateUntrusted, "unable to get local issuer"});
    cases.push_back({Doh(4, expiredServer.HttpsPort(), "127.0.0.1"), kResultCertificateExpired, "has expired"});
    cases.push_back({std::move(pinned), kResultPinMismatch, "does not match the pin"});
    cases.push_back({std::move(pinnedDoh), kResultPinMismatch, "does not match the pin"});
    cases.push_back({Doh(7, 0, "other.varnell.test"), kResultCertificateNameMismatch, "mismatch"});
    cases.push_back({Doh(8, strangerServer.HttpsPort()), kResultCertificateUntrusted, "unable to get local issuer"});
    for (auto& c : cases) {
        Answers one;
        TransportWorker w;
        ASSERT_TRUE(w.Start([&](TransportAnswer&& a) { one.Add(std::move(a)); }));
        const auto token = c.query.token;
        ASSERT_TRUE(w.Submit(std::move(c.query)));
        const auto got = one.WaitFor(1);
        ASSERT_EQ(got.size(), 1u) << token;
        EXPECT_EQ(got[0].code, c.code) << token << ": " << got[0].failure;
        EXPECT_NE(got[0].failure.find(c.text), std::string::npos) << token << ": " << got[0].failure;
    }
}

TEST_F(Transports, TheRightPinIsAccepted)
{
    // The server's own key digest, read from its certificate file.
    std::FILE* f = std::fopen(good_.cert.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    SpkiDigest digest{};
    ASSERT_TRUE(SpkiDigestOf(cert, digest));
    X509_free(cert);
    TransportQuery dot = Dot(9), doh = Doh(10);
    dot.pin = doh.pin = SpkiPinText(digest);
    ASSERT_TRUE(worker_.Submit(std::move(dot)));
    ASSERT_TRUE(worker_.Submit(std::move(doh)));
    for (const auto& a : answers_.WaitFor(2))
        EXPECT_EQ(a.code, 0) << a.token << ": " << a.failure;
}

TEST_F(Transports, RefusedSilentAndBrokenServersFailInTimeWithTheirCodes)
{
    SilentTcpPort silent;
    ASSERT_NE(silent.Port(), 0);
    const std::uint16_t closed = FreePort(false);
    DohFrontPeer status500, wrongType, notAnswer;
    ASSERT_TRUE(status500.Start(good_, "status500"));
    ASSERT_TRUE(wrongType.Start(good_, "wrongtype"));
    ASSERT_TRUE(notAnswer.Start(good_, "notanswer"));

    TransportQuery silentDot = Dot(1, silent.Port());
    silentDot.timeoutMs = 1500;
    TransportQuery silentDoh = Doh(2, silent.Port());
    silentDoh.timeoutMs = 1500;
    ASSERT_TRUE(worker_.Submit(std::move(silentDot)));
    ASSERT_TRUE(worker_.Submit(std::move(silentDoh)));
    ASSERT_TRUE(worker_.Submit(Dot(3, closed)));
    ASSERT_TRUE(worker_.Submit(Doh(4, closed)));
    ASSERT_TRUE(worker_.Submit(Doh(5, status500.Port())));
    ASSERT_TRUE(worker_.Submit(Doh(6, wrongType.Port())));
    ASSERT_TRUE(worker_.Submit(Doh(7, notAnswer.Port())));
    auto got = answers_.WaitFor(7);
    ASSERT_EQ(got.size(), 7u);
    std::map<std::uint64_t, TransportAnswer> byToken;
    for (auto& a : got)
        byToken[a.token] = a;
    EXPECT_EQ(byToken[1].code, kResultConnectTimeout) << byToken[1].failure;
    EXPECT_EQ(byToken[1].failure, "the TLS handshake did not finish in time");
    EXPECT_EQ(byToken[2].code, kResultConnectTimeout) << byToken[2].failure;
    EXPECT_EQ(byToken[3].code, kResultConnectRefused) << byToken[3].failure;
    EXPECT_EQ(byToken[4].code, kResultConnectRefused) << byToken[4].failure;
    EXPECT_EQ(byToken[5].code, kResultHttpStatus);
    EXPECT_EQ(byToken[5].failure, "the HTTPS server answered with status 500");
    EXPECT_EQ(byToken[6].code, kResultContentType);
    EXPECT_EQ(byToken[6].failure, "the HTTPS server sent content of type text/html");
    EXPECT_EQ(byToken[7].code, kResultNotTheAnswer) << byToken[7].failure;
}

TEST_F(Transports, StopDoesNotWaitForASilentServer)
{
    SilentTcpPort silent;
    TransportQuery q = Dot(1, silent.Port());
    q.timeoutMs = 60000;
    ASSERT_TRUE(worker_.Submit(std::move(q)));
    ASSERT_TRUE(worker_.Submit(Doh(2, silent.Port())));
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    worker_.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(worker_.Submit(Dot(3)));
}

} // namespace
