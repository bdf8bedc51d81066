// The beep and sound worker: beeps in rounds of two tones (3000 Hz then
// 2000 Hz, half a second each) or plays a sound file, optionally repeated,
// until the next request, a "Stop Sound" request or the end of the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "alerts/sound/sound.h"
#include "alerts/workers.h"

namespace varnell {

inline constexpr std::uint32_t kBeepHighHz = 3000;
inline constexpr std::uint32_t kBeepLowHz = 2000;
inline constexpr std::uint32_t kBeepToneMs = 500;

class cbeepthread : public cnotifythread {
public:
    struct Entry {
        WindowId reply = kNoWindow; // never answered
        std::int32_t beepSeconds = 0;
        std::string soundFile;
        std::int32_t repeat = 0;
    };

    cbeepthread() = default;

    // Queues a beep (soundFile empty: beepSeconds rounds) or a sound file; 0 when
    // queued, -1 when the queue is full.
    int Post(WindowId reply, int beepSeconds, const std::string& soundFile, bool repeat);
    // Ends the beeping after the current round, or a playing sound at once.
    void RequestStopSound();

    void Process() override;
    int OnExit() override;

    // Beep rounds played since the worker started (diagnostics and tests).
    std::uint32_t Rounds() const { return rounds_.load(); }

private:
    void Tone(std::uint32_t frequencyHz);

    NotifyRing<Entry> ring_;
    CHwMCI sound_; // worker thread only
    // Set by the user-interface thread, read and cleared by the worker.
    std::atomic<std::uint8_t> stopSound_{0};
    std::atomic<std::uint32_t> rounds_{0};
};

} // namespace varnell
