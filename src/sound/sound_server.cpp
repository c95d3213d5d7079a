#include "sound/sound_server.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>

#include "sound/guard.h"
#include "sound/pulse_internal.h"

extern char** environ;

namespace quendra {

namespace {

std::string prop(pa_proplist* p, const char* key) {
    const char* v = p ? pa_proplist_gets(p, key) : nullptr;
    return v ? v : "";
}


}  // namespace

std::string appIdOf(pa_proplist* props) {
    for (const char* key : {PA_PROP_APPLICATION_ID, PA_PROP_APPLICATION_PROCESS_BINARY, PA_PROP_APPLICATION_NAME}) {
        std::string v = prop(props, key);
        if (!v.empty()) return v;
    }
    return "";
}

const SinkInfo* ServerPicture::sinkByName(const std::string& name) const {
    for (const auto& s : sinks)
        if (s.name == name) return &s;
    return nullptr;
}
const SinkInfo* ServerPicture::sinkByIndex(std::uint32_t index) const {
    for (const auto& s : sinks)
        if (s.index == index) return &s;
    return nullptr;
}
const SourceInfo* ServerPicture::sourceByName(const std::string& name) const {
    for (const auto& s : sources)
        if (s.name == name) return &s;
    return nullptr;
}

// --- connection ---------------------------------------------------------------------------------

SoundServer::Impl::~Impl() {
    if (loop) {
        {
            LoopLock lock(loop);
            closing = true;
            if (retry) {
                pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
                api->time_free(retry);
                retry = nullptr;
            }
            if (context) {
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_set_subscribe_callback(context, nullptr, nullptr);
                pa_context_disconnect(context);
                pa_context_unref(context);
                context = nullptr;
            }
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
    if (guardFd >= 0) {
        // A clean exit: the guard sees the pipe close, finds nothing of ours left and ends.
        ::close(guardFd);
    }
}

void SoundServer::Impl::start() {
    loop = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(loop, "quendra.sound");
    {
        LoopLock lock(loop);
        connect();
    }
    pa_threaded_mainloop_start(loop);
}

void SoundServer::Impl::connect() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Ombrix");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "ombrix");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "ombrix");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Ombrix", props);
    pa_proplist_free(props);
    if (!context) {
        // libpulse could not even make the object (no memory pool, say): try again later.
        scheduleRetry();
        return;
    }
    pa_context_set_state_callback(
        context,
        [](pa_context* c, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            if (c != self->context) return;
            switch (pa_context_get_state(c)) {
                case PA_CONTEXT_READY: {
                    ++self->connections;
                    pa_context_set_subscribe_callback(
                        c,
                        [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* u) {
                            static_cast<Impl*>(u)->refresh();
                        },
                        self);
                    auto mask = static_cast<pa_subscription_mask_t>(
                        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
                        PA_SUBSCRIPTION_MASK_MODULE | PA_SUBSCRIPTION_MASK_SERVER);
                    if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
                    self->options.logger.debug("suono: collegato al server audio " +
                                               std::string(pa_context_get_server(c) ? pa_context_get_server(c) : ""));
                    self->refresh();
                    break;
                }
                case PA_CONTEXT_FAILED:
                case PA_CONTEXT_TERMINATED: {
                    if (self->closing) break;
                    const bool was = [&] {
                        std::lock_guard lock(self->pictureMutex);
                        return self->picture.connected;
                    }();
                    if (was) self->options.logger.warn("suono: server audio scomparso; riprovo a collegarmi");
                    pa_context_set_state_callback(c, nullptr, nullptr);
                    pa_context_set_subscribe_callback(c, nullptr, nullptr);
                    pa_context_unref(c);
                    self->context = nullptr;
                    self->pendingQueries = 0;
                    self->refreshAgain = false;
                    self->building = ServerPicture{};
                    self->publish();  // empty, not connected
                    self->scheduleRetry();
                    break;
                }
                default:
                    break;
            }
            pa_threaded_mainloop_signal(self->loop, 0);
        },
        this);
    // A server that is not there can fail the connection inside pa_context_connect: the state
    // callback has then already let the context go and scheduled the retry.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_unref(context);
        context = nullptr;
        scheduleRetry();
    }
}

