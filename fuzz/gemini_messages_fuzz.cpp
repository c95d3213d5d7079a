// Plays an arbitrary script of server messages and events against a Gemini link on the manual
// clock. One line per step: "!o" opens and confirms the newest socket, "!a" sends a chunk of audio,
// "!t<ms>" advances the clock, "!c<code>" closes the newest socket from the server's side, "!x"
// closes the link, "!r" connects it again; any other line is a text message from the server on the
// newest socket. Nothing may crash, throw or trip a sanitizer, and the link's invariants must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/links/gemini/gemini_translator.h"
#include "support/fakes.h"

using namespace quendra;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

long numberAfter(std::string_view line) {
    long value = 0;
    for (const char c : line.substr(2)) {
        if (c < '0' || c > '9' || value > 100000000) break;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auto scheduler = std::make_shared<test::ManualScheduler>();
    test::SocketRecorder sockets(scheduler);
    test::FixedTokenSource tokens;
    TranslatorOptions options("it", scheduler, sockets.factory(), tokens.source());
    options.random = [] { return 0.5; };
    options.tuning.maxQueueMs = 500;
    auto link = std::make_shared<GeminiTranslator>(options);
    std::int64_t audioSamples = 0;
    link->onAudio = [&](const std::vector<std::int16_t>& samples) {
        audioSamples += static_cast<std::int64_t>(samples.size());
    };
    link->onTranscript = [](const std::string&, TranscriptKind, bool) {};
    link->onState = [](LinkState state, const std::optional<std::string>& message) {
        check(message.has_value() == (state == LinkState::error));
    };
    link->connect(nullptr);

    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view line = input.substr(start, end - start);
        start = end + 1;
        const auto socket = sockets.last();
        if (line.starts_with("!o")) {
            if (socket) {
                socket->deliverOpen();
                socket->deliverMessage(R"({"setupComplete":{}})");
            }
        } else if (line.starts_with("!a")) {
            link->sendAudio(std::vector<std::int16_t>(160, 7));
        } else if (line.starts_with("!t")) {
            scheduler->advance(static_cast<double>(numberAfter(line)));
        } else if (line.starts_with("!c")) {
            if (socket) socket->deliverClose(static_cast<int>(numberAfter(line) % 5000));
        } else if (line.starts_with("!x")) {
            link->close();
            check(link->state == LinkState::closed);
        } else if (line.starts_with("!r")) {
            link->connect(nullptr);
        } else if (socket) {
            socket->deliverMessage(std::string(line));
        }
        check(link->outputBytes == 2 * audioSamples);
        check(link->droppedChunks() >= 0);
    }

    link->close();
    check(link->state == LinkState::closed);
    scheduler->advance(1e9);  // lets backoff timers run into the closed link
    return 0;
}
