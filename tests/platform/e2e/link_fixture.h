// What the end-to-end link tests share: a provider peer reached through the connect-to override,
// its control and statistics over HTTPS, and a record of everything a translator reports. The
// translator lives on a test core queue with the real scheduler and sockets; the test thread only
// posts to the queue and waits, with bounded waits only.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/links/factory.h"
#include "platform/net/net_fixture.h"
#include "platform/net/http_fetch.h"
#include "platform/net/scheduler.h"
#include "platform/net/websocket.h"
#include "support/fakes.h"

namespace quendra::test {

// Everything one translator reported, in order.
struct LinkRecord {
    std::vector<std::pair<LinkState, std::optional<std::string>>> states;
    std::int64_t audioSamples = 0;
    std::vector<std::int16_t> audio;  // every translated sample, in order
    struct Transcript {
        std::string text;
        TranscriptKind kind;
        bool final;
    };
    std::vector<Transcript> transcripts;
    std::vector<Usage> usages;
    std::vector<std::optional<Error>> completions;

    int count(LinkState state) const {
        int n = 0;
        for (const auto& s : states) n += s.first == state ? 1 : 0;
        return n;
    }
    std::optional<LinkState> last() const {
        return states.empty() ? std::nullopt : std::optional<LinkState>(states.back().first);
    }
    std::vector<std::string> finals(TranscriptKind kind) const {
        std::vector<std::string> out;
        for (const auto& t : transcripts) {
            if (t.kind == kind && t.final) out.push_back(t.text);
        }
        return out;
    }
};

// A test sine of one 100 ms chunk at 16 kHz; `index` shifts its phase so chunks differ.
inline std::vector<std::int16_t> toneChunk(int index, std::size_t samples = 1600) {
    std::vector<std::int16_t> out(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(index * samples + i) / 16000.0;
        out[i] = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * t));
    }
    return out;
}

