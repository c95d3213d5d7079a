// The `ombrix` desktop application: the core queue, the sound layer, the application model and
// the Qt windows, started in that order and stopped in the reverse one.
#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "app/control_channel.h"
#include "app/model/app_model.h"
#include "app/platform_bindings.h"
#include "app/panel/app_windows.h"
#include "app/panel/qt_main_queue.h"
#include "app/panel/single_instance.h"
#include "app/sound_bindings.h"
#include "platform/brand.h"
#include "platform/net/core_queue.h"
#include "platform/storage/file_log.h"
#include "platform/storage/keychain.h"
#include "platform/storage/process_secrets.h"
#include "platform/storage/settings_store.h"
#include "sound/sound_server.h"
#include "sound/virtual_mic.h"

namespace quendra {
namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int signal) {
    const char byte = static_cast<char>(signal);
    (void)!::write(signalPipe[1], &byte, 1);
}

// SIGTERM (logout, shutdown) and SIGINT end the application as "Esci" does, so the captured
// application goes back where it was before the process ends.
void quitOnTerminationSignals(QApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        (void)!::read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action{};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

Logger stderrLogger() {
    Logger logger;
    logger.debug = [](const std::string& line) { FileLog::shared().write(line); };
    logger.warn = [](const std::string& line) {
        FileLog::shared().write("ATTENZIONE " + line);
        std::fprintf(stderr, "ATTENZIONE %s\n", line.c_str());
    };
    return logger;
}

int run(int argc, char** argv) {
    if (auto problem = protectProcessSecrets()) std::fprintf(stderr, "ATTENZIONE %s\n", problem->c_str());

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(Brand::applicationId.data(), Brand::applicationId.size()));
    QApplication::setApplicationDisplayName(QString::fromUtf8(Brand::name.data(), Brand::name.size()));
    QGuiApplication::setDesktopFileName(QStringLiteral("ombrix"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("ombrix"), QIcon(QStringLiteral(":/ombrix/ombrix.svg"))));
    // With a tray the application lives on when its window is closed; "Esci" ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (!instance.claim()) return 0;  // the running instance shows its window instead
    quitOnTerminationSignals(app);

    FileLog& log = FileLog::shared();
    const Logger logger = stderrLogger();
    CoreQueue& queue = coreQueue();
    auto keychain = std::make_shared<SecretServiceKeychain>(logger);
    AppModelDependencies deps = platformDependencies(queue, log, keychain, SettingsStore::defaultFolder());
    auto mainQueue = std::make_shared<QtMainQueue>(&app);
    deps.mainQueue = mainQueue;

    SoundServerOptions soundOptions;
    soundOptions.postToMain = [mainQueue](std::function<void()> task) { mainQueue->post(std::move(task)); };
    soundOptions.logger = logger;
    auto server = SoundServer::create(std::move(soundOptions));
    // Before the model's first device list, so that the automatic choice can pick "Ombrix Voce".
    auto virtualMicrophone = VirtualMicrophone::ensure(server, logger);
    auto ended = std::make_shared<ApplicationEndedHandler>();
    const PostFunction postToCore = [&queue](std::function<void()> task) { queue.post(std::move(task)); };
    deps.sound = std::make_shared<PulseSoundSystem>(server, ended);
    deps.listenGraph = std::make_shared<PulseListenGraph>(server, ended, postToCore, logger);
    deps.speakGraph = std::make_shared<PulseSpeakGraph>(server, postToCore, logger);

    auto model = AppModel::create(std::move(deps));
    // Diagnostics: a shorter idle stop than the quarter of an hour, so that it can be tried out.
    if (auto seconds = environmentValue("OMBRIX_IDLE_SECONDS")) {
        char* end = nullptr;
        const double value = std::strtod(seconds->c_str(), &end);
        if (end != seconds->c_str() && *end == '\0' && value > 0 && value * 1000 < TranslationEngine::idleMs) {
            queue.post([engine = model->engine(), ms = value * 1000] { engine->idleAfterMs = ms; });
        } else {
            logger.warn("OMBRIX_IDLE_SECONDS ignorato: " + *seconds);
        }
    }
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    auto window = std::make_unique<MainWindow>(model, hasTray);
    std::unique_ptr<TrayPanel> tray;
    if (hasTray) tray = std::make_unique<TrayPanel>(model, window.get());
    QObject::connect(window.get(), &MainWindow::quitRequested, &app, &QApplication::quit);
    if (tray) QObject::connect(tray.get(), &TrayPanel::quitRequested, &app, &QApplication::quit);
    QObject::connect(&instance, &SingleInstance::activationRequested, window.get(), &MainWindow::bringToFront);
    window->show();

    // Test-only remote control (see the README); off unless OMBRIX_CONTROL names a socket.
    std::unique_ptr<ControlChannel> control;
    if (auto path = environmentValue("OMBRIX_CONTROL"); path && !path->empty()) {
        control = ControlChannel::listen(*path, model, [&app] { app.quit(); }, logger.warn);
    }

    const int code = QApplication::exec();

    // Reverse order: the views let go of the model, the model stops its graphs and the engine on
    // the core queue, the core queue stops, and the sound layer moves back whatever it captured.
    control.reset();
    tray.reset();
    window.reset();
    shutDownApplication(*model, queue, log);
    model.reset();
    virtualMicrophone.reset();  // the devices stay: a call must not fall back to the real microphone
    server.reset();
    log.waitUntilWritten();
    return code;
}

}  // namespace
}  // namespace quendra

int main(int argc, char** argv) { return quendra::run(argc, argv); }
