#include "app/model/captions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace quendra {
namespace {

constexpr double kMinShownMs = 1000;

// One line of text: line breaks become blanks (a blank line would end an SRT entry), blanks at
// either end go.
std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
    const auto begin = out.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    const auto end = out.find_last_not_of(" \t");
    return out.substr(begin, end - begin + 1);
}

std::string twoDigits(long long v) { return (v < 10 ? "0" : "") + std::to_string(v); }

std::optional<std::string> writeReplacing(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return std::string(std::strerror(errno));
        out << content;
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return std::string("scrittura non riuscita");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return error.message();
    }
    return std::nullopt;
}

}  // namespace

bool Captions::add(const TranscriptEvent& event) {
    const Key key{event.direction, event.kind};
    const std::string text = oneLine(event.text);
    CaptionLine* open = nullptr;
    if (const auto found = inProgress_.find(key); found != inProgress_.end()) {
        if (found->second >= dropped_) open = &lines_[static_cast<std::size_t>(found->second - dropped_)];
        if (!open || event.final) inProgress_.erase(found);
    }
    if (open) {
        if (!text.empty()) open->text = text;
        open->final = event.final;
        open->endMs = std::max(open->endMs, event.runMs);
        return true;
    }
    if (text.empty()) return false;
    lines_.push_back(CaptionLine{event.direction, event.kind, text, event.final, event.runMs, event.runMs});
    if (!event.final) inProgress_[key] = dropped_ + lines_.size() - 1;
    if (lines_.size() > maxLines) {
        lines_.pop_front();
        ++dropped_;
    }
    return true;
}

void Captions::clear() {
    dropped_ += lines_.size();
    lines_.clear();
    inProgress_.clear();
}

std::vector<CaptionLine> Captions::last(const std::string& direction, TranscriptKind kind, std::size_t count) const {
    std::vector<CaptionLine> out;
    for (auto it = lines_.rbegin(); it != lines_.rend() && out.size() < count; ++it) {
        if (it->direction == direction && it->kind == kind) out.push_back(*it);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string captionSpeaker(const CaptionLine& line) {
    const std::string who = line.direction == "speak" ? "Io" : "Altri";
    return line.kind == TranscriptKind::output ? who + " (traduzione)" : who;
}

std::string srtTime(double ms) {
    const auto total = static_cast<long long>(std::llround(std::isfinite(ms) ? std::clamp(ms, 0.0, 1e12) : 0.0));
    const long long millis = total % 1000;
    const long long seconds = total / 1000;
    std::string out = twoDigits(seconds / 3600) + ":" + twoDigits(seconds / 60 % 60) + ":" + twoDigits(seconds % 60) + ",";
    out += (millis < 100 ? (millis < 10 ? "00" : "0") : "") + std::to_string(millis);
    return out;
}

std::string captionsText(const Captions& captions) {
    std::string out;
    for (const auto& line : captions.lines()) {
        const std::string time = srtTime(line.startMs);
        out += "[" + time.substr(0, time.find(',')) + "] " + captionSpeaker(line) + ": " + line.text + "\n";
    }
    return out;
}

std::string captionsSrt(const Captions& captions) {
    std::string out;
    std::size_t number = 0;
    for (const auto& line : captions.lines()) {
        const double end = std::max(line.endMs, line.startMs + kMinShownMs);
        out += std::to_string(++number) + "\n" + srtTime(line.startMs) + " --> " + srtTime(end) + "\n" +
               captionSpeaker(line) + ": " + line.text + "\n\n";
    }
    return out;
}

std::optional<std::string> saveCaptions(const Captions& captions, const std::string& srtPath) {
    std::filesystem::path srt(srtPath);
    if (srt.extension() != ".srt") srt += ".srt";
    std::filesystem::path text = srt;
    text.replace_extension(".txt");
    if (auto error = writeReplacing(srt, captionsSrt(captions))) {
        return "Sottotitoli non salvati in " + srt.string() + ": " + *error;
    }
    if (auto error = writeReplacing(text, captionsText(captions))) {
        return "Sottotitoli non salvati in " + text.string() + ": " + *error;
    }
    return std::nullopt;
}

}  // namespace quendra
