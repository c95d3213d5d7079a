#include "app/model/output_choice.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace quendra {
namespace {

bool nameContains(const AudioDevice& device, std::string_view pattern) {
    std::string lower = device.name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return lower.find(pattern) != std::string::npos;
}

}  // namespace

std::optional<std::string> automaticSpeakOutput(const std::vector<AudioDevice>& devices,
                                                const std::string& currentUid) {
    const auto anyOmbrix = std::any_of(devices.begin(), devices.end(),
                                       [](const AudioDevice& d) { return nameContains(d, "ombrix"); });
    const auto current = std::find_if(devices.begin(), devices.end(),
                                      [&](const AudioDevice& d) { return d.uid == currentUid; });
    if (!currentUid.empty() && current != devices.end()) {
        const bool generic = nameContains(*current, "blackhole") || nameContains(*current, "vb-cable");
        if (!generic || nameContains(*current, "ombrix") || !anyOmbrix) return std::nullopt;
    }
    for (const std::string_view pattern : std::array<std::string_view, 3>{"ombrix", "blackhole", "vb-cable"}) {
        const auto match = std::find_if(devices.begin(), devices.end(),
                                        [&](const AudioDevice& d) { return nameContains(d, pattern); });
        if (match != devices.end()) return match->uid;
    }
    return std::nullopt;
}

}  // namespace quendra
