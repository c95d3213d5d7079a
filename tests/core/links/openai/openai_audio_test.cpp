// The OpenAI link's audio, silence tail, transcripts and hostile server events.
#include <algorithm>
#include <stdexcept>

#include "core/audio/resampler.h"
#include "openai_fixture.h"

namespace quendra::test {
namespace {

using json = nlohmann::json;

std::string b64(const std::vector<std::int16_t>& samples) { return PCM::base64(samples); }

size_t count(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

TEST_F(OpenAILinkTest, OutgoingAudioIsResampledByOneStreamSharedByEveryConnection) {
    tuning.silenceTailMs = 0;
    auto link = makeOpen();
    std::vector<std::int16_t> a(1600), b(1600);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<std::int16_t>((i * 37) % 2000 - 1000);
        b[i] = static_cast<std::int16_t>((i * 53) % 3000 - 1500);
    }
    link->sendAudio(a);
    const auto first = sentAudio(sockets.last());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NEAR(static_cast<double>(first[0].size()), 2400, 1);
    EXPECT_EQ(link->inputBytes, 3200);

    // The next chunk goes to a new connection but continues the same stream.
    send(sockets.last(), {{"type", "session.closed"}});
    makeReady(sockets.last());
    link->sendAudio(b);
    const auto second = sentAudio(sockets.last());
    ASSERT_EQ(second.size(), 1u);

    StreamResampler reference(16000, 24000);
    EXPECT_EQ(first[0], PCM::floatToInt16(reference.process(PCM::int16ToFloat(a))));
    EXPECT_EQ(second[0], PCM::floatToInt16(reference.process(PCM::int16ToFloat(b))));
    EXPECT_EQ(link->inputBytes, 6400);
}

TEST_F(OpenAILinkTest, AudioDeltaIsResampledToOutputRateAndAmplifiedWithClamping) {
    struct Case {
        std::optional<double> sampleRate;
        std::int16_t value;
        size_t samples;
        size_t expectedSamples;
        std::int16_t expectedValue;
    };
    const Case cases[] = {
        {48000, 10000, 960, 480, 32767},
        {48000, 1000, 960, 480, 4000},
        {std::nullopt, -1000, 100, 100, -4000},
        {24000, -10000, 10, 10, -32768},
        {12000, 1000, 100, 200, 4000},
        {-5, 7, 10, 10, 28},  // not a rate: used unchanged
    };
    auto link = makeOpen();
    std::int64_t bytes = 0;
    for (const auto& c : cases) {
        json event = {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(c.value, c.samples))}};
        if (c.sampleRate) event["sample_rate"] = *c.sampleRate;
        send(sockets.last(), event);
        ASSERT_FALSE(rec.audio.empty());
        EXPECT_EQ(rec.audio.back(), chunk(c.expectedValue, c.expectedSamples)) << c.value;
        bytes += 2 * static_cast<std::int64_t>(c.expectedSamples);
    }
    EXPECT_EQ(link->outputBytes, bytes);
    EXPECT_EQ(rec.usages.size(), 1u);  // at most one report per interval
}

TEST_F(OpenAILinkTest, BrokenAudioDeltasGiveEmptyChunksOrNothing) {
    struct Case {
        json event;
        std::optional<size_t> played;  // samples passed to onAudio; none when not called
    };
    const Case cases[] = {
        {{{"delta", "not base64!"}}, 0},
        {{{"delta", "AQD+/w==\n"}}, 0},
        {{{"delta", "AQD+"}}, 1},  // three bytes: one sample
        {{{"delta", "AQ=="}}, 0},  // one byte
        {{{"delta", ""}}, std::nullopt},
        {{{"delta", 12}}, std::nullopt},
        {json::object(), std::nullopt},
        {{{"delta", b64(chunk(1, 10))}, {"sample_rate", 0.001}}, 0},  // absurd rate: not played
        {{{"delta", b64(chunk(1, 10))}, {"sample_rate", 1e300}}, 0},
        {{{"delta", b64(chunk(1, 10))}, {"sample_rate", "48000"}}, 10},
        {{{"delta", b64(chunk(1, 10))}, {"channels", "2"}}, 10},
    };
    auto link = makeOpen();
    for (const auto& c : cases) {
        rec.audio.clear();
        json event = c.event;
        event["type"] = "session.output_audio.delta";
        send(sockets.last(), event);
        if (c.played) {
            ASSERT_EQ(rec.audio.size(), 1u) << event.dump();
            EXPECT_EQ(rec.audio[0].size(), *c.played) << event.dump();
        } else {
            EXPECT_TRUE(rec.audio.empty()) << event.dump();
        }
    }
    EXPECT_EQ(link->outputBytes, 2 * (1 + 10 + 10));
    EXPECT_TRUE(logs.contains("frequenza audio non valida: 0.001"));
}