void SoundServer::Impl::scheduleRetry() {
    if (closing || retry) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), 500 * PA_USEC_PER_MSEC);
    retry = api->time_new(
        api, &tv,
        [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            a->time_free(e);
            self->retry = nullptr;
            if (!self->closing && !self->context) self->connect();
        },
        this);
}

void SoundServer::Impl::refresh() {
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    if (pendingQueries > 0) {
        refreshAgain = true;
        return;
    }
    issuedSeq = requestedSeq;
    building = ServerPicture{};
    building.connected = true;
    building.connection = connections;
    building.ownClient = pa_context_get_index(context);
    pendingQueries = 5;
    auto issue = [this](pa_operation* op) {
        if (op) {
            pa_operation_unref(op);
        } else {
            --pendingQueries;
        }
    };
    issue(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* i, void* u) {
            auto* self = static_cast<Impl*>(u);
            if (i) {
                self->building.defaultSink = i->default_sink_name ? i->default_sink_name : "";
                self->building.defaultSource = i->default_source_name ? i->default_source_name : "";
            }
            if (--self->pendingQueries == 0) self->publish();
        },
        this));
    issue(pa_context_get_sink_info_list(
        context,
        [](pa_context*, const pa_sink_info* i, int eol, void* u) {
            auto* self = static_cast<Impl*>(u);
            if (eol) {
                if (--self->pendingQueries == 0) self->publish();
                return;
            }
            SinkInfo s;
            s.index = i->index;
            s.name = i->name ? i->name : "";
            s.description = i->description ? i->description : "";
            s.ownerModule = i->owner_module;
            s.monitorSource = i->monitor_source_name ? i->monitor_source_name : "";
            s.sampleSpec = i->sample_spec;
            s.ownerPid = prop(i->proplist, kOwnerPidProperty);
            self->building.sinks.push_back(std::move(s));
        },
        this));
    issue(pa_context_get_source_info_list(
        context,
        [](pa_context*, const pa_source_info* i, int eol, void* u) {
            auto* self = static_cast<Impl*>(u);
            if (eol) {
                if (--self->pendingQueries == 0) self->publish();
                return;
            }
            SourceInfo s;
            s.index = i->index;
            s.name = i->name ? i->name : "";
            s.description = i->description ? i->description : "";
            s.monitorOfSink = i->monitor_of_sink;
            s.ownerModule = i->owner_module;
            s.masterDevice = prop(i->proplist, "device.master_device");
            s.volume = i->volume;
            self->building.sources.push_back(std::move(s));
        },
        this));
    issue(pa_context_get_sink_input_info_list(
        context,
        [](pa_context*, const pa_sink_input_info* i, int eol, void* u) {
            auto* self = static_cast<Impl*>(u);
            if (eol) {
                if (--self->pendingQueries == 0) self->publish();
                return;
            }
            SinkInputInfo s;
            s.index = i->index;
            s.client = i->client;
            s.sink = i->sink;
            s.corked = i->corked != 0;
            s.appId = appIdOf(i->proplist);
            s.appName = prop(i->proplist, PA_PROP_APPLICATION_NAME);
            if (s.appName.empty()) s.appName = s.appId;
            s.role = prop(i->proplist, PA_PROP_MEDIA_ROLE);
            s.pid = static_cast<std::uint32_t>(std::strtoul(prop(i->proplist, PA_PROP_APPLICATION_PROCESS_ID).c_str(),
                                                            nullptr, 10));
            self->building.sinkInputs.push_back(std::move(s));
        },
        this));
    issue(pa_context_get_module_info_list(
        context,
        [](pa_context*, const pa_module_info* i, int eol, void* u) {
            auto* self = static_cast<Impl*>(u);
            if (eol) {
                if (--self->pendingQueries == 0) self->publish();
                return;
            }
            self->building.modules.push_back(
                ModuleInfo{i->index, i->name ? i->name : "", i->argument ? i->argument : ""});
        },
        this));
}

