// The captions of one run: per direction, what was said and its translation, line by line, as
// the links transcribe them; with the text and SRT forms they are saved in.
//
// Threading: plain values, used on the UI thread by the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/engine.h"

namespace quendra {

struct CaptionLine {
    std::string direction;  // "listen" or "speak"
    TranscriptKind kind = TranscriptKind::input;
    std::string text;
    bool final = false;
    double startMs = 0;  // from the start of the run
    double endMs = 0;    // the last update
    bool operator==(const CaptionLine&) const = default;
};

class Captions {
public:
    // A run of many hours keeps its last lines only.
    static constexpr std::size_t maxLines = 20000;

    // A transcript updates the line in progress of its direction and kind, or starts a new line
    // after a final one. False when nothing changed (an empty text that finishes nothing).
    bool add(const TranscriptEvent& event);
    void clear();

    bool empty() const { return lines_.empty(); }
    // All lines, in the order they began.
    const std::deque<CaptionLine>& lines() const { return lines_; }
    // The last `count` lines of one direction and kind, oldest first; the last may be in progress.
    std::vector<CaptionLine> last(const std::string& direction, TranscriptKind kind, std::size_t count) const;

private:
    using Key = std::pair<std::string, TranscriptKind>;
    std::deque<CaptionLine> lines_;
    std::uint64_t dropped_ = 0;                // lines let go from the front
    std::map<Key, std::uint64_t> inProgress_;  // absolute index of each key's unfinished line
};

// Who is speaking in a saved line: "Altri", "Altri (traduzione)", "Io", "Io (traduzione)".
std::string captionSpeaker(const CaptionLine& line);
// "01:02:03,456": hours, minutes, seconds and milliseconds.
std::string srtTime(double ms);
// One line per caption: "[00:01:02] Altri: testo".
std::string captionsText(const Captions& captions);
// SubRip: numbered entries from 1, each shown from its start until its last update (at least a
// second), the speaker before the text, a blank line after each.
std::string captionsSrt(const Captions& captions);

// Writes the SRT form to `srtPath` (".srt" added when it has another ending) and the text form
// beside it with ".txt", each through a temporary file renamed into place. The error is a
// complete message for the user.
[[nodiscard]] std::optional<std::string> saveCaptions(const Captions& captions, const std::string& srtPath);

}  // namespace quendra
