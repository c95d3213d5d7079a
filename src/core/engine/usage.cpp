#include "core/engine/usage.h"

#include <algorithm>
#include <cmath>
#include <charconv>

namespace quendra {

namespace {

void addInto(Usage& sum, const Usage& u) {
    sum.inputSeconds += u.inputSeconds;
    sum.outputSeconds += u.outputSeconds;
}

double roundThousandth(double x) { return std::round(x * 1000) / 1000; }

}  // namespace

void UsageLedger::set(const std::string& key, const std::string& provider, const Usage& usage,
                      const std::shared_ptr<Translator>& source) {
    if (source && std::find(dead_.begin(), dead_.end(), source) != dead_.end()) return;
    live_[key] = LiveEntry{provider, source, usage};
}

void UsageLedger::archive(const std::string& key) {
    auto it = live_.find(key);
    if (it == live_.end()) return;
    addInto(archived_[it->second.provider], it->second.usage);
    if (it->second.source) dead_.push_back(it->second.source);
    live_.erase(it);
}

std::map<std::string, Usage> UsageLedger::byProvider() const {
    auto result = archived_;
    for (const auto& [key, entry] : live_) addInto(result[entry.provider], entry.usage);
    return result;
}

Usage UsageLedger::total() const {
    Usage sum;
    for (const auto& [provider, usage] : byProvider()) addInto(sum, usage);
    return sum;
}

namespace Cost {

const std::map<std::string, Price>& prices() {
    static const std::map<std::string, Price> table = {
        {"gemini", {0.0053, 0.0315}},
        {"openai", {0.034, 0}},
        {"mock", {0, 0}},
    };
    return table;
}

double estimateEur(double inMinutes, double outMinutes, const std::string& provider) {
    const auto it = prices().find(provider);
    if (it == prices().end()) return 0;
    const double usd = std::max(inMinutes, 0.0) * it->second.inputUsdPerMin +
                       std::max(outMinutes, 0.0) * it->second.outputUsdPerMin;
    return roundThousandth(usd * eurPerUsd);
}

double estimateEur(const std::map<std::string, Usage>& byProvider) {
    double usd = 0;
    for (const auto& [provider, usage] : byProvider) {
        const auto it = prices().find(provider);
        if (it == prices().end()) continue;
        usd += std::max(usage.inputSeconds / 60, 0.0) * it->second.inputUsdPerMin +
               std::max(usage.outputSeconds / 60, 0.0) * it->second.outputUsdPerMin;
    }
    return roundThousandth(usd * eurPerUsd);
}

std::string formatEur(double amount) {
    if (!std::isfinite(amount)) amount = 0;
    // to_chars: the C locale's "%.2f" whatever locale the application has set; room for the
    // largest double written out in full.
    char buffer[512];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, amount, std::chars_format::fixed, 2).ptr;
    std::string text(buffer, end);
    std::replace(text.begin(), text.end(), '.', ',');
    return text + " \u20AC";
}

}  // namespace Cost

const std::map<std::string, std::string>& AutoStop::notices() {
    static const std::map<std::string, std::string> table = {
        {"idle", "Traduzione spenta da sola: nessuno parla da 15 minuti."},
        {"capture-ended", "Traduzione spenta: l'app che stavi ascoltando è stata chiusa."},
        {"device-changed",
         "Traduzione spenta: i dispositivi audio sono cambiati troppe volte. Riavviala."},
    };
    return table;
}

std::optional<std::string> AutoStop::check(double nowMs) const {
    if (idleMs <= nowMs - lastActivity) return std::string("idle");
    return std::nullopt;
}

}  // namespace quendra
