// What the sound tests share: a SoundServer on the private server, a pumped main thread, speech
// at 16 kHz, and the waits.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/audio/resampler.h"
#include "sound/sound_server.h"
#include "support/sound_clients.h"

namespace quendra::test {

inline std::vector<float> resampled(const std::vector<float>& samples, double from, double to) {
    StreamResampler r(from, to);
    return r.process(samples);
}

// How well a recording at `rate` holds `speech`: the median, over the voiced 1.5 s pieces of the
// sentence, of each piece's best normalised correlation anywhere in the recording. Compared below
// 450 Hz (at 1 kHz) so that a search over every lag stays quick; pieces make a short gap (a
// client that underran on a loaded machine) cost one piece, not the whole match. The recording
// must hold one whole repeat of the looping player.
inline double correlationWith(const Audio& speech, const std::vector<float>& recorded, double rate = 16000) {
    constexpr double kRate = 1000;
    const auto ref = resampled(speech.samples, speech.sampleRate, kRate);
    const auto got = resampled(recorded, rate, kRate);
    const std::size_t piece = static_cast<std::size_t>(1.5 * kRate);
    const double refRms = rms(ref);
    std::vector<double> scores;
    for (std::size_t at = 0; at + piece <= ref.size(); at += piece) {
        std::vector<float> part(ref.begin() + static_cast<long>(at), ref.begin() + static_cast<long>(at + piece));
        if (rms(part) < 0.3 * refRms || got.size() <= piece) continue;
        scores.push_back(bestMatch(part, got, 0, static_cast<long>(got.size() - piece)).correlation);
    }
    if (scores.empty()) return 0;
    std::sort(scores.begin(), scores.end());
    return scores[scores.size() / 2];
}

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
