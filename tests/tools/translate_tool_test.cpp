#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "core/audio/pcm.h"
#include "core/audio/resampler.h"
#include "support/peers.h"
#include "support/speech.h"

namespace quendra {
namespace {

namespace fs = std::filesystem;

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ToolRun {
    int code = -1;
    std::string output;  // standard output and error together
};

// A session bus address that counts who connects and hangs up on them (or, `hanging`, never
// answers them): the Secret Service behind it is never available, and the count says whether the
// tool asked it.
class CountingBus {
public:
    explicit CountingBus(const std::string& path, bool hanging = false) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << path;
        }
        thread_ = std::thread([this, hanging] {
            for (;;) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    if (stop_) return;
                    continue;
                }
                const int client = ::accept(fd_, nullptr, nullptr);
                if (client < 0) continue;
                if (hanging) {
                    held_.push_back(client);
                } else {
                    ::close(client);
                }
                ++connections_;
            }
        });
    }
    ~CountingBus() {
        stop_ = true;
        thread_.join();
        for (int client : held_) ::close(client);
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::string address() const { return "unix:path=" + path_; }
    int connections() const { return connections_; }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<int> held_;  // the accepting thread's
    std::thread thread_;
};

// The tool started in the background, read line by line, for tests that act while it runs.
class Background {
public:
    explicit Background(const std::string& command) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Background() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    // Reads until the output matches `pattern`; false at the end of the output or after 60 s.
    bool waitFor(const std::regex& pattern) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!std::regex_search(output, pattern)) {
            if (std::chrono::steady_clock::now() > deadline || !readSome(200)) return false;
        }
        return true;
    }
    void signal(int number) const { ::kill(pid_, number); }
    // Reads the rest of the output and the exit status (-1 unless it exited normally within 120 s).
    int wait() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (readSome(200)) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                break;
            }
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string output;

private:
    // False at the end of the output; true when something was read or nothing came in time.
    bool readSome(int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) return true;
        if (ready < 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
};

class TranslateToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ombrix-translate-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        speech = test::speak("Good morning. This is a test of the translation tool.");
        ASSERT_TRUE(speech.has_value()) << "espeak-ng must be installed";
        ASSERT_EQ(std::system(("espeak-ng -w " + quote(dir + "/in.wav") +
                               " 'Good morning. This is a test of the translation tool.'")
                                  .c_str()),
                  0);
        bus = std::make_unique<CountingBus>(dir + "/bus");
    }
    void TearDown() override {
        bus.reset();
        fs::remove_all(dir);
    }

    // The command line of the tool with a private configuration folder and a Secret Service
    // that never answers, plus `env`; `prefix` runs in the shell first.
    std::string command(const std::vector<std::string>& args, const std::vector<std::string>& env,
                        const std::string& prefix = "") const {
        std::string line = prefix +
                           "env -u OMBRIX_SESSION_TOKEN -u OMBRIX_GEMINI_KEY -u OMBRIX_OPENAI_KEY -u OMBRIX_CONNECT_TO "
                           "XDG_CONFIG_HOME=" +
                           quote(dir + "/config") + " XDG_STATE_HOME=" + quote(dir + "/state") +
                           " DBUS_SESSION_BUS_ADDRESS=" + quote(bus->address());
        for (const auto& e : env) line += " " + quote(e);
        line += " " + quote(OMBRIX_TRANSLATE);
        for (const auto& a : args) line += " " + quote(a);
        return line;
    }

    ToolRun run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                const std::string& prefix = "") const {
        ToolRun result;
        FILE* pipe = popen((command(args, env, prefix) + " 2>&1").c_str(), "r");
        if (pipe == nullptr) return result;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
        const int status = pclose(pipe);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    // What the mock or the peer should give back: the input through the capture chain, at 24 kHz.
    std::vector<float> expected() const {
        StreamResampler toCapture(speech->sampleRate, 16000);
        const auto captured = PCM::floatToInt16(toCapture.process(speech->samples));
        return PCM::int16ToFloat(PCM::resampleInt16(captured, 16000, 24000));
    }

    // The files of the test folder other than the input and the bus.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const auto name = entry.path().filename().string();
            if (name != "in.wav" && name != "bus" && name != "config" && name != "out.wav") names.push_back(name);
        }
        return names;
    }

    std::string dir;
    std::optional<test::Audio> speech;
    std::unique_ptr<CountingBus> bus;
};

