// How much delay the whole pipeline adds, on a real sound server: tone bursts go through capture,
// resampler, chunker, send gate, the provider link over TLS to an echoing test peer, the player and
// the playback stream, and are timed on the far sink's monitor by a probe process with the
// server's own stream clocks. The same probe times the server's own loopback (module-loopback
// between the same devices) and a direct path (played and recorded on one sink: the probe's own
// error) in the same run.
//
// Run inside tests/support/sound_with_pulseaudio.sh or sound_with_pipewire.sh:
//   pipeline_delay [--provider gemini|openai] [--markers N] [--interval-ms MS] [--gate on|off]
//                  [--cases direct,loopback-listen,listen,loopback-speak,speak] [--loopback-ms MS]
// Prints one table row per case (ms). The pipeline runs exactly as in the application (graphs,
// engine, sessions, links, players); only the original-sound paths are muted, so the monitor
// carries the translation alone.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "marker_probe.h"
#include "platform/net/core_queue.h"
#include "platform/net/http_fetch.h"
#include "platform/net/scheduler.h"
#include "platform/net/websocket.h"
#include "sound/graphs.h"
#include "sound/sound_server.h"
#include "sound/virtual_mic.h"
#include "support/peers.h"
#include "support/sound_clients.h"

namespace quendra::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kSession = "sess-bench-delay";

double nowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// Times every audio message the link sends until the echo of it comes back: the peer's and the
// network's share of a delay, which is not the pipeline's. Core queue only, apart from `take`.
class EchoTimes {
public:
    void sent() { pending_.push_back(nowMs()); }
    void received() {
        if (pending_.empty()) return;
        const double ms = nowMs() - pending_.front();
        pending_.pop_front();
        std::lock_guard lock(mutex_);
        times_.push_back(ms);
    }
    std::vector<double> take() {
        std::lock_guard lock(mutex_);
        return times_;
    }

private:
    std::deque<double> pending_;
    std::mutex mutex_;
    std::vector<double> times_;
};

// True when the Base64 PCM (16-bit little-endian) after `key` in a JSON text holds a sample at 1 %
// of full scale or more: the rule by which the voiced-only echo answers a chunk.
bool voicedPayload(const std::string& text, const std::string& key) {
    auto at = text.find(key);
    if (at == std::string::npos) return false;
    at += key.size();
    const auto end = text.find('"', at);
    if (end == std::string::npos) return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<unsigned char> bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (auto i = at; i < end; ++i) {
        const int v = value(text[i]);
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes.push_back(static_cast<unsigned char>((bits >> count) & 0xff));
        }
    }
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (std::abs(static_cast<int>(sample)) >= 328) return true;
    }
    return false;
}

class TimedSocket : public WebSocketLike, public std::enable_shared_from_this<TimedSocket> {
public:
    static std::shared_ptr<TimedSocket> wrap(std::shared_ptr<WebSocketLike> inner, std::shared_ptr<EchoTimes> times) {
        auto s = std::shared_ptr<TimedSocket>(new TimedSocket(std::move(inner), std::move(times)));
        std::weak_ptr<TimedSocket> weak = s;
        s->inner_->onOpen = [weak] {
            if (auto t = weak.lock(); t && t->onOpen) t->onOpen();
        };
        s->inner_->onMessage = [weak](const std::string& text) {
            auto t = weak.lock();
            if (!t) return;
            if (text.find("\"inlineData\"") != std::string::npos ||
                text.find("\"session.output_audio.delta\"") != std::string::npos)
                t->times_->received();
            if (t->onMessage) t->onMessage(text);
        };
        s->inner_->onClose = [weak](int code, const std::string& reason) {
            if (auto t = weak.lock(); t && t->onClose) t->onClose(code, reason);
        };
        return s;
    }
    bool isOpen() const override { return inner_->isOpen(); }
    void send(const std::string& text) override {
        // The peer echoes only voiced chunks: time those alone, so that each echo pairs with its chunk.
        if (inner_->isOpen() &&
            ((text.find("\"realtimeInput\":{\"audio\"") != std::string::npos && voicedPayload(text, "\"data\":\"")) ||
             (text.find("input_audio_buffer.append") != std::string::npos && voicedPayload(text, "\"audio\":\""))))
            times_->sent();
        inner_->send(text);
    }
    void close(int code, const std::string& reason) override { inner_->close(code, reason); }

private:
    TimedSocket(std::shared_ptr<WebSocketLike> inner, std::shared_ptr<EchoTimes> times)
        : inner_(std::move(inner)), times_(std::move(times)) {}
    std::shared_ptr<WebSocketLike> inner_;
    std::shared_ptr<EchoTimes> times_;
};

