#include "tools/wav_output.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quendra {
namespace {

namespace fs = std::filesystem;

std::string lastSystemError() { return std::strerror(errno); }

}  // namespace

tl::expected<std::unique_ptr<WavOutput>, std::string> WavOutput::create(const std::string& path,
                                                                        const std::string& inputPath,
                                                                        int sampleRateHz) {
    if (path.empty()) return tl::unexpected(std::string("Manca il nome del file di uscita"));
    fs::path target = path;
    struct stat input{};
    const bool haveInput = ::stat(inputPath.c_str(), &input) == 0;
    struct stat existing{};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    mode_t mode = 0;
    if (exists) {
        if (S_ISDIR(existing.st_mode)) return tl::unexpected("L'uscita è una cartella: " + path);
        if (!S_ISREG(existing.st_mode)) return tl::unexpected("L'uscita non è un file normale: " + path);
        if (haveInput && existing.st_dev == input.st_dev && existing.st_ino == input.st_ino) {
            return tl::unexpected("L'uscita è il file stesso da tradurre: " + path +
                                  " (scegli un altro nome con --out)");
        }
        std::error_code ec;
        if (auto resolved = fs::canonical(path, ec); !ec) target = std::move(resolved);
        mode = existing.st_mode & 07777;
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }

    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    struct stat folderInfo{};
    if (::stat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode)) {
        return tl::unexpected("La cartella di uscita non esiste: " + folder.string());
    }
    std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return tl::unexpected("Non posso scrivere nella cartella di uscita " + folder.string() + " (" +
                              lastSystemError() + ")");
    }
    (void)::fchmod(fd, mode);
    SF_INFO info{};
    info.samplerate = sampleRateHz;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        const std::string why = sf_strerror(nullptr);
        ::close(fd);
        ::unlink(temporary.c_str());
        return tl::unexpected("Non riesco a scrivere " + path + " (" + why + ")");
    }
    return std::unique_ptr<WavOutput>(new WavOutput(path, target.string(), std::move(temporary), fd, file));
}

WavOutput::WavOutput(std::string path, std::string target, std::string temporary, int fd, SNDFILE* file)
    : path_(std::move(path)), target_(std::move(target)), temporary_(std::move(temporary)), fd_(fd), file_(file) {}

WavOutput::~WavOutput() { discard(); }

bool WavOutput::write(const float* samples, std::size_t count) {
    if (!open_) return false;
    errno = 0;
    const auto wanted = static_cast<sf_count_t>(count);
    const sf_count_t written = sf_writef_float(file_, samples, wanted);
    if (written != wanted) {
        const std::string why = errno != 0 ? lastSystemError() : std::string(sf_strerror(file_));
        error_ = "Non riesco a scrivere " + path_ + " (" + why + ")";
        discard();
        return false;
    }
    frames_ += written;
    return true;
}

tl::expected<void, std::string> WavOutput::commit() {
    if (!open_) return tl::unexpected(error_.empty() ? "Non riesco a scrivere " + path_ : error_);
    std::string failure;
    errno = 0;
    // Closing completes the header; a header or buffer that did not reach the disk shows in the size.
    const int closed = sf_close(file_);
    file_ = nullptr;
    struct stat info{};
    if (closed != 0) {
        failure = sf_error_number(closed);
    } else if (::fstat(fd_, &info) != 0 || info.st_size < frames_ * 2) {
        failure = errno != 0 ? lastSystemError() : std::string("scrittura incompleta");
    } else if (::fsync(fd_) != 0) {
        failure = lastSystemError();
    }
    if (::close(fd_) != 0 && failure.empty()) failure = lastSystemError();
    fd_ = -1;
    if (failure.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) failure = lastSystemError();
    open_ = false;
    if (!failure.empty()) {
        ::unlink(temporary_.c_str());
        error_ = "Non riesco a scrivere " + path_ + " (" + failure + ")";
        return tl::unexpected(error_);
    }
    // Make the rename itself durable; the content is on disk either way.
    const fs::path folder = fs::path(target_).has_parent_path() ? fs::path(target_).parent_path() : fs::path(".");
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

void WavOutput::discard() {
    if (!open_) return;
    open_ = false;
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
}

}  // namespace quendra