void SoundServer::Impl::publish() {
    {
        std::lock_guard lock(pictureMutex);
        building.generation = picture.generation + 1;
        picture = building;
        if (building.connected) coveredSeq = issuedSeq;
    }
    pictureCv.notify_all();
    pa_threaded_mainloop_signal(loop, 0);
    for (auto& [key, watcher] : loopWatchers) watcher(picture);
    if (refreshAgain && pendingQueries == 0) {
        refreshAgain = false;
        refresh();
    }
    notifyMain();
}

void SoundServer::Impl::notifyMain() {
    if (!options.postToMain) return;
    std::weak_ptr<Impl> weak = weak_from_this();
    options.postToMain([weak] {
        auto self = weak.lock();
        if (!self) return;
        // Copy: a handler may add or remove handlers.
        auto handlers = self->changeHandlers;
        for (auto& [key, handler] : handlers) handler();
    });
}

bool SoundServer::Impl::waitFor(pa_operation* op) {
    if (!op) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) break;
        pa_threaded_mainloop_wait(loop);
    }
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

ServerPicture SoundServer::Impl::snapshot() const {
    std::lock_guard lock(pictureMutex);
    return picture;
}

bool SoundServer::Impl::sync(double timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeoutMs);
    {
        // A connection still being made is waited for.
        std::unique_lock lock(pictureMutex);
        if (!pictureCv.wait_until(lock, deadline, [&] { return picture.connected; })) return false;
    }
    std::uint64_t target = 0;
    {
        LoopLock lock(loop);
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return false;
        target = ++requestedSeq;
        refresh();
    }
    std::unique_lock lock(pictureMutex);
    return pictureCv.wait_until(lock, deadline, [&] {
        return picture.connected && coveredSeq >= target;
    });
}

