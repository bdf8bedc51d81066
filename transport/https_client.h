// DNS over HTTPS (RFC 8484) on libcurl's multi interface: POST of the query
// as application/dns-message over HTTP/2 (ALPN h2), every query to one server
// a stream of one connection (one connection per host, transfers wait for it
// to multiplex rather than open another). The item's server address is where
// the connection goes; the URL's host is what SNI carries and the certificate
// must name. Idle connections are not reused after kIdleCloseSeconds.
//
// Owned and driven by the transport thread alone, which polls the multi
// handle together with its stream connections (curl_multi_poll) and wakes it
// with curl_multi_wakeup.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "transport/transport.h"

namespace varnell {

class HttpsClient {
public:
    HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;
    ~HttpsClient();

    bool Ready() const { return multi_ != nullptr; }
    CURLM* Multi() const { return multi_; }
    // Starts the transfer of query; an unusable URL is answered at once.
    void Add(TransportQuery&& query, std::vector<TransportAnswer>& answers);
    // Drives the transfers after a poll and collects the finished ones.
    void Perform(std::vector<TransportAnswer>& answers);
    std::size_t Running() const { return transfers_.size(); }
    // Connections libcurl opened in all (for the tests and the benchmark).
    std::uint64_t ConnectionsOpened() const { return connectionsOpened_; }
    // Transfers that went over HTTP/2 (the rest fell back to HTTP/1.1).
    std::uint64_t Http2Transfers() const { return http2Transfers_; }

    struct Transfer; // one query's transfer: its handle's options and the body read

private:
    void Finish(CURL* easy, int curlCode, std::vector<TransportAnswer>& answers);

    CURLM* multi_ = nullptr;
    std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
    // The server certificate's end per connection target (host, port and
    // address): libcurl shows the chain only on the transfer that opened the
    // connection, and later ones report it again from here.
    std::map<std::string, std::int64_t> notAfter_;
    std::uint64_t connectionsOpened_ = 0;
    std::uint64_t http2Transfers_ = 0;
};

inline constexpr long kIdleCloseSeconds = 30;

// The Base64 half of a "sha256/<base64>" pin as libcurl takes it
// ("sha256//<base64>"); empty for an empty pin.
std::string CurlPin(const std::string& pin);
// The time of a certificate's "Expire date:" line as libcurl's certificate
// information gives it ("Expire date:Jan  2 03:04:05 2030 GMT"); 0 when unreadable.
std::int64_t ParseCurlExpireDate(const std::string& line);

} // namespace varnell
