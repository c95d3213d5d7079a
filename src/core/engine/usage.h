// Accounting of one engine run: audio seconds per provider, their estimated cost, and the idle
// auto-stop. Core queue only.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/runtime.h"

namespace quendra {

class Translator;

// Collects the running totals of every translator of a run so that a link that is replaced or
// closed neither loses nor doubles its counts.
class UsageLedger {
public:
    struct LiveEntry {
        std::string provider;
        std::shared_ptr<Translator> source;
        Usage usage;
    };

    // Records the latest totals of `source` for direction `key` ("listen" or "speak"). A late
    // report from a translator already archived is ignored.
    void set(const std::string& key, const std::string& provider, const Usage& usage,
             const std::shared_ptr<Translator>& source);
    // Makes the live totals of direction `key` final.
    void archive(const std::string& key);

    std::map<std::string, Usage> byProvider() const;
    Usage total() const;

    const std::map<std::string, LiveEntry>& live() const { return live_; }
    const std::map<std::string, Usage>& archived() const { return archived_; }

private:
    std::map<std::string, LiveEntry> live_;
    std::map<std::string, Usage> archived_;
    // Archived translators, compared by identity; kept alive until the ledger is replaced.
    std::vector<std::shared_ptr<Translator>> dead_;
};

namespace Cost {

inline constexpr double eurPerUsd = 0.9;

struct Price {
    double inputUsdPerMin;
    double outputUsdPerMin;
};

// US dollars per minute of audio, by provider.
const std::map<std::string, Price>& prices();

// Euros, rounded to the nearest thousandth; 0 for a provider without a price.
double estimateEur(double inMinutes, double outMinutes, const std::string& provider);
double estimateEur(const std::map<std::string, Usage>& byProvider);

// "1,50 €": two decimals, decimal comma; non-finite amounts show as 0.
std::string formatEur(double amount);

}  // namespace Cost

// Notices when nobody has spoken and nothing has played for `idleMs`.
class AutoStop {
public:
    AutoStop(double idleMs, double nowMs) : idleMs(idleMs), lastActivity(nowMs) {}

    const double idleMs;
    double lastActivity;

    // Texts shown when translation switched itself off, by reason.
    static const std::map<std::string, std::string>& notices();

    void activity(double nowMs) { lastActivity = nowMs; }
    // "idle" once `idleMs` have passed since the last activity.
    [[nodiscard]] std::optional<std::string> check(double nowMs) const;
};

}  // namespace quendra
