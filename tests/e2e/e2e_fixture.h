// What the end-to-end tests share: the real `ombrix` on the private sound server, a fake call
// application, recordings of the sinks' monitors with a wait for the speech to show up in them,
// and the check that Ombrix left every stream where it found it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "e2e/ombrix_process.h"
#include "support/peers.h"
#include "sound_fixture.h"
#include "support/sound_clients.h"

namespace quendra::test {

using Json = nlohmann::json;

// The fake call application.
inline constexpr const char* callAppName = "Chiamata di prova";
inline constexpr const char* callAppId = "org.example.call";

// Every wait allows a loaded machine plenty of time; none is a measurement.
inline constexpr double waitMs = 60000;

inline std::string line(const Json& state, const char* direction) { return state[direction].value("line", ""); }

// One pactl JSON row of every sink input, for volume and mute.
inline Json sinkInputsJson() {
    auto text = pactl("--format=json list sink-inputs");
    auto rows = text ? Json::parse(*text, nullptr, false) : Json();
    return rows.is_array() ? rows : Json::array();
}

// True when every stream of `appName` plays, unmuted at full volume, on `sink`, and no capture
// sink of Ombrix is left: what a user expects after translation ends, however it ended.
inline bool leftAsFound(const std::string& appName, const std::string& sink = "headphones") {
    if (anyTapSink()) return false;
    const auto sinkId = sinkIndex(sink);
    bool found = false;
    for (const auto& row : sinkInputsJson()) {
        if (!row.contains("properties") || row["properties"].value("application.name", "") != appName) continue;
        found = true;
        if (!sinkId || row.value("sink", 0u) != *sinkId || row.value("mute", false)) return false;
        for (const auto& [channel, volume] : row["volume"].items()) {
            if (volume.value("value_percent", "") != "100%") return false;
        }
    }
    return found;
}

// What the server holds, for a failure's message: its defaults, sinks, sources and every
// playback and record stream with where it goes.
inline std::string soundPicture() {
    std::string out;
    for (const char* what : {"info", "list short sinks", "list short sources", "list short modules"}) {
        out += std::string("pactl ") + what + ":\n" + pactl(what).value_or("(no answer)\n");
    }
    out += "sink inputs:\n";
    for (const auto& row : sinkInputsJson()) {
        const auto& props = row.contains("properties") ? row["properties"] : Json::object();
        out += "  #" + std::to_string(row.value("index", 0u)) + " \"" + props.value("application.name", "") +
               "\" on sink " + std::to_string(row.value("sink", 0u)) + (row.value("mute", false) ? " muted" : "") +
               " volume " + (row.contains("volume") ? row["volume"].dump() : "?") + "\n";
    }
    out += "source outputs:\n" + pactl("list short source-outputs").value_or("(no answer)\n");
    return out;
}

// Polls until `condition` holds or `timeoutMs` passes.
inline bool eventually(const std::function<bool()>& condition, double timeoutMs = waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

// Waits until the recording's latest `loopSeconds` of `speech` hold it with at least
// `correlation`; the best value seen goes to `best`.
inline bool heard(const Recorder& recorder, const Audio& speech, double correlation, double& best,
                  double timeoutMs = 90000) {
    best = 0;
    const double window = loopSeconds(speech);
    return eventually(
        [&] {
            auto samples = recorder.samples();
            const auto keep = static_cast<std::size_t>(window * recorder.rate());
            if (samples.size() < keep) return false;
            samples.erase(samples.begin(), samples.end() - static_cast<long>(keep));
            best = std::max(best, correlationWith(speech, samples, recorder.rate()));
            return best >= correlation;
        },
        timeoutMs);
}

// The RMS of what `recorder` got from now on for `seconds`, measured once that much has arrived
// (however long the machine takes), not after a fixed sleep.
inline double levelOver(const Recorder& recorder, double seconds) {
    const std::size_t from = recorder.samples().size();
    const auto need = static_cast<std::size_t>(seconds * recorder.rate());
    std::vector<float> samples;
    eventually([&] {
        samples = recorder.samples();
        return samples.size() >= from + need;
    });
    if (samples.size() <= from) return 0;
    samples.resize(std::min(samples.size(), from + need));
    return rms(samples, from);
}

// Where the speech recorded in `reference` shows up in `other`, both recorded from about the same
// moment at `rate`: the best match of the loudest 1.5 s piece of `reference` between `minLag` and
// `maxLag` seconds later, and the least-squares gain of `other` against it at that lag (1: as
// loud as the reference). Compared at 1 kHz, as correlationWith does.
struct Echo {
    double lagSeconds = 0;
    double correlation = 0;
    double gain = 0;
};
inline Echo echoOf(const std::vector<float>& reference, const std::vector<float>& other, double rate, double minLag,
                   double maxLag) {
    constexpr double kRate = 1000;
    const auto ref = resampled(reference, rate, kRate);
    const auto got = resampled(other, rate, kRate);
    const auto piece = static_cast<std::size_t>(1.5 * kRate);
    const auto lagEnd = static_cast<std::size_t>(maxLag * kRate);
    if (ref.size() < piece + lagEnd || got.size() < piece + lagEnd) return {};
    std::size_t loudest = 0;
    double loudestRms = -1;
    for (std::size_t at = 0; at + piece + lagEnd <= std::min(ref.size(), got.size()); at += 100) {
        const double level = rms(std::vector<float>(ref.begin() + long(at), ref.begin() + long(at + piece)));
        if (level > loudestRms) loudestRms = level, loudest = at;
    }
    const std::vector<float> part(ref.begin() + long(loudest), ref.begin() + long(loudest + piece));
    const std::vector<float> window(got.begin() + long(loudest), got.begin() + long(loudest + piece + lagEnd));
    const Match match = bestMatch(part, window, long(minLag * kRate), long(lagEnd));
    double dot = 0, energy = 0;
    for (std::size_t i = 0; i < piece; ++i) {
        dot += double(window[std::size_t(match.lag) + i]) * part[i];
        energy += double(part[i]) * part[i];
    }
    return {double(match.lag) / kRate, match.correlation, energy > 0 ? dot / energy : 0};
}

// Records `reference` and `other` together until `seconds` of both are there.
inline std::pair<std::vector<float>, std::vector<float>> recordBoth(const std::string& reference,
                                                                     const std::string& other, double seconds) {
    Recorder a(reference);
    Recorder b(other);
    const auto need = static_cast<std::size_t>(seconds * a.rate());
    eventually([&] { return a.samples().size() >= need && b.samples().size() >= need; }, 4 * seconds * 1000 + 30000);
    return {a.samples(), b.samples()};
}

// The capture sink of a running listen direction, or "".
inline std::string tapSink() {
    for (const auto& [name, index] : sinks()) {
        if (name.rfind("quendra-tap-", 0) == 0) return name;
    }
    return "";
}

// True when every stream of `appName` plays into a capture sink: silent on the headphones but
// for what Ombrix replays.
inline bool captured(const std::string& appName) {
    const auto rows = inputsOf(appName);
    return !rows.empty() && std::all_of(rows.begin(), rows.end(),
                                        [](const SinkInputRow& r) { return r.sinkName.rfind("quendra-tap-", 0) == 0; });
}

// A shell word.
inline std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// One HTTPS request to a test peer on loopback (its control endpoints): the status, 0 when it
// did not answer, and the body.
inline std::pair<int, std::string> peerRequest(int port, const std::string& method, const std::string& path,
                                               const std::string& body = "") {
    static const char* script =
        "const [port, method, path, body] = process.argv.slice(1);"
        "const r = require('https').request({host: '127.0.0.1', port, path, method, rejectUnauthorized: false,"
        " headers: {'content-type': 'application/json'}}, (res) => { let b = '';"
        " res.on('data', (d) => b += d); res.on('end', () => process.stdout.write(res.statusCode + '\\n' + b)); });"
        "r.on('error', () => process.stdout.write('0\\n')); r.end(body);";
    const std::string command = "node -e " + shellQuoted(script) + " " + std::to_string(port) + " " +
                                shellQuoted(method) + " " + shellQuoted(path) + " " + shellQuoted(body);
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return {0, ""};
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof(buffer), p)) out.append(buffer, n);
    ::pclose(p);
    const auto newline = out.find('\n');
    if (newline == std::string::npos) return {0, ""};
    return {std::atoi(out.substr(0, newline).c_str()), out.substr(newline + 1)};
}

