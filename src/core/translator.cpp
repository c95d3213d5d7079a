#include "core/translator.h"

#include <array>
#include <random>

#include "core/gemini_translator.h"
#include "core/openai_translator.h"
#include "core/pcm.h"

namespace quendra {

namespace {
constexpr std::array<std::string_view, 7> kStateNames = {
    "off", "connecting", "open", "reconnecting", "closed", "error", "passthrough"};
constexpr const char* kWhere = "QuendraCore/Translator";
}  // namespace

std::string_view rawValue(LinkState state) { return kStateNames[static_cast<size_t>(state)]; }

std::optional<LinkState> linkStateFromRaw(std::string_view raw) {
    for (size_t i = 0; i < kStateNames.size(); ++i) {
        if (kStateNames[i] == raw) return static_cast<LinkState>(i);
    }
    return std::nullopt;
}

double uniformRandom() {
    // One generator per thread: the core queue is one thread, but tests may run others.
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

Usage Translator::usage() const {
    return Usage{static_cast<double>(inputBytes) / 32000.0,
                 static_cast<double>(outputBytes) / 48000.0};
}

// Bodies of the abstract operations: reached only by a subclass that calls them explicitly.
void Translator::connect(Completion) { fatal("connect() non implementato", kWhere); }
void Translator::sendAudio(const std::vector<std::int16_t>&) {
    fatal("sendAudio() non implementato", kWhere);
}
void Translator::close() { fatal("close() non implementato", kWhere); }

void Translator::setState(LinkState next, std::optional<std::string> message) {
    state = next;
    if (onState) onState(next, message);
}

void Translator::reportUsage() {
    if (onUsage) onUsage(usage());
}

Result<std::shared_ptr<Translator>> createTranslator(const std::string& provider,
                                                     TranslatorOptions options) {
    if (provider == "gemini") {
        return std::shared_ptr<Translator>(std::make_shared<GeminiTranslator>(std::move(options)));
    }
    if (provider == "openai") {
        return std::shared_ptr<Translator>(std::make_shared<OpenAITranslator>(std::move(options)));
    }
    if (provider == "mock") {
        return std::shared_ptr<Translator>(std::make_shared<MockTranslator>(std::move(options)));
    }
    return tl::unexpected(Error{LinkError{"fornitore non supportato: " + provider, false, false}});
}

void MockTranslator::connect(Completion completion) {
    if (state == LinkState::open) {
        if (completion) completion(std::nullopt);
        return;
    }
    if (state != LinkState::connecting) setState(LinkState::connecting);
    // The mock needs no token: whatever arrives, success or failure, opens it.
    std::weak_ptr<Translator> weak = weak_from_this();
    opts.getToken([weak, completion = std::move(completion)](const Result<Token>&) {
        auto self = weak.lock();
        if (!self) return;
        auto* mock = static_cast<MockTranslator*>(self.get());
        if (mock->state == LinkState::connecting) mock->setState(LinkState::open);
        if (completion) completion(std::nullopt);
    });
}

void MockTranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (state != LinkState::open) return;
    inputBytes += 2 * static_cast<std::int64_t>(samples.size());
    std::weak_ptr<Translator> weak = weak_from_this();
    auto chunk = std::make_shared<const std::vector<std::int16_t>>(samples);
    (void)opts.scheduler->after(opts.tuning.mockDelayMs, [weak, chunk] {
        auto self = weak.lock();
        if (!self || self->state != LinkState::open) return;
        auto* mock = static_cast<MockTranslator*>(self.get());
        auto played = PCM::resampleInt16(*chunk, inputRate, outputRate);
        mock->outputBytes += 2 * static_cast<std::int64_t>(played.size());
        if (mock->onAudio) mock->onAudio(played);
        mock->reportUsage();
    });
}

void MockTranslator::close() {
    if (state == LinkState::closed) return;
    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
