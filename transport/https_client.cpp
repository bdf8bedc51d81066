// DNS over HTTPS: RFC 8484 4.1 (POST), 4.2.1, 5.2; HTTP/2 by libcurl.
#include "transport/https_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <openssl/x509_vfy.h>

#include "tls/tls_client.h"
#include "transport/reply_check.h"

namespace varnell {

namespace {

constexpr std::size_t kMaxBody = 65535;

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user);

} // namespace

struct HttpsClient::Transfer {
    TransportQuery query;
    std::vector<std::uint8_t> body;
    bool tooLong = false;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
    std::string target; // host:port|address, the key of notAfter_
    std::string pin;
    char error[CURL_ERROR_SIZE] = {};

    ~Transfer()
    {
        curl_slist_free_all(headers);
        curl_slist_free_all(connectTo);
    }
};

namespace {

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* t = static_cast<HttpsClient::Transfer*>(user);
    const std::size_t n = size * count;
    // A DNS message fits in 65535 bytes (RFC 8484 6): more is not an answer,
    // and the transfer is ended instead of buffering what a server sends.
    if (n > kMaxBody - t->body.size()) {
        t->tooLong = true;
        return 0;
    }
    t->body.insert(t->body.end(), data, data + n);
    return n;
}

void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string CurlPin(const std::string& pin)
{
    SpkiDigest digest{};
    if (!ParseSpkiPin(pin, digest))
        return {};
    return "sha256//" + pin.substr(7);
}

std::int64_t ParseCurlExpireDate(const std::string& line)
{
    constexpr char kPrefix[] = "Expire date:";
    if (line.compare(0, sizeof kPrefix - 1, kPrefix) != 0)
        return 0;
    std::tm tm{};
    const char* end = strptime(line.c_str() + sizeof kPrefix - 1, " %b %d %H:%M:%S %Y GMT", &tm);
    if (end == nullptr)
        return 0;
    return static_cast<std::int64_t>(timegm(&tm));
}

HttpsClient::HttpsClient()
{
    InitCurlOnce();
    multi_ = curl_multi_init();
    if (multi_ == nullptr)
        return;
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    // One connection per server: further transfers wait to become streams on it.
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
}

HttpsClient::~HttpsClient()
{
    for (auto& [easy, t] : transfers_) {
        curl_multi_remove_handle(multi_, easy);
        curl_easy_cleanup(easy);
    }
    transfers_.clear();
    if (multi_ != nullptr)
        curl_multi_cleanup(multi_);
}

void HttpsClient::Add(TransportQuery&& query, std::vector<TransportAnswer>& answers)
{
    auto fail = [&](int code, std::string text) {
        TransportAnswer a;
        a.token = query.token;
        a.code = code;
        a.failure = std::move(text);
        answers.push_back(std::move(a));
    };
    CURLU* url = curl_url();
    char* host = nullptr;
    char* port = nullptr;
    const bool parsed = url != nullptr &&
                        curl_url_set(url, CURLUPART_URL, query.url.c_str(), 0) == CURLUE_OK &&
                        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                        curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
    char* scheme = nullptr;
    const bool https = parsed && curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                       std::strcmp(scheme, "https") == 0;
    const std::string hostText = host != nullptr ? host : "";
    const std::string portText = port != nullptr ? port : "";
    curl_free(host);
    curl_free(port);
    curl_free(scheme);
    curl_url_cleanup(url);
    if (!https) {
        fail(kResultConnectionFailed, "the URL " + query.url + " is not an https URL");
        return;
    }
    if (!query.pin.empty() && CurlPin(query.pin).empty()) {
        fail(kResultPinMismatch, "the pin " + query.pin + " is not of the form sha256/<base64>");
        return;
    }
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        fail(kResultConnectionFailed, "no HTTPS transfer can be set up");
        return;
    }
    auto t = std::make_unique<Transfer>();
    t->query = std::move(query);
    // The URL's host and port go to the item's server address: the TLS name
    // and the Host header stay the URL's (hosts in brackets: IPv6 literals).
    std::string address = PeerAddressText(t->query.server);
    if (t->query.server.Family() == AF_INET6)
        address = "[" + address + "]";
    const std::string connectTo = hostText + ":" + portText + ":" + address + ":" +
                                  std::to_string(ntohs(t->query.server.PortBE()));
    t->target = connectTo;
    t->connectTo = curl_slist_append(nullptr, connectTo.c_str());
    t->headers = curl_slist_append(nullptr, "Content-Type: application/dns-message");
    t->headers = curl_slist_append(t->headers, "Accept: application/dns-message");
    t->pin = CurlPin(t->query.pin);

    curl_easy_setopt(easy, CURLOPT_URL, t->query.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, t->connectTo);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(t->query.message.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, t->query.message.data());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!t->query.caFile.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, t->query.caFile.c_str());
    if (!t->pin.empty())
        curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, t->pin.c_str());
    curl_easy_setopt(easy, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kIdleCloseSeconds);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(t->query.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->error);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        query = std::move(t->query);
        fail(kResultConnectionFailed, "no HTTPS transfer can be started");
        return;
    }
    transfers_.emplace(easy, std::move(t));
}