// The account service and both provider peers over TLS with a throw-away CA, and the environment
// that makes `ombrix` trust that CA and reach the peers under the providers' real host names.
struct ProviderPeers {
    std::unique_ptr<TestCa> ca;
    std::unique_ptr<PeerProcess> account, gemini, openai;

    static constexpr const char* loginCode = "123456";

    // Empty on success, else the reason.
    std::string start() {
        auto made = TestCa::create();
        if (!made) return made.error();
        ca = std::move(*made);
        auto a = startTlsPeer(*ca, "account/server.js", {"--code", loginCode});
        if (!a) return a.error();
        account = std::move(*a);
        auto g = startTlsPeer(*ca, "gemini/server.js");
        if (!g) return g.error();
        gemini = std::move(*g);
        auto o = startTlsPeer(*ca, "openai/server.js");
        if (!o) return o.error();
        openai = std::move(*o);
        return "";
    }

    std::map<std::string, std::string> environment() const {
        return {{"SSL_CERT_FILE", ca->caFile},
                {"SSL_CERT_DIR", ca->dir + "/none"},
                {"OMBRIX_CONNECT_TO", "generativelanguage.googleapis.com:443:127.0.0.1:" +
                                          std::to_string(gemini->port()) + ",api.openai.com:443:127.0.0.1:" +
                                          std::to_string(openai->port())}};
    }
    std::string serviceUrl() const { return "https://127.0.0.1:" + std::to_string(account->port()); }