void SoundServer::Impl::tellGuard(const std::string& line) {
    std::lock_guard lock(guardMutex);
    if (guardFd < 0) return;
    std::string text = line + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(guardFd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

int SoundServer::Impl::addLoopWatcher(std::function<void(const ServerPicture&)> watcher) {
    const int key = nextKey++;
    loopWatchers.emplace(key, std::move(watcher));
    return key;
}

void SoundServer::Impl::removeLoopWatcher(int key) { loopWatchers.erase(key); }

std::uint32_t loadModule(SoundServer::Impl& impl, const std::string& name, const std::string& argument,
                         int* error) {
    struct Result {
        SoundServer::Impl* impl;
        std::uint32_t index = PA_INVALID_INDEX;
    } result{&impl};
    if (!impl.context || pa_context_get_state(impl.context) != PA_CONTEXT_READY) {
        if (error) *error = PA_ERR_CONNECTIONREFUSED;
        return PA_INVALID_INDEX;
    }
    pa_operation* op = pa_context_load_module(
        impl.context, name.c_str(), argument.c_str(),
        [](pa_context*, std::uint32_t idx, void* u) {
            auto* r = static_cast<Result*>(u);
            r->index = idx;
            pa_threaded_mainloop_signal(r->impl->loop, 0);
        },
        &result);
    if (!impl.waitFor(op) || result.index == PA_INVALID_INDEX) {
        if (error) *error = impl.context ? pa_context_errno(impl.context) : PA_ERR_CONNECTIONTERMINATED;
        if (error && *error == 0) *error = PA_ERR_UNKNOWN;
        return PA_INVALID_INDEX;
    }
    return result.index;
}

bool unloadModule(SoundServer::Impl& impl, std::uint32_t index) {
    if (!impl.context || pa_context_get_state(impl.context) != PA_CONTEXT_READY) return false;
    struct Result {
        SoundServer::Impl* impl;
        bool ok = false;
    } result{&impl};
    pa_operation* op = pa_context_unload_module(
        impl.context, index,
        [](pa_context*, int success, void* u) {
            auto* r = static_cast<Result*>(u);
            r->ok = success != 0;
            pa_threaded_mainloop_signal(r->impl->loop, 0);
        },
        &result);
    return impl.waitFor(op) && result.ok;
}

// --- process watch ------------------------------------------------------------------------------

// The processes that played for one application. A thread waits in poll() on their pidfds and an
// eventfd that wakes it for new pids or for the end; it never polls on a timer.
struct SoundServer::Impl::Watch {
    std::string appId;
    std::function<void()> onEnded;
    PostFunction postToMain;
    std::mutex mutex;
    std::set<std::uint32_t> pids;       // mutex: every pid seen for appId
    std::set<std::uint32_t> pending;    // mutex: seen, not yet opened by the thread
    bool stopping = false;              // mutex
    int wake = -1;
    std::thread thread;
    std::atomic<bool> ended{false};

    void add(std::uint32_t pid) {
        if (pid == 0 || pid == static_cast<std::uint32_t>(::getpid())) return;
        std::lock_guard lock(mutex);
        if (!pids.insert(pid).second) return;
        pending.insert(pid);
        std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    }

    void run(std::weak_ptr<Watch> weakSelf) {
        std::map<int, std::uint32_t> open;  // pidfd -> pid
        bool anyAlive = false;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                for (std::uint32_t pid : pending) {
                    int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
                    if (fd >= 0) {
                        open.emplace(fd, pid);
                        anyAlive = true;
                    }
                }
                pending.clear();
            }
            if (anyAlive && open.empty()) {
                ended = true;
                std::weak_ptr<Watch> w = weakSelf;
                postToMain([w] {
                    if (auto self = w.lock(); self && self->onEnded) self->onEnded();
                });
                anyAlive = false;  // report once; a new pid of the same app starts it over
            }
            std::vector<pollfd> fds;
            fds.push_back({wake, POLLIN, 0});
            for (auto& [fd, pid] : open) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                (void)!::read(wake, &v, sizeof v);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents) {
                    ::close(fds[i].fd);
                    open.erase(fds[i].fd);
                }
            }
        }
        for (auto& [fd, pid] : open) ::close(fd);
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
        if (thread.joinable()) thread.join();
        ::close(wake);
    }
};

// --- SoundServer --------------------------------------------------------------------------------

SoundServer::SoundServer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<SoundServer> SoundServer::create(SoundServerOptions options) {
    auto impl = std::make_shared<Impl>();
    impl->options = std::move(options);
    const RepairReport repaired = repairLeftovers(RepairScope::deadRuns, {}, 2000);
    if (repaired.sinksRemoved > 0 || repaired.streamsMoved > 0) {
        impl->options.logger.warn("suono: riparati i resti di un'esecuzione interrotta (" +
                                  std::to_string(repaired.sinksRemoved) + " dispositivi di cattura, " +
                                  std::to_string(repaired.streamsMoved) + " flussi riportati)");
    }
    impl->guardFd = startGuard(impl->options.guardPath, impl->options.logger);
    impl->start();
    return std::shared_ptr<SoundServer>(new SoundServer(std::move(impl)));
}

SoundServer::~SoundServer() {
    stopWatchingApplication();
}

bool SoundServer::connected() const { return impl_->snapshot().connected; }

std::vector<AudioDevice> SoundServer::outputDevices() const {
    std::vector<AudioDevice> out;
    for (const auto& s : impl_->snapshot().sinks) {
        if (s.name.empty() || s.name.rfind(kTapPrefix, 0) == 0) continue;
        out.push_back(AudioDevice{s.index, s.name, s.description.empty() ? s.name : s.description});
    }
    return out;
}

