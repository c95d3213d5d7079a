// The Gemini link once open: planned renewals with drain, goAway, drops, the bounded queue, the end
// of the audio stream, translated audio, transcripts, usage reports and untrusted server messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "gemini_fixture.h"

namespace quendra::test {
namespace {

using nlohmann::json;
using CloseCalls = std::vector<ScriptedSocket::CloseCall>;
const CloseCalls kRenewed = {{1000, "rinnovo"}};

class GeminiSessionTest : public GeminiFixture {};

std::string audioMessage(const std::vector<std::int16_t>& samples) {
    return json{{"serverContent",
                 {{"modelTurn", {{"parts", {{{"inlineData", {{"data", PCM::base64(samples)}}}}}}}}}}}
        .dump();
}

class GeminiRenewalTest : public GeminiFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(GeminiRenewalTest, PlannedRenewalDrainsTheOldConnectionForDrainMs) {
    const bool readyBeforeDrainEnds = GetParam();
    const auto old = openLink();
    states.clear();
    scheduler->advance(540000 - 1);
    EXPECT_EQ(sockets.sockets.size(), 1u);
    scheduler->advance(1);
    ASSERT_EQ(sockets.sockets.size(), 2u);
    EXPECT_TRUE(logs.contains("rinnovo connessione (timer)"));
    const auto fresh = sockets.last();

    // No audio goes to the old connection, but what it still translates is delivered.
    link->sendAudio(chunk(1));
    link->sendAudio(chunk(2));
    EXPECT_TRUE(chunkIds(old).empty());
    old->deliverMessage(audioMessage({5, 6}));
    EXPECT_EQ(audio, (std::vector<std::vector<std::int16_t>>{{5, 6}}));

    if (readyBeforeDrainEnds) confirm(fresh);
    scheduler->advance(2499);
    EXPECT_TRUE(old->closeCalls.empty());
    scheduler->advance(1);
    EXPECT_EQ(old->closeCalls, kRenewed);

