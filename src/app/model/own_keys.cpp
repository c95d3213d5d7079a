#include "app/model/own_keys.h"

#include <algorithm>

namespace quendra::OwnKeys {

const std::vector<std::string>& providers() {
    static const std::vector<std::string> list = {"gemini", "openai"};
    return list;
}

std::string item(const std::string& provider) {
    const auto& list = providers();
    if (std::find(list.begin(), list.end(), provider) == list.end()) return {};
    return provider + "-key";
}

std::set<std::string> withKey(const Settings& settings) {
    std::set<std::string> found;
    for (const auto& provider : providers()) {
        if (settings.ownKey(provider)) found.insert(provider);
    }
    return found;
}

}  // namespace quendra::OwnKeys
