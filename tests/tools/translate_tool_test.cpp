#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

struct ToolRun {
    int code = -1;
    std::string output;  // standard output and error together
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
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the tool with a private configuration folder and no Secret Service, plus `env`.
    ToolRun run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        std::string command = "env -u OMBRIX_SESSION_TOKEN -u OMBRIX_CONNECT_TO XDG_CONFIG_HOME=" + quote(dir + "/config") +
                              " XDG_STATE_HOME=" + quote(dir + "/state") +
                              " DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent";
        for (const auto& e : env) command += " " + quote(e);
        command += " " + quote(OMBRIX_TRANSLATE);
        for (const auto& a : args) command += " " + quote(a);
        command += " 2>&1";
        ToolRun result;
        FILE* pipe = popen(command.c_str(), "r");
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

    std::string dir;
    std::optional<test::Audio> speech;
};

TEST_F(TranslateToolTest, MockEchoesTheFileIntoTheOutputAfterItsDelay) {
    const auto result = run({"--provider", "mock", "--out", dir + "/out.wav", dir + "/in.wav"});
    ASSERT_EQ(result.code, 0) << result.output;
    EXPECT_NE(result.output.find("ascolto: open"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("ascolto: off"), std::string::npos) << result.output;
    const auto out = test::readWav(dir + "/out.wav");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->sampleRate, 24000);
    // Chunk i is fed at 100 i ms and played 2000 ms (mock) + 120 ms (jitter) later, at the next
    // 20 ms pull of the virtual device: the lag is 2120 to 2140 ms, plus timer lateness.
    const auto match = test::bestMatch(expected(), out->samples, 2100 * 24, 2250 * 24, 4);
    EXPECT_GT(match.correlation, 0.95) << "lag " << match.lag / 24.0 << " ms";
}

TEST_F(TranslateToolTest, BadInputsAndAMissingLoginGiveClearErrors) {
    std::ofstream(dir + "/notes.txt") << "not audio at all";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{dir + "/notes.txt"}, 2, "File audio non leggibile: " + dir + "/notes.txt"},
        {{dir + "/missing.wav"}, 2, "File audio non leggibile: " + dir + "/missing.wav"},
        {{"--provider"}, 2, "Uso: ombrix-translate"},
        {{"--provider", "gemini", dir + "/in.wav"}, 1, "Accedi al tuo account Ombrix per usare questo modello."},
        {{"--provider", "deepl", dir + "/in.wav"}, 1, "fornitore non supportato: deepl"},
    };
    for (const auto& c : cases) {
        const auto result = run(c.args);
        EXPECT_EQ(result.code, c.code) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
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
    const auto out = test::readWav(dir + "/out.wav");
    ASSERT_TRUE(out.has_value());
    // The peer returns each chunk at once: the lag is the jitter delay plus the round trip.
    const auto match = test::bestMatch(expected(), out->samples, 100 * 24, 400 * 24, 4);
    EXPECT_GT(match.correlation, 0.9) << "lag " << match.lag / 24.0 << " ms";
}

}  // namespace
}  // namespace quendra
