// The sound layer on its own against the private sound server (recording,
// saving, the capture device list, tones), and without any server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/byte_reader.h"
#include "tests/alerts/sound/pulse_server.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

// GLib synchronises its threads with primitives the thread sanitizer does not
// see, so it reports races and lock orders inside the uninstrumented media
// libraries; only those are silenced.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libgstreamer-1.0.so\ncalled_from_lib:libglib-2.0.so\n"
           "called_from_lib:libgobject-2.0.so\nrace:libgst\nrace:libglib-2.0\nrace:libgobject-2.0\n"
           "race:libpulse\nmutex:libgst\nmutex:libglib-2.0\ndeadlock:libgst\ndeadlock:libglib-2.0\n";
}

// The media library keeps its plugin registry and type system for the life of
// the process; those are not leaks of this program.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libgstreamer-1.0\nleak:libglib-2.0\nleak:libgobject-2.0\nleak:libgio-2.0\n"
           "leak:libpulse\nleak:libgstpulseaudio\nleak:libgstbase-1.0\nleak:libgstaudio-1.0\n"
           "leak:libgstapp-1.0\nleak:libgstplayback\nleak:libgstcoreelements\n";
}

TEST_F(SoundTest, RecordingSavesAn8Bit11025HzWaveFileAndDevicesAreListed)
{
    std::vector<std::string> names;
    ASSERT_GE(EnumerateCaptureDevices(names), 1);
    EXPECT_NE(std::find(names.begin(), names.end(), "VarnellCapture"), names.end());

    CHwMCI mci;
    EXPECT_EQ(mci.Record(3), 0);
    ASSERT_EQ(mci.Record(2), 1) << mci.ErrorText();
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(PlayTone(2000, 400), 1);
    std::this_thread::sleep_for(200ms);
    std::string path = server_->File("saved.wav");
    ASSERT_EQ(mci.Save(path), 1) << mci.ErrorText();

    std::string wav = ReadFile(path);
    ByteReader r(wav.data(), wav.size());
    char tag[4];
    std::uint32_t riffSize = 0, fmtSize = 0, rate = 0, byteRate = 0, dataSize = 0;
    std::uint16_t format = 0, channels = 0, align = 0, bits = 0;
    ASSERT_TRUE(r.ReadBytes(tag, 4) && std::string(tag, 4) == "RIFF");
    ASSERT_TRUE(r.ReadU32LE(riffSize));
    EXPECT_EQ(riffSize, wav.size() - 8);
    ASSERT_TRUE(r.ReadBytes(tag, 4) && std::string(tag, 4) == "WAVE");
    ASSERT_TRUE(r.ReadBytes(tag, 4) && std::string(tag, 4) == "fmt ");
    ASSERT_TRUE(r.ReadU32LE(fmtSize) && fmtSize == 16);
    ASSERT_TRUE(r.ReadU16LE(format) && r.ReadU16LE(channels) && r.ReadU32LE(rate) && r.ReadU32LE(byteRate) &&
                r.ReadU16LE(align) && r.ReadU16LE(bits));
    EXPECT_EQ(format, 1);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, 11025u);
    EXPECT_EQ(byteRate, 22050u);
    EXPECT_EQ(align, 2);
    EXPECT_EQ(bits, 8);
    ASSERT_TRUE(r.ReadBytes(tag, 4) && std::string(tag, 4) == "data");
    ASSERT_TRUE(r.ReadU32LE(dataSize));
    EXPECT_EQ(dataSize % 2, 0u);
    ASSERT_LE(dataSize, r.Remaining());
    // About 0.8 s was recorded, and the tone is in it: count the left channel's
    // crossings of the 8-bit midpoint over its loud stretch.
    EXPECT_GT(dataSize, 22050u * 5 / 10);
    const auto* d = reinterpret_cast<const std::uint8_t*>(wav.data()) + r.Position();
    int loud = 0, crossings = 0;
    for (std::uint32_t i = 2; i < dataSize; i += 2) {
        bool high = d[i] >= 128, wasHigh = d[i - 2] >= 128;
        if (std::abs(int(d[i]) - 128) > 30)
            ++loud;
        if (high != wasHigh)
            ++crossings;
    }
    EXPECT_GT(loud, 1000);
    // 2000 Hz for 0.4 s crosses 1600 times; the silent rest adds few.
    EXPECT_NEAR(crossings, 1600, 250);

    // Playing the recording back.
    EXPECT_EQ(mci.Play(0), 1) << mci.ErrorText();
    EXPECT_EQ(mci.Close(), 1);
    EXPECT_FALSE(mci.IsOpen());
}

TEST(SoundWithoutServer, EveryOperationFailsAtOnceAndBeepRoundsKeepTheirPace)
{
    TempDir dir;
    setenv("PULSE_SERVER", ("unix:" + dir.File("no-server")).c_str(), 1);
    RecordingUiChannel desktop;
    SetUiChannel(&desktop);

    auto start = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_EQ(PlayTone(3000, 500, &error), 0);
    EXPECT_FALSE(error.empty());
    std::string file = dir.File("tone.wav");
    WriteToneFile(file, 1000, 100);
    CHwMCI mci;
    EXPECT_EQ(mci.Open(file), 0);
    EXPECT_STRNE(mci.ErrorText(), "");
    EXPECT_EQ(mci.Record(1), 0);
    std::vector<std::string> names;
    int count = EnumerateCaptureDevices(names); // other device providers may still answer
    EXPECT_EQ(count < 0 ? 0u : static_cast<std::size_t>(count), names.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    cbeepthread worker;
    worker.Resume();
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(worker.Post(kNoWindow, 2, "", true), 0);
    ASSERT_TRUE(WaitFor([&] { return worker.Rounds() == 2; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    worker.RequestStop();
    EXPECT_EQ(worker.StopAndJoin(), 1);
    desktop.ReleaseWaiters();
    unsetenv("PULSE_SERVER");
}
