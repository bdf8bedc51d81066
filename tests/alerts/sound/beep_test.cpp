// The beep worker against the private sound server: what it plays is recorded
// and its tones and their lengths are checked.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/alerts/sound/pulse_server.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

TEST_F(SoundTest, BeepOfThreeSecondsWithRepeatPlaysSixAlternatingTones)
{
    PulseServer::Recording rec(*server_, server_->File("beep.raw"));
    ASSERT_TRUE(rec.Started()) << server_->Log();
    ASSERT_EQ(Worker().Post(kNoWindow, 3, "", true), 0);
    ASSERT_TRUE(WaitFor([&] { return Worker().Rounds() == 3; }, 10s));
    std::this_thread::sleep_for(800ms); // no fourth round may follow
    EXPECT_EQ(Worker().Rounds(), 3u);
    auto tones = Tones(Analyse(rec.Stop(), {3000, 2000}));
    ASSERT_EQ(tones.size(), 6u) << Describe(tones);
    for (std::size_t i = 0; i < tones.size(); ++i) {
        EXPECT_EQ(tones[i].kind, i % 2 == 0 ? 3000 : 2000) << Describe(tones);
        EXPECT_NEAR(tones[i].ms, 500, 60) << Describe(tones);
    }
}

TEST_F(SoundTest, BeepWithoutRepeatGoesOnUntilStopSoundAndQueuedSecondsAddUp)
{
    ASSERT_EQ(Worker().Post(kNoWindow, 1, "", false), 0);
    ASSERT_TRUE(WaitFor([&] { return Worker().Rounds() >= 2; }, 10s));
    Worker().RequestStopSound();
    std::this_thread::sleep_for(1300ms); // the current round ends
    std::uint32_t stopped = Worker().Rounds();
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(Worker().Rounds(), stopped);

    // Requests that arrive during a round are taken into the running beep and
    // their seconds add up: three requests of one second make three rounds.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Worker().Post(kNoWindow, 1, "", true), 0);
    EXPECT_TRUE(WaitFor([&] { return Worker().Rounds() == stopped + 3; }, 10s));
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(Worker().Rounds(), stopped + 3);
}

TEST_F(SoundTest, SoundFileRepeatsUntilStopSoundAndAMissingFileIsSkipped)
{
    std::string file = server_->File("tone.wav");
    WriteToneFile(file, 3000, 300);

    PulseServer::Recording rec(*server_, server_->File("play.raw"));
    ASSERT_TRUE(rec.Started()) << server_->Log();
    ASSERT_EQ(Worker().Post(kNoWindow, 0, file, true), 0);
    std::this_thread::sleep_for(1500ms);
    Worker().RequestStopSound();
    std::this_thread::sleep_for(300ms);
    std::string raw = rec.Stop();
    auto runs = Analyse(raw, {3000});
    int playedMs = 0;
    for (const Segment& r : runs)
        if (r.kind == 3000)
            playedMs += r.ms;
    // One pass is 300 ms; a file that repeats is heard for longer (the gaps
    // between passes depend on the machine's speed).
    EXPECT_GT(playedMs, 500) << Describe(runs);
    // After the stop only silence: the last run is not the tone.
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back().kind, 0) << Describe(runs);

    CHwMCI direct;
    EXPECT_EQ(direct.Open(server_->File("missing.wav")), 0);
    EXPECT_FALSE(direct.IsOpen());
    EXPECT_STRNE(direct.ErrorText(), "");
    ASSERT_EQ(Worker().Post(kNoWindow, 0, server_->File("missing.wav"), true), 0);
    ASSERT_EQ(Worker().Post(kNoWindow, 1, "", true), 0);
    EXPECT_TRUE(WaitFor([&] { return Worker().Rounds() == 1; }, 5s));
}
