// Test entry point for the client's tests: one QApplication on the offscreen platform (unless the
// caller chose a platform, e.g. xcb under Xvfb for screenshots), then GoogleTest. The user's
// profile (QSettings) lives in a folder of this process's own, so tests run side by side never read
// what another one stored there, and none writes into the real user's.
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "LeakSuppressions.h"

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QTemporaryDir profile;
    if (profile.isValid()) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, profile.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, profile.path());
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