TEST_F(OpenAILinkTest, AudioDeltaBeyondTheMessageLimitIsDroppedWhole) {
    auto link = makeOpen();
    // 30000 samples at 1000 Hz resample to exactly the limit; one more sample is too many.
    const size_t fits = Translator::maxMessageFrames / 24;
    send(sockets.last(), {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, fits + 1))}, {"sample_rate", 1000}});
    send(sockets.last(), {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, fits + 1))}, {"sample_rate", 1000}});
    EXPECT_TRUE(rec.audio.empty());
    EXPECT_EQ(link->outputBytes, 0);
    const auto texts = logs.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("audio troppo lungo in un messaggio") != std::string::npos; }),
              1);
    send(sockets.last(), {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, fits))}, {"sample_rate", 1000}});
    ASSERT_EQ(rec.audio.size(), 1u);
    EXPECT_EQ(rec.audio[0].size(), Translator::maxMessageFrames);
    EXPECT_EQ(link->state, LinkState::open);
}

TEST_F(OpenAILinkTest, WhatTheOwnersCallbacksThrowIsNotTakenForBadJson) {
    auto link = makeOpen();
    int calls = 0;
    link->onAudio = [&calls](const std::vector<std::int16_t>&) {
        if (++calls == 1) throw std::runtime_error("owner");
    };
    const json delta = {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, 10))}};
    EXPECT_THROW(send(sockets.last(), delta), std::runtime_error);
    EXPECT_FALSE(logs.contains("JSON non valido dal server"));
    send(sockets.last(), delta);  // the link goes on
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(link->outputBytes, 40);
    EXPECT_EQ(link->state, LinkState::open);
}

TEST_F(OpenAILinkTest, OnceOnlyDebugLines) {
    auto link = makeOpen();
    const json stereo = {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, 4))}, {"channels", 2}};
    send(sockets.last(), stereo);
    send(sockets.last(), stereo);
    send(sockets.last(), {{"type", "session.output_audio.delta"}, {"delta", b64(chunk(1, 4))}, {"channels", 1.0}});
    send(sockets.last(), {{"type", "response.done"}});
    send(sockets.last(), {{"type", "response.done"}});
    send(sockets.last(), {{"type", 5}});
    EXPECT_EQ(rec.audio.size(), 3u);
    const auto texts = logs.texts();
    EXPECT_EQ(count(texts, "audio con 2 canali: atteso mono"), 1u);
    EXPECT_EQ(count(texts, "evento non gestito: response.done"), 1u);
    EXPECT_EQ(count(texts, "evento non gestito: "), 1u);
    EXPECT_FALSE(logs.contains("audio con 1 canali"));

    // A server inventing types cannot grow the set or the log without bound.
    send(sockets.last(), {{"type", std::string(1 << 20, 'y')}});
    EXPECT_LT(logs.texts().back().size(), 200u);
    EXPECT_EQ(logs.texts().back().rfind("evento non gestito: yyy", 0), 0u);
    for (int i = 0; i < 2'000; ++i) send(sockets.last(), {{"type", "x" + std::to_string(i)}});
    EXPECT_LT(logs.texts().size(), texts.size() + 100);
}

TEST_F(OpenAILinkTest, SilenceTailFollowsTheLastRealChunk) {
    auto link = makeOpen();
    auto socket = sockets.last();
    // Clock offsets, from the first real chunk, at which each append goes out.
    std::vector<double> sentAt;
    size_t seen = 0;
    const double start = scheduler->nowMs();
    auto record = [&] {
        // Every text after the session.update is an audio append.
        for (const size_t n = socket->sent.size() - 1; seen < n; ++seen) {
            sentAt.push_back(scheduler->nowMs() - start);
        }
    };
    auto runUntil = [&](double offsetMs) {
        while (scheduler->nowMs() - start < offsetMs) {
            scheduler->advance(100);
            record();
        }
    };

    link->sendAudio(chunk(500));
    record();
    runUntil(3000);
    EXPECT_EQ(sentAt, (std::vector<double>{0, 300, 500, 700, 900, 1100, 1300, 1500, 1700, 1900, 2100}));
    EXPECT_EQ(link->inputBytes, 3200 + 10 * 6400);
    const auto appended = sentAudio(socket);
    EXPECT_TRUE(std::all_of(appended.back().begin(), appended.back().end(), [](auto s) { return s == 0; }));

    // A real chunk at 600 ms stops the tail after two blocks; a new one starts 300 ms after it.
    sentAt.clear();
    link->sendAudio(chunk(500));
    record();
    runUntil(3600);
    link->sendAudio(chunk(500));
    record();
    runUntil(4300);
    EXPECT_EQ(sentAt, (std::vector<double>{3000, 3300, 3500, 3600, 3900, 4100, 4300}));
}

TEST_F(OpenAILinkTest, SilenceIsQueuedLikeSpeechAndCanBeDisabled) {
    tuning.maxQueueMs = 100'000;
    auto link = make();
    link->connect(nullptr);
    link->sendAudio(chunk(1));
    scheduler->advance(2500);
    makeReady(sockets.last());
    EXPECT_EQ(sentAudio(sockets.last()).size(), 11u);

    tuning.silenceTailMs = 0;
    auto quiet = makeOpen();
    quiet->sendAudio(chunk(1));
    scheduler->advance(5000);
    EXPECT_EQ(sentAudio(sockets.last()).size(), 1u);
}

