// Certificates made at test time with the OpenSSL API: a CA of the test's own
// and server certificates it signs, valid or long expired, for the names the
// test chooses. EC P-256 keys, so making them costs milliseconds.
#pragma once

#include <string>
#include <vector>

namespace varnell::test {

struct CertFiles {
    std::string cert; // PEM
    std::string key;  // PEM, unencrypted
};

// A self-signed CA written to folder/name.crt and folder/name.key.
CertFiles MakeCa(const std::string& folder, const std::string& name);
// A server certificate signed by ca, for the subjectAltName entries given
// ("DNS:localhost", "IP:127.0.0.1"). expired: its validity ended a day ago.
CertFiles MakeServerCert(const std::string& folder, const std::string& name, const CertFiles& ca,
                         const std::vector<std::string>& altNames, bool expired = false);

} // namespace varnell::test
