#include "platform/storage/keychain.h"

#include <condition_variable>
#include <string_view>
#include <thread>

#include <libsecret/secret.h>

namespace quendra {
namespace {

// The stored form of every item: changing it orphans the items of earlier versions.
const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "ombrix.Secret";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

// Owns a GHashTable of the item's two attributes (borrowed strings: they outlive the call).
struct Attributes {
    Attributes(const std::string& service, const std::string& account)
        : table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    GHashTable* table;
};

// libsecret's calls wait on D-Bus without a time limit of their own (an unlock prompt nobody can
// answer waits for ever); this cancels the call's GCancellable once the deadline has passed.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds limit)
        : cancellable_(g_cancellable_new()), watcher_([this, limit] { watch(limit); }) {}
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        watcher_.join();
        g_object_unref(cancellable_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return cancellable_; }
    bool passed() const { return g_cancellable_is_cancelled(cancellable_); }

private:
    void watch(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) g_cancellable_cancel(cancellable_);
    }

    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watcher_;  // last: starts once everything it uses exists
};

// Frees a GError and gives its text; none when there was no error.
std::optional<std::string> takeError(GError* error) {
    if (error == nullptr) return std::nullopt;
    std::string text = error->message != nullptr ? error->message : "errore sconosciuto";
    g_error_free(error);
    return text;
}

// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD. GLib counts NUL as invalid, so
// the parts between NUL bytes are repaired one by one and the NULs kept.
std::string validUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (;;) {
        const auto end = bytes.find('\0');
        const std::string_view part = bytes.substr(0, end);
        gchar* valid = g_utf8_make_valid(part.data(), static_cast<gssize>(part.size()));
        text += valid;
        g_free(valid);
        if (end == std::string_view::npos) return text;
        text += '\0';
        bytes.remove_prefix(end + 1);
    }
}

}  // namespace

SecretServiceKeychain::SecretServiceKeychain(Logger logger, std::string service,
                                             std::chrono::milliseconds deadline)
    : logger_(std::move(logger)), service_(std::move(service)), deadline_(deadline) {}

SecretServiceKeychain::~SecretServiceKeychain() {
    std::deque<std::function<void()>> abandoned;
    std::thread worker;
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
        abandoned.swap(worker_->jobs);
        if (worker_->current != nullptr) g_cancellable_cancel(worker_->current);
        worker = std::move(worker_->thread);
    }
    worker_->changed.notify_all();
    if (!worker.joinable()) return;
    // Dropped from a completion that a post-back ran on the worker itself: the thread ends on
    // its own, touching only the shared worker state from then on.
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();
    } else {
        worker.join();
    }
}

bool SecretServiceKeychain::call(const std::function<void(GCancellable*, GError**)>& body) {
    GError* error = nullptr;
    bool late = false;
    bool abandoned = false;
    {
        const Deadline deadline(deadline_);
        {
            std::lock_guard lock(worker_->mutex);
            worker_->current = deadline.cancellable();
            // The destructor is under way and cancels nothing more: give up at once.
            if (worker_->stopping) g_cancellable_cancel(worker_->current);
        }
        body(deadline.cancellable(), &error);
        {
            std::lock_guard lock(worker_->mutex);
            worker_->current = nullptr;
            abandoned = worker_->stopping;
        }
        late = deadline.passed();
    }
    const auto text = takeError(error);
    if (!text) return false;
    if (!abandoned) reportUnavailable(late ? "nessuna risposta entro il tempo limite" : *text);
    return true;
}

void SecretServiceKeychain::reportUnavailable(const std::string& why) {
    if (reported_) return;
    reported_ = true;
    logger_.warn("portachiavi: Secret Service non disponibile, i segreti non vengono letti né salvati (" +
                 why + ")");
}

std::string SecretServiceKeychain::read(const std::string& account) {
    std::lock_guard lock(mutex_);
    const Attributes attributes(service_, account);
    SecretValue* value = nullptr;
    const bool failed = call([&](GCancellable* cancellable, GError** error) {
        value = secret_password_lookupv_binary_sync(schema(), attributes.table, cancellable, error);
    });
    if (failed || value == nullptr) {  // no value and no error: there is no such item
        if (value != nullptr) secret_value_unref(value);
        return {};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string text = validUtf8(std::string_view(bytes, length));
    secret_value_unref(value);
    return text;
}

void SecretServiceKeychain::write(const std::string& account, const std::string& value) {
    std::lock_guard lock(mutex_);
    const Attributes attributes(service_, account);

    // Replace, never update in place: delete whatever is there first. Its failure alone does not
    // stop the store.
    call([&](GCancellable* cancellable, GError** error) {
        secret_password_clearv_sync(schema(), attributes.table, cancellable, error);
    });
    if (value.empty()) return;

    SecretValue* secret = secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain");
    const std::string label = std::string(Brand::name) + ": " + account;
    call([&](GCancellable* cancellable, GError** error) {
        secret_password_storev_binary_sync(schema(), attributes.table, SECRET_COLLECTION_DEFAULT, label.c_str(),
                                           secret, cancellable, error);
    });
    secret_value_unref(secret);
}

void SecretServiceKeychain::readAsync(const std::string& account, PostBack postBack,
                                      std::function<void(std::string)> done) {
    enqueue([this, account, postBack = std::move(postBack), done = std::move(done)] {
        std::string value = read(account);
        if (!abandoned()) postBack([done, value = std::move(value)] { done(value); });
    });
}

void SecretServiceKeychain::writeAsync(const std::string& account, const std::string& value, PostBack postBack,
                                       std::function<void()> done) {
    enqueue([this, account, value, postBack = std::move(postBack), done = std::move(done)] {
        write(account, value);
        if (!abandoned()) postBack(done);
    });
}

void SecretServiceKeychain::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(worker_->mutex);
        if (worker_->stopping) return;
        worker_->jobs.push_back(std::move(job));
        if (!worker_->thread.joinable()) worker_->thread = std::thread([worker = worker_] { work(worker); });
    }
    worker_->changed.notify_one();
}

bool SecretServiceKeychain::abandoned() {
    std::lock_guard lock(worker_->mutex);
    return worker_->stopping;
}

void SecretServiceKeychain::work(const std::shared_ptr<Worker>& worker) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(worker->mutex);
            worker->changed.wait(lock, [&] { return worker->stopping || !worker->jobs.empty(); });
            if (worker->stopping) return;
            job = std::move(worker->jobs.front());
            worker->jobs.pop_front();
        }
        job();
    }
}

}  // namespace quendra
