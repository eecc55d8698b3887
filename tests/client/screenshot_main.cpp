// Entry point of the screenshot tests: starts a private Xvfb server, points Qt's xcb platform at
// it, runs the tests and stops the server. Defines the helpers of ScreenshotSupport.h.
#include "ScreenshotSupport.h"

#include "ChildProcess.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

namespace clienttest {

QString ScreenshotFolder()
{
    return QStringLiteral(LUMORA_BINARY_DIR "/screenshots");
}

QString SaveScreenshot(QWidget* window, const QString& name)
{
    window->show();
    window->raise();
    window->activateWindow();
    QDeadlineTimer deadline(5000);
    while (!(window->windowHandle() != nullptr && window->windowHandle()->isExposed()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    window->repaint();
    QCoreApplication::processEvents();
    QApplication::sync();
    QScreen* screen = window->screen();
    if (screen == nullptr) {
        return {};
    }
    const QRect frame = window->frameGeometry();
    const QPixmap picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QDir().mkpath(ScreenshotFolder());
    const QString file = ScreenshotFolder() + QLatin1Char('/') + name + QStringLiteral(".png");
    return picture.save(file, "PNG") ? file : QString();
}

}  // namespace clienttest

int main(int argc, char* argv[])
{
    platform::ChildProcess xvfb;
    if (!xvfb.start("/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"})) {
        fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    std::string display;
    if (!xvfb.readLine(display, 10000) || display.empty()) {
        fprintf(stderr, "Xvfb reported no display\n");
        return 1;
    }
    qputenv("DISPLAY", QByteArray(":") + display.c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int code = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Lumora"));
        ::testing::InitGoogleTest(&argc, argv);
        code = RUN_ALL_TESTS();
    }
    xvfb.stop();
    return code;
}
