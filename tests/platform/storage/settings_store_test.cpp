#include "platform/storage/settings_store.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace quendra {
namespace {

namespace fs = std::filesystem;

class FakeKeychain final : public Keychain {
public:
    std::string read(const std::string& account) override {
        const auto it = items.find(account);
        return it == items.end() ? std::string() : it->second;
    }
    void write(const std::string& account, const std::string& value) override {
        if (value.empty()) {
            items.erase(account);
        } else {
            items[account] = value;
        }
    }
    std::map<std::string, std::string> items;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

unsigned modeOf(const fs::path& path) {
    struct stat info{};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

Settings customSettings() {
    Settings s;
    s.outputLanguage = "de";
    s.provider = "mock";
    s.originalDuckLevel = 0.4;
    s.speakEnabled = false;
    s.glossary = "Ombrix";
    s.listenTarget = "org.mozilla.firefox";
    s.speakOutputUID = "virtual_mic";
    return s;
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ombrix-store.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        keychain->items["session"] = "keychain-token";
    }
    void TearDown() override { fs::remove_all(root); }

    Settings defaultsWithToken() const {
        Settings s;
        s.sessionToken = "keychain-token";
        return s;
    }
    // Files in the settings folder other than the settings file: leftovers of a failed save.
    std::vector<fs::path> strayFiles(const fs::path& folder) const {
        std::vector<fs::path> out;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(folder, ignored)) {
            if (entry.path().filename() != SettingsStore::fileName) out.push_back(entry.path());
        }
        return out;
    }

    fs::path root;
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
};

TEST_F(SettingsStoreTest, RoundTripKeepsTheTokenOutOfTheFile) {
    const fs::path folder = root / "config" / "ombrix";  // parents missing too
    SettingsStore store(folder, keychain);
    Settings saved = customSettings();
    saved.sessionToken = "secret-in-memory";
    ASSERT_TRUE(store.save(saved));

    Settings expected = customSettings();
    expected.sessionToken = "keychain-token";
    EXPECT_EQ(store.load(), expected);

    const std::string text = readFile(store.file());
    EXPECT_EQ(text.find("secret-in-memory"), std::string::npos);
    EXPECT_EQ(text.find("sessionToken"), std::string::npos);
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json.size(), 14u);
    EXPECT_EQ(modeOf(store.file()), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_TRUE(strayFiles(folder).empty());
}

TEST_F(SettingsStoreTest, LoadWithoutFileGivesDefaultsAndDropsTheLegacyItem) {
    keychain->items["teamPassword"] = "old";
    SettingsStore store(root / "never-created", keychain);
    EXPECT_EQ(store.load(), defaultsWithToken());
    EXPECT_EQ(keychain->items.count("teamPassword"), 0u);
    EXPECT_EQ(store.load(), defaultsWithToken());  // twice is harmless
    EXPECT_FALSE(fs::exists(root / "never-created"));  // loading creates nothing

    keychain->items.erase("session");
    EXPECT_EQ(store.load(), Settings{});
}

TEST_F(SettingsStoreTest, CorruptFilesGiveDefaultsAndStayUntilTheNextSave) {
    const std::string valid = customSettings().encodeText();
    const std::string cases[] = {
        "",
        valid.substr(0, valid.size() / 2),
        valid.substr(0, valid.size() - 1),
        "[]",
        "null",
        "\"settings\"",
        std::string("\x00\x01\xff garbage", 12),
        std::string("{\"provider\":\"mock\"}\0", 20),
        "{" + std::string(2 << 20, ' ') + "}",  // far larger than any settings file
    };
    SettingsStore store(root, keychain);
    for (const auto& content : cases) {
        writeFile(store.file(), content);
        EXPECT_EQ(store.load(), defaultsWithToken()) << content.substr(0, 40);
        EXPECT_EQ(readFile(store.file()), content) << "load must not rewrite the file";
    }
    ASSERT_TRUE(store.save(customSettings()));
    EXPECT_EQ(store.load().provider, "mock");
}

TEST_F(SettingsStoreTest, WrongMembersFallBackOneByOne) {
    SettingsStore store(root, keychain);
    writeFile(store.file(),
              R"({"provider":"mock","listenEnabled":"no","originalDuckLevel":"loud","micDuckLevel":7,)"
              R"("glossary":42,"sessionToken":"from-file","voice":"Kore"})");
    Settings expected = defaultsWithToken();
    expected.provider = "mock";
    expected.micDuckLevel = 1;
    expected.voice = "Kore";
    EXPECT_EQ(store.load(), expected);
}

TEST_F(SettingsStoreTest, SomethingOtherThanAFileInItsPlaceIsNotReadAndNotReplaced) {
    SettingsStore store(root, keychain);

    fs::create_directory(store.file());
    writeFile(store.file() / "inside", "x");
    EXPECT_EQ(store.load(), defaultsWithToken());
    EXPECT_FALSE(store.save(customSettings()));
    EXPECT_TRUE(fs::is_directory(store.file()));
    EXPECT_TRUE(strayFiles(root).empty());
    fs::remove_all(store.file());

    // A FIFO would block a plain open for reading until some writer came along.
    ASSERT_EQ(::mkfifo(store.file().c_str(), 0600), 0);
    EXPECT_EQ(store.load(), defaultsWithToken());
    fs::remove(store.file());

    fs::create_symlink("/nonexistent/settings.json", store.file());
    EXPECT_EQ(store.load(), defaultsWithToken());
}

TEST_F(SettingsStoreTest, SavedFileIsPrivateWhateverItsModeWas) {
    SettingsStore store(root, keychain);
    for (const mode_t mode : {0644u, 0666u, 0000u}) {
        writeFile(store.file(), "{}");
        ASSERT_EQ(::chmod(store.file().c_str(), mode), 0);
        ASSERT_TRUE(store.save(customSettings()));
        EXPECT_EQ(modeOf(store.file()), 0600u) << std::oct << mode;
        EXPECT_EQ(store.load().provider, "mock");
    }
}

TEST_F(SettingsStoreTest, TemporaryFilesLeftByAnInterruptedSaveGoAtTheNextSave) {
    SettingsStore store(root, keychain);
    auto make = [&](const std::string& name, std::chrono::seconds age) {
        writeFile(root / name, "partial");
        const auto when = fs::file_time_type::clock::now() - age;
        fs::last_write_time(root / name, when);
    };
    make("settings.json.tmp-Ab12Cd", std::chrono::minutes(5));   // a dead save's
    make("settings.json.tmp-zz99ZZ", std::chrono::seconds(2));   // maybe a save running elsewhere
    make("settings.json.backup", std::chrono::minutes(5));       // the user's own
    make("settings.json.tmp-Ab12Cd7", std::chrono::minutes(5));  // not one of ours
    make("other.json.tmp-Ab12Cd", std::chrono::minutes(5));
    fs::create_directory(root / "settings.json.tmp-Ef34Gh");     // nor anything but a file
    ASSERT_TRUE(store.save(customSettings()));
    EXPECT_FALSE(fs::exists(root / "settings.json.tmp-Ab12Cd"));
    for (const char* kept : {"settings.json.tmp-zz99ZZ", "settings.json.backup", "settings.json.tmp-Ab12Cd7",
                             "other.json.tmp-Ab12Cd", "settings.json.tmp-Ef34Gh"}) {
        EXPECT_TRUE(fs::exists(root / kept)) << kept;
    }
    EXPECT_EQ(store.load().provider, "mock");
}

TEST_F(SettingsStoreTest, ASymlinkedSettingsFileIsWrittenThroughToItsTarget) {
    // Relative links resolve from the link's folder, chains are followed, and a link to a file
    // not there yet creates it.
    fs::create_directories(root / "dotfiles" / "ombrix");
    fs::create_directories(root / "config");
    struct Case {
        std::string link;
        fs::path target;
    };
    const Case cases[] = {
        {"../dotfiles/ombrix/settings.json", root / "dotfiles" / "ombrix" / "settings.json"},
        {(root / "dotfiles" / "hop.json").string(), root / "dotfiles" / "ombrix" / "chained.json"},
        {"../dotfiles/ombrix/new.json", root / "dotfiles" / "ombrix" / "new.json"},
    };
    fs::create_symlink("ombrix/chained.json", root / "dotfiles" / "hop.json");
    writeFile(root / "dotfiles" / "ombrix" / "settings.json", "{}");
    writeFile(root / "dotfiles" / "ombrix" / "chained.json", "{}");
    SettingsStore store(root / "config", keychain);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        fs::remove(store.file());
        fs::create_symlink(c.link, store.file());
        ASSERT_TRUE(store.save(customSettings()));
        EXPECT_TRUE(fs::is_symlink(store.file()));
        EXPECT_EQ(store.load().provider, "mock");
        EXPECT_EQ(nlohmann::json::parse(readFile(c.target))["provider"], "mock");
        EXPECT_EQ(modeOf(c.target), 0600u);
        EXPECT_TRUE(strayFiles(root / "config").empty());
        fs::remove(c.target);
    }
    EXPECT_TRUE(fs::is_symlink(root / "dotfiles" / "hop.json"));

