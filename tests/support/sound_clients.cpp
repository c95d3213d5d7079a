#include "support/sound_clients.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <thread>

extern char** environ;

namespace quendra::test {

namespace {

std::string scratchFile(const std::string& stem) {
    static int counter = 0;
    const char* dir = std::getenv("OMBRIX_TEST_SCRATCH");
    return std::string(dir ? dir : "/tmp") + "/" + stem + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(++counter);
}

void writeFloats(const std::string& path, const std::vector<float>& samples) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

// Starts `sh -c script` in a process group of its own, so that the whole pipeline can be stopped.
pid_t spawnShell(const std::string& script) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    return pid;
}

void stopGroup(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string soundServerKind() {
    const char* kind = std::getenv("OMBRIX_TEST_SOUND_SERVER");
    return kind ? kind : "";
}

std::optional<std::string> pactl(const std::string& args) {
    std::string cmd = "pactl " + args + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    if (::pclose(p) != 0) return std::nullopt;
    return out;
}

bool setDefaultDevice(const std::string& kind, const std::string& name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!pactl("set-default-" + kind + " " + quote(name))) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            auto now = pactl("get-default-" + kind);
            if (now && now->substr(0, now->find_last_not_of('\n') + 1) == name) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::uint32_t>> sinks() {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    auto text = pactl("--format=json list sinks");
    if (!text) return out;
    auto j = nlohmann::json::parse(*text, nullptr, false);
    if (!j.is_array()) return out;
    for (auto& s : j) out.emplace_back(s.value("name", ""), s.value("index", 0u));
    return out;
}

std::optional<std::uint32_t> sinkIndex(const std::string& name) {
    for (auto& [n, i] : sinks())
        if (n == name) return i;
    return std::nullopt;
}

bool anyTapSink() {
    for (auto& [n, i] : sinks())
        if (n.rfind("quendra-tap-", 0) == 0) return true;
    return false;
}

std::vector<SinkInputRow> sinkInputs() {
    std::vector<SinkInputRow> out;
    auto text = pactl("--format=json list sink-inputs");
    if (!text) return out;
    auto j = nlohmann::json::parse(*text, nullptr, false);
    if (!j.is_array()) return out;
    auto names = sinks();
    for (auto& i : j) {
        SinkInputRow r;
        r.index = i.value("index", 0u);
        r.sink = i.value("sink", 0u);
        for (auto& [n, idx] : names)
            if (idx == r.sink) r.sinkName = n;
        r.corked = i.value("corked", false);
        if (i.contains("properties")) {
            auto& p = i["properties"];
            r.appName = p.value("application.name", "");
            r.appId = p.value("application.id", "");
        }
        out.push_back(r);
    }
    return out;
}

std::vector<SinkInputRow> inputsOf(const std::string& appName) {
    std::vector<SinkInputRow> out;
    for (auto& r : sinkInputs())
        if (r.appName == appName) out.push_back(r);
    return out;
}

Player::Player(const Audio& audio, const std::string& appName, const std::string& appId, const std::string& device)
    : file_(scratchFile("speech")) {
    // A second of silence between repeats, so that a correlation finds one clear match.
    std::vector<float> samples = audio.samples;
    samples.resize(samples.size() + static_cast<std::size_t>(audio.sampleRate), 0.0f);
    writeFloats(file_, samples);
    std::string script = "exec >/dev/null 2>&1; while cat " + quote(file_) + "; do :; done | exec pacat --playback --raw --format=float32le --rate=" +
                         std::to_string(static_cast<int>(audio.sampleRate)) +
                         " --channels=1 --latency-msec=250 --client-name=" + quote(appName) +
                         " --property=application.name=" + quote(appName) +
                         (appId.empty() ? "" : " --property=application.id=" + quote(appId)) +
                         (device.empty() ? "" : " --device=" + quote(device));
    pid_ = spawnShell(script);
}

Player::~Player() {
    stopGroup(pid_);
    std::remove(file_.c_str());
}

StereoPlayer::StereoPlayer(const Audio& left, const Audio& right, const std::string& appName, const std::string& device)
    : file_(scratchFile("stereo")) {
    const std::size_t n = std::max(left.samples.size(), right.samples.size()) + static_cast<std::size_t>(left.sampleRate);
    std::vector<float> samples(n * 2, 0.0f);
    for (std::size_t i = 0; i < left.samples.size(); ++i) samples[2 * i] = left.samples[i];
    for (std::size_t i = 0; i < right.samples.size(); ++i) samples[2 * i + 1] = right.samples[i];
    writeFloats(file_, samples);
    std::string script = "exec >/dev/null 2>&1; while cat " + quote(file_) + "; do :; done | exec pacat --playback --raw --format=float32le --rate=" +
                         std::to_string(static_cast<int>(left.sampleRate)) +
                         " --channels=2 --latency-msec=250 --property=application.name=" + quote(appName) +
                         " --device=" + quote(device);
    pid_ = spawnShell(script);
}

StereoPlayer::~StereoPlayer() {
    stopGroup(pid_);
    std::remove(file_.c_str());
}

Recorder::Recorder(const std::string& source, double rate) : file_(scratchFile("record")), rate_(rate) {
    std::string script = "exec parec --raw --format=float32le --channels=1 --rate=" +
                         std::to_string(static_cast<int>(rate)) + " --latency-msec=100 --device=" + quote(source) +
                         " --property=application.name=recorder > " + quote(file_);
    pid_ = spawnShell(script);
}

Recorder::~Recorder() {
    stopGroup(pid_);
    std::remove(file_.c_str());
}

std::vector<float> Recorder::samples() const {
    std::ifstream in(file_, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> out(bytes.size() / sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

EmptyServer::EmptyServer() {
    const char* script = std::getenv("OMBRIX_TEST_EMPTY_SERVER");
    if (!script) return;
    const std::string dir = scratchFile("empty-server");
    pid_ = spawnShell(std::string("exec ") + script + " " + quote(dir));
    const std::string address = "unix:" + dir + "/pulse/native";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::system(("PULSE_SERVER=" + quote(address) + " pactl info >/dev/null 2>&1").c_str()) == 0) {
            address_ = address;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

EmptyServer::~EmptyServer() { stopGroup(pid_); }

double rms(const std::vector<float>& samples, std::size_t from) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = from; i < samples.size(); ++i, ++n) sum += double(samples[i]) * samples[i];
    return n ? std::sqrt(sum / double(n)) : 0.0;
}

std::function<void(std::function<void()>)> TestMain::poster() {
    return [this](std::function<void()> task) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    };
}

void TestMain::pump() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

bool TestMain::waitUntil(const std::function<bool()>& condition, double timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeoutMs);
    for (;;) {
        pump();
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

const Audio& speechA() {
    static const Audio audio = speak("The quick brown fox jumps over the lazy dog near the river bank.", "en").value_or(Audio{});
    return audio;
}

const Audio& speechB() {
    static const Audio audio = speak("Domani mattina andiamo al mercato a comprare la frutta fresca.", "it").value_or(Audio{});
    return audio;
}

}  // namespace quendra::test
