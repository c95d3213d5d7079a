// Test doubles of the core's platform interfaces: a manual clock, scripted web sockets and a
// recording logger. Single-threaded, like the core queue they stand in for.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/links/translator.h"

namespace quendra::test {

// A scheduler whose clock moves only when the test says so. Never sleeps.
class ManualScheduler : public Scheduler {
public:
    explicit ManualScheduler(double startMs = 1'000'000) : now_(startMs) {}

    double nowMs() const override { return now_; }
    void setNowMs(double ms) { now_ = ms; }

    std::shared_ptr<Cancellable> after(double ms, std::function<void()> block) override;

    // Moves the clock forward by `ms`, running every block that falls due, in time order (blocks
    // due at the same time in the order they were armed), including blocks armed meanwhile.
    void advance(double ms);
    // Runs what is due now without moving the clock.
    void runDue() { advance(0); }

    // Blocks armed and not yet run nor cancelled.
    size_t pending() const;
    // Due time of the earliest pending block.
    std::optional<double> nextDueMs() const;

private:
    struct Entry;
    double now_;
    std::uint64_t sequence_ = 0;
    std::multimap<std::pair<double, std::uint64_t>, std::shared_ptr<Entry>> queue_;
};

// A web socket driven by the test. The owner's `close` is recorded and, like a real socket,
// answered later by one `onClose` with the same code and reason: at the next `runDue` of the
// scheduler the factory was given, or when the test calls `deliverClose`.
class ScriptedSocket : public WebSocketLike, public std::enable_shared_from_this<ScriptedSocket> {
public:
    ScriptedSocket(std::string url, std::vector<std::string> protocols,
                   std::shared_ptr<ManualScheduler> scheduler)
        : url(std::move(url)), protocols(std::move(protocols)), scheduler_(std::move(scheduler)) {}

    const std::string url;
    const std::vector<std::string> protocols;
    std::vector<std::string> sent;  // texts sent while open
    size_t droppedSends = 0;        // texts sent while not open
    struct CloseCall {
        int code;
        std::string reason;
        bool operator==(const CloseCall&) const = default;
    };
    std::vector<CloseCall> closeCalls;

    bool isOpen() const override { return open_; }
    void send(const std::string& text) override;
    void close(int code, const std::string& reason) override;

    // What the server side does.
    void deliverOpen();
    void deliverMessage(const std::string& text);
    // Closes from the server's side (or finishes an owner's close). Only the first counts.
    void deliverClose(int code, const std::string& reason = "");

    bool closeDelivered() const { return closeDelivered_; }

private:
    std::shared_ptr<ManualScheduler> scheduler_;
    bool open_ = false;
    bool closeDelivered_ = false;
};

// Makes ScriptedSockets and remembers each one, in creation order.
class SocketRecorder {
public:
    explicit SocketRecorder(std::shared_ptr<ManualScheduler> scheduler = nullptr)
        : scheduler_(std::move(scheduler)) {}

    SocketFactory factory();
    std::vector<std::shared_ptr<ScriptedSocket>> sockets;
    std::shared_ptr<ScriptedSocket> last() const { return sockets.empty() ? nullptr : sockets.back(); }

private:
    std::shared_ptr<ManualScheduler> scheduler_;
};

// Collects log lines; `logger()` writes into this object while it lives.
class RecordingLogger {
public:
    struct Line {
        enum class Level { debug, warn } level;
        std::string text;
    };

    Logger logger();
    std::vector<Line> lines() const { return *lines_; }
    std::vector<std::string> texts() const;
    // True when some line contains `fragment`.
    bool contains(const std::string& fragment) const;

private:
    std::shared_ptr<std::vector<Line>> lines_ = std::make_shared<std::vector<Line>>();
};

// A translator driven by the test: it records what the owner does and lets the test report
// states and translated audio as a link would.
class ScriptedTranslator : public Translator {
public:
    using Translator::Translator;

    std::vector<std::vector<std::int16_t>> sentChunks;
    std::vector<Completion> pendingConnects;
    int connectCalls = 0;
    int closeCalls = 0;

    void connect(Completion completion) override {
        ++connectCalls;
        pendingConnects.push_back(std::move(completion));
    }
    void sendAudio(const std::vector<std::int16_t>& samples) override { sentChunks.push_back(samples); }
    void close() override {
        ++closeCalls;
        reportUsage();
        if (state != LinkState::closed) setState(LinkState::closed);
    }

    // What the link would do.
    void report(LinkState next, std::optional<std::string> message = std::nullopt) { setState(next, message); }
    void deliverAudio(const std::vector<std::int16_t>& samples) {
        outputBytes += 2 * static_cast<std::int64_t>(samples.size());
        if (onAudio) onAudio(samples);
    }
    void completeConnect(std::optional<Error> error = std::nullopt) {
        auto pending = std::move(pendingConnects);
        pendingConnects.clear();
        for (auto& c : pending) {
            if (c) c(error);
        }
    }
};

// A token source that answers at once with a fixed result and counts its calls.
struct FixedTokenSource {
    Result<Token> result = Token{"test-token", std::nullopt, Token::Kind::ephemeral};
    std::shared_ptr<int> calls = std::make_shared<int>(0);
    TokenSource source() const;
};

}  // namespace quendra::test
