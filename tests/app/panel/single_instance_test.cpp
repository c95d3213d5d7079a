#include "app/panel/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/panel/panel_test_support.h"

namespace quendra {
namespace {

// Run as a second process by the test below: exits 0 when another instance answered, 1 when
// it took over as the instance itself.
TEST(SingleInstanceChild, SecondLaunch) {
    const char* name = std::getenv("OMBRIX_SINGLE_INSTANCE_CHILD");
    if (name == nullptr) GTEST_SKIP() << "only run by SingleInstanceTest";
    test::qtApp();
    SingleInstance instance{QString::fromUtf8(name)};
    std::exit(instance.claim() ? 1 : 0);
}

QString uniqueName() { return QStringLiteral("ombrix-test-%1-%2").arg(getpid()).arg(std::rand()); }

int runSecondLaunch(const QString& name) {
    QProcess child;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("OMBRIX_SINGLE_INSTANCE_CHILD"), name);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=SingleInstanceChild.SecondLaunch")});
    // The first instance answers from its event loop, so keep it turning while the child runs.
    const QDeadlineTimer deadline(60000);
    while (child.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        child.waitForFinished(50);
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

TEST(SingleInstanceTest, SecondLaunchActivatesTheFirstAndExits) {
    test::qtApp();
    const QString name = uniqueName();
    SingleInstance first{name};
    ASSERT_TRUE(first.claim());
    QSignalSpy activations(&first, &SingleInstance::activationRequested);
    EXPECT_EQ(runSecondLaunch(name), 0);
    EXPECT_TRUE(activations.count() > 0 || activations.wait(10000));
}

TEST(SingleInstanceTest, SocketLeftByACrashedInstanceDoesNotBlockAStart) {
    test::qtApp();
    const QString name = uniqueName();
    // A bound socket file nobody listens on, as a killed instance leaves it.
    const QString path = QDir::cleanPath(QDir::tempPath() + "/" + name);
    {
        QLocalServer probe;
        ASSERT_TRUE(probe.listen(name));
        ASSERT_EQ(probe.fullServerName(), path);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toUtf8().constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);  // the file stays, with nothing behind it

    SingleInstance instance{name};
    EXPECT_TRUE(instance.claim());
    // And it answers later launches.
    EXPECT_EQ(runSecondLaunch(name), 0);
}

}  // namespace
}  // namespace quendra
