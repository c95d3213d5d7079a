// A test-only remote control of the running application: off unless OMBRIX_CONTROL names a Unix
// socket path. Clients send one JSON request per line and get one JSON answer per line; a client
// that asked to watch also gets an event line after every change of the model. Requests act
// through the model's public functions, exactly as the panel does, so a test that drives the
// channel drives what the user would. The protocol is described in the README.
//
// Threading: UI thread (the Qt event loop); the model is only touched there.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

class QLocalServer;
class QLocalSocket;

namespace quendra {

class AppModel;

class ControlChannel final : public QObject {
public:
    // Listens on `socketPath` (a stale socket file there is replaced). `quit` ends the
    // application; it runs after the answer to "quit" has been written. None when listening fails
    // (the reason goes to `failure`).
    static std::unique_ptr<ControlChannel> listen(const std::string& socketPath, std::shared_ptr<AppModel> model,
                                                  std::function<void()> quit,
                                                  const std::function<void(const std::string&)>& failure);
    ~ControlChannel() override;

    // The model's state as the panel shows it (see the README), for answers and events.
    static nlohmann::json stateOf(const AppModel& model);
    // Runs one request and returns its answer; `watch` is set when the client asked for events.
    nlohmann::json handle(const nlohmann::json& request, bool& watch);

private:
    ControlChannel(std::shared_ptr<AppModel> model, std::function<void()> quit);
    void accept();
    void readFrom(QLocalSocket* socket);
    void send(QLocalSocket* socket, const nlohmann::json& line);
    void changed(const char* property);

    std::shared_ptr<AppModel> model_;
    std::function<void()> quit_;
    QLocalServer* server_ = nullptr;
    std::vector<QLocalSocket*> watchers_;
    std::uint64_t observer_ = 0;
    bool quitting_ = false;
};

}  // namespace quendra
