// A program that captures an application and then waits to be killed: the crash-safety tests
// kill it with SIGKILL. Usage: sound_capture_helper <guard> <app id or "">; prints "ready" once
// the application's streams are on the capture sink.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "sound/capture.h"
#include "sound/sound_server.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    quendra::SoundServerOptions options;
    options.postToMain = [](std::function<void()>) {};
    options.guardPath = argv[1];
    auto server = quendra::SoundServer::create(options);
    if (!server->sync(10000)) return 3;
    quendra::AppCapture capture(server);
    if (!capture.prepare(argv[2])) return 4;
    if (!capture.run([](const float*, std::size_t, std::uint32_t) {})) return 5;
    std::printf("ready %s\n", capture.sinkName().c_str());
    std::fflush(stdout);
    for (;;) ::pause();
}