// Milliseconds at 24 kHz, in samples.
constexpr long ms(long value) { return value * 24; }

// Where `reference` echoes in `signal` between the two lags (in samples): the loudness envelopes
// (10 ms frames) find the place over a wide window cheaply, the samples themselves the exact lag.
test::Match locateEcho(const std::vector<float>& reference, const std::vector<float>& signal, long minLag,
                       long maxLag) {
    constexpr long frame = ms(10);
    auto envelope = [](const std::vector<float>& samples) {
        std::vector<float> out(samples.size() / frame);
        for (std::size_t f = 0; f < out.size(); ++f) {
            double energy = 0;
            for (long i = 0; i < frame; ++i) energy += std::pow(samples[f * frame + static_cast<std::size_t>(i)], 2);
            out[f] = static_cast<float>(std::sqrt(energy / frame));
        }
        return out;
    };
    const auto coarse = test::bestMatch(envelope(reference), envelope(signal), minLag / frame, maxLag / frame);
    const long around = coarse.lag * frame;
    return test::bestMatch(reference, signal, std::max(minLag, around - 2 * frame), std::min(maxLag, around + 2 * frame),
                           4);
}

TEST_F(TranslateToolTest, MockEchoesTheFileIntoTheOutputAfterItsDelay) {
    const auto result = run({"--provider", "mock", "--out", dir + "/out.wav", dir + "/in.wav"});
    ASSERT_EQ(result.code, 0) << result.output;
    EXPECT_NE(result.output.find("ascolto: open"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("ascolto: off"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Scritto " + dir + "/out.wav"), std::string::npos) << result.output;
    EXPECT_EQ(bus->connections(), 0) << "the mock needs no saved login";
    const auto out = test::readWav(dir + "/out.wav");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->sampleRate, 24000);
    // Chunk i is fed at 100 i ms and played 2000 ms (mock) + 120 ms (jitter) later, at the next
    // 20 ms pull of the virtual device. Timer lateness on a loaded machine can only add to that,
    // and the echo found in the file's own timeline must be the mock's, not an early one.
    const auto match = locateEcho(expected(), out->samples, ms(1500), ms(4500));
    EXPECT_GT(match.correlation, 0.9) << "lag " << match.lag / 24.0 << " ms";
    EXPECT_GE(match.lag, ms(2000)) << "lag " << match.lag / 24.0 << " ms";
    EXPECT_LE(match.lag, ms(4000)) << "lag " << match.lag / 24.0 << " ms";
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(TranslateToolTest, BadArgumentsInputsAndOutputsAreRefusedBeforeTheRun) {
    std::ofstream(dir + "/notes.txt") << "not audio at all";
    {
        SF_INFO info{};
        info.samplerate = 1;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open((dir + "/slow.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        const std::vector<float> samples(1000, 0.1f);
        sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
    }
    fs::create_symlink(dir + "/in.wav", dir + "/link.wav");
    const std::string original = contents(dir + "/in.wav");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{dir + "/notes.txt"}, "File audio non leggibile: " + dir + "/notes.txt"},
        {{dir + "/missing.wav"}, "File audio non leggibile: " + dir + "/missing.wav"},
        {{dir + "/slow.wav"}, "Frequenza di campionamento non gestita in " + dir + "/slow.wav: 1 Hz"},
        {{"--provider"}, "Uso: ombrix-translate"},
        {{"--out", dir + "/in.wav", dir + "/in.wav"}, "L'uscita è il file stesso da tradurre"},
        {{"--out", dir + "/./link.wav", dir + "/in.wav"}, "L'uscita è il file stesso da tradurre"},
        {{"--out", dir + "/nowhere/out.wav", dir + "/in.wav"}, "La cartella di uscita non esiste"},
        {{"--out", dir, dir + "/in.wav"}, "L'uscita è una cartella"},
    };
    for (const auto& c : cases) {
        const auto result = run(c.args);
        EXPECT_EQ(result.code, 2) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("ascolto:"), std::string::npos) << "no run started: " << result.output;
    }
    EXPECT_EQ(contents(dir + "/in.wav"), original);
    EXPECT_EQ(bus->connections(), 0);
}

TEST_F(TranslateToolTest, HelpNamesEveryEnvironmentVariable) {
    const auto result = run({"--help"});
    EXPECT_EQ(result.code, 0) << result.output;
    for (const char* name : {"OMBRIX_SESSION_TOKEN", "OMBRIX_GEMINI_KEY", "OMBRIX_OPENAI_KEY", "OMBRIX_CONNECT_TO", "SSL_CERT_FILE", "SSL_CERT_DIR",
                             "XDG_CONFIG_HOME", "DBUS_SESSION_BUS_ADDRESS", "QUENDRA_DEBUG"}) {
        EXPECT_NE(result.output.find(name), std::string::npos) << name;
    }
    EXPECT_NE(result.output.find("130 o 143"), std::string::npos) << result.output;
}

// A run that translated nothing because the link failed must fail, with the link's own text,
// and leave any earlier output as it was.
TEST_F(TranslateToolTest, ALinkThatNeverConnectsFailsTheRunWithItsError) {
    auto ca = test::TestCa::create();
    ASSERT_TRUE(ca.has_value()) << ca.error();
    auto account = test::startTlsPeer(**ca, "account/server.js", {"--session", "sessione-di-prova"});
    ASSERT_TRUE(account.has_value()) << account.error();
    auto refusing = test::startTlsPeer(**ca, "gemini/server.js", {"--command", "reject 1008 100"});
    ASSERT_TRUE(refusing.has_value()) << refusing.error();
    const std::string service = "https://127.0.0.1:" + std::to_string((*account)->port());
    const std::vector<std::string> trust = {"SSL_CERT_FILE=" + (*ca)->caFile, "SSL_CERT_DIR=/nonexistent",
                                            "OMBRIX_SESSION_TOKEN=sessione-di-prova"};
    fs::create_directories(dir + "/config/ombrix");
    struct Case {
        std::string name;
        std::string settings;  // the saved settings file, when not empty
        std::vector<std::string> args;
        std::string connectTo;
    };
    const Case cases[] = {
        {"setup refused", "", {"--service", service},
         "generativelanguage.googleapis.com:443:127.0.0.1:" + std::to_string((*refusing)->port())},
        {"connection refused (after the link's retries)", "", {"--service", service},
         "generativelanguage.googleapis.com:443:127.0.0.1:1"},
        {"corrupt settings", R"({"serviceUrl": "ht!tp://\u0007", "provider": 7})", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir + "/out.wav") << "previous translation";
        if (!c.settings.empty()) std::ofstream(dir + "/config/ombrix/settings.json") << c.settings;
        std::vector<std::string> args = {"--provider", "gemini", "--out", dir + "/out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(dir + "/in.wav");
        auto env = trust;
        if (!c.connectTo.empty()) env.push_back("OMBRIX_CONNECT_TO=" + c.connectTo);
        const auto result = run(args, env);
        EXPECT_EQ(result.code, 1) << result.output;
        EXPECT_NE(result.output.find("Errore: "), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("Scritto"), std::string::npos) << result.output;
        EXPECT_EQ(contents(dir + "/out.wav"), "previous translation");
        EXPECT_TRUE(leftovers().empty());
        fs::remove(dir + "/config/ombrix/settings.json");
    }
}

TEST_F(TranslateToolTest, GeminiThroughTheAccountServiceAndTheProviderPeer) {
    auto ca = test::TestCa::create();
    ASSERT_TRUE(ca.has_value()) << ca.error();
    auto account = test::startTlsPeer(**ca, "account/server.js", {"--session", "sessione-di-prova"});
    ASSERT_TRUE(account.has_value()) << account.error();
    auto gemini = test::startTlsPeer(**ca, "gemini/server.js");
    ASSERT_TRUE(gemini.has_value()) << gemini.error();

    const auto result = run(
        {"--provider", "gemini", "--service", "https://127.0.0.1:" + std::to_string((*account)->port()), "--out",
         dir + "/out.wav", dir + "/in.wav"},
        {"SSL_CERT_FILE=" + (*ca)->caFile, "SSL_CERT_DIR=/nonexistent", "OMBRIX_SESSION_TOKEN=sessione-di-prova",
         "OMBRIX_CONNECT_TO=generativelanguage.googleapis.com:443:127.0.0.1:" + std::to_string((*gemini)->port())});
    ASSERT_EQ(result.code, 0) << result.output;
    EXPECT_NE(result.output.find("ascolto: open"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("sessione-di-prova"), std::string::npos) << "no credential in the output";
    EXPECT_EQ(bus->connections(), 0) << "the login came from the environment";
    const auto out = test::readWav(dir + "/out.wav");
    ASSERT_TRUE(out.has_value());
    // The peer returns each chunk at once: the lag is the jitter delay plus the round trip, after
    // the time the link took to open (the file waits for it).
    const auto match = locateEcho(expected(), out->samples, ms(100), ms(3000));
    EXPECT_GT(match.correlation, 0.9) << "lag " << match.lag / 24.0 << " ms";
}

TEST_F(TranslateToolTest, OwnKeysReachBothProvidersWithoutAnAccount) {
    auto ca = test::TestCa::create();
    ASSERT_TRUE(ca.has_value()) << ca.error();
    const std::string geminiKey = "AIzaSyTool-own_key_0123456789abcdefghijk";
    const std::string openaiKey = "sk-proj-tool_own_key_0123456789";
    // The Gemini peer takes the key only as the service takes API keys (key= on
    // BidiGenerateContent); OpenAI takes it in the subprotocol as it takes any credential.
    auto gemini = test::startTlsPeer(**ca, "gemini/server.js", {"--expect-key", geminiKey});
    ASSERT_TRUE(gemini.has_value()) << gemini.error();
    auto openai = test::startTlsPeer(**ca, "openai/server.js", {"--expect-token", openaiKey});
    ASSERT_TRUE(openai.has_value()) << openai.error();
    const struct {
        std::string provider, variable, key, host;
        int port;
    } cases[] = {
        {"gemini", "OMBRIX_GEMINI_KEY", geminiKey, "generativelanguage.googleapis.com", (*gemini)->port()},
        {"openai", "OMBRIX_OPENAI_KEY", openaiKey, "api.openai.com", (*openai)->port()},
    };
    for (const auto& c : cases) {
        // No account service answers at this address: none is needed.
        const auto result = run({"--provider", c.provider, "--service", "https://127.0.0.1:9", "--out",
                                 dir + "/out.wav", dir + "/in.wav"},
                                {"SSL_CERT_FILE=" + (*ca)->caFile, "SSL_CERT_DIR=/nonexistent",
                                 c.variable + "=" + c.key,
                                 "OMBRIX_CONNECT_TO=" + c.host + ":443:127.0.0.1:" + std::to_string(c.port)});
        ASSERT_EQ(result.code, 0) << c.provider << "\n" << result.output;
        EXPECT_NE(result.output.find("ascolto: open"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find(c.key.substr(4)), std::string::npos) << "no key in the output";
        EXPECT_EQ(bus->connections(), 0) << c.provider << ": the key came from the environment";
        const auto out = test::readWav(dir + "/out.wav");
        ASSERT_TRUE(out.has_value()) << c.provider;
        const auto match = locateEcho(expected(), out->samples, ms(100), ms(3000));
        EXPECT_GT(match.correlation, 0.9) << c.provider << ": lag " << match.lag / 24.0 << " ms";
    }
}

TEST_F(TranslateToolTest, TheSavedLoginIsReadOnlyWhenTheProviderNeedsIt) {
    const auto result = run({"--provider", "gemini", "--out", dir + "/out.wav", dir + "/in.wav"});
    EXPECT_EQ(result.code, 1) << result.output;
    EXPECT_NE(result.output.find("Accedi al tuo account Ombrix per usare questo modello."), std::string::npos)
        << result.output;
    EXPECT_GT(bus->connections(), 0) << "no token in the environment: the Secret Service is asked";

    const int before = bus->connections();
    const auto unknown = run({"--provider", "deepl", dir + "/in.wav"});
    EXPECT_EQ(unknown.code, 1) << unknown.output;
    EXPECT_NE(unknown.output.find("fornitore non supportato: deepl"), std::string::npos) << unknown.output;
    EXPECT_EQ(bus->connections(), before);
}

TEST_F(TranslateToolTest, AFullDiskFailsTheRunAndKeepsThePreviousFile) {
    std::ofstream(dir + "/out.wav") << "previous translation";
    // About half a second of output fits under the limit (512- or 1024-byte blocks).
    const auto result =
        run({"--provider", "mock", "--out", dir + "/out.wav", dir + "/in.wav"}, {}, "ulimit -f 40; ");
    EXPECT_EQ(result.code, 1) << result.output;
    EXPECT_NE(result.output.find("Errore: Non riesco a scrivere " + dir + "/out.wav"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Scritto"), std::string::npos) << result.output;
    EXPECT_EQ(contents(dir + "/out.wav"), "previous translation");
    EXPECT_TRUE(leftovers().empty());
}

// An interruption stops the engine and keeps what was translated, if anything arrived.
TEST_F(TranslateToolTest, InterruptionsKeepWhatWasTranslatedSoFar) {
    const struct {
        int signal;
        bool afterTranslation;
    } cases[] = {{SIGINT, true}, {SIGTERM, false}};
    const std::regex open("ascolto: open");
    const std::regex received("ricevuti (0,0[1-9]|0,[1-9]|[1-9])");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        std::ofstream(dir + "/out.wav") << "previous translation";
        Background tool(command({"--provider", "mock", "--out", dir + "/out.wav", dir + "/in.wav"}, {}));
        ASSERT_TRUE(tool.waitFor(c.afterTranslation ? received : open)) << tool.output;
        tool.signal(c.signal);
        EXPECT_EQ(tool.wait(), 128 + c.signal) << tool.output;
        EXPECT_NE(tool.output.find("Interrotto."), std::string::npos) << tool.output;
        EXPECT_NE(tool.output.find("ascolto: off"), std::string::npos) << tool.output;
        EXPECT_TRUE(leftovers().empty());
        if (!c.afterTranslation) {
            EXPECT_NE(tool.output.find("Nessuna traduzione ricevuta: nessun file scritto."), std::string::npos)
                << tool.output;
            EXPECT_EQ(contents(dir + "/out.wav"), "previous translation");
            continue;
        }
        EXPECT_NE(tool.output.find("Scritto " + dir + "/out.wav"), std::string::npos) << tool.output;
        const auto out = test::readWav(dir + "/out.wav");
        ASSERT_TRUE(out.has_value()) << "a complete WAV file";
        // The beginning of the echo is there, the rest of the sentence is not.
        const auto all = expected();
        const std::vector<float> beginning(all.begin(), all.begin() + ms(500));
        const auto match = locateEcho(beginning, out->samples, ms(1500), ms(4500));
        EXPECT_GT(match.correlation, 0.9) << "lag " << match.lag / 24.0 << " ms";
        // A run to the end would add the mock's delay and the quiet end (over 5 s) to the sentence.
        EXPECT_LT(out->samples.size(), all.size() + static_cast<std::size_t>(ms(4000)));
    }

    // Before the run, while the saved login is being read from a Secret Service that hangs: the
    // temporary output goes too.
    bus.reset();
    bus = std::make_unique<CountingBus>(dir + "/bus", true);
    std::ofstream(dir + "/out.wav") << "previous translation";
    Background tool(command({"--provider", "gemini", "--out", dir + "/out.wav", dir + "/in.wav"}, {}));
    for (int i = 0; i < 600 && bus->connections() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GT(bus->connections(), 0) << tool.output;
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 143) << tool.output;
    EXPECT_EQ(contents(dir + "/out.wav"), "previous translation");
    EXPECT_TRUE(leftovers().empty());
}

}  // namespace
}  // namespace quendra
