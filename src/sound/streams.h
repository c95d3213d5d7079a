// Inside the sound layer: our playback and record streams with the low-latency buffer recipe,
// and the pump that carries captured audio to the core queue without allocating on the render
// thread. Not for use outside src/sound.
#pragma once

#include <pulse/pulseaudio.h>
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/resampler.h"
#include "sound/pulse_internal.h"

namespace quendra {

// Render thread: fills `frames` interleaved frames at `into`. Must not allocate, log or wait.
using RenderFunction = std::function<void(float* into, std::size_t frames)>;
// Render thread: `frames` interleaved frames of the stream's channels.
using RecordFunction = std::function<void(const float* samples, std::size_t frames)>;

// Render thread: true while one of the layer's stream callbacks runs (our playback writes and
// record reads, the capture's reads). Lets a test binary count what those paths allocate.
bool inStreamCallback();

// Marks the running stream callback for inStreamCallback(), and for an allocation counter
// preloaded into the running program (bench/alloc_counter.cpp). Render thread.
class StreamCallbackScope {
public:
    StreamCallbackScope();
    ~StreamCallbackScope();
    StreamCallbackScope(const StreamCallbackScope&) = delete;
    StreamCallbackScope& operator=(const StreamCallbackScope&) = delete;
};

// One of our streams. Creation and destruction on the main thread; the callbacks on the render
// thread. `onTrouble` (render thread) is told when the stream fails, is moved or suspended.
// The libpulse callbacks reach this object through a bare pointer: the destructor clears them
// under the loop lock before anything is freed, so none runs on a dead stream. The functions it
// holds (render, onData, onTrouble) are destroyed with it, on the main thread, so whatever they
// share ownership of is never released on the render thread.
class OurStream {
public:
    ~OurStream();
    OurStream(const OurStream&) = delete;
    OurStream& operator=(const OurStream&) = delete;

    // Main thread. Connects a float32 playback stream on `device` and waits until it plays;
    // on failure `error` holds the server's error text.
    static std::unique_ptr<OurStream> playback(SoundServer::Impl& impl, const std::string& name, double rateHz,
                                               std::uint32_t channels, const std::string& device, bool dontMove,
                                               RenderFunction render, std::function<void()> onTrouble,
                                               std::string& error);
    static std::unique_ptr<OurStream> record(SoundServer::Impl& impl, const std::string& name, double rateHz,
                                             std::uint32_t channels, const std::string& device, RecordFunction onData,
                                             std::function<void()> onTrouble, std::string& error);

    // Main thread: still connected and playing or recording.
    bool alive() const;
    // Main thread: the latency the server reports, in milliseconds (negative when unknown).
    double latencyMs() const;

private:
    OurStream() = default;
    // The stream object in float32 at `rateHz`, named `name`; the main loop lock held.
    bool create(const std::string& name, double rateHz, std::uint32_t channels, std::string& error);
    bool connect(bool playback, const std::string& device, bool dontMove, double rateHz, std::string& error);

    SoundServer::Impl* impl_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::uint32_t channels_ = 1;
    RenderFunction render_;
    RecordFunction onData_;
    std::function<void()> onTrouble_;
};

// The chunks towards the model: captured audio resampled to 16000 Hz and cut into 1600-sample
// chunks. Blocks already posted to the core queue when the graph stops must not reach the model
// (it may have started another graph or gone): `close` shuts the feed for good.
struct ModelFeed {
    ModelFeed(double fromRateHz, Int16Chunker::OnChunk onChunk) : resampler(fromRateHz, 16000), chunker(1600, std::move(onChunk)) {}
    // Core queue: resamples and chunks `block` unless the feed is closed.
    void deliver(const std::vector<float>& block);
    // Any thread but the core queue: once this returns, no chunk reaches onChunk any more (a
    // delivery in progress, one block at most, is waited for).
    void close();

    StreamResampler resampler;  // core queue
    Int16Chunker chunker;       // core queue

private:
    std::mutex gate_;
    bool closed_ = false;  // gate_
};

// Wakes a thread from the render thread. libstdc++ 12's timed wait on std::counting_semaphore
// polls, yielding and then sleeping half the time waited so far, instead of blocking: it cost each
// pump about 1 % of a core and woke it late. A POSIX semaphore blocks until posted or due.
class Wakeup {
public:
    Wakeup() { sem_init(&sem_, 0, 0); }
    ~Wakeup() { sem_destroy(&sem_); }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // Any thread, the render thread included: no allocation, no lock.
    void post() { sem_post(&sem_); }
    // Takes one post, waiting for it until `deadline` at most.
    void waitUntil(std::chrono::steady_clock::time_point deadline);

private:
    sem_t sem_;
};

// Carries mono blocks from the render thread to a ModelFeed on the core queue. The render thread
// only copies into a fixed FIFO and wakes the pump's thread (no allocation, no lock beyond one
// block); the pump's thread makes the block and posts it. The same thread calls `onTick` every
// `tickMs` (the listen graph's statistics line).
class FeedPump {
public:
    FeedPump(double rateHz, Int16Chunker::OnChunk onChunk, PostFunction postToCore, double tickMs,
             std::function<void()> onTick);
    // Stops the thread and closes the feed: blocks not yet posted are dropped, and those posted
    // never reach onChunk. Not on the core queue.
    ~FeedPump();
    FeedPump(const FeedPump&) = delete;
    FeedPump& operator=(const FeedPump&) = delete;

    // Render thread. Adds the mono mixdown (mean of the channels) of `frames` interleaved frames.
    void pushMixed(const float* samples, std::size_t frames, std::uint32_t channels);
    // Render thread. Adds the first channel of `frames` interleaved frames.
    void pushFirst(const float* samples, std::size_t frames, std::uint32_t channels);

private:
    template <typename Sample>
    void push(std::size_t frames, Sample sample);
    void run();

    std::mutex mutex_;
    std::vector<float> fifo_;  // mutex_: fixed size
    std::size_t head_ = 0;     // mutex_
    std::size_t count_ = 0;    // mutex_
    std::atomic<bool> woken_{false};
    Wakeup wake_;
    std::atomic<bool> stopping_{false};
    std::shared_ptr<ModelFeed> feed_;
    PostFunction postToCore_;
    double tickMs_;
    std::function<void()> onTick_;
    std::thread thread_;
};

}  // namespace quendra
