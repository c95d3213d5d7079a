#include "app/control_channel.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/model/app_model.h"
#include "app/model/month_budget.h"
#include "app/model/own_keys.h"
#include "app/panel/panel_texts.h"

namespace quendra {
namespace {

using nlohmann::json;

const char* propertyName(AppProperty property) {
    switch (property) {
        case AppProperty::settings: return "settings";
        case AppProperty::status: return "status";
        case AppProperty::running: return "running";
        case AppProperty::notice: return "notice";
        case AppProperty::outputDevices: return "outputDevices";
        case AppProperty::apps: return "apps";
        case AppProperty::account: return "account";
        case AppProperty::accountBusy: return "accountBusy";
        case AppProperty::accountMessage: return "accountMessage";
        case AppProperty::codeSentTo: return "codeSentTo";
        case AppProperty::captions: return "captions";
        case AppProperty::secretsLoading: return "secretsLoading";
        case AppProperty::monthSpend: return "monthSpend";
        case AppProperty::budgetQuestion: return "budgetQuestion";
    }
    return "unknown";
}

json direction(LinkState state, const std::string& error) {
    return json{{"state", std::string(rawValue(state))}, {"error", error}, {"line", PanelTexts::stateLine(state, error)}};
}

json failure(const json& id, const std::string& error) { return json{{"id", id}, {"ok", false}, {"error", error}}; }

}  // namespace

std::unique_ptr<ControlChannel> ControlChannel::listen(const std::string& socketPath, std::shared_ptr<AppModel> model,
                                                       std::function<void()> quit,
                                                       const std::function<void(const std::string&)>& failure) {
    std::unique_ptr<ControlChannel> channel(new ControlChannel(std::move(model), std::move(quit)));
    const QString path = QString::fromStdString(socketPath);
    QLocalServer::removeServer(path);
    channel->server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!channel->server_->listen(path)) {
        failure("canale di controllo non aperto su " + socketPath + ": " + channel->server_->errorString().toStdString());
        return nullptr;
    }
    return channel;
}

ControlChannel::ControlChannel(std::shared_ptr<AppModel> model, std::function<void()> quit)
    : model_(std::move(model)), quit_(std::move(quit)), server_(new QLocalServer(this)) {
    QObject::connect(server_, &QLocalServer::newConnection, this, [this] { accept(); });
    // The channel dies before the model (see main.cpp), so the bare pointer never dangles.
    observer_ = model_->observe([this](AppProperty property) { changed(propertyName(property)); });
}

ControlChannel::~ControlChannel() {
    model_->unobserve(observer_);
    server_->close();
}

void ControlChannel::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        QObject::connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            std::erase(watchers_, socket);
            socket->deleteLater();
        });
    }
}

void ControlChannel::readFrom(QLocalSocket* socket) {
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine().trimmed();
        if (line.isEmpty()) continue;
        json request = json::parse(line.begin(), line.end(), nullptr, false);
        bool watch = false;
        json answer = request.is_object() ? handle(request, watch) : failure(nullptr, "not a JSON object");
        if (watch && std::find(watchers_.begin(), watchers_.end(), socket) == watchers_.end()) {
            watchers_.push_back(socket);
        }
        send(socket, answer);
        if (quitting_) {
            socket->flush();
            // After this handler returns, so the answer leaves before the event loop ends.
            QTimer::singleShot(0, this, [quit = quit_] { quit(); });
            return;
        }
    }
}

void ControlChannel::send(QLocalSocket* socket, const json& line) {
    std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    text.push_back('\n');
    socket->write(text.data(), static_cast<qint64>(text.size()));
}

void ControlChannel::changed(const char* property) {
    if (watchers_.empty()) return;
    const json event{{"event", property}, {"state", stateOf(*model_)}};
    for (QLocalSocket* socket : watchers_) send(socket, event);
}

