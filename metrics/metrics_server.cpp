#include "metrics/metrics_server.h"

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>
#include <vector>

#include "base/net/socket_helpers.h"
#include "metrics/exposition.h"
#include "metrics/web_config.h"
#include "probe/engine.h"

namespace varnell {

namespace {

// Far more than a scraper's request needs; a longer request line or header block
// is refused by the library (414/431) instead of growing the connection.
constexpr std::size_t kConnectionMemory = 16 * 1024;
// A handful of scrapers at most; clients beyond it wait in the listen queue.
constexpr unsigned kConnectionLimit = 32;

// Touched only by the start-up and shutdown thread, under the mutex so that a
// stray call from another thread cannot tear the record.
struct ServerState {
    std::mutex mutex;
    MHD_Daemon* daemon = nullptr;
    int socket = -1;
    std::string listen;
    std::string webConfigPath;
    // Read by the server's thread (the handler's argument); replaced only while
    // no server runs.
    WebConfig webConfig;
    std::uint16_t port = 0;
};

ServerState& Server()
{
    static ServerState* state = new ServerState();
    return *state;
}

MHD_Result Respond(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                   const char* allow)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow != nullptr)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

bool SameName(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// A page that rebinds its own name to this address reaches the endpoint with
// that name as its Host; a scraper names an address, localhost or this machine.
// Host is "NAME", "NAME:PORT" or "[IPv6]:PORT" (RFC 9110 7.2, RFC 3986 3.2.2).
bool HostAllowed(const char* header)
{
    if (header == nullptr)
        return false;
    std::string_view host = header;
    std::string_view port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && !port.starts_with(':'))
            return false;
        in6_addr address{};
        if (inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1)
            return false;
    } else {
        if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
            port = host.substr(colon);
            host = host.substr(0, colon);
        }
        if (host.ends_with('.'))
            host.remove_suffix(1);
        in_addr address{};
        const std::string own = LocalHostName();
        if (inet_pton(AF_INET, std::string(host).c_str(), &address) != 1 && !SameName(host, "localhost") &&
            !(!own.empty() && SameName(host, own)))
            return false;
    }
    if (!port.empty())
        port.remove_prefix(1);
    return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The library calls this once the headers are in, then again. An answer queued
// on the first call makes it close the connection, so that call only marks the
// request and a scraper keeps its connection. Nothing here reads a body; a
// request that brought one is closed after the answer.
// Whether the request carries a logon the configuration knows; true when it
// asks for none.
bool LoggedOn(const WebConfig& config, MHD_Connection* connection)
{
    if (config.users.empty())
        return true;
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool ok = user != nullptr && password != nullptr && CheckLogon(config, user, password);
    if (password != nullptr) {
        // The password leaves no copy behind in the heap.
        explicit_bzero(password, std::strlen(password));
        MHD_free(password);
    }
    if (user != nullptr)
        MHD_free(user);
    return ok;
}

MHD_Result Answer(void* config, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t*, void** request)
{
    static char headersSeen;
    if (*request == nullptr) {
        *request = &headersSeen;
        return MHD_YES;
    }
    constexpr const char* kPlain = "text/plain; charset=utf-8";
    if (!HostAllowed(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)))
        return Respond(connection, MHD_HTTP_MISDIRECTED_REQUEST, "Misdirected Request\n", kPlain, nullptr);
    if (!LoggedOn(*static_cast<const WebConfig*>(config), connection)) {
        constexpr std::string_view kBody = "Unauthorized\n";
        MHD_Response* response =
            MHD_create_response_from_buffer(kBody.size(), const_cast<char*>(kBody.data()), MHD_RESPMEM_PERSISTENT);
        if (response == nullptr)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kPlain);
        const MHD_Result result = MHD_queue_basic_auth_fail_response(connection, "Varnell", response);
        MHD_destroy_response(response);
        return result;
    }
    if (std::strcmp(url, "/metrics") != 0)
        return Respond(connection, MHD_HTTP_NOT_FOUND, "Not Found\n", kPlain, nullptr);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return Respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n", kPlain, "GET, HEAD");
    return Respond(connection, MHD_HTTP_OK, FormatExposition(TakeMetricsSnapshot()), kExpositionContentType,
                   nullptr);
}