    // One command to a provider peer; true when it took it.
    static bool command(const PeerProcess& peer, const std::string& line) {
        return peerRequest(peer.port(), "POST", "/control", line).first == 200;
    }
    // A one-shot scripted answer of the account service (see tests/peers/account/server.js).
    bool respond(const Json& answer) const {
        return peerRequest(account->port(), "POST", "/__control/respond", answer.dump()).first == 200;
    }
};

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (soundServerKind().empty()) GTEST_SKIP() << "needs tests/support/sound_with_server.sh";
        ASSERT_FALSE(speechA().samples.empty()) << "espeak-ng missing";
        // Settings and log of this test's own, whoever ran before in the same server.
        char folder[] = "/tmp/ombrix-e2e-home.XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        home = folder;
    }

    void TearDown() override {
        if (HasFailure() && ombrix) std::cerr << "ombrix standard error:\n" << ombrix->standardError() << "\n";
        if (HasFailure()) {
            std::ifstream log(home + "/state/ombrix/Ombrix.log");
            std::deque<std::string> last;
            for (std::string l; std::getline(log, l);) {
                last.push_back(l);
                if (last.size() > 80) last.pop_front();
            }
            std::cerr << "end of the log:\n";
            for (const auto& l : last) std::cerr << l << "\n";
        }
        ombrix.reset();
        std::error_code ignored;
        if (!home.empty()) std::filesystem::remove_all(home, ignored);
    }

    // Starts `ombrix` (again, when one ran before) and waits for its first lists.
    void launch(std::map<std::string, std::string> environment = {}) {
        ombrix.reset();
        environment.emplace("XDG_CONFIG_HOME", home + "/config");
        environment.emplace("XDG_STATE_HOME", home + "/state");
        // The single-instance socket lives in the temporary folder: tests running side by side
        // (one per sound server) must not find each other's program.
        environment.emplace("TMPDIR", home);
        std::string error;
        ombrix = Ombrix::start(environment, error);
        ASSERT_TRUE(ombrix) << error;
        ASSERT_TRUE(ombrix->waitFor([](const Json& s) { return !s["outputDevices"].empty(); }));
    }

    // Sends `request` and expects it to be accepted.
    Json send(const Json& request) {
        Json answer = ombrix->request(request);
        EXPECT_TRUE(answer.value("ok", false)) << request.dump() << " -> " << answer.dump();
        return answer;
    }

    bool waitFor(const Ombrix::Condition& condition, double timeoutMs = waitMs) {
        const bool held = ombrix->waitFor(condition, timeoutMs);
        if (!held) ADD_FAILURE() << "state never matched; last state: " << ombrix->state().dump(1);
        return held;
    }

    // Waits until the call application's stream is listed to Ombrix.
    bool appListed(const std::string& id = callAppId) {
        return waitFor([&](const Json& s) {
            for (const auto& app : s["apps"]) {
                if (app.value("id", "") == id) return true;
            }
            return false;
        });
    }

    // Starts the peers (once per test) and `ombrix` pointed at them.
    void launchWithPeers(std::map<std::string, std::string> environment = {}) {
        if (!peers.ca) {
            const std::string error = peers.start();
            ASSERT_TRUE(error.empty()) << error;
        }
        auto env = peers.environment();
        env.merge(environment);
        launch(env);
    }

    // Signs in through the account service peer, as a user does with the e-mail code.
    void signIn() {
        send(setRequest({{"serviceUrl", peers.serviceUrl()}}));
        send({{"op", "requestCode"}, {"email", "test@example.org"}});
        ASSERT_TRUE(waitFor([](const Json& s) { return !s["codeSentTo"].get<std::string>().empty(); }));
        send({{"op", "verify"}, {"code", ProviderPeers::loginCode}});
        ASSERT_TRUE(waitFor([](const Json& s) { return !s["account"].is_null() && s["signedIn"].get<bool>(); }));
    }

    std::string home;
    ProviderPeers peers;
    std::unique_ptr<Ombrix> ombrix;
};

}  // namespace quendra::test
