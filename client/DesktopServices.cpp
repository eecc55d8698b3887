#include "DesktopServices.h"

#include "CAppConfig.h"
#include "ClientPaths.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDesktopServices>
#include <QHash>
#include <QSoundEffect>
#include <QThread>

namespace {

void playOnGuiThread(const QString& fileName)
{
    // One effect per file, owned by the application object.
    static QHash<QString, QSoundEffect*> effects;
    QSoundEffect*& effect = effects[fileName];
    if (effect == nullptr) {
        effect = new QSoundEffect(QCoreApplication::instance());
        effect->setSource(QUrl::fromLocalFile(ResourceFilePath(fileName)));
    }
    effect->stop();
    effect->play();
}

const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

}  // namespace

void PlayClientSound(const QString& fileName)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        playOnGuiThread(fileName);
        return;
    }
    QMetaObject::invokeMethod(app, [fileName] { playOnGuiThread(fileName); }, Qt::QueuedConnection);
}

KeepAwake::KeepAwake(QObject* parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusInterface screenSaver(kScreenSaverService, kScreenSaverPath, kScreenSaverService, bus);
    if (!screenSaver.isValid()) {
        return;
    }
    const QDBusReply<quint32> reply = screenSaver.call(QStringLiteral("Inhibit"), QStringLiteral("Lumora"),
                                                       QStringLiteral("Watching cameras"));
    if (reply.isValid()) {
        m_cookie = reply.value();
    }
}

KeepAwake::~KeepAwake()
{
    if (m_cookie == 0) {
        return;
    }
    QDBusInterface screenSaver(kScreenSaverService, kScreenSaverPath, kScreenSaverService, QDBusConnection::sessionBus());
    if (screenSaver.isValid()) {
        screenSaver.call(QStringLiteral("UnInhibit"), m_cookie);
    }
}

QString HelpPageFor(const QString& languageValue)
{
    QString code = languageValue;
    if (code.endsWith(QStringLiteral("_LAN"))) {
        code.chop(4);
    }
    return code == QStringLiteral("CN") ? QStringLiteral("help/Help_CN.html") : QStringLiteral("help/Help_EN.html");
}

QUrl HelpPageUrl()
{
    const QString language = CAppConfig::GetInstance()->ReadProfileString(QStringLiteral("Language"), QStringLiteral("language"), QStringLiteral("EN"));
    return QUrl::fromLocalFile(ResourceFilePath(HelpPageFor(language)));
}

bool OpenHelp()
{
    return QDesktopServices::openUrl(HelpPageUrl());
}