class LinkE2ETest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { processCa(); }

    // Starts the provider peer and routes `host`:443 to it.
    void startProvider(const std::string& script, const std::string& host, std::vector<std::string> args) {
        auto started = startTlsPeer(processCa(), script, std::move(args));
        ASSERT_TRUE(started) << started.error();
        peer = std::move(*started);
        tuning.connectTo = std::vector<ConnectTo>{{host, 443, "127.0.0.1", static_cast<std::uint16_t>(peer->port())}};
        tuning.stepTimeoutMs = 5000;
        tuning.closeTimeoutMs = 1000;
    }

    // One command to the peer's control endpoint; true when it accepted it.
    bool command(const std::string& line) {
        auto answer = request(peer->port(), "POST", "/control", line);
        return answer && answer->status == 200;
    }
    nlohmann::json peerStatus() {
        auto answer = request(peer->port(), "GET", "/status", "");
        if (!answer || answer->status != 200) return nlohmann::json::object();
        return nlohmann::json::parse(answer->body, nullptr, false);
    }
    // Polls the peer's statistics until `done` holds; a real peer has no other way to tell.
    bool waitPeer(const std::function<bool(const nlohmann::json&)>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto status = peerStatus();
            if (status.is_object() && !status.empty() && done(status)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        return false;
    }

    TranslatorOptions options(const std::string& language, TokenSource tokens) {
        TranslatorOptions opts(language, scheduler, makeSocketFactory(*queue, tuning), std::move(tokens));
        opts.logger = logs.logger();
        opts.tuning = link;
        return opts;
    }
    static TokenSource fixedToken(Token token) {
        return [token](TokenCompletion completion) { completion(token); };
    }

    // Builds the translator on the queue, records what it reports and connects it.
    void createAndConnect(const std::string& provider, TranslatorOptions opts) {
        translator = onCore(*queue, [&, opts]() -> std::shared_ptr<Translator> {
            auto made = createTranslator(provider, opts);
            if (!made) return nullptr;
            auto t = *made;
            auto rec = record;
            t->onState = [rec](LinkState s, const std::optional<std::string>& m) {
                rec->update([&](LinkRecord& r) { r.states.emplace_back(s, m); });
            };
            t->onAudio = [rec](const std::vector<std::int16_t>& samples) {
                rec->update([&](LinkRecord& r) {
                    r.audioSamples += static_cast<std::int64_t>(samples.size());
                    r.audio.insert(r.audio.end(), samples.begin(), samples.end());
                });
            };
            t->onTranscript = [rec](const std::string& text, TranscriptKind kind, bool final) {
                rec->update([&](LinkRecord& r) { r.transcripts.push_back({text, kind, final}); });
            };
            t->onUsage = [rec](const Usage& u) { rec->update([&](LinkRecord& r) { r.usages.push_back(u); }); };
            t->connect([rec](std::optional<Error> e) { rec->update([&](LinkRecord& r) { r.completions.push_back(e); }); });
            return t;
        });
        ASSERT_TRUE(translator);
    }

    void send(const std::vector<std::int16_t>& samples) {
        onCore(*queue, [t = translator, samples] { t->sendAudio(samples); });
    }
    // Several chunks in one turn of the queue: no pause between them, however busy the machine.
    void sendAll(const std::vector<std::vector<std::int16_t>>& chunks) {
        onCore(*queue, [t = translator, chunks] {
            for (const auto& samples : chunks) t->sendAudio(samples);
        });
    }
    bool waitState(LinkState state, int times = 1) {
        return record->waitUntil([&](const LinkRecord& r) { return r.count(state) >= times; });
    }
    bool waitAudio(std::int64_t samples) {
        return record->waitUntil([&](const LinkRecord& r) { return r.audioSamples >= samples; });
    }
    bool waitCompleted() {
        return record->waitUntil([](const LinkRecord& r) { return !r.completions.empty(); });
    }
    std::vector<std::string> logTexts() {
        return onCore(*queue, [this] { return logs.texts(); });
    }
    bool logged(const std::string& fragment) {
        return onCore(*queue, [this, fragment] { return logs.contains(fragment); });
    }

    // Closes and drops the translator on the queue, then checks that the peer saw every connection
    // end and that the credential appeared in no log line and no state message.
    void TearDown() override {
        if (translator) {
            onCore(*queue, [this] {
                translator->close();
                translator.reset();
            });
            EXPECT_EQ(record->get().last(), LinkState::closed);
        }
        if (peer) {
            const bool allEnded = waitPeer([](const nlohmann::json& s) {
                return s["closes"].size() == s["connections"].get<std::size_t>();
            });
            EXPECT_TRUE(allEnded) << "a connection was left open: " << peerStatus().dump();
        }
        if (!credential.empty()) {
            for (const auto& line : logTexts()) EXPECT_EQ(line.find(credential), std::string::npos) << line;
            for (const auto& [state, message] : record->get().states) {
                if (message) {
                    EXPECT_EQ(message->find(credential), std::string::npos) << *message;
                }
            }
        }
        // Nothing of the link may still run on the queue when it goes away.
        onCore(*queue, [] {});
        scheduler.reset();
        queue.reset();
    }

    std::unique_ptr<CoreQueue> queue = std::make_unique<CoreQueue>();
    std::shared_ptr<AsioScheduler> scheduler = std::make_shared<AsioScheduler>(*queue);
    std::unique_ptr<PeerProcess> peer;
    NetTuning tuning;
    // Windows a loaded machine can overrun (a late answer in the drain, a late chunk splitting a
    // turn, a slow setup retried) are seconds wide; the tests wait for events, so they pay for
    // these only where a window has to pass.
    LinkTuning link = [] {
        LinkTuning t;
        t.drainMs = 3000;
        t.setupTimeoutMs = 4000;
        t.backoffBaseMs = 50;
        t.backoffMaxMs = 200;
        t.maxRetries = 3;
        t.usageIntervalMs = 0;
        t.autoStreamEndMs = 2000;
        t.transcriptPauseMs = 2000;
        t.silenceTailMs = 0;
        return t;
    }();
    RecordingLogger logs;
    std::string credential;  // must never show up in a log line or state message
    std::shared_ptr<Translator> translator;
    std::shared_ptr<Shared<LinkRecord>> record = std::make_shared<Shared<LinkRecord>>();

    // One HTTPS request to a peer on loopback, through the real fetch; none when it failed.
    std::optional<HTTPResponse> request(int port, const std::string& method, const std::string& path,
                                        const std::string& body) {
        auto fetch = makeFetch(*queue, NetTuning{});
        auto done = std::make_shared<std::promise<std::optional<HTTPResponse>>>();
        auto future = done->get_future();
        HTTPRequest req{"https://127.0.0.1:" + std::to_string(port) + path, method, {}, body};
        onCore(*queue, [&] {
            fetch(req, [done](Result<HTTPResponse> r) {
                done->set_value(r ? std::optional<HTTPResponse>(*r) : std::nullopt);
            });
        });
        if (future.wait_for(waitLimit) != std::future_status::ready) return std::nullopt;
        return future.get();
    }
};

}  // namespace quendra::test