    if (!readyBeforeDrainEnds) {
        fresh->deliverOpen();
        link->sendAudio(chunk(3));  // still queued: the setup is not confirmed
        fresh->deliverMessage(R"({"setupComplete":{}})");
    } else {
        link->sendAudio(chunk(3));
    }
    link->sendAudio(chunk(4));
    EXPECT_EQ(chunkIds(fresh), (std::vector<std::int16_t>{1, 2, 3, 4}));
    EXPECT_TRUE(states.empty());
    EXPECT_EQ(link->state, LinkState::open);
}

INSTANTIATE_TEST_SUITE_P(NewSession, GeminiRenewalTest, ::testing::Bool());

TEST_F(GeminiSessionTest, RenewalPeriodFollowsTheTuning) {
    struct Case {
        std::optional<double> renewAfterMs;
        std::optional<double> renewedAfter;
    };
    const Case cases[] = {{std::nullopt, 540000},
                          {1000, 1000},
                          {0, std::nullopt},
                          {std::numeric_limits<double>::infinity(), std::nullopt}};
    for (const auto& c : cases) {
        tuning.renewAfterMs = c.renewAfterMs;
        sockets.sockets.clear();
        openLink();
        if (c.renewedAfter) {
            scheduler->advance(*c.renewedAfter - 1);
            EXPECT_EQ(sockets.sockets.size(), 1u);
            scheduler->advance(1);
            EXPECT_EQ(sockets.sockets.size(), 2u);
        } else {
            scheduler->advance(1e7);
            EXPECT_EQ(sockets.sockets.size(), 1u);
        }
        link->close();
        scheduler->advance(1e9);
    }
}

TEST_F(GeminiSessionTest, GoAwayRenewsOnceAndOnlyFromTheActiveSession) {
    const auto first = openLink();
    states.clear();
    first->deliverMessage(R"({"goAway":{"timeLeft":"12.5s"}})");
    EXPECT_TRUE(logs.contains("goAway, tempo rimasto: 12500 ms"));
    first->deliverMessage(R"({"goAway":{"timeLeft":"-0.0004s"}})");
    EXPECT_TRUE(logs.contains("goAway, tempo rimasto: 0 ms"));
    EXPECT_TRUE(logs.contains("rinnovo connessione (goAway)"));
    ASSERT_EQ(sockets.sockets.size(), 2u);

    first->deliverMessage(R"({"goAway":{"timeLeft":"1s"}})");  // already retired
    const auto second = sockets.last();
    second->deliverOpen();
    second->deliverMessage(R"({"goAway":{}})");  // during the renewal
    EXPECT_EQ(sockets.sockets.size(), 2u);

    second->deliverMessage(R"({"setupComplete":{}})");
    scheduler->advance(2500);
    EXPECT_EQ(first->closeCalls, kRenewed);

    second->deliverMessage(R"({"goAway":{"timeLeft":1e308}})");
    EXPECT_EQ(logs.texts()[logs.texts().size() - 2], "goAway, tempo rimasto: ?");
    EXPECT_EQ(sockets.sockets.size(), 3u);
    EXPECT_TRUE(states.empty());
}

TEST_F(GeminiSessionTest, DropReconnectsAndDeliversQueuedAudioFirst) {
    const auto first = openLink();
    link->sendAudio(chunk(1));
    states.clear();
    scheduler->advance(Translator::shortLivedMs);  // a connection that lived: replaced at once
    first->deliverClose(1006, "rete");
    EXPECT_EQ(states, (std::vector<State>{{LinkState::reconnecting, std::nullopt}}));
    EXPECT_TRUE(logs.contains("connessione caduta (codice 1006 rete)"));
    EXPECT_TRUE(first->closeCalls.empty());  // not drained: it is gone already
    ASSERT_EQ(sockets.sockets.size(), 2u);   // at once, no backoff

    link->sendAudio(chunk(2));
    link->sendAudio(chunk(3));
    const auto second = sockets.last();
    confirm(second);
    link->sendAudio(chunk(4));
    EXPECT_EQ(chunkIds(second), (std::vector<std::int16_t>{2, 3, 4}));
    EXPECT_EQ(states, (std::vector<State>{{LinkState::reconnecting, std::nullopt},
                                          {LinkState::open, std::nullopt}}));
    EXPECT_EQ(link->inputBytes, 4 * 3200);
}

TEST_F(GeminiSessionTest, ConnectionsThatDropYoungKeepTheBackoffUpToTheRetryCap) {
    openLink();
    scheduler->advance(Translator::shortLivedMs);
    sockets.last()->deliverClose(1006, "rete");  // it lived: replaced at once
    ASSERT_EQ(sockets.sockets.size(), 2u);
    confirm(sockets.last());
    // From now on each connection is confirmed and broken at once: one attempt series.
    std::vector<double> waits;
    for (int i = 0; i < 20 && link->state != LinkState::error; ++i) {
        const size_t before = sockets.sockets.size();
        const double droppedAt = scheduler->nowMs();
        sockets.last()->deliverClose(1006, "rotto");
        while (sockets.sockets.size() == before && link->state != LinkState::error) {
            scheduler->advance(*scheduler->nextDueMs() - scheduler->nowMs());
        }
        if (sockets.sockets.size() == before) break;
        waits.push_back(scheduler->nowMs() - droppedAt);
        confirm(sockets.last());
    }
    EXPECT_EQ(waits, (std::vector<double>{500, 1000, 2000, 4000, 8000, 15000}));
    EXPECT_EQ(states.back(), (State{LinkState::error, "connessione caduta (codice 1006 rotto)"}));
}

TEST_F(GeminiSessionTest, AudioBeyondTheMessageLimitIsDroppedWhole) {
    const auto socket = openLink();
    socket->deliverMessage(audioMessage(std::vector<std::int16_t>(Translator::maxMessageFrames + 2, 1)));
    socket->deliverMessage(audioMessage(std::vector<std::int16_t>(Translator::maxMessageFrames + 2, 1)));
    EXPECT_TRUE(audio.empty());
    EXPECT_EQ(link->outputBytes, 0);
    const auto texts = logs.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "audio troppo lungo in un messaggio: scartato"), 1);
    socket->deliverMessage(audioMessage(std::vector<std::int16_t>(10, 1)));
    EXPECT_EQ(audio.size(), 1u);
}

