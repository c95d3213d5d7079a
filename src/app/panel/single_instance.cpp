#include "app/panel/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <unistd.h>

namespace quendra {

namespace {
constexpr int answerMs = 2000;
const QByteArray activate = QByteArrayLiteral("activate\n");
}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName() { return QStringLiteral("ombrix-%1").arg(static_cast<qulonglong>(getuid())); }

bool SingleInstance::claim() {
    // Two launches at once must not both decide they are first: the check and the listen happen
    // under a lock file (a stale one, from a process that died, is taken over).
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    QLockFile lock(folder + "/" + name_ + ".lock");
    lock.setStaleLockTime(0);
    lock.tryLock(answerMs * 2);

    {
        QLocalSocket socket;
        socket.connectToServer(name_);
        if (socket.waitForConnected(answerMs)) {
            socket.write(activate);
            socket.waitForBytesWritten(answerMs);
            socket.disconnectFromServer();
            return false;
        }
    }
    // Nobody answers: whatever socket file is there belongs to a dead instance.
    QLocalServer::removeServer(name_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) return true;  // still start: a second window beats no window
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains("activate")) emit activationRequested();
            });
        }
    });
    return true;
}

}  // namespace quendra
