// The monthly budget: what this calendar month's translation has cost so far, per provider, kept
// between runs, and when it passes 80 % and 100 % of the user's limit.
//
// Threading: UI thread (the application model's).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "core/base/runtime.h"

namespace quendra {

// Where the month's spend is kept (a small file in the state folder, written atomically). The
// executable binds it to the file; tests to memory.
class MonthSpendStorage {
public:
    virtual ~MonthSpendStorage() = default;
    // The stored text, none when there is none or it cannot be read.
    virtual std::optional<std::string> load() = 0;
    // Replaces the stored text whole; a failure says why and leaves the old text.
    virtual tl::expected<void, std::string> save(const std::string& text) = 0;
};

// One calendar month's spend.
struct MonthSpend {
    std::string month;                   // local calendar month, "2026-12"
    std::map<std::string, Usage> usage;  // seconds sent and received per provider
    bool warned = false;                 // the 80 % notice was shown
    bool confirmed = false;              // the user chose to go on past the limit
    bool operator==(const MonthSpend&) const = default;

    // Euros of `usage`, as the engine estimates a run's cost.
    double eur() const;
    std::string encodeText() const;
    // None for text that is not a month's spend; wrong members count as missing.
    static std::optional<MonthSpend> decodeText(std::string_view text);
};

// The local calendar month of `nowMs` (milliseconds since 1970), as "YYYY-MM".
std::string calendarMonth(double nowMs);

class MonthBudget {
public:
    // Written at most this often while usage grows; events and month changes are written at once.
    static constexpr double saveEveryMs = 10000;
    static constexpr double warnShare = 0.8;

    enum class Event { none, warn, limit };

    // Reads the stored month; a stored month other than the current one starts from zero.
    MonthBudget(std::shared_ptr<MonthSpendStorage> storage, double nowMs);

    // Counts an engine status's run usage (running totals per provider since the run's start; a
    // total lower than the last one, or an empty map, means a new run) at `nowMs`, starting a new
    // month when the calendar month changed. Says whether the 80 % mark was passed for the first
    // time this month, or the limit is reached and the user has not chosen to go on.
    Event count(const std::map<std::string, Usage>& runUsage, std::optional<double> limitEur, double nowMs);

    // Whether starting now needs the user's confirmation: the month's spend is at the limit.
    bool needsConfirmation(std::optional<double> limitEur, double nowMs);
    // The user goes on past the limit for the rest of this month.
    void confirm(double nowMs);
    // Writes what is not written yet (at the end of a run, at exit).
    void flush();

    double spentEur() const { return spend_.eur(); }
    // Hears why a write failed.
    std::function<void(const std::string&)> warn;
    const MonthSpend& spend() const { return spend_; }

    // The panel's line and the notices.
    static std::string spendLine(double eur);             // "Questo mese: 3,20 €"
    static std::string warnNotice(double eur, double limitEur);
    static std::string limitNotice(double limitEur);
    static std::string confirmQuestion(double limitEur);

private:
    void rollOver(double nowMs);
    void save(double nowMs);

    std::shared_ptr<MonthSpendStorage> storage_;
    MonthSpend spend_;
    std::map<std::string, Usage> counted_;  // the current run's totals already in `spend_`
    bool unsaved_ = false;
    std::optional<double> lastSaveMs_;
};

}  // namespace quendra
