#include "marker_probe.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quendra::bench {
namespace {

constexpr double kRate = 48000;
constexpr double kBurstMs = 20;
constexpr double kEdgeMs = 2;
constexpr double kToneHz = 1000;

double monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// One reading of a stream clock: at monotonic time `at`, stream position `streamMs` was being
// played (or captured). at - streamMs is when position 0 was.
struct ClockReading {
    double at = 0;
    double zeroAt = 0;
};

struct Probe {
    ProbeOptions options;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* play = nullptr;
    pa_stream* record = nullptr;

    std::mutex mutex;  // everything below; the callbacks run on the loop's thread
    bool going = false;
    long long written = 0;          // frames written to `play`
    long long firstMarkerAt = -1;   // frame of the first burst, fixed at "go"
    long long markerEvery = 0;
    std::vector<float> recorded;
    std::vector<ClockReading> playClock, recordClock;
    bool failed = false;

    float sampleAt(long long frame) const {
        if (firstMarkerAt < 0 || frame < firstMarkerAt) return 0;
        const long long k = (frame - firstMarkerAt) / markerEvery;
        if (k >= options.markers) return 0;
        const double t = double((frame - firstMarkerAt) % markerEvery) / kRate * 1000.0;
        if (t >= kBurstMs) return 0;
        double edge = 1;
        if (t < kEdgeMs) edge = 0.5 - 0.5 * std::cos(M_PI * t / kEdgeMs);
        if (t > kBurstMs - kEdgeMs) edge = 0.5 - 0.5 * std::cos(M_PI * (kBurstMs - t) / kEdgeMs);
        return static_cast<float>(options.amplitude * edge * std::sin(2 * M_PI * kToneHz * t / 1000.0));
    }

    void readClock(pa_stream* s, std::vector<ClockReading>& into) {
        pa_usec_t usec = 0;
        if (pa_stream_get_time(s, &usec) < 0 || usec == 0) return;
        const double now = monotonicMs();
        into.push_back({now, now - double(usec) / 1000.0});
    }

    static void onWrite(pa_stream* s, size_t bytes, void* self) {
        auto* p = static_cast<Probe*>(self);
        std::lock_guard lock(p->mutex);
        const size_t frames = bytes / sizeof(float);
        std::vector<float> block(frames);
        for (size_t i = 0; i < frames; ++i) block[i] = p->sampleAt(p->written + static_cast<long long>(i));
        pa_stream_write(s, block.data(), frames * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
        p->written += static_cast<long long>(frames);
        p->readClock(s, p->playClock);
    }

    static void onRead(pa_stream* s, size_t, void* self) {
        auto* p = static_cast<Probe*>(self);
        std::lock_guard lock(p->mutex);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0) return;
            if (bytes == 0) break;
            const size_t n = bytes / sizeof(float);
            if (data != nullptr) {
                const auto* f = static_cast<const float*>(data);
                p->recorded.insert(p->recorded.end(), f, f + n);
            } else {
                p->recorded.insert(p->recorded.end(), n, 0.0f);  // a hole: keep positions exact
            }
            pa_stream_drop(s);
        }
        p->readClock(s, p->recordClock);
    }

    static void onState(pa_context*, void* self) {
        pa_threaded_mainloop_signal(static_cast<Probe*>(self)->loop, 0);
    }
    static void onStreamState(pa_stream*, void* self) {
        pa_threaded_mainloop_signal(static_cast<Probe*>(self)->loop, 0);
    }

    // The median of (zeroAt) over the readings within `spanMs` of `at`, all readings when too few.
    static double zeroNear(const std::vector<ClockReading>& clock, double at, double spanMs = 2000) {
        std::vector<double> v;
        for (const auto& r : clock)
            if (std::abs(r.at - at) <= spanMs) v.push_back(r.zeroAt);
        if (v.size() < 5) {
            v.clear();
            for (const auto& r : clock) v.push_back(r.zeroAt);
        }
        if (v.empty()) return NAN;
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    }
};

bool waitStream(Probe& p, pa_stream* s) {
    for (;;) {
        const auto st = pa_stream_get_state(s);
        if (st == PA_STREAM_READY) return true;
        if (!PA_STREAM_IS_GOOD(st)) return false;
        pa_threaded_mainloop_wait(p.loop);
    }
}

}  // namespace

