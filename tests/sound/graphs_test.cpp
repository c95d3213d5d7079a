// The listen and speak graphs on the private server: what reaches each sink, measured on its
// monitor, what reaches the model, and the errors.
#include <thread>

#include "core/audio/pcm.h"
#include "platform/net/core_queue.h"
#include "sound/graphs.h"
#include "sound_fixture.h"

namespace quendra::test {
namespace {

struct Chunks {
    std::mutex mutex;
    std::vector<float> samples;
    bool allFull = true;
    OnChunk sink() {
        return [this](std::vector<std::int16_t> chunk) {
            std::lock_guard lock(mutex);
            allFull = allFull && chunk.size() == 1600;
            for (auto s : chunk) samples.push_back(static_cast<float>(s) / 32768.0f);
        };
    }
    std::vector<float> get() {
        std::lock_guard lock(mutex);
        return samples;
    }
};

AudioPorts makePorts(double originalRate) {
    return AudioPorts{std::make_shared<PullPlayer>(24000, 60, 5, 30, 5), std::make_shared<GainRamp>(originalRate, 1.0f),
                      std::make_shared<GainRamp>(24000, 1.0f)};
}

// Queues `speech` in the player on the core queue, as the session does.
void playTranslation(CoreQueue& core, const AudioPorts& ports, const Audio& speech) {
    const auto at24k = resampled(speech.samples, speech.sampleRate, 24000);
    std::vector<std::int16_t> pcm(at24k.size());
    for (std::size_t i = 0; i < at24k.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(std::lround(std::clamp(at24k[i], -1.0f, 1.0f) * 32767.0f));
    core.post([player = ports.player, pcm] {
        for (std::size_t i = 0; i < pcm.size(); i += 2400)
            player->enqueue(std::span<const std::int16_t>(pcm.data() + i, std::min<std::size_t>(2400, pcm.size() - i)));
    });
}

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

class GraphTest : public SoundTest {
protected:
    Logger logger() {
        Logger l;
        l.debug = [this](const std::string& line) { log(line); };
        l.warn = [this](const std::string& line) { log("ATTENZIONE " + line); };
        return l;
    }
    PostFunction postToCore() {
        return [this](std::function<void()> task) { core.post(std::move(task)); };
    }
    CoreQueue core;
};

TEST_F(GraphTest, ListenReplaysTheCapturedAppAtTheOriginalGainAndPlaysTheTranslation) {
    Player call(speechA(), "Teams", "com.microsoft.teams");
    ASSERT_TRUE(waitOnSink("Teams", "headphones"));
    ASSERT_TRUE(server->sync());
    ListenGraph graph(server, postToCore(), logger());
    auto ports = makePorts(48000);
    Chunks chunks;
    int configChanges = 0;
    auto started = graph.start("com.microsoft.teams", ports, chunks.sink(), [&] { ++configChanges; });
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    ASSERT_TRUE(waitOnTap("Teams"));
    // Our own streams stay on the headphones.
    for (auto& r : inputsOf("Ombrix")) EXPECT_EQ(r.sinkName, "headphones");
    EXPECT_TRUE(loggedLineStarting(
        "ascolto: avvio; cattura 48000.0 Hz, 2 canali, uscita 48000.0 Hz, dispositivo headphones, app "
        "«com.microsoft.teams»; latenza traduzione "));

    double fullRms = 0;
    {
        Recorder headphones("headphones.monitor");
        sleepSeconds(loopSeconds(speechA()));
        const auto got = headphones.samples();
        // The call reaches the headphones only through our original path...
        EXPECT_GT(correlationWith(speechA(), got), 0.5);
        fullRms = rms(got);
    }
    // ...and the model gets it in 1600-sample chunks at 16 kHz.
    EXPECT_GT(correlationWith(speechA(), chunks.get()), 0.6);
    EXPECT_TRUE(chunks.allFull);

    // Ducked: the same call at a quarter of the level.
    ports.original->ramp(0.25, 5);
    {
        Recorder headphones("headphones.monitor");
        sleepSeconds(loopSeconds(speechA()));
        const double ratio = rms(headphones.samples()) / fullRms;
        EXPECT_GT(ratio, 0.15);
        EXPECT_LT(ratio, 0.4);
    }

    // The translation plays on the headphones too.
    ports.original->ramp(0, 5);
    {
        Recorder headphones("headphones.monitor");
        sleepSeconds(0.5);
        playTranslation(core, ports, speechB());
        sleepSeconds(loopSeconds(speechB()) / 2 + 1.5);
        const auto got = headphones.samples();
        EXPECT_GT(correlationWith(speechB(), got), 0.5);
        EXPECT_LT(correlationWith(speechA(), got), 0.3);
    }
    EXPECT_TRUE(loggedLineStarting("ascolto: cattura ")) << "no statistics line";

    graph.stop();
    EXPECT_TRUE(waitOnSink("Teams", "headphones"));
    EXPECT_TRUE(inputsOf("Ombrix").empty());
    EXPECT_FALSE(anyTapSink());
    // No statistics line after stop.
    const auto before = logged().size();
    sleepSeconds(2.5);
    EXPECT_EQ(logged().size(), before);
}

TEST_F(GraphTest, WholeComputerListenLeavesOurOwnStreamsAlone) {
    Player call(speechA(), "Meet", "com.google.meet");
    ASSERT_TRUE(waitOnSink("Meet", "headphones"));
    ListenGraph graph(server, postToCore(), logger());
    auto ports = makePorts(48000);
    Chunks chunks;
    auto started = graph.start("", ports, chunks.sink(), [] {});
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    ASSERT_TRUE(waitOnTap("Meet"));
    Player later(speechB(), "Slack", "com.slack.Slack");
    ASSERT_TRUE(waitOnTap("Slack"));
    sleepSeconds(1);
    auto ours = inputsOf("Ombrix");
    EXPECT_EQ(ours.size(), 2u);
    for (auto& r : ours) EXPECT_EQ(r.sinkName, "headphones");
    EXPECT_TRUE(loggedLineStarting("ascolto: avvio; cattura 48000.0 Hz, 2 canali, uscita 48000.0 Hz, dispositivo "
                                   "headphones, app «tutto il computer»"));
    graph.stop();
    EXPECT_TRUE(waitOnSink("Meet", "headphones"));
    EXPECT_TRUE(waitOnSink("Slack", "headphones"));
}

TEST_F(GraphTest, ListenErrorsLeaveNothingRerouted) {
    Player other(speechA(), "Musica", "org.example.music");
    ASSERT_TRUE(waitOnSink("Musica", "headphones"));
    ListenGraph graph(server, postToCore(), logger());
    auto result = graph.start("com.example.not-running", makePorts(48000), [](std::vector<std::int16_t>) {}, [] {});
    ASSERT_FALSE(result);
    const std::string message =
        "L'app da ascoltare non è aperta o non ha ancora usato l'audio. Avvia la chiamata (o fai partire un suono) e "
        "riprova, oppure scegli «Tutto il computer».";
    EXPECT_EQ(audioErrorMessage(result.error()), message);
    EXPECT_TRUE(loggedLineStarting("ascolto: ERRORE all'avvio: " + message));
    EXPECT_FALSE(graph.running());
    ASSERT_TRUE(server->sync());
    EXPECT_TRUE(inputsOf("Ombrix").empty());
    EXPECT_FALSE(anyTapSink());
    EXPECT_EQ(inputsOf("Musica").at(0).sinkName, "headphones");
}

TEST_F(GraphTest, SpeakPlaysTheMicrophonesFirstChannelAndTheTranslationOnTheChosenSinkOnly) {
    // The test microphone is stereo: the user's voice on the left, something else on the right.
    StereoPlayer voice(speechA(), speechB(), "Voce di prova", "microphone");
    SpeakGraph graph(server, postToCore(), logger());
    auto ports = makePorts(48000);
    Chunks chunks;
    auto started = graph.start("speakers", ports, chunks.sink(), [] {});
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    {
        Recorder speakers("speakers.monitor");
        Recorder headphones("headphones.monitor");
        // One repeat of the stereo player lasts as long as the longer sentence.
        sleepSeconds(std::max(loopSeconds(speechA()), loopSeconds(speechB())));
        const auto got = speakers.samples();
        EXPECT_GT(correlationWith(speechA(), got), 0.5);
        EXPECT_LT(correlationWith(speechB(), got), 0.3);
        EXPECT_LT(rms(headphones.samples()), 1e-4);
    }
    EXPECT_GT(correlationWith(speechA(), chunks.get()), 0.6);
    EXPECT_LT(correlationWith(speechB(), chunks.get()), 0.3);
    EXPECT_TRUE(chunks.allFull);

    // Translation only (the own voice ramped away).
    ports.original->ramp(0, 5);
    {
        Recorder speakers("speakers.monitor");
        Recorder headphones("headphones.monitor");
        sleepSeconds(0.5);
        playTranslation(core, ports, speechB());
        sleepSeconds(loopSeconds(speechB()) / 2 + 1.5);
        EXPECT_GT(correlationWith(speechB(), speakers.samples()), 0.5);
        EXPECT_LT(rms(headphones.samples()), 1e-4);
    }
    graph.stop();
    EXPECT_TRUE(main.waitUntil([] { return inputsOf("Ombrix").empty(); }));
}

TEST_F(GraphTest, SpeakErrors) {
    SpeakGraph graph(server, postToCore(), logger());
    auto result = graph.start("no-such-device", makePorts(48000), [](std::vector<std::int16_t>) {}, [] {});
    ASSERT_FALSE(result);
    EXPECT_EQ(audioErrorMessage(result.error()).rfind("Non riesco a usare il dispositivo di uscita scelto: ", 0), 0u);
    EXPECT_FALSE(graph.running());
    ASSERT_TRUE(server->sync());
    EXPECT_TRUE(inputsOf("Ombrix").empty());
}

// The chosen device disappears while the graph plays: a configuration change reaches the main
// thread, and nothing of ours plays anywhere else.
TEST_F(GraphTest, SpeakDeviceGoneMidRunIsAConfigurationChange) {
    const auto module = pactl("load-module module-null-sink sink_name=gone rate=48000 "
                              "\"sink_properties=\\\"device.description='Va via'\\\"\"");
    ASSERT_TRUE(module);
    ASSERT_TRUE(main.waitUntil([&] { return server->device("gone").has_value(); }));
    SpeakGraph graph(server, postToCore(), logger());
    int changes = 0;
    auto started = graph.start("gone", makePorts(48000), [](std::vector<std::int16_t>) {}, [&] { ++changes; });
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    ASSERT_TRUE(pactl("unload-module " + *module));
    EXPECT_TRUE(main.waitUntil([&] { return changes > 0; }));
    for (auto& r : inputsOf("Ombrix")) EXPECT_NE(r.sinkName, "headphones");
    graph.stop();
}

}  // namespace
}  // namespace quendra::test

namespace quendra::test {
namespace {

// The server goes away while the listen graph runs, and comes back: the layer says so (a
// configuration change, empty lists), reconnects, and nothing of ours is left on the new server.
TEST_F(GraphTest, ServerGoneMidRunAndBack) {
    const char* restart = std::getenv("OMBRIX_TEST_RESTART_SERVER");
    if (soundServerKind() != "pulseaudio" || !restart) GTEST_SKIP() << "restarting is scripted for PulseAudio only";
    auto call = std::make_unique<Player>(speechA(), "Webex", "com.cisco.webex");
    ASSERT_TRUE(waitOnSink("Webex", "headphones"));
    ListenGraph graph(server, postToCore(), logger());
    int changes = 0;
    auto started = graph.start("com.cisco.webex", makePorts(48000), [](std::vector<std::int16_t>) {}, [&] { ++changes; });
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    ASSERT_TRUE(waitOnTap("Webex"));

    ASSERT_TRUE(pactl("exit"));
    EXPECT_TRUE(main.waitUntil([&] { return changes > 0 && !server->connected() && server->outputDevices().empty(); }));
    call.reset();
    ASSERT_EQ(std::system(restart), 0);
    EXPECT_TRUE(main.waitUntil([&] { return server->connected() && server->device("headphones").has_value(); }));
    graph.stop();
    EXPECT_FALSE(anyTapSink());

    // And the layer works on the new server.
    Player again(speechA(), "Webex", "com.cisco.webex");
    ASSERT_TRUE(waitOnSink("Webex", "headphones"));
    ASSERT_TRUE(server->sync());
    started = graph.start("com.cisco.webex", makePorts(48000), [](std::vector<std::int16_t>) {}, [] {});
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    EXPECT_TRUE(waitOnTap("Webex"));
    graph.stop();
    EXPECT_TRUE(waitOnSink("Webex", "headphones"));
}

}  // namespace
}  // namespace quendra::test
