#include "sound/streams.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

// Defined only by a measuring library preloaded into the process (bench/alloc_counter.cpp), which
// counts what the callbacks allocate; unresolved, the weak reference stays null and the scope
// costs one comparison.
extern "C" __attribute__((weak)) void ombrix_stream_callback_mark(int inside);

namespace quendra {

namespace {
thread_local bool tInStreamCallback = false;
}  // namespace

bool inStreamCallback() { return tInStreamCallback; }
StreamCallbackScope::StreamCallbackScope() {
    tInStreamCallback = true;
    if (ombrix_stream_callback_mark != nullptr) ombrix_stream_callback_mark(1);
}
StreamCallbackScope::~StreamCallbackScope() {
    if (ombrix_stream_callback_mark != nullptr) ombrix_stream_callback_mark(0);
    tInStreamCallback = false;
}

OurStream::~OurStream() {
    if (!stream_) return;
    LoopLock lock(impl_->loop);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

bool OurStream::create(const std::string& name, double rateHz, std::uint32_t channels, std::string& error) {
    pa_context* context = impl_->context;
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(rateHz), static_cast<std::uint8_t>(channels)};
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY || !pa_sample_spec_valid(&sampleSpec)) {
        error = pa_strerror(context && pa_sample_spec_valid(&sampleSpec) ? pa_context_errno(context) : PA_ERR_INVALID);
        return false;
    }
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name.c_str());
    // Never media.role=phone: the role-cork and ducking modules would silence the user's music.
    stream_ = pa_stream_new_with_proplist(context, name.c_str(), &sampleSpec, nullptr, props);
    pa_proplist_free(props);
    if (!stream_) {
        error = pa_strerror(pa_context_errno(context));
        return false;
    }
    return true;
}

std::unique_ptr<OurStream> OurStream::playback(SoundServer::Impl& impl, const std::string& name, double rateHz,
                                               std::uint32_t channels, const std::string& device, bool dontMove,
                                               RenderFunction render, std::function<void()> onTrouble,
                                               std::string& error) {
    std::unique_ptr<OurStream> s(new OurStream);
    s->impl_ = &impl;
    s->channels_ = channels;
    s->render_ = std::move(render);
    s->onTrouble_ = std::move(onTrouble);
    {
        LoopLock lock(impl.loop);
        if (!s->create(name, rateHz, channels, error)) return nullptr;
        pa_stream_set_write_callback(
            s->stream_,
            [](pa_stream* st, std::size_t nbytes, void* u) {
                const StreamCallbackScope scope;
                auto* self = static_cast<OurStream*>(u);
                void* data = nullptr;
                std::size_t bytes = nbytes;
                if (pa_stream_begin_write(st, &data, &bytes) < 0 || !data) return;
                const std::size_t frames = bytes / (sizeof(float) * self->channels_);
                if (frames == 0) {
                    pa_stream_cancel_write(st);
                    return;
                }
                self->render_(static_cast<float*>(data), frames);
                pa_stream_write(st, data, frames * sizeof(float) * self->channels_, nullptr, 0, PA_SEEK_RELATIVE);
            },
            s.get());
        if (!s->connect(true, device, dontMove, rateHz, error)) return nullptr;
    }
    return s;
}

std::unique_ptr<OurStream> OurStream::record(SoundServer::Impl& impl, const std::string& name, double rateHz,
                                             std::uint32_t channels, const std::string& device, RecordFunction onData,
                                             std::function<void()> onTrouble, std::string& error) {
    std::unique_ptr<OurStream> s(new OurStream);
    s->impl_ = &impl;
    s->channels_ = channels;
    s->onData_ = std::move(onData);
    s->onTrouble_ = std::move(onTrouble);
    LoopLock lock(impl.loop);
    if (!s->create(name, rateHz, channels, error)) return nullptr;
    pa_stream_set_read_callback(
        s->stream_,
        [](pa_stream* st, std::size_t, void* u) {
            const StreamCallbackScope scope;
            auto* self = static_cast<OurStream*>(u);
            while (pa_stream_readable_size(st) > 0) {
                const void* data = nullptr;
                std::size_t bytes = 0;
                if (pa_stream_peek(st, &data, &bytes) < 0 || bytes == 0) return;
                const std::size_t frames = bytes / (sizeof(float) * self->channels_);
                if (data && frames > 0) self->onData_(static_cast<const float*>(data), frames);
                pa_stream_drop(st);
            }
        },
        s.get());
    if (!s->connect(false, device, false, rateHz, error)) return nullptr;
    return s;
}

