// The pure parts of the model: the automatic speak device, the list of applications to listen
// to, and where log lines go.
#include <map>

#include <gtest/gtest.h>

#include "app/model/app_logger.h"
#include "app/model/listen_apps.h"
#include "app/model/output_choice.h"

namespace quendra {
namespace {

TEST(AutomaticSpeakOutput, PrefersOmbrixThenGenericVirtualDevices) {
    const AudioDevice headphones{1, "usb", "Cuffie USB"};
    const AudioDevice blackhole{2, "bh", "BlackHole 2ch"};
    const AudioDevice vbCable{3, "vb", "VB-Cable"};
    const AudioDevice ombrix{4, "ov", "OMBRIX Voce"};
    struct Row {
        const char* what;
        std::vector<AudioDevice> devices;
        std::string current;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {"nothing chosen, ombrix beats blackhole", {blackhole, ombrix}, "", "ov"},
        {"nothing chosen, only blackhole", {headphones, blackhole}, "", "bh"},
        {"nothing chosen, vb-cable last", {headphones, vbCable}, "", "vb"},
        {"blackhole before vb-cable whatever the order", {vbCable, blackhole}, "", "bh"},
        {"nothing chosen, nothing virtual", {headphones}, "", std::nullopt},
        {"chosen device unplugged", {headphones, blackhole}, "gone", "bh"},
        {"chosen vb-cable replaced once ombrix is listed", {vbCable, ombrix}, "vb", "ov"},
        {"chosen vb-cable stays without ombrix", {vbCable, blackhole}, "vb", std::nullopt},
        {"an ordinary device stays even with ombrix listed", {headphones, ombrix}, "usb", std::nullopt},
        {"an ombrix device stays", {ombrix, {5, "ov2", "Ombrix Altro"}}, "ov", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(automaticSpeakOutput(row.devices, row.current), row.expected) << row.what;
    }
}

TEST(ListenableApps, ListsPlayingAppsOnceSortedAfterTheWholeComputer) {
    const std::vector<AudioProcess> processes = {
        {10, "firefox", "Firefox", true, true, 0},
        {11, "firefox", "Firefox (second stream)", true, true, 0},
        {12, "zoom", "zoom", true, true, 0},
        {13, "pulse-helper", "Helper", true, false, 0},  // not an application
        {14, "spotify", "Spotify", false, true, 0},      // paused, not the target
        {15, "elisa", "Élisa", true, true, 0},
    };
    const auto apps = listenableApps(processes, "", nullptr);
    const std::vector<ListenApp> expected = {
        {"", "Tutto il computer"}, {"elisa", "Élisa"}, {"firefox", "Firefox"}, {"zoom", "zoom"}};
    EXPECT_EQ(apps, expected);
}

TEST(ListenableApps, KeepsTheTargetWhenPausedOrClosed) {
    const std::vector<AudioProcess> silent = {{20, "spotify", "Spotify", false, true, 0}};
    struct Row {
        const char* what;
        std::vector<AudioProcess> processes;
        std::map<std::string, std::string> running;
        std::string expectedName;
    };
    const Row rows[] = {
        {"silent stream", silent, {}, "Spotify (in pausa)"},
        {"running without a stream", {}, {{"spotify", "Spotify"}}, "Spotify (in pausa)"},
        {"running without a name", {}, {{"spotify", ""}}, "spotify (chiusa)"},
        {"gone", {}, {}, "spotify (chiusa)"},
    };
    for (const auto& row : rows) {
        const auto running = row.running;
        const auto apps = listenableApps(row.processes, "spotify", [&](const std::string& id) {
            const auto found = running.find(id);
            return found == running.end() ? std::nullopt : std::optional(found->second);
        });
        const std::vector<ListenApp> expected = {{"", "Tutto il computer"}, {"spotify", row.expectedName}};
        EXPECT_EQ(apps, expected) << row.what;
    }
}

TEST(NameOrder, IgnoresCaseAndAccents) {
    EXPECT_TRUE(nameLess("audacity", "Brave"));
    EXPECT_TRUE(nameLess("Éclipse", "Firefox"));
    EXPECT_TRUE(nameLess("èco", "Zoom"));
    EXPECT_FALSE(nameLess("zoom", "Audacity"));
    // Names equal but for case still have a fixed order.
    EXPECT_NE(nameLess("Zoom", "zoom"), nameLess("zoom", "Zoom"));
}

TEST(AppLogger, WarningsAlwaysReachStandardErrorDebugOnlyWithTheSwitch) {
    EXPECT_TRUE(debugSwitch(std::string("1")));
    for (const auto& off : {std::optional<std::string>(), std::optional<std::string>("0"),
                            std::optional<std::string>("true"), std::optional<std::string>("1 ")}) {
        EXPECT_FALSE(debugSwitch(off));
    }
    for (const bool debug : {false, true}) {
        std::vector<std::string> file;
        std::vector<std::string> console;
        const auto logger = makeAppLogger([&](const std::string& m) { file.push_back(m); },
                                          [&](const std::string& m) { console.push_back(m); }, debug);
        logger.debug("motore stop");
        logger.warn("qualcosa non va");
        EXPECT_EQ(file, (std::vector<std::string>{"motore stop", "ATTENZIONE qualcosa non va"}));
        if (debug) {
            EXPECT_EQ(console, (std::vector<std::string>{"motore stop", "qualcosa non va"}));
        } else {
            EXPECT_EQ(console, (std::vector<std::string>{"qualcosa non va"}));
        }
    }
}

}  // namespace
}  // namespace quendra