void HttpsClient::Perform(std::vector<TransportAnswer>& answers)
{
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg == CURLMSG_DONE)
            Finish(msg->easy_handle, static_cast<int>(msg->data.result), answers);
    }
}

void HttpsClient::Finish(CURL* easy, int curlCode, std::vector<TransportAnswer>& answers)
{
    const auto it = transfers_.find(easy);
    if (it == transfers_.end())
        return;
    Transfer& t = *it->second;
    TransportAnswer a;
    a.token = t.query.token;
    const CURLcode code = static_cast<CURLcode>(curlCode);

    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    connectionsOpened_ += static_cast<std::uint64_t>(connects);
    long version = 0;
    if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK && version == CURL_HTTP_VERSION_2_0)
        ++http2Transfers_;
    curl_off_t connected = 0, tlsDone = 0, pretransfer = 0, total = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &tlsDone);
    curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &total);
    if (connects > 0 && tlsDone > connected)
        a.handshakeUs = static_cast<std::int64_t>(tlsDone - connected);
    if (total > pretransfer)
        a.roundTripMs = static_cast<std::uint32_t>((total - pretransfer) / 1000);

    curl_certinfo* certs = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CERTINFO, &certs) == CURLE_OK && certs != nullptr &&
        certs->num_of_certs > 0) {
        // The first certificate of the chain is the server's own.
        for (curl_slist* line = certs->certinfo[0]; line != nullptr; line = line->next) {
            const std::int64_t when = ParseCurlExpireDate(line->data);
            if (when != 0)
                notAfter_[t.target] = when;
        }
    }
    if (const auto known = notAfter_.find(t.target); known != notAfter_.end())
        a.certNotAfter = known->second;

    const std::string detail = t.error[0] != 0 ? std::string(t.error) : curl_easy_strerror(code);
    long verify = 0;
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
    long osError = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
    switch (code) {
    case CURLE_OK: {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        char* type = nullptr;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
        a.code = CheckHttpsReply(status, type != nullptr ? type : "", t.body, t.query.message, a.failure);
        if (a.code == 0) {
            a.reply = std::move(t.body);
            ApplyCertificateWarning(a, t.query.certWarnDays, std::time(nullptr));
        }
        break;
    }
    case CURLE_WRITE_ERROR:
        a.code = kResultNotTheAnswer;
        a.failure = t.tooLong ? "the HTTPS server sent more than a DNS message can hold" : detail;
        break;
    case CURLE_COULDNT_CONNECT:
        a.code = osError == ECONNREFUSED ? kResultConnectRefused : kResultConnectionFailed;
        a.failure = osError == ECONNREFUSED ? ConnectFailureText(t.query.server, ECONNREFUSED)
                                            : "the HTTPS server cannot be reached: " + detail;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CONNECT_ERROR:
        // libcurl checks the name itself once OpenSSL has accepted the chain,
        // and reports a mismatch as "unspecified".
        if (code == CURLE_PEER_FAILED_VERIFICATION && (verify == X509_V_OK || verify == X509_V_ERR_UNSPECIFIED)) {
            a.code = kResultCertificateNameMismatch;
            a.failure = VerifyFailureText(X509_V_ERR_HOSTNAME_MISMATCH);
        } else if (verify != X509_V_OK) {
            const TlsFailure failure = VerifyFailure(verify);
            a.code = failure == TlsFailure::kExpired        ? kResultCertificateExpired
                     : failure == TlsFailure::kNameMismatch ? kResultCertificateNameMismatch
                                                            : kResultCertificateUntrusted;
            a.failure = VerifyFailureText(verify);
        } else if (code == CURLE_SSL_CACERT_BADFILE) {
            a.code = kResultTlsHandshakeFailed;
            a.failure = "the CA file " + t.query.caFile + " cannot be read";
        } else {
            a.code = kResultTlsHandshakeFailed;
            a.failure = "the TLS handshake failed: " + detail;
        }
        break;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        a.code = kResultPinMismatch;
        a.failure = "the server's key does not match the pin " + t.query.pin;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        if (tlsDone == 0) {
            a.code = kResultConnectTimeout;
            a.failure = connected == 0 ? "the server did not accept the connection in time"
                                       : "the TLS handshake did not finish in time";
        } else {
            a.code = kTransportReplyTimeout;
            a.failure = "no reply on the open connection in time";
        }
        break;
    default:
        a.code = kResultConnectionFailed;
        a.failure = "the HTTPS transfer failed: " + detail;
        break;
    }
    answers.push_back(std::move(a));
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
    transfers_.erase(it);
}

} // namespace varnell
