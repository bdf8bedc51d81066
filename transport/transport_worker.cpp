#include "transport/transport_worker.h"

#include <algorithm>
#include <curl/curl.h>

#include "transport/https_client.h"
#include "transport/stream_connection.h"

namespace varnell {

TransportWorker::~TransportWorker() { Stop(); }

bool TransportWorker::Start(Deliver deliver, std::uint32_t idleCloseMs)
{
    {
        std::lock_guard<std::mutex> lock(inboxLock_);
        if (running_)
            return true;
        running_ = true;
        stop_ = false;
    }
    deliver_ = std::move(deliver);
    startDone_ = false;
    thread_ = std::thread([this, idleCloseMs] { Run(idleCloseMs); });
    // Submit wakes the thread through libcurl's multi handle: it must exist
    // before the first query can be taken.
    std::unique_lock<std::mutex> lock(startLock_);
    started_.wait(lock, [&] { return startDone_; });
    std::lock_guard<std::mutex> inbox(inboxLock_);
    return multi_ != nullptr;
}

bool TransportWorker::Submit(TransportQuery&& query)
{
    std::lock_guard<std::mutex> lock(inboxLock_);
    if (!running_ || stop_ || multi_ == nullptr || inbox_.size() >= kMaxTransportInbox)
        return false;
    inbox_.push_back(std::move(query));
    ++submitted_;
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
    return true;
}

void TransportWorker::Stop()
{
    {
        std::lock_guard<std::mutex> lock(inboxLock_);
        stop_ = true;
        if (multi_ != nullptr)
            curl_multi_wakeup(static_cast<CURLM*>(multi_));
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(inboxLock_);
    running_ = false;
    inbox_.clear();
}

TransportCounters TransportWorker::Counters() const
{
    TransportCounters c;
    c.submitted = submitted_;
    c.answered = answered_;
    c.failed = failed_;
    c.streamConnections = streamConnections_;
    c.httpsConnections = httpsConnections_;
    c.http2Transfers = http2Transfers_;
    c.openStreams = openStreams_;
    return c;
}

void TransportWorker::Run(std::uint32_t idleCloseMs)
{
    auto https = std::make_unique<HttpsClient>();
    {
        std::lock_guard<std::mutex> lock(inboxLock_);
        multi_ = https->Ready() ? https->Multi() : nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(startLock_);
        startDone_ = true;
    }
    started_.notify_all();
    if (!https->Ready())
        return;

    const auto idleClose = std::chrono::milliseconds(idleCloseMs);
    std::vector<std::unique_ptr<StreamConnection>> connections;
    std::vector<TransportQuery> batch;
    std::vector<TransportAnswer> answers;
    std::vector<curl_waitfd> fds;
    std::vector<StreamConnection*> polled;
    std::uint64_t httpsCounted = 0, http2Counted = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(inboxLock_);
            if (stop_)
                break;
            batch.swap(inbox_);
        }
        auto now = TransportClock::now();
        for (auto& q : batch) {
            if (q.transport == Transport::kHttps) {
                https->Add(std::move(q), answers);
                continue;
            }
            auto it = std::find_if(connections.begin(), connections.end(),
                                   [&](const auto& c) { return !c->Closed() && c->Serves(q); });
            if (it == connections.end()) {
                connections.push_back(std::make_unique<StreamConnection>(q));
                ++streamConnections_;
                it = connections.end() - 1;
            }
            (*it)->Add(std::move(q), now, answers);
        }
        batch.clear();

        // Sleep until a socket is ready, a query is handed over, the next
        // deadline or the next idle close; a second at most, since libcurl
        // keeps timers of its own that it looks at on every turn.
        auto wake = now + std::chrono::seconds(1);
        fds.clear();
        polled.clear();
        for (const auto& c : connections) {
            wake = std::min(wake, c->NextDeadline());
            TransportClock::time_point since;
            if (c->IdleSince(since))
                wake = std::min(wake, since + idleClose);
            if (c->Fd() >= 0 && c->Events() != 0) {
                fds.push_back(curl_waitfd{c->Fd(), static_cast<short>(c->Events()), 0});
                polled.push_back(c.get());
            }
        }
        if (answers.empty()) {
            const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
            curl_multi_poll(https->Multi(), fds.data(), static_cast<unsigned>(fds.size()),
                            static_cast<int>(std::clamp<long long>(waitMs, 0, 1000)), nullptr);
        }
        now = TransportClock::now();
        for (std::size_t i = 0; i < polled.size(); ++i)
            polled[i]->OnEvents(fds[i].revents, now, answers);
        https->Perform(answers);
        for (auto& c : connections) {
            c->Expire(now, answers);
            TransportClock::time_point since;
            if (c->IdleSince(since) && now - since >= idleClose)
                c->Close();
        }
        std::erase_if(connections, [](const auto& c) { return c->Closed(); });
        openStreams_ = connections.size();
        // The client counts its own; the worker's count runs on across
        // restarts as the stream count does.
        const std::uint64_t opened = https->ConnectionsOpened();
        httpsConnections_ += opened - httpsCounted;
        httpsCounted = opened;
        const std::uint64_t http2 = https->Http2Transfers();
        http2Transfers_ += http2 - http2Counted;
        http2Counted = http2;

        for (auto& a : answers) {
            ++(a.code == 0 ? answered_ : failed_);
            if (deliver_)
                deliver_(std::move(a));
        }
        answers.clear();
    }
    {
        std::lock_guard<std::mutex> lock(inboxLock_);
        multi_ = nullptr;
    }
    connections.clear();
    openStreams_ = 0;
    https.reset();
}

} // namespace varnell