bool OurStream::connect(bool playback, const std::string& device, bool dontMove, double rateHz, std::string& error) {
    pa_stream_set_state_callback(
        stream_,
        [](pa_stream* st, void* u) {
            auto* self = static_cast<OurStream*>(u);
            const auto state = pa_stream_get_state(st);
            if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && self->onTrouble_) self->onTrouble_();
            pa_threaded_mainloop_signal(self->impl_->loop, 0);
        },
        this);
    pa_stream_set_moved_callback(
        stream_,
        [](pa_stream*, void* u) {
            auto* self = static_cast<OurStream*>(u);
            if (self->onTrouble_) self->onTrouble_();
        },
        this);
    pa_stream_set_suspended_callback(
        stream_,
        [](pa_stream* st, void* u) {
            auto* self = static_cast<OurStream*>(u);
            if (pa_stream_is_suspended(st) == 1 && self->onTrouble_) self->onTrouble_();
        },
        this);
    // The recipe for 20-40 ms on both servers: playback tlength 30 ms and minreq 5 ms, record
    // fragments of 10 ms, with the server adjusting its own latency to them. No automatic timing
    // updates: with them libpulse asks the server for timing after every write, an extra request
    // per callback whose reply it registers with a heap allocation; latencyMs asks when it needs
    // one. (A larger minreq would halve the callbacks on PipeWire but adds its own size to the
    // delay there.)
    const pa_sample_spec* sampleSpec = pa_stream_get_sample_spec(stream_);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(30 * PA_USEC_PER_MSEC, sampleSpec));
    attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(5 * PA_USEC_PER_MSEC, sampleSpec));
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, sampleSpec));
    (void)rateHz;
    auto flags = static_cast<int>(PA_STREAM_ADJUST_LATENCY);
    if (dontMove) flags |= PA_STREAM_DONT_MOVE;
    const char* dev = device.empty() ? nullptr : device.c_str();
    const int rc = playback ? pa_stream_connect_playback(stream_, dev, &attr, static_cast<pa_stream_flags_t>(flags),
                                                         nullptr, nullptr)
                            : pa_stream_connect_record(stream_, dev, &attr, static_cast<pa_stream_flags_t>(flags));
    while (rc == 0 && pa_stream_get_state(stream_) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(impl_->loop);
    if (rc != 0 || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        error = pa_strerror(pa_context_errno(impl_->context));
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_moved_callback(stream_, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
        return false;
    }
    return true;
}

bool OurStream::alive() const {
    LoopLock lock(impl_->loop);
    return stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

double OurStream::latencyMs() const {
    LoopLock lock(impl_->loop);
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return -1;
    if (pa_operation* op = pa_stream_update_timing_info(
            stream_, [](pa_stream*, int, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            impl_->loop))
        impl_->waitFor(op);
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_, &usec, &negative) < 0) return -1;
    return (negative ? -1.0 : 1.0) * static_cast<double>(usec) / 1000.0;
}

void Wakeup::waitUntil(std::chrono::steady_clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (sem_clockwait(&sem_, CLOCK_MONOTONIC, &at) != 0 && errno == EINTR) {
    }
}

FeedPump::FeedPump(double rateHz, Int16Chunker::OnChunk onChunk, PostFunction postToCore, double tickMs,
                   std::function<void()> onTick)
    : fifo_(static_cast<std::size_t>(std::max(1.0, rateHz * 2))),
      feed_(std::make_shared<ModelFeed>(rateHz, std::move(onChunk))),
      postToCore_(std::move(postToCore)),
      tickMs_(tickMs),
      onTick_(std::move(onTick)) {
    thread_ = std::thread([this] { run(); });
}

void ModelFeed::deliver(const std::vector<float>& block) {
    std::lock_guard lock(gate_);
    if (closed_) return;
    chunker.push(resampler.process(block));
}

void ModelFeed::close() {
    std::lock_guard lock(gate_);
    closed_ = true;
}

FeedPump::~FeedPump() {
    stopping_ = true;
    wake_.post();
    thread_.join();
    feed_->close();
}

template <typename Sample>
void FeedPump::push(std::size_t frames, Sample sample) {
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < frames; ++i) {
            if (count_ == fifo_.size()) {  // the core queue fell 2 s behind: drop the oldest
                head_ = (head_ + 1) % fifo_.size();
                --count_;
            }
            fifo_[(head_ + count_) % fifo_.size()] = sample(i);
            ++count_;
        }
    }
    if (!woken_.exchange(true)) wake_.post();
}

void FeedPump::pushMixed(const float* samples, std::size_t frames, std::uint32_t channels) {
    const float scale = 1.0f / static_cast<float>(channels);
    push(frames, [&](std::size_t i) {
        float sum = 0;
        for (std::uint32_t c = 0; c < channels; ++c) sum += samples[i * channels + c];
        return sum * scale;
    });
}

void FeedPump::pushFirst(const float* samples, std::size_t frames, std::uint32_t channels) {
    push(frames, [&](std::size_t i) { return samples[i * channels]; });
}

void FeedPump::run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(tickMs_));
    auto nextTick = Clock::now() + period;
    while (!stopping_) {
        wake_.waitUntil(nextTick);
        if (stopping_) break;
        woken_ = false;
        std::vector<float> block;
        {
            std::lock_guard lock(mutex_);
            block.resize(count_);
            for (std::size_t i = 0; i < count_; ++i) block[i] = fifo_[(head_ + i) % fifo_.size()];
            head_ = (head_ + count_) % fifo_.size();
            count_ = 0;
        }
        if (!block.empty()) {
            postToCore_([feed = feed_, block = std::move(block)] { feed->deliver(block); });
        }
        // The deadline moves on whether or not anyone listens to the tick: a deadline left in the
        // past would turn the wait above into a busy loop.
        if (Clock::now() >= nextTick) {
            nextTick += period;
            if (onTick_) onTick_();
        }
    }
}

}  // namespace quendra
