// The sound layer and the beep worker against a private PulseAudio server: a
// null sink whose monitor is recorded, and a capture source remapped from that
// monitor. What the worker plays is recorded with parec and analysed here.
// Nothing ever reaches the machine's own sound device: PULSE_SERVER always
// points at the private server (or at nothing).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

#include "alerts/beep_thread.h"
#include "alerts/sound/sound.h"
#include "base/byte_reader.h"
#include "tests/support/recording_ui_channel.h"
#include "tests/support/process.h"

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

namespace {

constexpr int kRate = 44100;
constexpr int kWindow = 441; // 10 ms

// A run of 10 ms windows of one kind: 0 = silence, otherwise the frequency
// class in hertz, -1 = sound of no expected frequency.
struct Segment {
    int kind;
    int ms;
};

int Classify(const std::int16_t* s, int n, std::initializer_list<int> expected)
{
    double sum = 0;
    int crossings = 0;
    for (int i = 0; i < n; ++i) {
        sum += double(s[i]) * s[i];
        if (i > 0 && (s[i - 1] < 0) != (s[i] < 0))
            ++crossings;
    }
    if (std::sqrt(sum / n) < 1000)
        return 0;
    double hz = crossings / 2.0 * kRate / n;
    for (int f : expected)
        if (std::fabs(hz - f) <= f * 0.05)
            return f;
    return -1;
}

// Runs of the recording, with runs shorter than 30 ms (windows that straddle
// a change) dropped and neighbours of the same kind merged.
std::vector<Segment> Analyse(const std::string& raw, std::initializer_list<int> expected)
{
    const auto* s = reinterpret_cast<const std::int16_t*>(raw.data());
    int count = static_cast<int>(raw.size() / 2);
    std::vector<Segment> runs;
    for (int at = 0; at + kWindow <= count; at += kWindow) {
        int kind = Classify(s + at, kWindow, expected);
        if (!runs.empty() && runs.back().kind == kind)
            runs.back().ms += 10;
        else
            runs.push_back({kind, 10});
    }
    std::vector<Segment> out;
    for (const Segment& r : runs) {
        if (r.ms < 30)
            continue;
        if (!out.empty() && out.back().kind == r.kind)
            out.back().ms += r.ms;
        else
            out.push_back(r);
    }
    return out;
}

std::vector<Segment> Tones(const std::vector<Segment>& runs)
{
    std::vector<Segment> out;
    for (const Segment& r : runs)
        if (r.kind != 0)
            out.push_back(r);
    return out;
}

std::string Describe(const std::vector<Segment>& runs)
{
    std::string text;
    for (const Segment& r : runs)
        text += std::to_string(r.kind) + ":" + std::to_string(r.ms) + "ms ";
    return text;
}

class PulseServer {
public:
    PulseServer()
    {
        chmod(dir_.Path().c_str(), 0700);
        socket_ = dir_.File("native");
        WriteFile(dir_.File("pa.conf"),
                  "load-module module-null-sink sink_name=varnell_null rate=44100 channels=1\n"
                  "load-module module-remap-source source_name=varnell_capture master=varnell_null.monitor "
                  "source_properties=device.description=VarnellCapture\n"
                  "load-module module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1\n"
                  "set-default-sink varnell_null\n"
                  "set-default-source varnell_capture\n");
        env_ = {"PULSE_RUNTIME_PATH=" + dir_.Path(), "XDG_RUNTIME_DIR=" + dir_.Path(), "HOME=" + dir_.Path(),
                "PULSE_SERVER=unix:" + socket_};
        if (!server_.Start({"pulseaudio", "-n", "-F", dir_.File("pa.conf"), "--daemonize=no", "--system=no",
                            "--exit-idle-time=-1", "--disallow-exit", "--disable-shm=yes", "--log-target=stderr"},
                           env_, "", dir_.File("pulse.log")))
            return;
        if (!WaitFor([this] { return std::filesystem::exists(socket_); }, 10s))
            return;
        // A stream that always plays keeps the sink's clock running, so that the
        // monitor recording has no holes between the tested sounds.
        started_ = keepAlive_.Start({"pacat", "--raw", "--latency-msec=20", "--format=s16le", "--rate=44100",
                                     "--channels=1", "-d", "varnell_null", "/dev/zero"},
                                    env_) &&
                   WaitFor([this] { return keepAlive_.Running(); }, 2s);
        if (started_)
            setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    }
    ~PulseServer() { unsetenv("PULSE_SERVER"); }

    bool Started() const { return started_; }
    std::string Log() const { return ReadFile(dir_.File("pulse.log")); }
    std::string File(const std::string& name) const { return dir_.File(name); }

    // Records the null sink's monitor as 16-bit mono at 44 100 Hz.
    class Recording {
    public:
        Recording(const PulseServer& server, const std::string& path) : path_(path)
        {
            child_.Start({"parec", "--raw", "--latency-msec=20", "--format=s16le", "--rate=44100", "--channels=1",
                          "-d", "varnell_null.monitor"},
                         server.env_, path_);
            // Recording has begun once the first samples have arrived.
            started_ = WaitFor([this] { return ReadFile(path_).size() >= 4410; }, 5s);
        }
        std::string Stop()
        {
            child_.Stop();
            return ReadFile(path_);
        }

        bool Started() const { return started_; }

    private:
        std::string path_;
        ChildProcess child_;
        bool started_ = false;
    };

private:
    TempDir dir_;
    std::string socket_;
    std::vector<std::string> env_;
    ChildProcess server_;
    ChildProcess keepAlive_;
    bool started_ = false;
};

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = std::make_unique<PulseServer>();
        if (!server_->Started())
            GTEST_SKIP() << "PulseAudio could not be started here:\n" << server_->Log();
        SetUiChannel(&desktop_);
    }
    void TearDown() override
    {
        if (worker_) {
            worker_->RequestStop();
            EXPECT_EQ(worker_->StopAndJoin(), 1);
            worker_.reset();
        }
        desktop_.ReleaseWaiters();
        server_.reset();
    }
    cbeepthread& Worker()
    {
        if (!worker_) {
            worker_ = std::make_unique<cbeepthread>();
            worker_->Resume();
        }
        return *worker_;
    }

    RecordingUiChannel desktop_;
    std::unique_ptr<PulseServer> server_;
    std::unique_ptr<cbeepthread> worker_;
};

// A 16-bit WAV of one sine tone, for the worker to play.
void WriteToneFile(const std::string& path, int hz, int ms)
{
    WaveFormat f{1, 1, 22050, 44100, 2, 16};
    std::vector<std::uint8_t> data;
    int n = 22050 * ms / 1000;
    for (int i = 0; i < n; ++i) {
        auto v = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * hz * i / 22050.0));
        data.push_back(static_cast<std::uint8_t>(v & 0xFF));
        data.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    ASSERT_TRUE(WriteWaveFile(path, f, data));
}

} // namespace

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
