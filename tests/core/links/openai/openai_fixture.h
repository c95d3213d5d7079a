// Shared fixture of the OpenAI link tests: a manual clock, scripted sockets, a recording logger
// and everything the link reports.
#pragma once

#include <algorithm>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/links/openai/openai_protocol.h"
#include "core/links/openai/openai_translator.h"
#include "core/audio/pcm.h"
#include "core/links/factory.h"
#include "support/fakes.h"

namespace quendra::test {

struct OpenAIReports {
    std::vector<std::pair<LinkState, std::optional<std::string>>> states;
    std::vector<std::vector<std::int16_t>> audio;
    std::vector<Usage> usages;
    struct Transcript {
        std::string text;
        TranscriptKind kind;
        bool final;
        double atMs;
        bool operator==(const Transcript&) const = default;
    };
    std::vector<Transcript> transcripts;
};

class OpenAILinkTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    FixedTokenSource tokens;
    RecordingLogger logs;
    OpenAIReports rec;
    LinkTuning tuning;
    std::string language = "it";
    bool transcription = false;
    std::function<double()> random = [] { return 0.5; };

    // Every clock and link of the test, so that TearDown can close the links and run what is
    // left: pending attempts and backoff timers hold their link, and the link its clock.
    std::vector<std::shared_ptr<ManualScheduler>> clocks;
    std::vector<std::weak_ptr<OpenAITranslator>> links;

    void TearDown() override {
        for (const auto& weak : links) {
            if (auto link = weak.lock()) link->close();
        }
        for (const auto& clock : clocks) {
            for (int i = 0; i < 100 && clock->pending() > 0; ++i) clock->advance(3'600'000);
        }
    }

    std::shared_ptr<OpenAITranslator> make(TokenSource source = nullptr) {
        if (std::find(clocks.begin(), clocks.end(), scheduler) == clocks.end()) clocks.push_back(scheduler);
        TranslatorOptions options(language, scheduler, sockets.factory(),
                                  source ? source : tokens.source());
        options.logger = logs.logger();
        options.inputTranscription = transcription;
        options.random = random;
        options.tuning = tuning;
        auto made = createTranslator("openai", options);
        EXPECT_TRUE(made.has_value());
        auto link = std::dynamic_pointer_cast<OpenAITranslator>(*made);
        links.push_back(link);
        link->onState = [this](LinkState s, const std::optional<std::string>& m) {
            rec.states.emplace_back(s, m);
        };
        link->onAudio = [this](const std::vector<std::int16_t>& a) { rec.audio.push_back(a); };
        link->onUsage = [this](const Usage& u) { rec.usages.push_back(u); };
        link->onTranscript = [this](const std::string& t, TranscriptKind k, bool f) {
            rec.transcripts.push_back({t, k, f, scheduler->nowMs()});
        };
        return link;
    }

    static void send(const std::shared_ptr<ScriptedSocket>& socket, const nlohmann::json& event) {
        socket->deliverMessage(event.dump());
    }

    // Opens the socket and runs the server's side of the setup.
    static void makeReady(const std::shared_ptr<ScriptedSocket>& socket,
                          nlohmann::json session = nlohmann::json::object()) {
        socket->deliverOpen();
        send(socket, {{"type", "session.created"}});
        send(socket, {{"type", "session.updated"}, {"session", session}});
    }

    // A connected link with one ready socket; the reports of getting there are cleared.
    std::shared_ptr<OpenAITranslator> makeOpen(nlohmann::json session = nlohmann::json::object()) {
        auto link = make();
        link->connect(nullptr);
        makeReady(sockets.last(), std::move(session));
        EXPECT_EQ(link->state, LinkState::open);
        rec = {};
        return link;
    }

    static std::vector<nlohmann::json> sentEvents(const std::shared_ptr<ScriptedSocket>& socket) {
        std::vector<nlohmann::json> out;
        for (const auto& text : socket->sent) out.push_back(nlohmann::json::parse(text));
        return out;
    }

    static std::vector<std::string> sentTypes(const std::shared_ptr<ScriptedSocket>& socket) {
        std::vector<std::string> out;
        for (const auto& e : sentEvents(socket)) out.push_back(e["type"]);
        return out;
    }

    // The 24 kHz samples of every audio append sent on the socket, one list per event.
    static std::vector<std::vector<std::int16_t>> sentAudio(const std::shared_ptr<ScriptedSocket>& socket) {
        std::vector<std::vector<std::int16_t>> out;
        for (const auto& e : sentEvents(socket)) {
            if (e["type"] == "session.input_audio_buffer.append") {
                out.push_back(PCM::int16(e["audio"].get<std::string>()));
            }
        }
        return out;
    }

    // Records the completions of `connect`; outlives the test body, as late completions may.
    struct CompletionLog {
        std::shared_ptr<std::vector<std::optional<Error>>> results =
            std::make_shared<std::vector<std::optional<Error>>>();
        Completion completion() const {
            return [results = results](std::optional<Error> e) { results->push_back(std::move(e)); };
        }
        int calls() const { return static_cast<int>(results->size()); }
        std::optional<Error> error() const { return results->empty() ? std::nullopt : results->back(); }
    };

    static std::vector<std::int16_t> chunk(std::int16_t value, size_t n = 1600) {
        return std::vector<std::int16_t>(n, value);
    }
};

}  // namespace quendra::test
