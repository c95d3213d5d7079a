#include "app/panel/panel_texts.h"

#include <charconv>
#include <cmath>

#include "core/engine/usage.h"

namespace quendra::PanelTexts {

std::string stateLabel(LinkState state) {
    switch (state) {
        case LinkState::off: return "Spento";
        case LinkState::connecting: return "Mi collego…";
        case LinkState::open: return "Attivo";
        case LinkState::reconnecting: return "Mi ricollego…";
        case LinkState::closed: return "Chiuso";
        case LinkState::error: return "Errore";
        case LinkState::passthrough: return "Voce originale";
    }
    return "";
}

std::string stateLine(LinkState state, const std::string& error) {
    if (!error.empty() && state != LinkState::off) return stateLabel(state) + ": " + error;
    return stateLabel(state);
}

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) value = 0;
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "0";
    std::string text(buffer, result.ptr);
    if (text.starts_with("-") && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

std::string sliderTitle(const std::string& title, double value) { return title + ": " + fixed(value * 100, 0) + "%"; }

std::string tailLine(double seconds) { return "Sto ancora traducendo (" + fixed(seconds, 0) + " s)"; }

std::string costLine(const EngineStatus& status) {
    return "Costo stimato: " + Cost::formatEur(status.costEur) + " (" + fixed(status.minutesIn, 1) + " min mandati, " +
           fixed(status.minutesOut, 1) + " ricevuti)";
}

std::optional<double> euroAmount(const std::string& text) {
    std::string digits;
    bool separator = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if ((c == ',' || c == '.') && !separator) {
            separator = true;
            digits += '.';
        } else if (c == ' ') {
            continue;
        } else if (text.compare(i, 3, "\u20ac") == 0) {
            i += 2;  // the euro sign, anywhere
        } else {
            return std::nullopt;
        }
    }
    if (digits.empty() || digits == ".") return std::nullopt;
    double value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return std::nullopt;
    if (!std::isfinite(value) || value <= 0) return std::nullopt;
    return value;
}

std::string euroField(double amount) {
    std::string text = fixed(amount, 2);
    for (auto& c : text) {
        if (c == '.') c = ',';
    }
    return text;
}

}  // namespace quendra::PanelTexts
