// The web configuration of the metrics endpoint: every file that must leave the
// endpoint closed rather than open it without what it asks. What a good file
// does is seen by Prometheus (prometheus_test.cpp) and by a client (server_test.cpp).
#include <gtest/gtest.h>

#include "metrics/web_config.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;

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
}
