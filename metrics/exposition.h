// What the metrics endpoint serves: a snapshot of every live item and of the
// event counters, copied under the engine lock, and its rendering as the
// Prometheus text exposition format, version 0.0.4, done without the lock.
//
// Who touches what: TakeMetricsSnapshot runs on the metrics server's thread and
// holds the engine lock only while it copies (and gives an item its "id=" text
// the first time it is scraped); FormatExposition works on the copy and touches
// no shared data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnell {

inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// One live item as the scrape sees it. Times are milliseconds as the item list
// shows them; rttMin is 0xFFFFFFFF until the first accepted round trip.
struct ItemSample {
    std::string name;
    std::string description;
    std::string domain;
    std::string type;
    std::string server;       // dotted address, ":port" added when it is not 53
    std::uint64_t id = 0;     // the item's series identity, 48 bits (the "id" label)
    std::uint32_t state = 0;  // the string block's state word
    bool suspended = false;
    std::uint32_t timeoutMs = 0;
    std::uint32_t rttLastUs = 0, rttMin = 0xFFFFFFFFu, rttMax = 0, rttAvg = 0;
    std::uint32_t sent = 0, failed = 0, replies = 0; // failed: every failed probe
    std::uint32_t addresses = 0;
    std::int64_t lastEventTime = 0; // calendar seconds, 0 = no event yet
    std::int8_t conditionOk = -1;   // latest verdict of the item's conditions; -1 none
    std::int64_t signatureExpiry = 0; // calendar seconds, 0 = no signatures read
    std::string_view transport = "udp"; // TransportName: a static text
    std::int64_t handshakeUs = -1;      // the last TLS handshake, -1 none
    std::int64_t certNotAfter = 0;      // calendar seconds, 0 = unknown
};

struct MetricsSnapshot {
    std::vector<ItemSample> items;
    std::uint64_t events[3] = {}; // by EventKind: up, down, changed
};

// Copies what a scrape needs; takes the engine lock for the copy only. An item
// scraped for the first time is given its id here, kept as its "id=" text.
MetricsSnapshot TakeMetricsSnapshot();

// Every per-item series carries its item's id, so that a series belongs to one
// item for its whole life: an id is random, stored with the item, never changed
// by an edit and never handed on (a reused slot starts without one).
inline constexpr std::string_view kItemIdPrefix = "id=";
inline constexpr std::size_t kItemIdDigits = 12;

// The whole exposition text for a snapshot.
std::string FormatExposition(const MetricsSnapshot& snapshot);

// A label value as the format requires: backslash, double quote and line feed
// escaped, and bytes that are not valid UTF-8 replaced by U+FFFD (a scraper
// rejects the whole page for one bad byte, and stored texts are single-byte).
std::string EscapeLabelValue(std::string_view value);

} // namespace varnell
