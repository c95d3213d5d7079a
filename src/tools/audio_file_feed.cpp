#include "tools/audio_file_feed.h"


namespace quendra {
namespace {

constexpr sf_count_t kBlockFrames = 1024;

}  // namespace

tl::expected<std::unique_ptr<AudioFileFeed>, std::string> AudioFileFeed::open(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return tl::unexpected("File audio non leggibile: " + path + " (" + sf_strerror(nullptr) + ")");
    }
    if (info.channels < 1 || info.frames < 1) {
        sf_close(file);
        return tl::unexpected("Il file audio è vuoto: " + path);
    }
    if (info.samplerate < minRateHz || info.samplerate > maxRateHz) {
        sf_close(file);
        return tl::unexpected("Frequenza di campionamento non gestita in " + path + ": " +
                              std::to_string(info.samplerate) + " Hz (servono da " + std::to_string(minRateHz) +
                              " a " + std::to_string(maxRateHz) + " Hz)");
    }
    const double seconds = static_cast<double>(info.frames) / info.samplerate;
    return std::unique_ptr<AudioFileFeed>(new AudioFileFeed(file, path, info.samplerate, info.channels, seconds));
}

AudioFileFeed::AudioFileFeed(SNDFILE* file, std::string path, int rateHz, int channels, double seconds)
    : file_(file),
      path_(std::move(path)),
      rateHz_(rateHz),
      channels_(channels),
      seconds_(seconds),
      resampler_(rateHz, 16000),
      chunker_(chunkSamples, [this](std::vector<std::int16_t> chunk) { ready_.push_back(std::move(chunk)); }),
      block_(static_cast<std::size_t>(kBlockFrames) * static_cast<std::size_t>(channels)),
      mono_(static_cast<std::size_t>(kBlockFrames)) {
    resampled_.reserve(resampler_.maxOutput(static_cast<std::size_t>(kBlockFrames)));
}

AudioFileFeed::~AudioFileFeed() { sf_close(file_); }

std::optional<std::vector<std::int16_t>> AudioFileFeed::next() {
    while (ready_.empty() && !ended_) readBlock();
    if (ready_.empty()) return std::nullopt;
    auto chunk = std::move(ready_.front());
    ready_.pop_front();
    return chunk;
}

void AudioFileFeed::readBlock() {
    const sf_count_t frames = sf_readf_float(file_, block_.data(), kBlockFrames);
    if (frames <= 0) {
        ended_ = true;
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            readError_ = "Lettura interrotta di " + path_ + " (" + sf_strerror(file_) + ")";
        }
        // Complete the last chunk with silence so the end of the file is sent too.
        if (chunker_.pending() > 0) {
            chunker_.push(std::vector<float>(chunkSamples - chunker_.pending(), 0.0f));
        }
        return;
    }
    framesRead_ += frames;
    const auto count = static_cast<std::size_t>(frames);
    const auto width = static_cast<std::size_t>(channels_);
    for (std::size_t f = 0; f < count; ++f) {
        float sum = 0;
        for (std::size_t c = 0; c < width; ++c) sum += block_[f * width + c];
        mono_[f] = sum / static_cast<float>(channels_);
    }
    resampler_.process(std::span<const float>(mono_.data(), count), resampled_);
    chunker_.push(resampled_);
}

}  // namespace quendra
