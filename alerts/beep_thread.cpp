#include "alerts/beep_thread.h"

#include <chrono>
#include <thread>

namespace varnell {

int cbeepthread::Post(WindowId reply, int beepSeconds, const std::string& soundFile, bool repeat)
{
    Entry e;
    e.reply = reply;
    e.beepSeconds = beepSeconds;
    e.soundFile = soundFile;
    e.repeat = repeat ? 1 : 0;
    return Enqueue(ring_, std::move(e));
}

void cbeepthread::RequestStopSound()
{
    stopSound_.store(1);
    Wake();
}

int cbeepthread::OnExit()
{
    sound_.Close();
    return 0;
}

void cbeepthread::Tone(std::uint32_t frequencyHz)
{
    // Without a sound server the tone fails at once; the round still takes its
    // time so that an endless beep never turns into a busy loop.
    auto start = std::chrono::steady_clock::now();
    if (PlayTone(frequencyHz, kBeepToneMs) == 1)
        return;
    auto due = start + std::chrono::milliseconds(kBeepToneMs);
    std::this_thread::sleep_until(due);
}

void cbeepthread::Process()
{
    std::string file;
    // 64 bits: queued seconds add up without overflow, and a negative count
    // (a negative "Seconds" setting) never reaches 0.
    std::int64_t beeps = 0;
    std::int32_t repeat = 0;
    auto take = [&](Entry& e, std::uint32_t) {
        file = e.soundFile;
        repeat = e.repeat;
        if (file.empty())
            beeps += e.beepSeconds;
        else
            beeps = 0;
        return WindowMessage{};
    };
    auto discard = [](Entry&, std::uint32_t) { return WindowMessage{}; };

    for (;;) {
        if (Pending() != 0)
            sound_.Close(); // a new request ends whatever still plays
        Drain(ring_, false, take);
        if (stopSound_.load() != 0) {
            Drain(ring_, false, discard);
            sound_.Close();
            stopSound_.store(0);
            return;
        }
        if (!file.empty()) {
            // A file that cannot be opened is skipped; its error text stays in sound_.
            if (sound_.Open(file))
                sound_.Play(repeat);
            return;
        }
        if (beeps == 0)
            return;
        Tone(kBeepHighHz);
        Tone(kBeepLowHz);
        rounds_.fetch_add(1);
        if (repeat > 0)
            --beeps;
        if (StopRequested())
            return;
    }
}

} // namespace varnell
