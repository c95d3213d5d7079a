// One Ombrix per user: the first instance listens on a local socket named after the user; a later
// launch asks it to show its window and exits. A socket left behind by a crashed instance is
// replaced, never blocks a start.
//
// Threading: UI thread.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace quendra {

class SingleInstance final : public QObject {
    Q_OBJECT

public:
    // `name` defaults to "ombrix-" + the user id.
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // True when this process is the one instance (it then listens); false when another instance
    // answered and was asked to show itself, so this process should exit.
    bool claim();

signals:
    // Another launch asked this instance to come to the front.
    void activationRequested();

private:
    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace quendra
