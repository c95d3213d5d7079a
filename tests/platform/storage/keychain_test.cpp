// Runs against a real Secret Service (GNOME Keyring on a private session bus, started by
// with-secret-service.sh). The paths without a service run in fresh child processes, because
// GLib keeps the first session-bus connection for the life of the process.
#include "platform/storage/keychain.h"

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/storage/settings_store.h"

namespace quendra {
namespace {

constexpr const char* kService = "ombrix-test";

// The stored form as another Secret Service client sees it.
const SecretSchema* itemSchema() {
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "ombrix.Secret";
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

// Every item (locked or not) of the test service and this account, asked of the Secret Service
// over D-Bus directly.
int countItems(const std::string& account) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return -1;
    }
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", itemSchema()->name);
    g_variant_builder_add(&attributes, "{ss}", "service", kService);
    g_variant_builder_add(&attributes, "{ss}", "account", account.c_str());
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
        "SearchItems", g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"), G_DBUS_CALL_FLAGS_NONE,
        5000, nullptr, &error);
    g_object_unref(bus);
    if (reply == nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return -1;
    }
    GVariant* unlocked = g_variant_get_child_value(reply, 0);
    GVariant* locked = g_variant_get_child_value(reply, 1);
    const int n = static_cast<int>(g_variant_n_children(unlocked) + g_variant_n_children(locked));
    g_variant_unref(unlocked);
    g_variant_unref(locked);
    g_variant_unref(reply);
    return n;
}

void storeRaw(const std::string& account, const std::string& bytes) {
    SecretValue* value = secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "text/plain");
    GError* error = nullptr;
    secret_password_store_binary_sync(itemSchema(), SECRET_COLLECTION_DEFAULT, "raw", value, nullptr, &error,
                                      "service", kService, "account", account.c_str(),
                                      static_cast<char*>(nullptr));
    secret_value_unref(value);
    if (error != nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
}

struct Warnings {
    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
    Logger logger() const {
        Logger l;
        l.warn = [lines = lines](const std::string& m) { lines->push_back(m); };
        return l;
    }
};

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bus = std::getenv("OMBRIX_PRIVATE_SESSION_BUS");
        if (bus == nullptr || std::string(bus) != "1") {
            GTEST_SKIP() << "needs the private Secret Service of with-secret-service.sh";
        }
    }
    Warnings warnings;
};

TEST_F(KeychainTest, WriteReadOverwriteAndDelete) {
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService);
    EXPECT_EQ(keychain->read("session"), "");

    keychain->write("session", "first");
    EXPECT_EQ(keychain->read("session"), "first");

    keychain->write("session", "second");
    EXPECT_EQ(keychain->read("session"), "second");
    EXPECT_EQ(countItems("session"), 1);

    keychain->write("other", "kept");
    keychain->write("session", "");
    EXPECT_EQ(keychain->read("session"), "");
    EXPECT_EQ(countItems("session"), 0);
    EXPECT_EQ(keychain->read("other"), "kept");

    keychain->write("session", "");  // deleting nothing is harmless
    EXPECT_EQ(keychain->read("session"), "");
    EXPECT_TRUE(warnings.lines->empty()) << warnings.lines->front();
}

TEST_F(KeychainTest, ValuesKeepEveryByteAndOtherServicesStayApart) {
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService);
    auto other = std::make_shared<SecretServiceKeychain>(warnings.logger(), "ombrix-other");
    const std::string values[] = {"Zoë ✓ 言語", "line\nbreak", std::string("nul\0inside", 10),
                                  std::string(4096, 'x')};
    for (const auto& value : values) {
        keychain->write("session", value);
        EXPECT_EQ(keychain->read("session"), value);
    }
    EXPECT_EQ(other->read("session"), "");
    other->write("session", "theirs");
    EXPECT_EQ(keychain->read("session"), values[3]);
    keychain->write("session", "");
    EXPECT_EQ(other->read("session"), "theirs");
    other->write("session", "");
}

TEST_F(KeychainTest, InvalidUtf8IsReplacedOnRead) {
    storeRaw("raw", "ok\xff\xfe!");
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService);
    EXPECT_EQ(keychain->read("raw"), "ok\xEF\xBF\xBD\xEF\xBF\xBD!");
    keychain->write("raw", "");
}

TEST_F(KeychainTest, SettingsStoreTakesTheTokenFromTheKeychainAndDropsTheLegacyItem) {
    const auto folder = std::filesystem::temp_directory_path() / ("ombrix-kc-" + std::to_string(::getpid()));
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService);
    keychain->write("session", "token-123");
    keychain->write("teamPassword", "old");
    ASSERT_EQ(countItems("teamPassword"), 1);

    SettingsStore store(folder, keychain);
    Settings settings;
    settings.sessionToken = "not-this-one";
    settings.provider = "mock";
    ASSERT_TRUE(store.save(settings));
    for (int i = 0; i < 2; ++i) {
        const Settings loaded = store.load();
        EXPECT_EQ(loaded.sessionToken, "token-123");
        EXPECT_EQ(loaded.provider, "mock");
        EXPECT_EQ(countItems("teamPassword"), 0);
    }
    keychain->write("session", "");
    std::filesystem::remove_all(folder);
}

// The keyring daemon stopped (a locked keyring whose prompt nobody answers yet) until the end of
// the scope or `resume()`.
class HungKeyring {
public:
    HungKeyring() {
        const char* pid = std::getenv("OMBRIX_TEST_KEYRING_PID");
        pid_ = pid != nullptr ? std::atoi(pid) : 0;
        if (pid_ > 0) ::kill(pid_, SIGSTOP);
    }
    ~HungKeyring() { resume(); }
    HungKeyring(const HungKeyring&) = delete;
    HungKeyring& operator=(const HungKeyring&) = delete;
    bool valid() const { return pid_ > 0; }
    void resume() {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
    }

private:
    pid_t pid_ = 0;
};

