#include "support/speech.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace quendra::test {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace

std::optional<Audio> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 12 || std::string(data.begin(), data.begin() + 4) != "RIFF" ||
        std::string(data.begin() + 8, data.begin() + 12) != "WAVE") {
        return std::nullopt;
    }
    unsigned channels = 0, bits = 0;
    double rate = 0;
    size_t pos = 12;
    while (pos + 8 <= data.size()) {
        const std::string id(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos) + 4);
        std::uint32_t size = le32(&data[pos + 4]);
        const size_t body = pos + 8;
        // espeak-ng writes a streaming header whose data size may be 0x7fffffff.
        if (body + size > data.size()) size = static_cast<std::uint32_t>(data.size() - body);
        if (id == "fmt " && size >= 16) {
            if (le16(&data[body]) != 1) return std::nullopt;  // PCM only
            channels = le16(&data[body + 2]);
            rate = le32(&data[body + 4]);
            bits = le16(&data[body + 14]);
        } else if (id == "data") {
            if (channels == 0 || bits != 16) return std::nullopt;
            Audio audio;
            audio.sampleRate = rate;
            const size_t frames = size / (2 * channels);
            audio.samples.resize(frames);
            for (size_t f = 0; f < frames; ++f) {
                float sum = 0;
                for (unsigned c = 0; c < channels; ++c) {
                    const auto s = static_cast<std::int16_t>(le16(&data[body + 2 * (f * channels + c)]));
                    sum += static_cast<float>(s) / 32768.0f;
                }
                audio.samples[f] = sum / static_cast<float>(channels);
            }
            return audio;
        }
        pos = body + size + (size & 1);
    }
    return std::nullopt;
}

std::optional<Audio> speak(const std::string& text, const std::string& voice) {
    char path[] = "/tmp/ombrix-speech-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return std::nullopt;
    close(fd);
    const std::string command = "espeak-ng -v " + shellQuote(voice) + " -w " + shellQuote(path) + " " +
                                shellQuote(text) + " >/dev/null 2>&1";
    const int rc = std::system(command.c_str());
    std::optional<Audio> audio;
    if (rc == 0) audio = readWav(path);
    unlink(path);
    return audio;
}

Match bestMatch(const std::vector<float>& reference, const std::vector<float>& signal, long minLag, long maxLag, long stride) {
    const auto step = static_cast<size_t>(std::max(stride, 1L));
    Match best;
    double refEnergy = 0;
    for (size_t i = 0; i < reference.size(); i += step) refEnergy += static_cast<double>(reference[i]) * reference[i];
    for (long lag = std::max(minLag, 0L); lag <= maxLag; lag += static_cast<long>(step)) {
        double dot = 0, sigEnergy = 0;
        for (size_t i = 0; i < reference.size(); i += step) {
            const size_t j = i + static_cast<size_t>(lag);
            if (j >= signal.size()) break;
            dot += static_cast<double>(reference[i]) * signal[j];
            sigEnergy += static_cast<double>(signal[j]) * signal[j];
        }
        if (refEnergy <= 0 || sigEnergy <= 0) continue;
        const double c = dot / std::sqrt(refEnergy * sigEnergy);
        if (c > best.correlation) best = Match{lag, c};
    }
    return best;
}

}  // namespace quendra::test
