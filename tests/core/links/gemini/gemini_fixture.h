// A Gemini link wired to the manual clock, scripted sockets and a recording logger, with every
// callback recorded. The test plays the service through the sockets.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/links/gemini/gemini_translator.h"
#include "core/audio/pcm.h"
#include "core/links/factory.h"
#include "support/fakes.h"

namespace quendra {

inline void PrintTo(const Usage& usage, std::ostream* os) {
    *os << "Usage{" << usage.inputSeconds << ", " << usage.outputSeconds << "}";
}
inline void PrintTo(LinkState state, std::ostream* os) { *os << rawValue(state); }

namespace test {

class GeminiFixture : public ::testing::Test {
protected:
    using State = std::pair<LinkState, std::optional<std::string>>;
    using Transcript = std::tuple<std::string, TranscriptKind, bool>;

    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    TokenSource tokenSource = FixedTokenSource{}.source();
    RecordingLogger logs;
    LinkTuning tuning;
    std::string glossary;
    double random = 0.5;

    std::shared_ptr<GeminiTranslator> link;
    std::vector<State> states;
    std::vector<std::vector<std::int16_t>> audio;
    std::vector<Usage> usages;
    std::vector<Transcript> transcripts;
    std::vector<std::optional<Error>> completions;

    void TearDown() override {
        if (link) link->close();
        // Lets pending backoff timers run into the closed link so nothing keeps it alive.
        scheduler->advance(1e9);
        link.reset();
    }

    GeminiTranslator& make() {
        TranslatorOptions options("it", scheduler, sockets.factory(), tokenSource);
        options.logger = logs.logger();
        options.tuning = tuning;
        options.glossary = glossary;
        options.random = [this] { return random; };
        auto built = createTranslator("gemini", options);
        EXPECT_TRUE(built.has_value());
        link = std::dynamic_pointer_cast<GeminiTranslator>(*built);
        EXPECT_NE(link, nullptr);
        link->onState = [this](LinkState s, const std::optional<std::string>& m) {
            states.emplace_back(s, m);
        };
        link->onAudio = [this](const std::vector<std::int16_t>& a) { audio.push_back(a); };
        link->onUsage = [this](const Usage& u) { usages.push_back(u); };
        link->onTranscript = [this](const std::string& t, TranscriptKind k, bool f) {
            transcripts.emplace_back(t, k, f);
        };
        return *link;
    }

    void connect() {
        link->connect([this](std::optional<Error> e) { completions.push_back(std::move(e)); });
    }

    // Opens `socket` and confirms its setup.
    static void confirm(const std::shared_ptr<ScriptedSocket>& socket) {
        socket->deliverOpen();
        socket->deliverMessage(R"({"setupComplete":{}})");
    }

    // Makes a link, connects it and confirms the first socket.
    std::shared_ptr<ScriptedSocket> openLink() {
        make();
        connect();
        auto socket = sockets.last();
        EXPECT_NE(socket, nullptr);
        if (socket) confirm(socket);
        EXPECT_EQ(link->state, LinkState::open);
        return socket;
    }

    static std::vector<std::int16_t> chunk(std::int16_t id, size_t samples = 1600) {
        return std::vector<std::int16_t>(samples, id);
    }

    // The setup message a socket sent first.
    static nlohmann::json setupOf(const std::shared_ptr<ScriptedSocket>& socket) {
        if (socket->sent.empty()) return nullptr;
        return nlohmann::json::parse(socket->sent.front())["setup"];
    }

    // The first sample of every audio chunk a socket sent, in order.
    static std::vector<std::int16_t> chunkIds(const std::shared_ptr<ScriptedSocket>& socket) {
        std::vector<std::int16_t> ids;
        for (const auto& text : socket->sent) {
            const auto message = nlohmann::json::parse(text);
            const auto* data = message.contains("realtimeInput") &&
                                       message["realtimeInput"].contains("audio")
                                   ? &message["realtimeInput"]["audio"]["data"]
                                   : nullptr;
            if (!data) continue;
            const auto samples = PCM::int16(data->get<std::string>());
            ids.push_back(samples.empty() ? -1 : samples.front());
        }
        return ids;
    }

    static size_t streamEnds(const std::shared_ptr<ScriptedSocket>& socket) {
        size_t n = 0;
        for (const auto& text : socket->sent) {
            n += text == R"({"realtimeInput":{"audioStreamEnd":true}})";
        }
        return n;
    }

    size_t warnsContaining(const std::string& fragment) const {
        size_t n = 0;
        for (const auto& line : logs.lines()) {
            n += line.level == RecordingLogger::Line::Level::warn &&
                 line.text.find(fragment) != std::string::npos;
        }
        return n;
    }
};

}  // namespace test
}  // namespace quendra