TEST_F(KeychainTest, AHungServiceCostsThatCallOnlyNotTheKeychain) {
    // Long enough for the answers of a loaded machine's keyring, short for the hung one.
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService, std::chrono::seconds(3));
    keychain->write("session", "before");
    ASSERT_EQ(keychain->read("session"), "before");
    {
        HungKeyring hung;
        ASSERT_TRUE(hung.valid());
        EXPECT_EQ(keychain->read("session"), "");
    }
    ASSERT_EQ(warnings.lines->size(), 1u);
    EXPECT_NE(warnings.lines->front().find("tempo limite"), std::string::npos) << warnings.lines->front();
    // The service answers again: so does the keychain, a new login's write included.
    keychain->write("session", "after");
    EXPECT_EQ(keychain->read("session"), "after");
    keychain->write("session", "");
}

// What a UI thread's event loop would do with the post-backs: keep them, and run them itself.
struct PostedCompletions {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::function<void()>> pending;
    bool postedOnCallerThread = false;
    std::thread::id caller = std::this_thread::get_id();

    Keychain::PostBack postBack() {
        return [this](std::function<void()> completion) {
            {
                std::lock_guard lock(mutex);
                postedOnCallerThread |= std::this_thread::get_id() == caller;
                pending.push_back(std::move(completion));
            }
            changed.notify_all();
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return pending.size();
    }
    bool waitFor(size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return pending.size() >= n; });
    }
    void runAll() {
        std::vector<std::function<void()>> run;
        {
            std::lock_guard lock(mutex);
            run.swap(pending);
        }
        for (auto& completion : run) completion();
    }
};

TEST_F(KeychainTest, AsynchronousCallsReturnAtOnceAndCompleteInOrderThroughThePostBack) {
    // A deadline far beyond the test: only the calls' own threads may wait for the service.
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService, std::chrono::seconds(60));
    keychain->write("session", "first");
    PostedCompletions posted;
    std::vector<std::string> seen;
    {
        HungKeyring hung;
        ASSERT_TRUE(hung.valid());
        keychain->readAsync("session", posted.postBack(), [&](std::string value) { seen.push_back(value); });
        keychain->writeAsync("session", "second", posted.postBack(), [&] { seen.push_back("written"); });
        keychain->readAsync("session", posted.postBack(), [&](std::string value) { seen.push_back(value); });
        // Back while the service still hangs: nothing could have completed.
        EXPECT_EQ(posted.count(), 0u);
    }
    ASSERT_TRUE(posted.waitFor(3));
    EXPECT_TRUE(seen.empty());  // completions run only where the post-back puts them
    posted.runAll();
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "written", "second"}));
    EXPECT_FALSE(posted.postedOnCallerThread);

    // Dropped while a call hangs: the call is abandoned at once and never completes.
    {
        HungKeyring hung;
        keychain->readAsync("session", posted.postBack(), [&](std::string value) { seen.push_back(value); });
        keychain.reset();
    }
    EXPECT_EQ(posted.count(), 0u);
    EXPECT_TRUE(warnings.lines->empty()) << warnings.lines->front();
    SecretServiceKeychain(warnings.logger(), kService).write("session", "");
}

// Runs `body` in a fresh process with the environment changed first; the child exits 0 when
// every expectation held.
#define EXPECT_IN_FRESH_PROCESS(body) \
    EXPECT_EXIT({ body; std::exit(::testing::Test::HasFailure() ? 1 : 0); }, ::testing::ExitedWithCode(0), "")

void expectReadsEmptyAndWritesIgnored(std::chrono::milliseconds deadline) {
    Warnings warnings;
    auto keychain = std::make_shared<SecretServiceKeychain>(warnings.logger(), kService, deadline);
    keychain->write("session", "lost");
    EXPECT_EQ(keychain->read("session"), "");
    keychain->write("session", "");
    EXPECT_EQ(keychain->read("other"), "");
    EXPECT_EQ(warnings.lines->size(), 1u);
    if (!warnings.lines->empty()) {
        EXPECT_NE(warnings.lines->front().find("Secret Service non disponibile"), std::string::npos);
        std::fprintf(stderr, "%s\n", warnings.lines->front().c_str());
    }
}

class KeychainWithoutServiceTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KeychainWithoutServiceTest, BusAddressLeadingNowhere) {
    EXPECT_IN_FRESH_PROCESS({
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ombrix/bus", 1);
        expectReadsEmptyAndWritesIgnored(std::chrono::seconds(30));
    });
}

TEST_F(KeychainWithoutServiceTest, NoSessionBusAtAll) {
    EXPECT_IN_FRESH_PROCESS({
        const auto empty = std::filesystem::temp_directory_path() / ("ombrix-nobus-" + std::to_string(::getpid()));
        std::filesystem::create_directories(empty);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
        expectReadsEmptyAndWritesIgnored(std::chrono::seconds(30));
        std::filesystem::remove_all(empty);
    });
}

// A bus that accepts the connection and never says a word: the deadline ends each wait.
TEST_F(KeychainWithoutServiceTest, SilentBusHitsTheDeadline) {
    EXPECT_IN_FRESH_PROCESS({
        const auto path = std::filesystem::temp_directory_path() / ("ombrix-silent-" + std::to_string(::getpid()));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 8), 0);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path.string()).c_str(), 1);
        expectReadsEmptyAndWritesIgnored(std::chrono::milliseconds(300));
        ::close(listener);
        ::unlink(path.c_str());
    });
}

}  // namespace
}  // namespace quendra
