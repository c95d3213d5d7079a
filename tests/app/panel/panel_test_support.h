// A QApplication on the offscreen platform for the panel tests, and the folder their screenshots
// go to.
#pragma once

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace quendra::test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "ombrix-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The tests compare texts; a user's locale or theme must not change them.
        setenv("LC_ALL", "C.UTF-8", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Renders `widget` to <build>/screenshots/<name>.png.
inline void screenshot(QWidget* widget, const std::string& name) {
    QCoreApplication::processEvents();  // pending layout requests first
    QDir().mkpath(QStringLiteral(OMBRIX_SCREENSHOT_DIR));
    widget->grab().save(QStringLiteral(OMBRIX_SCREENSHOT_DIR "/") + QString::fromStdString(name) + ".png");
}

// The descendant of `parent` with the object name `name`, or null with a test failure.
template <typename T>
T* child(QWidget& parent, const char* name) {
    auto* found = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

inline std::string text(QLabel* label) { return label->text().toStdString(); }

}  // namespace quendra::test
