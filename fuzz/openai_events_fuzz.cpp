// Feeds arbitrary server events, socket closes, timer runs and audio to the OpenAI link.
//
// The input is read line by line. A line starting with '#' is a step of the script:
//   #open            the newest socket opens
//   #close <code>    the newest socket is closed by the server side with that code
//   #advance <ms>    the clock moves on, running every timer that falls due
//   #audio <n>       the owner sends a chunk of n samples (at most 3200)
//   #connect         the owner calls connect
//   #shut            the owner calls close
// Any other line is delivered as one text message on the newest socket. The link starts with
// input transcription on, connected, with its first socket open; the owner closes it at the end.
// Nothing may crash, throw, leak or trip a sanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/links/openai/openai_translator.h"

namespace {

using namespace quendra;

class Clock : public Scheduler {
public:
    struct Entry : Cancellable {
        std::function<void()> block;
        void cancel() override { block = nullptr; }
    };

    double nowMs() const override { return now_; }

    std::shared_ptr<Cancellable> after(double ms, std::function<void()> block) override {
        if (!(ms >= 0) || ms > 1e12) ms = ms > 1e12 ? 1e12 : 0;
        auto entry = std::make_shared<Entry>();
        entry->block = std::move(block);
        queue_.emplace(std::make_pair(now_ + ms, sequence_++), entry);
        return entry;
    }

    void advance(double ms) {
        const double target = now_ + ms;
        // Bounded, so a timer that re-arms itself at 0 ms cannot hang the run.
        for (int guard = 0; guard < 100000 && !queue_.empty() && queue_.begin()->first.first <= target; ++guard) {
            auto it = queue_.begin();
            auto entry = it->second;
            now_ = std::max(now_, it->first.first);
            queue_.erase(it);
            auto block = std::move(entry->block);
            entry->block = nullptr;
            if (block) block();
        }
        now_ = std::max(now_, target);
    }

    void clear() { queue_.clear(); }

private:
    double now_ = 1'700'000'000'000;
    std::uint64_t sequence_ = 0;
    std::multimap<std::pair<double, std::uint64_t>, std::shared_ptr<Entry>> queue_;
};

class Socket : public WebSocketLike, public std::enable_shared_from_this<Socket> {
public:
    explicit Socket(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

    bool isOpen() const override { return open_; }
    void send(const std::string& text) override {
        if (open_) sentBytes += text.size();
    }
    void close(int code, const std::string& reason) override {
        open_ = false;
        std::weak_ptr<Socket> weak = weak_from_this();
        clock_->after(0, [weak, code, reason] {
            if (auto self = weak.lock()) self->deliverClose(code, reason);
        });
    }
    void deliverOpen() {
        if (closed_) return;
        open_ = true;
        if (onOpen) onOpen();
    }
    void deliverMessage(const std::string& text) {
        if (!closed_ && onMessage) onMessage(text);
    }
    void deliverClose(int code, const std::string& reason) {
        if (closed_) return;
        closed_ = true;
        open_ = false;
        if (onClose) onClose(code, reason);
    }

    size_t sentBytes = 0;

private:
    std::shared_ptr<Clock> clock_;
    bool open_ = false;
    bool closed_ = false;
};

long number(std::string_view text, long fallback) {
    const std::string s(text);
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    return end == s.c_str() ? fallback : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auto clock = std::make_shared<Clock>();
    std::vector<std::shared_ptr<Socket>> sockets;
    SocketFactory factory = [&sockets, clock](const std::string&, const std::vector<std::string>&) {
        auto socket = std::make_shared<Socket>(clock);
        sockets.push_back(socket);
        return std::shared_ptr<WebSocketLike>(socket);
    };
    TokenSource tokens = [](TokenCompletion completion) {
        completion(Token{"ek_fuzz", std::nullopt, Token::Kind::ephemeral});
    };
    {
        TranslatorOptions options("it", clock, factory, tokens);
        options.inputTranscription = true;
        options.random = [] { return 0.5; };
        auto link = std::make_shared<OpenAITranslator>(options);
        size_t audioSamples = 0;
        link->onAudio = [&audioSamples](const std::vector<std::int16_t>& a) { audioSamples += a.size(); };
        link->onTranscript = [](const std::string&, TranscriptKind, bool) {};
        link->onState = [](LinkState, const std::optional<std::string>&) {};
        link->onUsage = [](const Usage&) {};
        link->connect(nullptr);
        if (!sockets.empty()) sockets.back()->deliverOpen();

        size_t start = 0;
        while (start <= input.size()) {
            size_t end = input.find('\n', start);
            if (end == std::string_view::npos) end = input.size();
            const std::string_view line = input.substr(start, end - start);
            start = end + 1;
            auto socket = sockets.empty() ? nullptr : sockets.back();
            if (line.starts_with("#open")) {
                if (socket) socket->deliverOpen();
            } else if (line.starts_with("#close")) {
                if (socket) socket->deliverClose(static_cast<int>(number(line.substr(6), 1006)), "x");
            } else if (line.starts_with("#advance")) {
                clock->advance(static_cast<double>(std::clamp(number(line.substr(8), 0), 0L, 3'600'000L)));
            } else if (line.starts_with("#audio")) {
                const long n = std::clamp(number(line.substr(6), 1600), 0L, 3200L);
                link->sendAudio(std::vector<std::int16_t>(static_cast<size_t>(n), 1000));
            } else if (line.starts_with("#connect")) {
                link->connect(nullptr);
            } else if (line.starts_with("#shut")) {
                link->close();
            } else if (socket) {
                socket->deliverMessage(std::string(line));
            }
        }
        link->close();
        clock->advance(0);
    }
    // Run out what the closed link left (backoff timers hold it), then drop the rest.
    clock->advance(3'600'000);
    clock->clear();
    return 0;
}