struct Options {
    std::string provider = "gemini";
    int markers = 40;
    double intervalMs = 1000;
    bool gate = false;
    double loopbackMs = 30;
    std::vector<std::string> cases = {"direct", "loopback-listen", "listen", "loopback-speak", "speak"};
};

// The probe as a child process: this same program with "probe" first.
class ProbeChild {
public:
    ProbeChild(const ProbeOptions& o) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        std::vector<std::string> args = {"/proc/self/exe", "probe", "--play-sink", o.playSink, "--record", o.recordSource,
                                         "--markers", std::to_string(o.markers), "--interval-ms",
                                         std::to_string(o.intervalMs)};
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv("/proc/self/exe", argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }
    ~ProbeChild() {
        if (toChild_ >= 0) close(toChild_);
        if (fromChild_ >= 0) close(fromChild_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The next line, pumping `main` meanwhile; none at the end or after `timeoutMs`.
    std::optional<std::string> line(test::TestMain& main, double timeoutMs) {
        const double until = nowMs() + timeoutMs;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            if (nowMs() > until || fromChild_ < 0) return std::nullopt;
            main.pump();
            pollfd p{fromChild_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char chunk[512];
                const auto n = read(fromChild_, chunk, sizeof chunk);
                if (n <= 0) {
                    close(fromChild_);
                    fromChild_ = -1;
                    if (buffer_.empty()) return std::nullopt;
                    buffer_ += '\n';
                } else {
                    buffer_.append(chunk, static_cast<std::size_t>(n));
                }
            }
        }
    }
    void go() { (void)!write(toChild_, "go\n", 3); }

private:
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
    std::string buffer_;
};

struct CaseResult {
    std::string name;
    std::vector<double> delays;
    int missing = 0;
    std::vector<double> echo;
    std::string note;
};

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(q * double(v.size()))) - (q > 0 ? 1 : 0);
    return v[std::min(i, v.size() - 1)];
}

class Bench {
public:
    explicit Bench(Options o) : options_(std::move(o)) {}

    int run() {
        auto ca = test::TestCa::create();
        if (!ca) return fail("test CA: " + ca.error());
        ca_ = std::move(*ca);
        ca_->trustInThisProcess();

        SoundServerOptions so;
        so.postToMain = main_.poster();
        so.logger = logger("sound");
        so.guardPath = OMBRIX_SOUND_GUARD;
        server_ = SoundServer::create(so);
        if (!main_.waitUntil([&] { return server_->connected(); }) || !server_->sync()) return fail("no sound server");
        mic_ = VirtualMicrophone::ensure(server_, logger("sound"));
        if (!main_.waitUntil([&] { return server_->device(VirtualMicrophone::sinkName).has_value(); }))
            return fail("the virtual microphone did not appear");

        std::vector<CaseResult> results;
        for (const auto& c : options_.cases) {
            std::fprintf(stderr, "== %s\n", c.c_str());
            auto r = runCase(c);
            if (!r) return 1;
            results.push_back(*r);
        }
        print(results);
        return 0;
    }

private:
    Logger logger(const std::string& tag) {
        Logger l;
        l.debug = [tag](const std::string& line) { std::fprintf(stderr, "[%s] %s\n", tag.c_str(), line.c_str()); };
        l.warn = [tag](const std::string& line) {
            std::fprintf(stderr, "[%s] ATTENZIONE %s\n", tag.c_str(), line.c_str());
        };
        return l;
    }
    int fail(const std::string& why) {
        std::fprintf(stderr, "pipeline_delay: %s\n", why.c_str());
        return 1;
    }

