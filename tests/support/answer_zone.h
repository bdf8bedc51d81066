// The zone of the answer tests: every record type an item reads for its content,
// with records that need care (a TXT over 255 bytes in three strings, escapes,
// three SRV and three CAA records, HTTPS with every common parameter).
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

namespace varnell::test {

inline const std::string kAnswerZone = ZoneText("answers.", R"(
ns IN A 127.0.0.1
@ IN TXT "v=spf1 ip4:192.0.2.0/24 -all"
sel._domainkey IN TXT "v=DKIM1; k=rsa; p=MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAwvR2mQ9Lb3qJk8mZ0Hq5nTq7Yb6v1N3b7qfX2yM4rK1c9Zp3sG8hW2dJ6uE5tL0aV7oC4iB1xF3kR9nP2mQ8wY5" "zT6jH4gD2sA1lK9oI8uY7tR6eW5qQ4xC3vB2nM1bV0cX9zL8kJ7hG6fD5sA4dS3aF2gH1jK0lP9oI8uY7tR6eW5qQ4xC3vB2nM1bV0cX9zL8kJ7hG6fD5sA4dS3aF2gH1jK0lP9oI8uY7tR6eW5qQ4xC3vB2nM1bV0cX9zL8kJ7hG6fD5sA4dS3aF2gH1jK0lP9" "oI8uY7tR6eW5qQ4xC3vB2nM1bV0cIDAQAB"
odd IN TXT "say \"hi\"\\ there" "tab\009there;semi" "" "caf\195\169"
_sip._udp IN SRV 10 60 5060 sip1.answers.
_sip._udp IN SRV 10 20 5060 sip2.answers.
_sip._udp IN SRV 20 0 5061 sip3.answers.
sip1 IN A 192.0.2.11
sip2 IN A 192.0.2.12
sip3 IN A 192.0.2.13
@ IN CAA 0 issue "ca.example"
@ IN CAA 0 issuewild ";"
@ IN CAA 128 iodef "mailto:security@answers.example"
@ IN HTTPS 1 . alpn="h2,h3" port=8443 ipv4hint=192.0.2.1,192.0.2.2 ipv6hint=2001:db8::1
svc IN HTTPS 0 www.answers.
www IN HTTPS 2 svc2.answers. mandatory=alpn,port alpn=h2 no-default-alpn port=443 ech=AEX+DQBBpQAg
child IN NS ns.answers.
child IN DS 12345 13 2 C988EC423E3880EB8DD8A46FE06CA230EE23F35B578D64D5DFCE9D2D50CF1C9F
@ IN DNSKEY 257 3 13 mdsswUyr3DPW132mOi8V9xESWE8jTo0dxCjjnopKl+GqJxpVXckHAeF+KkxLbxILfDLUT0rAK9iUzy1L53eKGQ==
@ IN DNSKEY 256 3 8 AwEAAagAIKlVZrpC6Ia7gEzahOR+9W29euxhJhVVLOyQbSEW0O8gcCjFFVQUTf6v58fLjwBd0YI0EzrAcQqBGCzh/RStIoO8g0NfnfL2MTJRkxoXbfDaUeVPQuYEhg37NZWAJQ9VnMVDxP/VHL496M/QZxkjf5/Efucp2gaDX6RS6CXpoY68LsvPVjR0ZSwzz1apAzvN9dlzEheX7ICJBBtuA6G3LQpzW5hOA2hzCTMjJPJ8LbqF6dsV6DoBQzgul0sGIcGOYl7OyQdXfZ57relSQageu+ipAdTTJ25AsRTAoub8ONGcLmqrAmRLKBP1dfwhYB4N7knNnulqQxA+Uk1ihz0=
)");

// What dig +short prints for name/type asked of 127.0.0.1:port, a line each, sorted.
inline std::vector<std::string> DigShort(std::uint16_t port, const std::string& name, const std::string& type)
{
    const auto run = RunProgram({"dig", "+short", "+norec", "-p", std::to_string(port), "@127.0.0.1", name, type});
    std::vector<std::string> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace varnell::test
