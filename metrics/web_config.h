// The metrics endpoint's web configuration: the file format Prometheus' own
// exporters read (--web.config.file), so that one file and one habit serve them
// all. What is understood:
//
//   tls_server_config:
//     cert_file: server.crt      # PEM; relative paths are taken from the file's folder
//     key_file: server.key       # PEM, unencrypted
//     min_version: TLS12         # or TLS13; optional
//   basic_auth_users:
//     prometheus: $2y$10$...     # bcrypt hashes (htpasswd -B, or any bcrypt tool)
//
// Anything else in the file is refused rather than passed over: a client
// certificate check or a header that the operator wrote and the endpoint did not
// apply would be a hole nobody sees. The hashes are checked by the system's
// crypt(3); the TLS is the HTTP library's own.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace varnell {

struct WebConfig {
    std::string certPem, keyPem;  // both empty: plain HTTP
    std::string tlsPriorities;    // the TLS library's priority text; empty: its default
    std::vector<std::pair<std::string, std::string>> users; // name, bcrypt hash; empty: no logon
    bool Tls() const { return !certPem.empty(); }
};

// Reads path into out. false, with why (one sentence, naming what is wrong),
// when the file cannot be read, is not such a configuration, names a file that
// cannot be read, or holds a hash crypt(3) does not take for bcrypt.
bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& why);

// Whether user and password match one of users. A name that is not there
// costs a hash check all the same, so the time taken tells no names.
bool CheckLogon(const WebConfig& config, const std::string& user, const std::string& password);

} // namespace varnell