TEST_F(GeminiSessionTest, AnUtterancesTranscriptStopsGrowingAtItsLimit) {
    const auto socket = openLink();
    const std::string piece(1000, 'a');
    const json message = {{"serverContent", {{"outputTranscription", {{"text", piece}}}}}};
    for (size_t i = 0; i < Translator::maxTranscriptBytes / piece.size() + 5; ++i) {
        socket->deliverMessage(message.dump());
    }
    ASSERT_EQ(transcripts.size(), Translator::maxTranscriptBytes / piece.size() + 1);  // the last one cut
    EXPECT_EQ(std::get<0>(transcripts.back()).size(), Translator::maxTranscriptBytes);
    // Its end is still reported, and the next utterance starts empty.
    socket->deliverMessage(R"({"serverContent":{"outputTranscription":{"text":"z","finished":true}}})");
    EXPECT_EQ(std::get<0>(transcripts.back()).size(), Translator::maxTranscriptBytes);
    EXPECT_TRUE(std::get<2>(transcripts.back()));
    socket->deliverMessage(R"({"serverContent":{"outputTranscription":{"text":"b"}}})");
    EXPECT_EQ(transcripts.back(), (Transcript{"b", TranscriptKind::output, false}));
}

TEST_F(GeminiSessionTest, WhatTheOwnersCallbacksThrowPassesThroughAndTheLinkGoesOn) {
    const auto socket = openLink();
    int calls = 0;
    link->onAudio = [&calls](const std::vector<std::int16_t>&) {
        if (++calls == 1) throw std::runtime_error("owner");
    };
    EXPECT_THROW(socket->deliverMessage(audioMessage(chunk(1, 10))), std::runtime_error);
    EXPECT_EQ(warnsContaining("JSON non valido dal server"), 0u);
    socket->deliverMessage(audioMessage(chunk(1, 10)));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(link->state, LinkState::open);
}

TEST_F(GeminiSessionTest, FailedRenewalStopsTheAudio) {
    tuning.maxRetries = 0;
    const auto first = openLink();
    first->deliverMessage(R"({"goAway":{}})");
    sockets.last()->deliverClose(1011, "pieno");
    EXPECT_EQ(states.back(), (State{LinkState::error, "chiuso prima del setup (codice 1011 pieno)"}));
    link->sendAudio(chunk(1));
    scheduler->advance(2500);
    EXPECT_EQ(first->closeCalls, kRenewed);
    EXPECT_TRUE(chunkIds(first).empty());
    EXPECT_EQ(link->inputBytes, 0);

    // The link can be connected again.
    connect();
    confirm(sockets.last());
    EXPECT_EQ(link->state, LinkState::open);
}

TEST_F(GeminiSessionTest, QueueKeepsTheNewestChunks) {
    make();
    link->sendAudio(chunk(99));  // closed: dropped, not queued
    connect();
    for (std::int16_t i = 0; i < 105; ++i) link->sendAudio(chunk(i));
    EXPECT_EQ(link->droppedChunks(), 5);
    confirm(sockets.last());
    std::vector<std::int16_t> expected;
    for (std::int16_t i = 5; i < 105; ++i) expected.push_back(i);
    EXPECT_EQ(chunkIds(sockets.last()), expected);
    EXPECT_EQ(link->droppedChunks(), 5);
}

TEST_F(GeminiSessionTest, QueueCapacityIsMaxQueueMsInChunksOfAtLeastOne) {
    const std::pair<double, std::int64_t> cases[] = {
        {10000, 100}, {250, 3}, {149, 1}, {150, 2}, {40, 1}, {0, 1}, {-5, 1}};
    for (const auto& [maxQueueMs, chunks] : cases) {
        tuning.maxQueueMs = maxQueueMs;
        EXPECT_EQ(make().maxQueueChunks(), chunks) << maxQueueMs;
    }
}

