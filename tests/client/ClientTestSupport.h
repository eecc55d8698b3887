#pragma once
// Shared helpers of the client's widget tests: a scratch data folder with the shipped settings
// and language files, waits on conditions with deadlines, and finding windows.

#include "ClientMessageBox.h"
#include "ClientPaths.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>

namespace clienttest {

// Copies Lumora.ini (with [Language] language = languageValue, when given) and both language
// files into dir and makes it the data folder.
inline void PrepareDataFolder(const QTemporaryDir& dir, const char* languageValue = "EN_LAN")
{
    const QString resources = QStringLiteral(LUMORA_SOURCE_DIR "/resources/");
    for (const char* name : {"EN_LAN.ini", "CN_LAN.ini"}) {
        QFile::copy(resources + QLatin1String(name), dir.filePath(QLatin1String(name)));
    }
    QFile ini(dir.filePath(QStringLiteral("Lumora.ini")));
    if (languageValue != nullptr && ini.open(QIODevice::WriteOnly)) {
        ini.write(QByteArray("[Language]\r\nlanguage=") + languageValue + "\r\n");
    }
    ini.close();
    SetDataFolder(dir.path());
    // Pictures, sounds and help pages as the build installs them beside the program.
    SetResourceFolder(QStringLiteral(LUMORA_BINARY_DIR "/client"));
}

// Runs the event loop until done() holds or timeoutMs passes; returns done().
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// The client message boxes now shown.
inline QList<QMessageBox*> VisibleMessageBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->isVisible() && box->objectName() == QLatin1String(kMessageBoxName)) {
            boxes << box;
        }
    }
    return boxes;
}

inline void CloseMessageBoxes()
{
    for (QMessageBox* box : VisibleMessageBoxes()) {
        box->close();
    }
    QCoreApplication::processEvents();
}

template <class T>
T* Child(QWidget* parent, const char* name)
{
    T* child = parent->findChild<T*>(QLatin1String(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

}  // namespace clienttest