TEST_F(OpenAILinkTest, TranscriptsGrowAndCloseAfterAPause) {
    auto link = makeOpen();
    const double t0 = scheduler->nowMs();
    for (const char* piece : {"Ciao", " ", "mondo\n"}) {
        send(sockets.last(), {{"type", "session.input_transcript.delta"}, {"delta", piece}});
        scheduler->advance(100);
    }
    send(sockets.last(), {{"type", "session.input_transcript.delta"}, {"delta", ""}});
    send(sockets.last(), {{"type", "session.input_transcript.delta"}, {"delta", 3}});
    scheduler->advance(1099);
    using T = OpenAIReports::Transcript;
    const auto in = TranscriptKind::input;
    std::vector<T> expected = {{"Ciao", in, false, t0}, {"Ciao ", in, false, t0 + 100},
                               {"Ciao mondo\n", in, false, t0 + 200}};
    EXPECT_EQ(rec.transcripts, expected);
    scheduler->advance(1);  // 1200 ms after the last piece
    expected.push_back({"Ciao mondo", in, true, t0 + 1400});
    EXPECT_EQ(rec.transcripts, expected);

    // Output transcripts run on their own timer; close finishes them at once.
    send(sockets.last(), {{"type", "session.output_transcript.delta"}, {"delta", " Hello "}});
    link->close();
    ASSERT_EQ(rec.transcripts.size(), 6u);
    EXPECT_EQ(rec.transcripts.back(), (T{"Hello", TranscriptKind::output, true, scheduler->nowMs()}));
    scheduler->advance(5000);
    EXPECT_EQ(rec.transcripts.size(), 6u);
}

TEST_F(OpenAILinkTest, AnUtterancesTranscriptStopsGrowingAtItsLimit) {
    auto link = makeOpen();
    const std::string piece(1000, 'a');
    const size_t pieces = Translator::maxTranscriptBytes / piece.size() + 5;
    for (size_t i = 0; i < pieces; ++i) {
        send(sockets.last(), {{"type", "session.output_transcript.delta"}, {"delta", piece}});
    }
    ASSERT_FALSE(rec.transcripts.empty());
    EXPECT_EQ(rec.transcripts.size(), Translator::maxTranscriptBytes / piece.size() + 1);  // the last one cut
    EXPECT_EQ(rec.transcripts.back().text.size(), Translator::maxTranscriptBytes);
    scheduler->advance(tuning.transcriptPauseMs);
    EXPECT_TRUE(rec.transcripts.back().final);
    EXPECT_EQ(rec.transcripts.back().text.size(), Translator::maxTranscriptBytes);
    // The next utterance starts empty.
    send(sockets.last(), {{"type", "session.output_transcript.delta"}, {"delta", "b"}});
    EXPECT_EQ(rec.transcripts.back().text, "b");
}

TEST_F(OpenAILinkTest, HostileServerTextNeverEscapesTheHandler) {
    auto link = makeOpen();
    std::string deep(100'000, '[');
    std::string deepObject;
    for (int i = 0; i < 50'000; ++i) deepObject += R"({"a":)";
    const std::vector<std::string> texts = {
        "",
        "not json",
        "[1,2]",
        "\"session.created\"",
        "{\"type\":\"session.updated\"",
        deep,
        deepObject,
        deep + std::string(100'000, ']'),
        "{\"type\":\"error\",\"error\":\"x\"}",
        "{\"type\":\"session.updated\",\"session\":5}",
        "{\"type\":\"session.updated\",\"session\":{\"expires_at\":[1]}}",
        "{\"type\":\"session.updated\",\"session\":{\"expires_at\":1e400}}",
        "{\"type\":\"session.output_audio.delta\",\"delta\":\"AAAA\",\"sample_rate\":1e400}",
        "{\"type\":\"session.output_audio.delta\",\"delta\":\"AAAA\",\"sample_rate\":-1e400}",
        "{\"type\":\"session.output_audio.delta\",\"delta\":\"AAAA\",\"channels\":1e400}",
        "{\"type\":\"session.output_audio.delta\",\"delta\":\"" + std::string(1 << 20, 'A') + "\"}",
        "{\"type\":\"session.output_audio.delta\",\"delta\":\"" + std::string(1 << 20, '!') + "\"}",
        "{\"type\":\"\\ud800\"}",
        "{\"type\":\"\xff\xfe\"}",
        "{\"type\":\"session.input_transcript.delta\",\"delta\":{\"a\":1}}",
        "{\"type\":null,\"type\":\"session.closed\"}",
    };
    for (const auto& text : texts) sockets.last()->deliverMessage(text);
    EXPECT_TRUE(logs.contains("JSON non valido dal server"));
    EXPECT_EQ(link->state, LinkState::open);
    link->close();
}

}  // namespace
}  // namespace quendra::test
