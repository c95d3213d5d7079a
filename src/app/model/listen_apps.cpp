#include "app/model/listen_apps.h"

#include <algorithm>
#include <set>

namespace quendra {
namespace {

// Base letters of U+00C0..U+00FF; "" keeps the character as it is (× and ÷).
constexpr const char* latin1Fold[64] = {
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",  //
    "d", "n", "o", "o", "o", "o", "o",  "",  "o", "u", "u", "u", "u", "y", "th", "ss",
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",
    "d", "n", "o", "o", "o", "o", "o",  "",  "o", "u", "u", "u", "u", "y", "th", "y",
};

std::string collationKey(std::string_view text) {
    std::string key;
    key.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z') {
            key += static_cast<char>(c - 'A' + 'a');
        } else if (c == 0xC3 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0xBF &&
                   *latin1Fold[static_cast<unsigned char>(text[i + 1]) - 0x80] != '\0') {
            // A two-byte UTF-8 letter of U+00C0..U+00FF.
            key += latin1Fold[static_cast<unsigned char>(text[i + 1]) - 0x80];
            ++i;
        } else {
            key += static_cast<char>(c);
        }
    }
    return key;
}

}  // namespace

bool nameLess(std::string_view a, std::string_view b) {
    const auto ka = collationKey(a);
    const auto kb = collationKey(b);
    if (ka != kb) return ka < kb;
    return a < b;
}

std::vector<ListenApp> listenableApps(const std::vector<AudioProcess>& processes, const std::string& target,
                                      const RunningNameLookup& runningName) {
    std::vector<ListenApp> entries;
    std::set<std::string> seen;
    for (const auto& p : processes) {
        if (!p.playing || !p.isApp || seen.count(p.appId)) continue;
        seen.insert(p.appId);
        entries.push_back({p.appId, p.appName});
    }
    if (!target.empty() && !seen.count(target)) {
        const auto stream = std::find_if(processes.begin(), processes.end(),
                                         [&](const AudioProcess& p) { return p.appId == target; });
        std::string name;
        if (stream != processes.end()) {
            name = stream->appName + " (in pausa)";
        } else if (auto running = runningName ? runningName(target) : std::nullopt) {
            name = running->empty() ? target + " (chiusa)" : *running + " (in pausa)";
        } else {
            name = target + " (chiusa)";
        }
        entries.push_back({target, std::move(name)});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ListenApp& a, const ListenApp& b) { return nameLess(a.name, b.name); });
    std::vector<ListenApp> apps{{"", std::string(wholeComputerName)}};
    apps.insert(apps.end(), entries.begin(), entries.end());
    return apps;
}

}  // namespace quendra