// A bound, listening socket, or -errno.
int OpenListenSocket(const ListenAddress& where)
{
    const int family = where.address.ss_family;
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -errno;
    const int on = 1;
    // Lets a restart bind while the last scrape's connection lingers; Linux still
    // refuses a port that another socket is listening on.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&where.address), where.length) != 0 || listen(fd, 16) != 0) {
        const int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

void StopLocked(ServerState& s)
{
    // The socket is closed once, by whoever holds it last: handed back by quiesce
    // it is ours, otherwise the library closes it when it stops. A second close
    // could hit a descriptor another thread has opened under the same number.
    if (s.daemon != nullptr) {
        const bool handedBack = MHD_quiesce_daemon(s.daemon) == s.socket;
        MHD_stop_daemon(s.daemon);
        s.daemon = nullptr;
        if (!handedBack)
            s.socket = -1;
    }
    if (s.socket >= 0)
        close(s.socket);
    s.socket = -1;
    s.port = 0;
}

} // namespace

bool ParseListenAddress(std::string_view text, ListenAddress& out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    const std::string_view host = text.substr(0, colon);
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() || port > 65535)
        return false;
    // IPv6 only in brackets, so that the last colon always starts the port.
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    const std::string name(bracketed ? host.substr(1, host.size() - 2) : host);
    // Four dotted numbers only: the resolver would also take "127.1" or hex parts.
    in_addr dotted{};
    if (!bracketed && inet_pton(AF_INET, name.c_str(), &dotted) != 1)
        return false;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV; // digits only: never a lookup
    hints.ai_family = bracketed ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), std::string(portText).c_str(), &hints, &found) != 0 || found == nullptr)
        return false;
    out = ListenAddress{};
    std::memcpy(&out.address, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof out.address));
    out.length = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

int StartMetricsServer(const std::string& listen, unsigned idleSeconds)
{
    ServerState& s = Server();
    std::lock_guard lock(s.mutex);
    StopLocked(s);
    s.listen = listen;
    if (listen.empty())
        return kMetricsOff;
    s.webConfig = WebConfig{};
    if (std::string why; !s.webConfigPath.empty() && !LoadWebConfig(s.webConfigPath, s.webConfig, why)) {
        // Served without the TLS or the logon the operator asked for, the items
        // would be open to whoever reaches the address: closed is the safe side.
        s.webConfig = WebConfig{};
        ReportEngineMessage("Metrics: the web configuration cannot be used (" + why + "); metrics are not served");
        return kMetricsBadWebConfig;
    }
    ListenAddress where;
    if (!ParseListenAddress(listen, where)) {
        ReportEngineMessage("Metrics: \"" + listen + "\" is not ADDRESS:PORT; metrics are not served");
        return kMetricsBadAddress;
    }
    const int fd = OpenListenSocket(where);
    if (fd < 0) {
        ReportEngineMessage("Metrics: cannot listen on " + listen + ": " + std::strerror(-fd));
        return kMetricsBindFailed;
    }
    // The inter-thread channel lets quiesce hand the listening socket back.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ITC;
    if (where.address.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> tls;
    if (s.webConfig.Tls()) {
        flags |= MHD_USE_TLS;
        tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(s.webConfig.keyPem.c_str())});
        tls.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(s.webConfig.certPem.c_str())});
        if (!s.webConfig.tlsPriorities.empty())
            tls.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(s.webConfig.tlsPriorities.c_str())});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    s.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Answer, &s.webConfig, MHD_OPTION_LISTEN_SOCKET, fd,
                                MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                kConnectionMemory, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_ARRAY,
                                tls.data(), MHD_OPTION_END);
    if (s.daemon == nullptr) {
        close(fd);
        ReportEngineMessage("Metrics: cannot start the server on " + listen +
                            (s.webConfig.Tls() ? " (the web configuration's certificate and key may not be an "
                                                 "unencrypted PEM pair)"
                                               : ""));
        return kMetricsServerFailed;
    }
    s.socket = fd;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        s.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return kMetricsListening;
}

void StopMetricsServer()
{
    ServerState& s = Server();
    std::lock_guard lock(s.mutex);
    StopLocked(s);
    s.listen.clear();
}

void SetMetricsWebConfig(const std::string& path)
{
    ServerState& s = Server();
    std::lock_guard lock(s.mutex);
    s.webConfigPath = path;
}

int ReloadMetricsServer()
{
    std::string listen;
    {
        ServerState& s = Server();
        std::lock_guard lock(s.mutex);
        listen = s.listen;
    }
    return listen.empty() ? kMetricsOff : StartMetricsServer(listen);
}

int ApplyMetricsSetting(const std::string& listen)
{
    {
        ServerState& s = Server();
        std::lock_guard lock(s.mutex);
        if (listen == s.listen && (s.daemon != nullptr || listen.empty()))
            return s.daemon != nullptr ? kMetricsListening : kMetricsOff;
    }
    return StartMetricsServer(listen);
}

std::uint16_t MetricsPort()
{
    ServerState& s = Server();
    std::lock_guard lock(s.mutex);
    return s.port;
}

} // namespace varnell
