// The monitoring peers a fleet of monitors meets: a real Prometheus and a real
// Alertmanager, each started on loopback with its own folder and a free port,
// and a webhook receiver (libmicrohttpd) that keeps every notification posted
// to it.
#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/process.h"

struct MHD_Daemon;

namespace varnell::test {

// GET path from 127.0.0.1:port as JSON; discarded when nothing readable came.
// HTTP/1.0, so that a Go server answers without chunks.
nlohmann::json GetJson(std::uint16_t port, const std::string& path);

class PrometheusPeer {
public:
    // Writes config as its configuration and waits until it is ready.
    bool Start(const std::string& config);
    std::uint16_t Port() const { return port_; }
    std::string File(const std::string& name) const { return dir_.File(name); }
    std::string Log() const { return ReadFile(dir_.File("prometheus.log")); }
    // The value of an instant query with one result, or NaN.
    double Value(const std::string& promql);
    // The scrape targets' health ("up", "down", "unknown") and last error, by job.
    std::vector<std::pair<std::string, std::string>> Targets(const std::string& job);

private:
    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

class AlertmanagerPeer {
public:
    bool Start(const std::string& config);
    std::uint16_t Port() const { return port_; }
    std::string Log() const { return ReadFile(dir_.File("alertmanager.log")); }

private:
    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

class WebhookReceiver {
public:
    WebhookReceiver() = default;
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;
    ~WebhookReceiver();
    bool Start();
    std::uint16_t Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }
    // Every notification so far, parsed, in the order they came.
    std::vector<nlohmann::json> Notifications();
    void Keep(std::string body);

private:
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> bodies_;
};

} // namespace varnell::test
