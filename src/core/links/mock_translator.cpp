#include "core/links/mock_translator.h"

#include <memory>

#include "core/audio/pcm.h"

namespace quendra {

void MockTranslator::connect(Completion completion) {
    if (state == LinkState::open) {
        if (completion) completion(std::nullopt);
        return;
    }
    if (state != LinkState::connecting) setState(LinkState::connecting);
    // The mock needs no token: whatever arrives, success or failure, opens it.
    std::weak_ptr<Translator> weak = weak_from_this();
    opts.getToken([weak, completion = std::move(completion)](const Result<Token>&) {
        auto self = weak.lock();
        if (!self) return;
        auto* mock = static_cast<MockTranslator*>(self.get());
        if (mock->state == LinkState::connecting) mock->setState(LinkState::open);
        if (completion) completion(std::nullopt);
    });
}

void MockTranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (state != LinkState::open) return;
    inputBytes += 2 * static_cast<std::int64_t>(samples.size());
    std::weak_ptr<Translator> weak = weak_from_this();
    auto chunk = std::make_shared<const std::vector<std::int16_t>>(samples);
    (void)opts.scheduler->after(opts.tuning.mockDelayMs, [weak, chunk] {
        auto self = weak.lock();
        if (!self || self->state != LinkState::open) return;
        auto* mock = static_cast<MockTranslator*>(self.get());
        auto played = PCM::resampleInt16(*chunk, inputRate, outputRate);
        mock->outputBytes += 2 * static_cast<std::int64_t>(played.size());
        if (mock->onAudio) mock->onAudio(played);
        mock->reportUsage();
    });
}

void MockTranslator::close() {
    if (state == LinkState::closed) return;
    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