json ControlChannel::stateOf(const AppModel& model) {
    const EngineStatus& status = model.status();
    json apps = json::array();
    for (const auto& app : model.apps()) apps.push_back({{"id", app.id}, {"name", app.name}});
    json devices = json::array();
    for (const auto& device : model.outputDevices()) devices.push_back({{"uid", device.uid}, {"name", device.name}});
    json providers = json::array();
    for (const auto& provider : model.availableProviders()) providers.push_back(provider.id);
    json account = nullptr;
    if (model.account()) {
        account = {{"email", model.account()->email},
                   {"plan", model.account()->plan},
                   {"keys", std::vector<std::string>(model.account()->keys.begin(), model.account()->keys.end())}};
    }
    return json{
        {"running", model.running()},
        {"listen", direction(status.listenState, status.listenError)},
        {"speak", direction(status.speakState, status.speakError)},
        {"tailActive", status.tailActive},
        {"tailSeconds", status.tailSeconds},
        {"originalVoice", status.originalVoice},
        {"minutesIn", status.minutesIn},
        {"minutesOut", status.minutesOut},
        {"cost", PanelTexts::costLine(status)},
        {"notice", model.notice()},
        {"settings", model.settings().encode()},
        {"signedIn", !model.settings().sessionToken.empty()},
        {"apps", std::move(apps)},
        {"outputDevices", std::move(devices)},
        {"providers", std::move(providers)},
        {"account", std::move(account)},
        {"accountBusy", model.accountBusy()},
        {"accountMessage", model.accountMessage()},
        {"codeSentTo", model.codeSentTo()},
        {"secretsLoading", model.secretsLoading()},
        // Which providers have an own key; the keys themselves are never answered.
        {"ownKeys", OwnKeys::withKey(model.settings())},
        {"monthSpend", MonthBudget::spendLine(model.monthSpentEur())},
        {"budgetQuestion", model.budgetQuestion()},
    };
}

json ControlChannel::handle(const json& request, bool& watch) {
    const json id = request.contains("id") ? request["id"] : json(nullptr);
    if (!request.contains("op") || !request["op"].is_string()) return failure(id, "missing op");
    const std::string op = request["op"].get<std::string>();
    auto text = [&request](const char* key) -> std::optional<std::string> {
        if (!request.contains(key) || !request[key].is_string()) return std::nullopt;
        return request[key].get<std::string>();
    };

    if (op == "state") {
    } else if (op == "watch") {
        watch = true;
    } else if (op == "set") {
        if (!request.contains("settings") || !request["settings"].is_object()) return failure(id, "set needs settings");
        const json& changes = request["settings"];
        json merged = model_->settings().encode();
        for (const auto& [key, value] : changes.items()) {
            if (key == "sessionToken" || key == "ownKeys") continue;
            if (!codingKeyFromRaw(key) && key != Settings::monthlyLimitMember) {
                return failure(id, "unknown setting " + key);
            }
            merged[key] = value;  // a null limit removes it
        }
        auto next = Settings::decode(merged);
        if (!next) return failure(id, "settings not decoded");
        // The secrets are not part of the stored form: kept unless given.
        next->sessionToken = model_->settings().sessionToken;
        next->ownKeys = model_->settings().ownKeys;
        if (changes.contains("sessionToken")) {
            if (!changes["sessionToken"].is_string()) return failure(id, "sessionToken must be a string");
            next->sessionToken = changes["sessionToken"].get<std::string>();
        }
        std::vector<std::pair<std::string, std::string>> keys;
        if (changes.contains("ownKeys")) {
            const json& given = changes["ownKeys"];
            if (!given.is_object()) return failure(id, "ownKeys must be an object");
            for (const auto& [provider, key] : given.items()) {
                if (OwnKeys::item(provider).empty()) return failure(id, "no own key for " + provider);
                if (!key.is_string()) return failure(id, "ownKeys." + provider + " must be a string");
                keys.emplace_back(provider, key.get<std::string>());
            }
        }
        model_->setSettings(std::move(*next));
        for (const auto& [provider, key] : keys) model_->setOwnKey(provider, key);
    } else if (op == "start") {
        model_->start();
    } else if (op == "stop") {
        model_->stop(text("notice").value_or(""));
    } else if (op == "cut") {
        model_->cut();
    } else if (op == "originalVoice") {
        if (!request.contains("on") || !request["on"].is_boolean()) return failure(id, "originalVoice needs on");
        model_->setOriginalVoice(request["on"].get<bool>());
    } else if (op == "refresh") {
        model_->refreshLists();
    } else if (op == "requestCode") {
        const auto email = text("email");
        if (!email) return failure(id, "requestCode needs email");
        model_->requestCode(*email);
    } else if (op == "verify") {
        const auto code = text("code");
        if (!code) return failure(id, "verify needs code");
        model_->verify(*code);
    } else if (op == "budget") {
        if (!request.contains("goOn") || !request["goOn"].is_boolean()) return failure(id, "budget needs goOn");
        if (request["goOn"].get<bool>()) {
            model_->confirmOverBudget();
        } else {
            model_->cancelOverBudget();
        }
    } else if (op == "logout") {
        model_->logout();
    } else if (op == "quit") {
        quitting_ = true;
    } else {
        return failure(id, "unknown op " + op);
    }
    return json{{"id", id}, {"ok", true}, {"state", stateOf(*model_)}};
}

}  // namespace quendra
