#include "app/model/month_budget.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"
#include "core/engine/usage.h"

namespace quendra {
namespace {

double nonNegative(double value) { return std::isfinite(value) && value > 0 ? value : 0; }

}  // namespace

double MonthSpend::eur() const { return Cost::estimateEur(usage); }

std::string MonthSpend::encodeText() const {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["month"] = month;
    nlohmann::ordered_json providers = nlohmann::ordered_json::object();
    for (const auto& [provider, u] : usage) {
        providers[provider] = {{"inputSeconds", u.inputSeconds},
                               {"outputSeconds", u.outputSeconds},
                               {"minutesIn", u.inputSeconds / 60},
                               {"minutesOut", u.outputSeconds / 60},
                               {"eur", Cost::estimateEur(u.inputSeconds / 60, u.outputSeconds / 60, provider)}};
    }
    out["providers"] = std::move(providers);
    out["eur"] = eur();
    out["warned"] = warned;
    out["confirmed"] = confirmed;
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<MonthSpend> MonthSpend::decodeText(std::string_view text) {
    const auto parsed = parseJson(text);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    const auto month = parsed.find("month");
    if (month == parsed.end() || !month->is_string()) return std::nullopt;
    MonthSpend spend;
    spend.month = month->get<std::string>();
    if (const auto providers = parsed.find("providers"); providers != parsed.end() && providers->is_object()) {
        for (const auto& [provider, entry] : providers->items()) {
            if (!entry.is_object()) continue;
            auto seconds = [&entry](const char* name) {
                const auto it = entry.find(name);
                return it != entry.end() && it->is_number() ? nonNegative(it->get<double>()) : 0.0;
            };
            spend.usage[provider] = Usage{seconds("inputSeconds"), seconds("outputSeconds")};
        }
    }
    auto flag = [&parsed](const char* name) {
        const auto it = parsed.find(name);
        return it != parsed.end() && it->is_boolean() && it->get<bool>();
    };
    spend.warned = flag("warned");
    spend.confirmed = flag("confirmed");
    return spend;
}

std::string calendarMonth(double nowMs) {
    const auto seconds = static_cast<std::time_t>(std::floor(nowMs / 1000));
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return "0000-00";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d", local.tm_year + 1900, local.tm_mon + 1);
    return text;
}

MonthBudget::MonthBudget(std::shared_ptr<MonthSpendStorage> storage, double nowMs) : storage_(std::move(storage)) {
    if (storage_) {
        if (const auto text = storage_->load()) {
            if (auto stored = MonthSpend::decodeText(*text)) spend_ = std::move(*stored);
        }
    }
    rollOver(nowMs);
}

void MonthBudget::rollOver(double nowMs) {
    const std::string month = calendarMonth(nowMs);
    if (spend_.month == month) return;
    // The run's totals so far belong to the month that ended: only what follows counts now.
    spend_ = MonthSpend{month, {}, false, false};
    unsaved_ = true;
}

MonthBudget::Event MonthBudget::count(const std::map<std::string, Usage>& runUsage, std::optional<double> limitEur,
                                      double nowMs) {
    const std::string before = spend_.month;
    rollOver(nowMs);
    const bool newMonth = spend_.month != before;
    if (runUsage.empty()) counted_.clear();  // a run starts with an empty ledger
    for (const auto& [provider, total] : runUsage) {
        Usage& counted = counted_[provider];
        if (total.inputSeconds < counted.inputSeconds || total.outputSeconds < counted.outputSeconds) {
            counted = Usage{};  // a new run's ledger
        }
        const double in = nonNegative(total.inputSeconds - counted.inputSeconds);
        const double out = nonNegative(total.outputSeconds - counted.outputSeconds);
        if (in > 0 || out > 0) {
            Usage& month = spend_.usage[provider];
            month.inputSeconds += in;
            month.outputSeconds += out;
            unsaved_ = true;
        }
        counted = total;
    }

    Event event = Event::none;
    if (limitEur && *limitEur > 0) {
        const double eur = spend_.eur();
        if (eur >= *limitEur && !spend_.confirmed) {
            event = Event::limit;
        } else if (eur >= warnShare * *limitEur && !spend_.warned) {
            spend_.warned = true;
            unsaved_ = true;
            event = Event::warn;
        }
    }
    if (unsaved_ && (event != Event::none || newMonth || !lastSaveMs_ || nowMs - *lastSaveMs_ >= saveEveryMs)) {
        save(nowMs);
    }
    return event;
}

bool MonthBudget::needsConfirmation(std::optional<double> limitEur, double nowMs) {
    rollOver(nowMs);
    return limitEur && *limitEur > 0 && !spend_.confirmed && spend_.eur() >= *limitEur;
}

void MonthBudget::confirm(double nowMs) {
    rollOver(nowMs);
    spend_.confirmed = true;
    unsaved_ = true;
    save(nowMs);
}

void MonthBudget::flush() {
    if (unsaved_) save(lastSaveMs_.value_or(0));
}

void MonthBudget::save(double nowMs) {
    lastSaveMs_ = nowMs;
    unsaved_ = false;
    if (!storage_) return;
    if (auto saved = storage_->save(spend_.encodeText()); !saved) {
        unsaved_ = true;  // tried again with the next change
        if (warn) warn("spesa del mese non salvata: " + saved.error());
    }
}

std::string MonthBudget::spendLine(double eur) { return "Questo mese: " + Cost::formatEur(eur); }

std::string MonthBudget::warnNotice(double eur, double limitEur) {
    return "Questo mese hai speso " + Cost::formatEur(eur) + ", l'80 % del limite di spesa di " +
           Cost::formatEur(limitEur) + ".";
}

std::string MonthBudget::limitNotice(double limitEur) {
    return "Traduzione spenta: raggiunto il limite di spesa di " + Cost::formatEur(limitEur) + " per questo mese.";
}

std::string MonthBudget::confirmQuestion(double limitEur) {
    return "Questo mese hai già raggiunto il limite di spesa di " + Cost::formatEur(limitEur) +
           ". Vuoi avviare lo stesso?";
}

}  // namespace quendra