std::vector<AudioProcess> SoundServer::audioProcesses() const {
    const ServerPicture p = impl_->snapshot();
    std::vector<AudioProcess> out;
    for (const auto& i : p.sinkInputs) {
        if (i.client == p.ownClient || i.appId.empty()) continue;
        AudioProcess a;
        a.object = i.index;
        a.appId = i.appId;
        a.appName = i.appName;
        a.playing = !i.corked;
        a.isApp = i.role != "event" && i.role != "test";
        a.processId = i.pid;
        out.push_back(std::move(a));
    }
    return out;
}

std::optional<AudioDevice> SoundServer::device(const std::string& uid) const {
    if (uid.empty()) return std::nullopt;
    for (auto& d : outputDevices())
        if (d.uid == uid) return d;
    return std::nullopt;
}

std::optional<AudioDevice> SoundServer::defaultSink() const {
    const ServerPicture p = impl_->snapshot();
    return device(p.defaultSink);
}

std::string SoundServer::defaultSourceName() const { return impl_->snapshot().defaultSource; }

bool SoundServer::defaultInputIsSpeakDevice(const std::string& speakSinkUid) const {
    const ServerPicture p = impl_->snapshot();
    if (speakSinkUid.empty()) return false;
    const SinkInfo* sink = p.sinkByName(speakSinkUid);
    const std::string monitor = sink ? sink->monitorSource : speakSinkUid + ".monitor";
    // Follow remap sources (and remaps of remaps) down to what feeds them.
    std::string name = p.defaultSource;
    for (int depth = 0; depth < 8 && !name.empty(); ++depth) {
        if (name == monitor) return true;
        const SourceInfo* src = p.sourceByName(name);
        if (!src) return false;
        if (sink && src->monitorOfSink == sink->index) return true;
        name = src->masterDevice;
        // pipewire-pulse does not set device.master_device on a remap source: read the module's
        // own argument instead.
        if (name.empty()) {
            for (const auto& m : p.modules) {
                if (m.index != src->ownerModule || m.name != "module-remap-source") continue;
                const auto at = m.argument.find("master=");
                if (at == std::string::npos) continue;
                const auto end = m.argument.find_first_of(" \t", at);
                name = m.argument.substr(at + 7, end == std::string::npos ? std::string::npos : end - at - 7);
            }
        }
    }
    return false;
}

int SoundServer::addChangeHandler(std::function<void()> handler) {
    const int key = impl_->nextKey++;
    impl_->changeHandlers.emplace(key, std::move(handler));
    return key;
}

void SoundServer::removeChangeHandler(int key) { impl_->changeHandlers.erase(key); }

bool SoundServer::sync(double timeoutMs) { return impl_->sync(timeoutMs); }

void SoundServer::watchApplication(const std::string& appId, std::function<void()> onEnded) {
    stopWatchingApplication();
    auto watch = std::make_shared<Impl::Watch>();
    watch->appId = appId;
    watch->onEnded = std::move(onEnded);
    watch->postToMain = impl_->options.postToMain;
    watch->wake = ::eventfd(0, EFD_CLOEXEC);
    std::weak_ptr<Impl::Watch> weak = watch;
    watch->thread = std::thread([w = watch.get(), weak] { w->run(weak); });
    for (const auto& i : impl_->snapshot().sinkInputs)
        if (i.appId == appId) watch->add(i.pid);
    impl_->watch = watch;
    // New streams of the same application add their processes.
    LoopLock lock(impl_->loop);
    const int key = impl_->addLoopWatcher([weak, appId](const ServerPicture& p) {
        auto w = weak.lock();
        if (!w) return;
        for (const auto& i : p.sinkInputs)
            if (i.appId == appId) w->add(i.pid);
    });
    impl_->watchKey = key;
}

void SoundServer::stopWatchingApplication() {
    if (!impl_->watch) return;
    {
        LoopLock lock(impl_->loop);
        impl_->removeLoopWatcher(impl_->watchKey);
    }
    impl_->watch->stop();
    impl_->watch.reset();
}

}  // namespace quendra
