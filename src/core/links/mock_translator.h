// The mock link: plays the speaker's own audio back after a delay, calling no service.
// Threading: core queue, like every translator.
#pragma once

#include <cstdint>
#include <vector>

#include "core/links/translator.h"

namespace quendra {

// Calls no service: every chunk sent comes back, resampled to 24 kHz, after `mockDelayMs`.
class MockTranslator final : public Translator {
public:
    using Translator::Translator;
    void connect(Completion completion) override;
    void sendAudio(const std::vector<std::int16_t>& samples) override;
    void close() override;
};

}  // namespace quendra
