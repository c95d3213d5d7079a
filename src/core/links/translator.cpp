#include "core/links/translator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "core/base/text.h"

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

double retryDelayMs(const LinkTuning& tuning, std::int64_t attempt, double random) {
    const int exponent = static_cast<int>(std::clamp<std::int64_t>(attempt, 0, 2000));
    const double base = std::min(std::ldexp(tuning.backoffBaseMs, exponent), tuning.backoffMaxMs);
    return base * (0.8 + 0.4 * random);
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

void Translator::rememberCredential(const std::string& credential) {
    constexpr std::size_t kKept = 4;
    auto& kept = *credentials_;
    if (credential.empty() || std::find(kept.begin(), kept.end(), credential) != kept.end()) return;
    if (kept.size() >= kKept) kept.erase(kept.begin());
    kept.push_back(credential);
}

std::string Translator::withoutCredentials(std::string_view text) const {
    return withoutSecrets(text, *credentials_);
}

}  // namespace quendra
