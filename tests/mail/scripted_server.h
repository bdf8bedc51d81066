// An SMTP server that follows a script, for the failure paths a real server
// does not take: wrong codes, silence, trickling bytes, over-long lines, a
// connection closed halfway. It listens on 127.0.0.1, takes one connection,
// runs the script on its own thread and records every byte the client sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace varnell::test {

struct ScriptStep {
    enum Kind { kSend, kReadLine, kPause, kClose, kTrickle } kind;
    std::string text;
    int ms = 0;
};

inline ScriptStep Say(std::string text) { return {ScriptStep::kSend, std::move(text), 0}; }
inline ScriptStep Hear() { return {ScriptStep::kReadLine, {}, 0}; }
inline ScriptStep Pause(int ms) { return {ScriptStep::kPause, {}, ms}; }
inline ScriptStep Hangup() { return {ScriptStep::kClose, {}, 0}; }
// Sends the text one byte at a time with `ms` between bytes.
inline ScriptStep Trickle(std::string text, int ms) { return {ScriptStep::kTrickle, std::move(text), ms}; }

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<ScriptStep> script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // Cuts the remaining pauses short, waits for the script to end and the
    // client to close (at most a few seconds), then returns everything the
    // client sent. Call it once the client is done.
    std::string Received();

private:
    void Run();
    bool ReadLine(int fd);

    std::vector<ScriptStep> script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hurry_{false};
    std::string received_;
    std::size_t consumed_ = 0;
    std::thread thread_;
};

} // namespace varnell::test
