// The connection, the device and application lists, and application capture with everything
// moved back afterwards: after stop, after the capturing process is killed, at the next start.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "sound/capture.h"
#include "sound_fixture.h"

namespace quendra::test {
namespace {

class Captured {
public:
    AppCapture::OnAudio sink() {
        return [this](const float* s, std::size_t frames, std::uint32_t ch) {
            std::lock_guard lock(mutex_);
            channels_ = ch;
            for (std::size_t i = 0; i < frames; ++i) {
                float sum = 0;
                for (std::uint32_t c = 0; c < ch; ++c) sum += s[i * ch + c];
                mono_.push_back(sum / float(ch));
            }
        };
    }
    std::vector<float> mono() {
        std::lock_guard lock(mutex_);
        return mono_;
    }

private:
    std::mutex mutex_;
    std::vector<float> mono_;
    std::uint32_t channels_ = 0;
};

using SoundServerTest = SoundTest;

TEST_F(SoundServerTest, ListsSinksDefaultsAndOtherClientsStreams) {
    auto devices = server->outputDevices();
    auto find = [&](const std::string& uid) -> std::optional<AudioDevice> {
        for (auto& d : devices)
            if (d.uid == uid) return d;
        return std::nullopt;
    };
    ASSERT_TRUE(find("headphones"));
    EXPECT_EQ(find("headphones")->name, "Cuffie");
    EXPECT_EQ(find("speakers")->name, "Altoparlanti");
    EXPECT_EQ(server->device("headphones"), find("headphones"));
    EXPECT_FALSE(server->device(""));
    EXPECT_FALSE(server->device("no-such-sink"));
    ASSERT_TRUE(server->defaultSink());
    EXPECT_EQ(server->defaultSink()->uid, "headphones");
    EXPECT_EQ(server->defaultSourceName(), "microphone.monitor");

    Player call(speechA(), "Zoom", "us.zoom.xos");
    Player unnamed(speechB(), "Lettore", "");
    ASSERT_TRUE(main.waitUntil([&] {
        int found = 0;
        for (auto& p : server->audioProcesses()) {
            if (p.appId == "us.zoom.xos" && p.appName == "Zoom" && p.playing && p.processId > 0) ++found;
            // Without application.id the binary names the application.
            if (p.appName == "Lettore" && p.appId == "pacat") ++found;
        }
        return found == 2;
    }));

    // A capture sink is never offered as a device.
    AppCapture capture(server);
    ASSERT_TRUE(capture.prepare("us.zoom.xos"));
    ASSERT_TRUE(server->sync());
    EXPECT_TRUE(anyTapSink());
    EXPECT_FALSE(server->device(capture.sinkName()));
    for (auto& d : server->outputDevices()) EXPECT_NE(d.uid.rfind("quendra-tap-", 0), 0u);
    capture.stop();
    EXPECT_FALSE(anyTapSink());
}

TEST_F(SoundServerTest, CapturesOneApplicationAloneAndPutsItBackWithoutAPreference) {
    Player call(speechA(), "Zoom", "us.zoom.xos");
    Player music(speechB(), "Musica", "org.example.music");
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));
    ASSERT_TRUE(waitOnSink("Musica", "headphones"));
    ASSERT_TRUE(server->sync());

    AppCapture capture(server);
    auto format = capture.prepare("us.zoom.xos");
    ASSERT_TRUE(format) << format.error().message;
    EXPECT_EQ(format->channels, 2u);
    EXPECT_EQ(format->sampleRate, 48000.0);
    Captured captured;
    auto ran = capture.run(captured.sink());
    ASSERT_TRUE(ran) << ran.error().message;
    ASSERT_TRUE(waitOnTap("Zoom"));
    EXPECT_EQ(inputsOf("Musica").at(0).sinkName, "headphones");

    {
        Recorder headphones("headphones.monitor");
        // The call is silent on the headphones; the music plays on.
        const auto onHeadphones = recordUntilHeld([&] { return headphones.samples(); }, headphones.rate(), speechB(), 0.5);
        EXPECT_GT(correlationWith(speechB(), onHeadphones), 0.5);
        EXPECT_LT(correlationWith(speechA(), onHeadphones), absentBelow);
        // And the capture holds the call, not the music.
        const auto got = recordUntilHeld([&] { return captured.mono(); }, format->sampleRate, speechA(), 0.6);
        EXPECT_GT(correlationWith(speechA(), got, format->sampleRate), 0.6);
        EXPECT_LT(correlationWith(speechB(), got, format->sampleRate), absentBelow);
    }

    capture.stop();
    EXPECT_FALSE(anyTapSink());
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));

    // No stored preference: a new stream of the same application follows a new default.
    ASSERT_TRUE(setDefaultDevice("sink", "speakers"));
    Player again(speechA(), "Zoom", "us.zoom.xos");
    EXPECT_TRUE(main.waitUntil([&] {
        for (auto& r : inputsOf("Zoom"))
            if (r.sinkName == "speakers") return true;
        return false;
    }));
}

TEST_F(SoundServerTest, StreamFromANonDefaultSinkGoesBackThere) {
    Player call(speechA(), "Discord", "com.discordapp.Discord", "speakers");
    ASSERT_TRUE(waitOnSink("Discord", "speakers"));
    ASSERT_TRUE(server->sync());
    AppCapture capture(server);
    ASSERT_TRUE(capture.prepare("com.discordapp.Discord"));
    ASSERT_TRUE(capture.run([](const float*, std::size_t, std::uint32_t) {}));
    ASSERT_TRUE(waitOnTap("Discord"));
    capture.stop();
    EXPECT_TRUE(waitOnSink("Discord", "speakers"));
}

