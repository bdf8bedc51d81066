// A private PulseAudio server for the sound tests: a null sink whose monitor is
// recorded, and a capture source remapped from that monitor. What is played is
// recorded with parec and cut here into runs of silence and tones. Nothing ever
// reaches the machine's own sound device: PULSE_SERVER always points at the
// private server (or at nothing).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

#include "alerts/beep_thread.h"
#include "alerts/sound/sound.h"
#include "tests/support/process.h"
#include "tests/support/recording_ui_channel.h"

namespace varnell::test {

inline constexpr int kRate = 44100;
inline constexpr int kWindow = 441; // 10 ms

// A run of 10 ms windows of one kind: 0 = silence, otherwise the frequency
// class in hertz, -1 = sound of no expected frequency.
struct Segment {
    int kind;
    int ms;
};

inline int Classify(const std::int16_t* s, int n, std::initializer_list<int> expected)
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
inline std::vector<Segment> Analyse(const std::string& raw, std::initializer_list<int> expected)
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

inline std::vector<Segment> Tones(const std::vector<Segment>& runs)
{
    std::vector<Segment> out;
    for (const Segment& r : runs)
        if (r.kind != 0)
            out.push_back(r);
    return out;
}

inline std::string Describe(const std::vector<Segment>& runs)
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
        if (!WaitFor([this] { return std::filesystem::exists(socket_); }, std::chrono::seconds(10)))
            return;
        // A stream that always plays keeps the sink's clock running, so that the
        // monitor recording has no holes between the tested sounds.
        started_ = keepAlive_.Start({"pacat", "--raw", "--latency-msec=20", "--format=s16le", "--rate=44100",
                                     "--channels=1", "-d", "varnell_null", "/dev/zero"},
                                    env_) &&
                   WaitFor([this] { return keepAlive_.Running(); }, std::chrono::seconds(2));
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
            started_ = WaitFor([this] { return ReadFile(path_).size() >= 4410; }, std::chrono::seconds(5));
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
inline void WriteToneFile(const std::string& path, int hz, int ms)
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

} // namespace varnell::test