    std::optional<CaseResult> runCase(const std::string& name) {
        ProbeOptions probe;
        probe.markers = options_.markers;
        probe.intervalMs = options_.intervalMs;
        const std::string voce = VirtualMicrophone::sinkName;
        std::optional<std::string> loopModule;
        bool listen = false, speak = false;
        if (name == "direct") {
            probe.playSink = "headphones";
            probe.recordSource = "headphones.monitor";
        } else if (name == "loopback-listen" || name == "loopback-speak") {
            const bool l = name == "loopback-listen";
            probe.playSink = l ? "speakers" : "microphone";
            probe.recordSource = (l ? std::string("headphones") : voce) + ".monitor";
            loopModule = test::pactl("load-module module-loopback source=" + probe.playSink + ".monitor sink=" +
                                     (l ? std::string("headphones") : voce) +
                                     " latency_msec=" + std::to_string(int(options_.loopbackMs)) +
                                     " source_dont_move=true sink_dont_move=true");
            if (!loopModule) {
                fail("module-loopback did not load");
                return std::nullopt;
            }
        } else if (name == "listen") {
            listen = true;
            probe.playSink = "";  // the default sink, where a call application plays
            probe.recordSource = "headphones.monitor";
        } else if (name == "speak") {
            speak = true;
            probe.playSink = "microphone";  // its monitor is the default source
            probe.recordSource = voce + ".monitor";
        } else {
            fail("unknown case " + name);
            return std::nullopt;
        }

        CaseResult result;
        result.name = name;
        auto echo = std::make_shared<EchoTimes>();
        std::unique_ptr<CoreQueue> queue;
        std::shared_ptr<TranslationEngine> engine;
        std::unique_ptr<ListenGraph> listenGraph;
        std::unique_ptr<SpeakGraph> speakGraph;
        std::unique_ptr<test::PeerProcess> account, provider;
        auto stopAll = [&] {
            if (listenGraph) listenGraph->stop();
            if (speakGraph) speakGraph->stop();
            if (engine) {
                auto done = std::make_shared<std::promise<void>>();
                auto f = done->get_future();
                queue->post([&engine, done] {
                    engine->stop();
                    engine.reset();
                    done->set_value();
                });
                f.wait();
            }
            listenGraph.reset();
            speakGraph.reset();
            queue.reset();
            main_.pump();
            if (loopModule) (void)test::pactl("unload-module " + *loopModule);
        };

        if (listen || speak) {
            auto acc = test::startTlsPeer(*ca_, "account/server.js", {"--session", kSession});
            const std::string script = options_.provider + "/server.js";
            // Voiced chunks only, as a provider answers speech: the player empties between bursts,
            // and a burst delayed by a starved machine does not delay every later one.
            auto prov = test::startTlsPeer(*ca_, script, {"--echo-voiced"});
            if (!acc || !prov) {
                fail("peers: " + (acc ? prov.error() : acc.error()));
                return std::nullopt;
            }
            account = std::move(*acc);
            provider = std::move(*prov);
            NetTuning tuning;
            const std::string host =
                options_.provider == "gemini" ? "generativelanguage.googleapis.com" : "api.openai.com";
            tuning.connectTo =
                std::vector<ConnectTo>{{host, 443, "127.0.0.1", static_cast<std::uint16_t>(provider->port())}};
            queue = std::make_unique<CoreQueue>();
            auto scheduler = std::make_shared<AsioScheduler>(*queue);
            auto sockets = makeSocketFactory(*queue, tuning);
            SocketFactory timed = [sockets, echo](const std::string& url, const std::vector<std::string>& protocols) {
                return std::static_pointer_cast<WebSocketLike>(TimedSocket::wrap(sockets(url, protocols), echo));
            };
            Settings s;
            s.provider = options_.provider;
            s.serviceUrl = "https://127.0.0.1:" + std::to_string(account->port());
            s.sessionToken = kSession;
            s.silenceGate = options_.gate;
            s.listenEnabled = listen;
            s.listenTarget = probe.appId;
            s.speakOutputUID = voce;
            // The application's ports; the graphs get the same player and translation ramp but a
            // muted original, so that the far monitor holds the translation alone.
            auto makePorts = [](float translated) {
                return AudioPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5),
                                  std::make_shared<GainRamp>(48000, 1.0f), std::make_shared<GainRamp>(24000, translated)};
            };
            listenPorts_ = makePorts(1.0f);
            speakPorts_ = makePorts(0.0f);
            auto done = std::make_shared<std::promise<void>>();
            auto f = done->get_future();
            queue->post([&, scheduler, timed, done, s] {
                engine = std::make_shared<TranslationEngine>(s, scheduler, timed, makeFetch(*queue, tuning),
                                                             listenPorts_, speakPorts_, logger("engine"));
                engine->start(std::nullopt, speak ? std::nullopt : std::optional<std::string>("misura: parlato spento"));
                done->set_value();
            });
            f.wait();
            const bool open = main_.waitUntil(
                [&] {
                    auto st = std::make_shared<std::promise<LinkState>>();
                    auto fs = st->get_future();
                    queue->post([&engine, st, listen] {
                        st->set_value(listen ? engine->status().listenState : engine->status().speakState);
                    });
                    return fs.get() == LinkState::open;
                },
                30000);
            if (!open) {
                fail("the link did not open");
                stopAll();
                return std::nullopt;
            }
        }

        ProbeChild child(probe);
        auto ready = child.line(main_, 20000);
        if (!ready || *ready != "ready") {
            fail("probe did not start");
            stopAll();
            return std::nullopt;
        }
        if (listen || speak) {
            const PostFunction postToCore = [q = queue.get()](std::function<void()> task) { q->post(std::move(task)); };
            std::weak_ptr<TranslationEngine> weak = engine;
            const auto zero = std::make_shared<GainRamp>(48000, 0.0f);
            if (listen) {
                listenGraph = std::make_unique<ListenGraph>(server_, postToCore, logger("graph"));
                // The probe's stream must be listed before the capture can take it.
                (void)main_.waitUntil([&] {
                    for (const auto& p : server_->audioProcesses())
                        if (p.appId == probe.appId) return true;
                    return false;
                });
                AudioPorts ports{listenPorts_.player, zero, listenPorts_.translated};
                auto started = listenGraph->start(probe.appId, ports,
                                                  [weak](std::vector<std::int16_t> chunk) {
                                                      if (auto e = weak.lock()) e->listenChunk(chunk);
                                                  },
                                                  [] {});
                if (!started) {
                    fail("listen graph: " + audioErrorMessage(started.error()));
                    stopAll();
                    return std::nullopt;
                }
            } else {
                speakGraph = std::make_unique<SpeakGraph>(server_, postToCore, logger("graph"));
                AudioPorts ports{speakPorts_.player, zero, speakPorts_.translated};
                auto started = speakGraph->start(voce, ports,
                                                 [weak](std::vector<std::int16_t> chunk) {
                                                     if (auto e = weak.lock()) e->micChunk(chunk);
                                                 },
                                                 [] {});
                if (!started) {
                    fail("speak graph: " + audioErrorMessage(started.error()));
                    stopAll();
                    return std::nullopt;
                }
            }
        }
        main_.pump();
        child.go();
        // Where the time goes: what the server says about each sink's and stream's latency.
        (void)main_.waitUntil([] { return false; }, 3000);
        if (auto sinks = test::pactl("list sinks"); sinks) printLatencies("sink", *sinks);
        if (auto inputs = test::pactl("list sink-inputs"); inputs) printLatencies("sink-input", *inputs);
        if (auto outputs = test::pactl("list source-outputs"); outputs) printLatencies("source-output", *outputs);
        const double limit = 1500 + options_.markers * options_.intervalMs + 30000;
        while (auto l = child.line(main_, limit)) {
            if (l->rfind("delay ", 0) == 0) {
                result.delays.push_back(std::stod(l->substr(6)));
                std::fprintf(stderr, "%s %s\n", name.c_str(), l->c_str());
            } else if (*l == "missing") {
                result.missing += 1;
            }
        }
        stopAll();
        result.echo = echo->take();
        return result;
    }

    // The name and latency lines of `pactl list` output, one line per object, on stderr.
    static void printLatencies(const std::string& kind, const std::string& listing) {
        std::stringstream in(listing);
        std::string line, row;
        auto flush = [&] {
            if (!row.empty()) std::fprintf(stderr, "latency %s:%s\n", kind.c_str(), row.c_str());
            row.clear();
        };
        while (std::getline(in, line)) {
            const auto text = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
            if (text.rfind("Sink #", 0) == 0 || text.rfind("Sink Input #", 0) == 0 ||
                text.rfind("Source Output #", 0) == 0)
                flush();
            if (text.rfind("Name:", 0) == 0 || text.rfind("Latency:", 0) == 0 || text.rfind("Buffer Latency:", 0) == 0 ||
                text.rfind("Sink Latency:", 0) == 0 || text.rfind("Source Latency:", 0) == 0 ||
                text.rfind("application.name = ", 0) == 0 || text.rfind("Sink:", 0) == 0 || text.rfind("Source:", 0) == 0)
                row += " " + text + ";";
        }
        flush();
    }

    void print(const std::vector<CaseResult>& results) {
        std::printf("server %s, provider %s (echo), send gate %s, %d bursts every %.0f ms, loopback latency_msec=%.0f\n",
                    test::soundServerKind().c_str(), options_.provider.c_str(), options_.gate ? "on" : "off",
                    options_.markers, options_.intervalMs, options_.loopbackMs);
        std::printf("%-16s %5s %5s %8s %8s %8s %10s %10s\n", "case", "n", "lost", "p50", "p95", "max", "echo p50",
                    "echo p95");
        for (const auto& r : results) {
            std::printf("%-16s %5zu %5d %8.1f %8.1f %8.1f", r.name.c_str(), r.delays.size(), r.missing,
                        percentile(r.delays, 0.5), percentile(r.delays, 0.95), percentile(r.delays, 1.0));
            if (!r.echo.empty())
                std::printf(" %10.2f %10.2f", percentile(r.echo, 0.5), percentile(r.echo, 0.95));
            std::printf("\n");
        }
        std::fflush(stdout);
    }

    Options options_;
    test::TestMain main_;
    std::unique_ptr<test::TestCa> ca_;
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<VirtualMicrophone> mic_;
    AudioPorts listenPorts_, speakPorts_;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

}  // namespace
}  // namespace quendra::bench

