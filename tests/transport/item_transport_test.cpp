// An item's transport settings: what the operator may enter, and the texts
// they are stored as.
#include <gtest/gtest.h>

#include "transport/item_transport.h"

using namespace varnell;

namespace {

ItemTransport Https(std::string url)
{
    ItemTransport t;
    t.transport = Transport::kHttps;
    t.url = std::move(url);
    return t;
}

} // namespace

TEST(ItemTransport, EachFieldIsRefusedWithItsColumnName)
{
    EXPECT_EQ(CheckItemTransport({}), "");
    EXPECT_EQ(CheckItemTransport(Https("https://dns.example/dns-query")), "");
    EXPECT_EQ(CheckItemTransport(Https("https://[2001:db8::1]:8443/q")), "");
    for (const char* bad : {"http://dns.example/q", "https://", "https://user@dns.example/", "https://a..b/",
                            "https://dns.example:0/", "https://dns.example:99999/", "https://dns example/"})
        EXPECT_EQ(CheckItemTransport(Https(bad)).rfind("url:", 0), 0u) << bad;
    ItemTransport t;
    t.tlsName = "dns.example";
    EXPECT_EQ(CheckItemTransport(t).rfind("tls_name:", 0), 0u) << "UDP has no certificate to name";
    t.transport = Transport::kTls;
    EXPECT_EQ(CheckItemTransport(t), "");
    t.pin = "sha256/abc";
    EXPECT_EQ(CheckItemTransport(t).rfind("tls_pin:", 0), 0u);
    t.pin.clear();
    std::string why;
    EXPECT_FALSE(SetItemTransportField(t, "cert_warn_days", "3651", why));
    EXPECT_FALSE(SetItemTransportField(t, "cert_warn_days", "7d", why));
    EXPECT_FALSE(SetItemTransportField(t, "transport", "doq", why));
    EXPECT_EQ(why, "transport: one of udp, tcp, tls, https");
    EXPECT_FALSE(SetItemTransportField(t, "name", "x", why)) << "not a transport column";
}

TEST(ItemTransport, OnlySettingsOffTheirDefaultBecomeTextsAndReadBack)
{
    EXPECT_TRUE(ItemTransportTexts({}).empty()) << "a UDP item keeps its stored form";
    ItemTransport t = Https("https://dns.example:8443/dns-query");
    t.pin = "sha256/" + std::string(43, 'A') + "=";
    t.certWarnDays = 14;
    const auto texts = ItemTransportTexts(t);
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "transport=https");
    EXPECT_EQ(texts[3], "cert_warn=14");
    ItemTransport back;
    for (const auto& text : texts)
        ReadItemTransportText(back, text);
    ReadItemTransportText(back, "server6=::1");
    EXPECT_EQ(back, t);
    EXPECT_EQ(TransportPort(t, 53), 8443);
    EXPECT_EQ(TransportPort(Https("https://dns.example/q"), 53), 443);
    ItemTransport dot;
    dot.transport = Transport::kTls;
    EXPECT_EQ(TransportPort(dot, 53), 853);
    EXPECT_EQ(TransportPort(dot, 5853), 5853);
}
