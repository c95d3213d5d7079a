// What the sound tests share: a SoundServer on the private server, a pumped main thread, speech
// at 16 kHz, and the waits.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/resampler.h"
#include "sound/sound_server.h"
#include "support/sound_clients.h"

namespace quendra::test {

inline std::vector<float> resampled(const std::vector<float>& samples, double from, double to) {
    StreamResampler r(from, to);
    return r.process(samples);
}

// How well and how loud a recording at `rate` holds `speech`: the medians, over the voiced 1.5 s
// pieces of the sentence, of each piece's best normalised correlation anywhere in the recording
// and of the recording's level relative to the piece at that lag. Compared below 450 Hz (at
// 1 kHz) so that a search over every lag stays quick; pieces make a short gap (a client that
// underran on a loaded machine) cost one piece, not the whole match. The recording must hold one
// whole repeat of the looping player.
struct SpeechMatch {
    double correlation = 0;
    double level = 0;
};
inline SpeechMatch matchWith(const Audio& speech, const std::vector<float>& recorded, double rate = 16000) {
    constexpr double kRate = 1000;
    const auto ref = resampled(speech.samples, speech.sampleRate, kRate);
    const auto got = resampled(recorded, rate, kRate);
    const std::size_t piece = static_cast<std::size_t>(1.5 * kRate);
    const double refRms = rms(ref);
    std::vector<double> scores;
    std::vector<double> levels;
    for (std::size_t at = 0; at + piece <= ref.size(); at += piece) {
        std::vector<float> part(ref.begin() + static_cast<long>(at), ref.begin() + static_cast<long>(at + piece));
        if (rms(part) < 0.3 * refRms || got.size() <= piece) continue;
        const Match m = bestMatch(part, got, 0, static_cast<long>(got.size() - piece));
        scores.push_back(m.correlation);
        double dot = 0, energy = 0;
        for (std::size_t i = 0; i < piece; ++i) {
            dot += double(part[i]) * got[i + static_cast<std::size_t>(m.lag)];
            energy += double(part[i]) * part[i];
        }
        levels.push_back(energy > 0 ? dot / energy : 0);
    }
    if (scores.empty()) return {};
    std::sort(scores.begin(), scores.end());
    std::sort(levels.begin(), levels.end());
    return {scores[scores.size() / 2], levels[levels.size() / 2]};
}
inline double correlationWith(const Audio& speech, const std::vector<float>& recorded, double rate = 16000) {
    return matchWith(speech, recorded, rate).correlation;
}

// Below this a phrase is absent from a recording: two unrelated phrases reach about 0.3 at their
// best lag (more on a loaded machine, whose recordings have gaps); one that is there reaches 0.9.
inline constexpr double absentBelow = 0.4;

// Seconds of recording that surely hold one whole repeat of a looping player (each repeat is the
// speech and a second of silence), whenever the recording starts.
inline double loopSeconds(const Audio& speech) { return 2 * double(speech.samples.size()) / speech.sampleRate + 2; }

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (soundServerKind().empty()) GTEST_SKIP() << "needs tests/support/sound_with_server.sh";
        ASSERT_FALSE(speechA().samples.empty()) << "espeak-ng missing";
        SoundServerOptions options;
        options.postToMain = main.poster();
        options.logger.debug = [this](const std::string& line) { log(line); };
        options.logger.warn = [this](const std::string& line) { log("ATTENZIONE " + line); };
        options.guardPath = OMBRIX_SOUND_GUARD;
        server = SoundServer::create(options);
        ASSERT_TRUE(main.waitUntil([&] { return server->connected(); }));
        ASSERT_TRUE(server->sync());
    }
    void TearDown() override {
        server.reset();
        main.pump();
        // Every test leaves the server as it found it.
        if (!soundServerKind().empty()) {
            (void)pactl("set-default-sink headphones");
            EXPECT_TRUE(main.waitUntil([] { return !anyTapSink(); }, 10000)) << "a capture sink was left behind";
        }
    }

    void log(const std::string& line) {
        std::lock_guard lock(logMutex);
        logLines.push_back(line);
    }
    std::vector<std::string> logged() {
        std::lock_guard lock(logMutex);
        return logLines;
    }
    bool loggedLineStarting(const std::string& prefix) {
        for (auto& l : logged())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }

    // Pumps the main thread until `samples()` holds at least `minSeconds` of audio at `rateHz`
    // and `holds` is true of it, or `timeoutMs` passes; returns what it saw last, for the
    // caller's expectations. A loaded machine delays every player, recorder and stream, so the
    // tests wait for the signal they expect, never for a fixed time.
    std::vector<float> recordUntil(const std::function<std::vector<float>()>& samples, double rateHz, double minSeconds,
                                   const std::function<bool(const std::vector<float>&)>& holds,
                                   double timeoutMs = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeoutMs);
        std::vector<float> got;
        std::size_t judged = 0;
        for (;;) {
            main.pump();
            got = samples();
            // Judging is costly: again only once half a second more has arrived.
            if (double(got.size()) >= minSeconds * rateHz && got.size() >= judged + std::size_t(rateHz / 2)) {
                judged = got.size();
                if (holds(got)) return got;
            }
            if (std::chrono::steady_clock::now() >= deadline) return got;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // recordUntil for a recording that holds `speech` with a correlation above `atLeast`.
    std::vector<float> recordUntilHeld(const std::function<std::vector<float>()>& samples, double rateHz,
                                       const Audio& speech, double atLeast) {
        return recordUntil(samples, rateHz, loopSeconds(speech),
                           [&](const std::vector<float>& got) { return correlationWith(speech, got, rateHz) > atLeast; });
    }

    // Stop the private server and start it again (devices and defaults as the harness makes
    // them), through the scripts the harness names; each waits until the layer has seen it.
    bool stopServer() {
        const char* script = std::getenv("OMBRIX_TEST_STOP_SERVER");
        return script && std::system(script) == 0 &&
               main.waitUntil([&] { return !server->connected() && server->outputDevices().empty(); });
    }
    bool startServer() {
        const char* script = std::getenv("OMBRIX_TEST_RESTART_SERVER");
        return script && std::system(script) == 0 &&
               main.waitUntil([&] { return server->connected() && server->device("headphones").has_value(); });
    }

    // Waits until `appName` has a stream and all of its streams are on `sink`.
    bool waitOnSink(const std::string& appName, const std::string& sink, double timeoutMs = 20000) {
        return main.waitUntil(
            [&] {
                auto rows = inputsOf(appName);
                if (rows.empty()) return false;
                for (auto& r : rows)
                    if (r.sinkName != sink) return false;
                return true;
            },
            timeoutMs);
    }
    bool waitOnTap(const std::string& appName, double timeoutMs = 20000) {
        return main.waitUntil(
            [&] {
                auto rows = inputsOf(appName);
                if (rows.empty()) return false;
                for (auto& r : rows)
                    if (r.sinkName.rfind("quendra-tap-", 0) != 0) return false;
                return true;
            },
            timeoutMs);
    }

    TestMain main;
    std::shared_ptr<SoundServer> server;
    std::mutex logMutex;
    std::vector<std::string> logLines;
};

}  // namespace quendra::test
