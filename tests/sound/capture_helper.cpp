// A program that captures an application and then waits to be killed: the crash-safety tests
// kill it with SIGKILL. Usage: sound_capture_helper <guard> <app id or "">; prints "ready" once
// the application's streams are on the capture sink. With --listen as the app id it starts a
// listen graph on the whole computer instead, prints "started" or the error's text, and ends:
// for a server that only a process of its own may reach (through PULSE_SERVER).
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "sound/capture.h"
#include "sound/graphs.h"
#include "sound/sound_server.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    quendra::SoundServerOptions options;
    options.postToMain = [](std::function<void()>) {};
    options.guardPath = argv[1];
    auto server = quendra::SoundServer::create(options);
    if (!server->sync(10000)) return 3;
    if (std::string(argv[2]) == "--listen") {
        quendra::ListenGraph graph(server, [](std::function<void()>) {}, quendra::Logger{});
        const quendra::AudioPorts ports{std::make_shared<quendra::PullPlayer>(24000, 60, 5, 30, 5),
                                        std::make_shared<quendra::GainRamp>(48000, 1.0f),
                                        std::make_shared<quendra::GainRamp>(24000, 1.0f)};
        auto started = graph.start("", ports, [](std::vector<std::int16_t>) {}, [] {});
        std::printf("%s\n", started ? "started" : quendra::audioErrorMessage(started.error()).c_str());
        return 0;
    }
    quendra::AppCapture capture(server);
    if (!capture.prepare(argv[2])) return 4;
    if (!capture.run([](const float*, std::size_t, std::uint32_t) {})) return 5;
    std::printf("ready %s\n", capture.sinkName().c_str());
    std::fflush(stdout);
    for (;;) ::pause();
}
