// The engine threads against real peers on loopback, started and stopped by the
// monitor core: the scheduler, the receiver and result evaluation on their own
// threads, the results evaluated on a headless user-interface thread and recorded.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "base/net/address_text.h"
#include "items/address6.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "items/result_hooks.h"
#include "monitor/monitor.h"
#include "probe/case_memory.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/probe_socket.h"
#include "tests/items/recording_hooks.h"
#include "tests/support/recording_ui_channel.h"

namespace varnell::test {

struct Result {
    std::uint32_t slot;
    int code;
    std::vector<std::string> answers;
};

class EngineAgainstServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetEdnsState();
        ResetCaseMemory();
        SetUiChannel(&desktop);
        MonitorLayer layer;
        layer.createWindows = [this] {
            InstallResultWindows(&hooks, {[this](std::uint32_t slot, int code) { OnResult(slot, code); },
                                          [this](const std::string& text) {
                                              std::lock_guard lock(mutex);
                                              engineMessages.push_back(text);
                                          }});
        };
        ASSERT_EQ(StartMonitor(EngineOnlyOptions(), layer, false), kProbeSocketOk);
    }
    void TearDown() override
    {
        EXPECT_EQ(StopMonitor().engineThreadsEnded, 2);
        SetQueryEdnsSize(0);
        desktop.Drain(); // results the scheduler posted before it stopped are evaluated first
        RemoveResultWindows();
        SetUiChannel(nullptr);
    }

    // Before the result is evaluated: the answers as the receiver left them.
    void OnResult(std::uint32_t slot, int code)
    {
        Result r{slot, code, {}};
        {
            std::lock_guard lock(EngineLock());
            const ItemBlock& block = LockItems()->blocks[slot];
            for (std::uint32_t i = 0; i < block.answerCount && i < kAnswerAddresses; ++i)
                r.answers.push_back(DottedAddress(block.answers[i].addrBE));
        }
        std::lock_guard lock(mutex);
        results.push_back(r);
    }

    void StartEngine(int rcvbuf = 0)
    {
        if (rcvbuf != 0)
            setsockopt(Engine().probeSocket.load(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        StartMonitorThreads();
    }

    std::uint32_t Add(const std::string& name, const std::string& domain, std::uint32_t type, std::uint16_t port,
                      std::uint32_t timeout = 1500, std::uint32_t lost = 5, std::uint32_t interval = 1000,
                      const char* server = "127.0.0.1") // or IPv6 text
    {
        ItemEdit e;
        e.interval = interval;
        e.timeout = timeout;
        in_addr a{};
        inet_pton(AF_INET, server, &a);
        e.serverBE = a.s_addr;
        e.server6 = ParseServer6(server, e.server6Address).empty();
        e.typeIndex = type;
        e.lostCount = lost;
        e.name = name;
        e.domain = domain;
        const int slot = NewItemSlot();
        EXPECT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
        std::lock_guard lock(EngineLock());
        LockItems()->items[static_cast<std::uint32_t>(slot)].server.portBE = htons(port);
        return static_cast<std::uint32_t>(slot);
    }

    std::vector<Result> ResultsOf(std::uint32_t slot)
    {
        std::lock_guard lock(mutex);
        std::vector<Result> out;
        for (const auto& r : results)
            if (r.slot == slot)
                out.push_back(r);
        return out;
    }
    std::size_t ResultCount()
    {
        std::lock_guard lock(mutex);
        return results.size();
    }
    bool HasEvent(const std::string& text)
    {
        for (const auto& e : hooks.Events())
            if (e.text == text)
                return true;
        return false;
    }

    RecordingUiChannel desktop;
    RecordingHooks hooks;
    std::mutex mutex;
    std::vector<Result> results;
    std::vector<std::string> engineMessages;
};

} // namespace varnell::test