TEST_F(GeminiSessionTest, StreamEndGoesOutOncePerPause) {
    const auto socket = openLink();
    link->sendAudio(chunk(1));
    scheduler->advance(1000);
    link->sendAudio(chunk(2));
    scheduler->advance(1499);
    EXPECT_EQ(streamEnds(socket), 0u);
    scheduler->advance(1);
    EXPECT_EQ(streamEnds(socket), 1u);
    scheduler->advance(10000);
    EXPECT_EQ(streamEnds(socket), 1u);

    link->sendAudio(chunk(3));
    scheduler->advance(1500);
    EXPECT_EQ(streamEnds(socket), 2u);
    link->sendAudioStreamEnd();
    EXPECT_EQ(streamEnds(socket), 3u);

    // Not while a renewal is under way.
    link->sendAudio(chunk(4));
    socket->deliverMessage(R"({"goAway":{}})");
    scheduler->advance(1500);
    link->sendAudioStreamEnd();
    EXPECT_EQ(streamEnds(socket), 3u);
    EXPECT_EQ(streamEnds(sockets.last()), 0u);
}

TEST_F(GeminiSessionTest, NoStreamEndWhenDisabled) {
    tuning.autoStreamEndMs = std::nullopt;
    const auto socket = openLink();
    link->sendAudio(chunk(1));
    scheduler->advance(100000);
    EXPECT_EQ(streamEnds(socket), 0u);
}

TEST_F(GeminiSessionTest, TranslatedAudioParts) {
    const auto socket = openLink();
    socket->deliverMessage(R"({"serverContent":{"modelTurn":{"parts":[
        {"inlineData":{"data":"AQD+/w==","mimeType":"audio/pcm;rate=24000"}},
        {"inlineData":{"data":"AQI=","mimeType":""}},
        {"inlineData":{"data":"AQID"}},
        {"inlineData":{"data":"!!!!","mimeType":"audio/pcm"}},
        {"inlineData":{"data":"AQ\nD+/w=="}},
        {"inlineData":{"data":"AQD+/w==","mimeType":"text/plain"}},
        {"inlineData":{"data":""}},
        {"inlineData":{"data":5}},
        {"inlineData":"AQD+/w=="},
        {"text":"hi"},
        7]}}})");
    EXPECT_EQ(audio, (std::vector<std::vector<std::int16_t>>{{1, -2}, {513}, {513}, {}, {}}));
    EXPECT_EQ(link->outputBytes, 8);
}

TEST_F(GeminiSessionTest, TranscriptsAccumulateAndFinalize) {
    using K = TranscriptKind;
    struct Case {
        const char* name;
        std::vector<std::string> messages;
        std::vector<Transcript> expected;
    };
    const Case cases[] = {
        {"pieces",
         {R"({"serverContent":{"inputTranscription":{"text":"Hel"}}})",
          R"({"serverContent":{"inputTranscription":{"text":"lo","finished":false}}})",
          R"({"serverContent":{"inputTranscription":{"text":"!","finished":true}}})",
          R"({"serverContent":{"turnComplete":true}})"},
         {{"Hel", K::input, false}, {"Hello", K::input, false}, {"Hello!", K::input, true}}},
        {"empty finished text changes nothing",
         {R"({"serverContent":{"inputTranscription":{"text":"","finished":true}}})",
          R"({"serverContent":{"turnComplete":true}})"},
         {}},
        {"turn complete finalizes pending input only",
         {R"({"serverContent":{"inputTranscription":{"text":"ciao"}}})",
          R"({"serverContent":{"turnComplete":true}})",
          R"({"serverContent":{"turnComplete":true}})"},
         {{"ciao", K::input, false}, {"ciao", K::input, true}}},
        {"generation complete, input before output",
         {R"({"serverContent":{"outputTranscription":{"text":"Hi"},"inputTranscription":{"text":"Ci"},"generationComplete":true}})"},
         {{"Ci", K::input, false}, {"Hi", K::output, false}, {"Ci", K::input, true}, {"Hi", K::output, true}}},
        {"non-boolean finished counts as false",
         {R"({"serverContent":{"outputTranscription":{"text":"a","finished":"yes"}}})",
          R"({"serverContent":{"outputTranscription":{"text":"b","finished":1}}})",
          R"({"serverContent":{"turnComplete":"true","generationComplete":true}})"},
         {{"a", K::output, false}, {"ab", K::output, false}, {"ab", K::output, true}}},
    };
    for (const auto& c : cases) {
        const auto socket = openLink();
        transcripts.clear();
        for (const auto& message : c.messages) socket->deliverMessage(message);
        EXPECT_EQ(transcripts, c.expected) << c.name;
        link->close();
    }
}

