// The web configuration of the metrics endpoint: what is read, and every file
// that must leave the endpoint closed rather than open it without what it asks.
#include <gtest/gtest.h>

#include "metrics/web_config.h"
#include "tests/metrics/bcrypt_hash.h"
#include "tests/support/pki.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;

TEST(WebConfig, ReadsTlsAndLogonsAndChecksPasswordsWithBcrypt)
{
    TempDir dir;
    const CertFiles ca = MakeCa(dir.Path(), "ca");
    MakeServerCert(dir.Path(), "server", ca, {"IP:127.0.0.1"});
    const std::string hash = BcryptHash("s3cret");
    WriteFile(dir.File("web.yml"), "tls_server_config:\n  cert_file: server.crt\n  key_file: " + dir.File("server.key") +
                                       "\n  min_version: TLS12\nbasic_auth_users:\n  prometheus: " + hash + "\n");
    WebConfig config;
    std::string why;
    ASSERT_TRUE(LoadWebConfig(dir.File("web.yml"), config, why)) << why;
    EXPECT_TRUE(config.Tls());
    EXPECT_EQ(config.certPem, ReadFile(dir.File("server.crt"))) << "a relative path is taken from the file's folder";
    EXPECT_TRUE(CheckLogon(config, "prometheus", "s3cret"));
    EXPECT_FALSE(CheckLogon(config, "prometheus", "s3cret "));
    EXPECT_FALSE(CheckLogon(config, "other", "s3cret"));

    WriteFile(dir.File("empty.yml"), "");
    ASSERT_TRUE(LoadWebConfig(dir.File("empty.yml"), config, why)) << why;
    EXPECT_FALSE(config.Tls());
    EXPECT_TRUE(config.users.empty());
}

TEST(WebConfig, RefusesWhatItWouldNotApply)
{
    TempDir dir;
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: a.key\n  client_auth_type: RequireAndVerifyClientCert\n",
         "client_auth_type is not supported"},
        {"tls_server_config:\n  cert_file: a.crt\n", "needs both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: missing.crt\n  key_file: missing.key\n", "missing.crt: No such file"},
        {"basic_auth_users:\n  prometheus: plaintext\n", "the hash of prometheus is not a bcrypt hash"},
        {"basic_auth_users:\n  prometheus: \"$2y$10$short\"\n", "the hash of prometheus is not a bcrypt hash"},
        {"http_server_config:\n  http2: false\n", "http_server_config is not supported"},
        {"basic_auth_users: [a, b\n", "end of sequence"},
        {"- just\n- a list\n", "not a web configuration"},
    };
    for (const auto& c : cases) {
        WriteFile(dir.File("web.yml"), c.text);
        WebConfig config;
        std::string why;
        EXPECT_FALSE(LoadWebConfig(dir.File("web.yml"), config, why)) << c.text;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << " -> " << why;
        EXPECT_FALSE(config.Tls());
    }
    WebConfig config;
    std::string why;
    EXPECT_FALSE(LoadWebConfig(dir.File("nowhere.yml"), config, why));
    EXPECT_NE(why.find("nowhere.yml"), std::string::npos);
}