    // A loop of links cannot be written through: refused, nothing replaced.
    fs::remove(store.file());
    fs::create_symlink("loop.json", root / "config" / "loop.json");
    fs::create_symlink("loop.json", store.file());
    const auto result = store.save(customSettings());
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().find("collegamento"), std::string::npos) << result.error();
    EXPECT_TRUE(fs::is_symlink(store.file()));
}

TEST_F(SettingsStoreTest, FolderThatCannotBeCreated) {
    writeFile(root / "blocker", "a file where a folder should be");
    for (const fs::path& folder : {root / "blocker", root / "blocker" / "ombrix"}) {
        SettingsStore store(folder, keychain);
        const auto result = store.save(customSettings());
        ASSERT_FALSE(result);
        EXPECT_FALSE(result.error().empty());
        EXPECT_EQ(store.load(), defaultsWithToken());
    }
    EXPECT_EQ(readFile(root / "blocker"), "a file where a folder should be");
}

TEST_F(SettingsStoreTest, DefaultFolderFollowsXdgConfigHome) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdgBackup = savedXdg ? savedXdg : "";
    const std::string homeBackup = savedHome ? savedHome : "";

    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/custom/config", 1);
    EXPECT_EQ(SettingsStore::defaultFolder(), fs::path("/custom/config/ombrix"));
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored, as XDG requires
    EXPECT_EQ(SettingsStore::defaultFolder(), fs::path("/home/someone/.config/ombrix"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsStore::defaultFolder(), fs::path("/home/someone/.config/ombrix"));

    savedXdg ? ::setenv("XDG_CONFIG_HOME", xdgBackup.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    savedHome ? ::setenv("HOME", homeBackup.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace quendra