int main(int argc, char** argv) {
    using namespace quendra::bench;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](std::size_t& i) -> std::string {
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "missing value after %s\n", args[i].c_str());
            std::exit(2);
        }
        return args[++i];
    };
    if (!args.empty() && args[0] == "probe") {
        ProbeOptions o;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--play-sink") o.playSink = value(i);
            else if (args[i] == "--record") o.recordSource = value(i);
            else if (args[i] == "--markers") o.markers = std::stoi(value(i));
            else if (args[i] == "--interval-ms") o.intervalMs = std::stod(value(i));
        }
        return runProbe(o);
    }
    if (quendra::test::soundServerKind().empty()) {
        std::fprintf(stderr, "run inside tests/support/sound_with_pulseaudio.sh or sound_with_pipewire.sh\n");
        return 2;
    }
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--provider") o.provider = value(i);
        else if (args[i] == "--markers") o.markers = std::stoi(value(i));
        else if (args[i] == "--interval-ms") o.intervalMs = std::stod(value(i));
        else if (args[i] == "--gate") o.gate = value(i) == "on";
        else if (args[i] == "--loopback-ms") o.loopbackMs = std::stod(value(i));
        else if (args[i] == "--cases") o.cases = split(value(i));
        else {
            std::fprintf(stderr, "unknown option %s\n", args[i].c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return Bench(o).run();
}