TEST_F(GeminiSessionTest, UsageIsReportedAtMostOncePerInterval) {
    const auto socket = openLink();
    EXPECT_TRUE(usages.empty());
    for (std::int16_t i = 0; i < 30; ++i) {
        link->sendAudio(chunk(i));
        if (i == 15) socket->deliverMessage(audioMessage(std::vector<std::int16_t>(2400, 1)));
        scheduler->advance(100);
    }
    // Chunks at 0, 100, ... 2900 ms: reports with the chunks at 0, 1000 and 2000 ms.
    EXPECT_EQ(usages, (std::vector<Usage>{{0.1, 0}, {1.1, 0}, {2.1, 0.1}}));
    link->close();
    EXPECT_EQ(usages.back(), (Usage{3.0, 0.1}));
    EXPECT_EQ(usages.size(), 4u);
}

TEST_F(GeminiSessionTest, UntrustedMessagesNeverBreakTheLink) {
    struct Case {
        std::string text;
        bool invalid;
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = R"({"x":)" + deep + "}";
    const std::string hugeAudio =
        R"({"serverContent":{"modelTurn":{"parts":[{"inlineData":{"data":")" +
        std::string(Translator::maxMessageFrames * 2 / 3 * 4, 'A') + R"("}}]}}})";
    const Case cases[] = {
        {"", true},
        {"not json", true},
        {"[1,2]", true},
        {"\"setupComplete\"", true},
        {"{\"a\":\"\xFF\"}", true},
        {R"({"a":1)", true},
        {deep, true},
        {deepObject, false},
        {R"({"serverContent":5,"goAway":"soon","sessionResumptionUpdate":[]})", false},
        {R"({"serverContent":{"modelTurn":{"parts":{"0":{"inlineData":{"data":"AQD+/w=="}}}}}})", false},
        {R"({"serverContent":{"inputTranscription":{"text":5},"outputTranscription":[]}})", false},
        {R"({"sessionResumptionUpdate":{"resumable":"true","newHandle":"h"}})", false},
        {R"({"sessionResumptionUpdate":{"resumable":true,"newHandle":7}})", false},
        {R"({"goAway":5})", false},
        {R"({"serverContent":{"modelTurn":{"parts":[{"inlineData":{"data":"====","mimeType":7}}]}}})", false},
        {R"({"serverContent":{"modelTurn":{"parts":[{"inlineData":{"data":"A===","mimeType":"audio/x"}}]}}})", false},
        {hugeAudio, false},
    };
    const auto socket = openLink();
    size_t invalid = 0;
    for (const auto& c : cases) {
        EXPECT_NO_THROW(socket->deliverMessage(c.text)) << c.text.substr(0, 80);
        invalid += c.invalid;
        EXPECT_EQ(warnsContaining("JSON non valido dal server"), invalid) << c.text.substr(0, 80);
    }
    EXPECT_EQ(link->resumptionHandle(), std::nullopt);
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_TRUE(socket->closeCalls.empty());
    EXPECT_EQ(audio.size(), 3u);  // "====" and "A===" give empty chunks, then 30 s of zeros
    EXPECT_EQ(audio.back().size(), Translator::maxMessageFrames);
}

}  // namespace
}  // namespace quendra::test
