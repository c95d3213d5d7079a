// The output of ombrix-translate: a 16-bit mono WAV file written as the translation is heard,
// into a temporary file beside the destination that replaces it only when the run is kept. A
// failed or abandoned run (a full disk included) leaves the previous file as it was.
//
// Threading: one thread at a time (created on the main thread, then written on the core queue).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sndfile.h>
#include <tl/expected.hpp>

namespace quendra {

class WavOutput {
public:
    // Checks the destination `path` before anything is paid for, then creates the temporary
    // file. Fails with an Italian message when `path` is the same file as `inputPath` (however
    // it is spelled: a symbolic or hard link, "./x.wav" for "x.wav"), is a folder or anything but
    // a regular file, or when its folder is missing or cannot be written. A symbolic link as
    // destination keeps pointing where it did: the file it names is replaced.
    static tl::expected<std::unique_ptr<WavOutput>, std::string> create(const std::string& path,
                                                                         const std::string& inputPath,
                                                                         int sampleRateHz);
    // Removes the temporary file unless committed.
    ~WavOutput();
    WavOutput(const WavOutput&) = delete;
    WavOutput& operator=(const WavOutput&) = delete;

    // Appends mono samples. False when writing failed (the disk is full, say); `error` says why
    // and the output is discarded.
    [[nodiscard]] bool write(const float* samples, std::size_t count);
    // Completes the file, flushes it to disk and renames it over the destination.
    [[nodiscard]] tl::expected<void, std::string> commit();
    // Drops the temporary file; the destination is untouched.
    void discard();

    std::int64_t frames() const { return frames_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    const std::string& temporaryPath() const { return temporary_; }

private:
    WavOutput(std::string path, std::string target, std::string temporary, int fd, SNDFILE* file);

    std::string path_;       // as the user gave it
    std::string target_;     // the file the rename replaces
    std::string temporary_;  // beside target_
    int fd_;
    SNDFILE* file_;
    std::int64_t frames_ = 0;
    std::string error_;
    bool open_ = true;
};

}  // namespace quendra
