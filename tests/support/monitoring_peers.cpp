#include "tests/support/monitoring_peers.h"

#include <microhttpd.h>

#include <cctype>
#include <cmath>
#include <cstdio>

#include "tests/support/http_client.h"

namespace varnell::test {

using namespace std::chrono_literals;

namespace {

std::string Encoded(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += std::isalnum(c) != 0 ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

bool StartPeer(ChildProcess& child, std::vector<std::string> argv, const std::string& log, std::uint16_t port,
               const char* readyPath)
{
    return child.Start(argv, {}, "", log) &&
           WaitFor([&] { return HttpRequest(port, "GET", readyPath).rfind("HTTP/1.1 200", 0) == 0; }, 30s, 100ms);
}

// One request's body, gathered over the library's calls.
MHD_Result Hook(void* cls, MHD_Connection* connection, const char*, const char* method, const char*,
                const char* upload, std::size_t* uploadSize, void** request)
{
    if (*request == nullptr) {
        *request = new std::string();
        return MHD_YES;
    }
    auto* body = static_cast<std::string*>(*request);
    if (*uploadSize != 0) {
        body->append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (std::string(method) == "POST")
        static_cast<WebhookReceiver*>(cls)->Keep(*body);
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

void Completed(void*, MHD_Connection*, void** request, MHD_RequestTerminationCode)
{
    delete static_cast<std::string*>(*request);
    *request = nullptr;
}

} // namespace

nlohmann::json GetJson(std::uint16_t port, const std::string& path)
{
    const std::string answer = HttpExchange(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(answer.substr(end + 4), nullptr, false);
}

bool PrometheusPeer::Start(const std::string& config)
{
    WriteFile(dir_.File("prometheus.yml"), config);
    port_ = FreePort(false);
    return StartPeer(child_,
                     {"prometheus", "--config.file=" + dir_.File("prometheus.yml"),
                      "--storage.tsdb.path=" + dir_.File("data"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
                     dir_.File("prometheus.log"), port_, "/-/ready");
}

double PrometheusPeer::Value(const std::string& promql)
{
    const nlohmann::json r = GetJson(port_, "/api/v1/query?query=" + Encoded(promql));
    if (r.is_discarded() || !r.contains("data") || r["data"]["result"].size() != 1)
        return std::nan("");
    return std::stod(r["data"]["result"][0]["value"][1].get<std::string>());
}

std::vector<std::pair<std::string, std::string>> PrometheusPeer::Targets(const std::string& job)
{
    std::vector<std::pair<std::string, std::string>> out;
    const nlohmann::json r = GetJson(port_, "/api/v1/targets?state=active");
    if (r.is_discarded() || !r.contains("data"))
        return out;
    for (const auto& t : r["data"]["activeTargets"])
        if (t["labels"]["job"] == job)
            out.emplace_back(t["health"].get<std::string>(), t["lastError"].get<std::string>());
    return out;
}

bool AlertmanagerPeer::Start(const std::string& config)
{
    WriteFile(dir_.File("alertmanager.yml"), config);
    port_ = FreePort(false);
    // The cluster listener is off: a lone peer needs none, and it would take a port.
    return StartPeer(child_,
                     {"prometheus-alertmanager", "--config.file=" + dir_.File("alertmanager.yml"),
                      "--storage.path=" + dir_.File("data"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--cluster.listen-address="},
                     dir_.File("alertmanager.log"), port_, "/-/ready");
}

WebhookReceiver::~WebhookReceiver()
{
    if (daemon_ != nullptr)
        MHD_stop_daemon(daemon_);
}

bool WebhookReceiver::Start()
{
    port_ = FreePort(false);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port_);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, port_, nullptr, nullptr, &Hook, this,
                               MHD_OPTION_SOCK_ADDR, &at, MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr,
                               MHD_OPTION_END);
    return daemon_ != nullptr;
}

void WebhookReceiver::Keep(std::string body)
{
    std::lock_guard lock(mutex_);
    bodies_.push_back(std::move(body));
}

std::vector<nlohmann::json> WebhookReceiver::Notifications()
{
    std::lock_guard lock(mutex_);
    std::vector<nlohmann::json> out;
    for (const std::string& body : bodies_)
        out.push_back(nlohmann::json::parse(body, nullptr, false));
    return out;
}

} // namespace varnell::test