TEST_F(SoundServerTest, WholeComputerCaptureTakesEveryOtherStreamIncludingLaterOnes) {
    auto call = std::make_unique<Player>(speechA(), "Zoom", "us.zoom.xos");
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));
    ASSERT_TRUE(server->sync());
    AppCapture capture(server);
    ASSERT_TRUE(capture.prepare(""));
    Captured captured;
    ASSERT_TRUE(capture.run(captured.sink()));
    ASSERT_TRUE(waitOnTap("Zoom"));
    // A stream that starts after capture began (a browser's next media element) is followed.
    Player later(speechB(), "Browser", "org.example.browser");
    ASSERT_TRUE(waitOnTap("Browser"));
    EXPECT_EQ(capture.movedStreams().size(), 2u);
    // What is captured once the first stream has gone is the later stream alone.
    call.reset();
    ASSERT_TRUE(main.waitUntil([&] { return inputsOf("Zoom").empty(); }));
    const std::size_t from = captured.mono().size();
    const auto tail = [&] {
        const auto all = captured.mono();
        return std::vector<float>(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    };
    EXPECT_GT(correlationWith(speechB(), recordUntilHeld(tail, 48000, speechB(), 0.6), 48000), 0.6);
    capture.stop();
    EXPECT_TRUE(waitOnSink("Browser", "headphones"));
}

// The stand-in for the application-termination notification: all processes that played for the
// application have ended, including one that started after the watch began.
TEST_F(SoundServerTest, ToldWhenEveryProcessOfTheWatchedApplicationHasEnded) {
    auto first = std::make_unique<Player>(speechA(), "Signal", "org.signal.Signal");
    ASSERT_TRUE(main.waitUntil([&] { return !inputsOf("Signal").empty(); }));
    ASSERT_TRUE(server->sync());
    int ended = 0;
    server->watchApplication("org.signal.Signal", [&] { ++ended; });
    auto second = std::make_unique<Player>(speechB(), "Signal", "org.signal.Signal");
    ASSERT_TRUE(main.waitUntil([&] { return inputsOf("Signal").size() == 2; }));
    ASSERT_TRUE(server->sync());
    first.reset();
    ASSERT_TRUE(main.waitUntil([&] { return inputsOf("Signal").size() == 1; }));
    ASSERT_TRUE(server->sync());
    main.pump();
    EXPECT_EQ(ended, 0);
    second.reset();
    EXPECT_TRUE(main.waitUntil([&] { return ended == 1; }));
    server->stopWatchingApplication();
}

TEST_F(SoundServerTest, CaptureErrors) {
    AppCapture capture(server);
    auto ran = capture.run([](const float*, std::size_t, std::uint32_t) {});
    ASSERT_FALSE(ran);
    EXPECT_EQ(ran.error().message, "Cattura non preparata.");
    capture.stop();
    capture.stop();
}

// Starts the helper that captures and waits to be killed; returns its pid once it is capturing.
pid_t startCapturingProcess(const std::string& target, FILE** out) {
    std::string cmd = std::string("exec ") + OMBRIX_CAPTURE_HELPER + " " + OMBRIX_SOUND_GUARD + " '" + target + "'";
    *out = ::popen(("echo $$; " + cmd).c_str(), "r");
    if (!*out) return -1;
    int pid = -1;
    if (std::fscanf(*out, "%d", &pid) != 1) return -1;
    char word[64] = {};
    char sink[128] = {};
    if (std::fscanf(*out, "%63s %127s", word, sink) != 2 || std::string(word) != "ready") return -1;
    return pid;
}

TEST_F(SoundServerTest, AKilledCaptureIsUndoneByItsGuard) {
    Player call(speechA(), "Zoom", "us.zoom.xos");
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));
    FILE* out = nullptr;
    const pid_t pid = startCapturingProcess("us.zoom.xos", &out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitOnTap("Zoom"));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ::pclose(out);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitOnSink("Zoom", "headphones"));
    EXPECT_TRUE(main.waitUntil([] { return !anyTapSink(); }));
    std::printf("undone %.0f ms after the kill\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed).count());
}

TEST_F(SoundServerTest, LeftoversOfARunKilledWithItsGuardAreRepairedAtTheNextStart) {
    Player call(speechA(), "Zoom", "us.zoom.xos");
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));
    FILE* out = nullptr;
    const pid_t pid = startCapturingProcess("us.zoom.xos", &out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitOnTap("Zoom"));
    // Kill the guard first (it is the helper's only child process called so), then the helper.
    FILE* ps = ::popen(("pgrep -f 'ombrix-sound-guard " + std::to_string(pid) + "$'").c_str(), "r");
    int guard = -1;
    ASSERT_EQ(std::fscanf(ps, "%d", &guard), 1);
    ::pclose(ps);
    ASSERT_EQ(::kill(guard, SIGKILL), 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ::pclose(out);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(anyTapSink());
    EXPECT_EQ(inputsOf("Zoom").at(0).sinkName.rfind("quendra-tap-", 0), 0u);

    auto next = SoundServer::create(SoundServerOptions{main.poster(), Logger{}, OMBRIX_SOUND_GUARD});
    EXPECT_FALSE(anyTapSink());
    EXPECT_TRUE(waitOnSink("Zoom", "headphones"));
}

}  // namespace
}  // namespace quendra::test