int runProbe(const ProbeOptions& options) {
    Probe p;
    p.options = options;
    p.markerEvery = static_cast<long long>(options.intervalMs * kRate / 1000.0);
    p.loop = pa_threaded_mainloop_new();
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, options.appName.c_str());
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, options.appId.c_str());
    p.context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(p.loop), options.appName.c_str(), props);
    pa_proplist_free(props);
    pa_context_set_state_callback(p.context, &Probe::onState, &p);
    pa_threaded_mainloop_lock(p.loop);
    pa_threaded_mainloop_start(p.loop);
    if (pa_context_connect(p.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
        std::fprintf(stderr, "probe: no sound server\n");
        return 1;
    }
    for (;;) {
        const auto st = pa_context_get_state(p.context);
        if (st == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(st)) {
            std::fprintf(stderr, "probe: cannot connect: %s\n", pa_strerror(pa_context_errno(p.context)));
            return 1;
        }
        pa_threaded_mainloop_wait(p.loop);
    }

    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kRate), 1};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_ADJUST_LATENCY);
    // Like a call application: some tens of ms of buffer. Its size enters no figure, but the
    // stream must never run dry, or its positions would no longer be its playing times.
    pa_buffer_attr playAttr{};
    playAttr.maxlength = static_cast<uint32_t>(-1);
    playAttr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(60 * PA_USEC_PER_MSEC, &format));
    playAttr.prebuf = static_cast<uint32_t>(-1);
    playAttr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &format));
    playAttr.fragsize = static_cast<uint32_t>(-1);
    pa_buffer_attr recAttr{};
    recAttr.maxlength = static_cast<uint32_t>(-1);
    recAttr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &format));

    p.record = pa_stream_new(p.context, "misura", &format, nullptr);
    pa_stream_set_state_callback(p.record, &Probe::onStreamState, &p);
    pa_stream_set_read_callback(p.record, &Probe::onRead, &p);
    pa_stream_connect_record(p.record, options.recordSource.c_str(), &recAttr, flags);
    p.play = pa_stream_new(p.context, "chiamata", &format, nullptr);
    pa_stream_set_state_callback(p.play, &Probe::onStreamState, &p);
    pa_stream_set_write_callback(p.play, &Probe::onWrite, &p);
    pa_stream_connect_playback(p.play, options.playSink.empty() ? nullptr : options.playSink.c_str(), &playAttr,
                               flags, nullptr, nullptr);
    if (!waitStream(p, p.record) || !waitStream(p, p.play)) {
        std::fprintf(stderr, "probe: stream failed: %s\n", pa_strerror(pa_context_errno(p.context)));
        return 1;
    }
    pa_threaded_mainloop_unlock(p.loop);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    if (!std::getline(std::cin, line)) return 1;
    {
        std::lock_guard lock(p.mutex);
        p.firstMarkerAt = p.written + static_cast<long long>(options.leadMs * kRate / 1000.0);
    }
    const double runMs = options.leadMs + options.markers * options.intervalMs + 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(runMs + 300)));

    pa_threaded_mainloop_lock(p.loop);
    std::vector<float> recorded;
    std::vector<ClockReading> playClock, recordClock;
    long long first = 0;
    {
        std::lock_guard lock(p.mutex);
        recorded = p.recorded;
        playClock = p.playClock;
        recordClock = p.recordClock;
        first = p.firstMarkerAt;
    }
    pa_stream_disconnect(p.play);
    pa_stream_disconnect(p.record);
    pa_context_disconnect(p.context);
    pa_threaded_mainloop_unlock(p.loop);
    pa_threaded_mainloop_stop(p.loop);

    const double windowMs = options.intervalMs - 30;
    for (int k = 0; k < options.markers; ++k) {
        const double playPosMs = double(first + k * p.markerEvery) / kRate * 1000.0;
        // Monotonic time of the first played sample of the burst.
        const double roughAt = Probe::zeroNear(playClock, 0, 1e18) + playPosMs;
        const double playedAt = Probe::zeroNear(playClock, roughAt) + playPosMs;
        const double recZero = Probe::zeroNear(recordClock, playedAt);
        if (std::isnan(playedAt) || std::isnan(recZero)) {
            std::printf("missing\n");
            continue;
        }
        // From a little before the burst was played, so that a path with no delay is found too.
        const auto from = static_cast<long long>((playedAt - 20 - recZero) * kRate / 1000.0);
        const auto to = from + static_cast<long long>(windowMs * kRate / 1000.0);
        std::optional<double> delay;
        for (long long i = std::max(0LL, from); i < std::min<long long>(to, static_cast<long long>(recorded.size())); ++i) {
            if (std::abs(recorded[static_cast<size_t>(i)]) >= options.threshold) {
                delay = recZero + double(i) / kRate * 1000.0 - playedAt;
                break;
            }
        }
        if (delay) std::printf("delay %.2f\n", *delay);
        else std::printf("missing\n");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace quendra::bench
