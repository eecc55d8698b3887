#include "ClientPaths.h"

#include "CAppConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <mutex>

namespace {

std::mutex g_mutex;
QString g_dataFolder;      // empty: the program's folder
QString g_resourceFolder;  // empty: the program's folder

QString programFolder()
{
    return QCoreApplication::applicationDirPath();
}

}  // namespace

QString DataFolder()
{
    std::lock_guard lock(g_mutex);
    return g_dataFolder.isEmpty() ? programFolder() : g_dataFolder;
}

void SetDataFolder(const QString& folder)
{
    {
        std::lock_guard lock(g_mutex);
        g_dataFolder = QDir(folder).absolutePath();
    }
    CAppConfig::GetInstance()->SetFolder(DataFolder());
}

QString DataFilePath(const QString& name)
{
    return DataFolder() + QLatin1Char('/') + name;
}

QString ResourceFilePath(const QString& name)
{
    std::lock_guard lock(g_mutex);
    return (g_resourceFolder.isEmpty() ? programFolder() : g_resourceFolder) + QLatin1Char('/') + name;
}

void SetResourceFolder(const QString& folder)
{
    std::lock_guard lock(g_mutex);
    g_resourceFolder = QDir(folder).absolutePath();
}

void SeedDataFolder(const QString& folder)
{
    QDir target(folder);
    target.mkpath(QStringLiteral("."));
    const QDir installed(programFolder());
    QStringList names = installed.entryList({QStringLiteral("*_LAN.ini")}, QDir::Files);
    names << QStringLiteral("Lumora.ini");
    for (const QString& name : names) {
        if (!target.exists(name) && installed.exists(name)) {
            QFile::copy(installed.filePath(name), target.filePath(name));
        }
    }
}

QStringList ApplyDataFolderOption(const QStringList& arguments)
{
    QStringList rest;
    const QString option = QStringLiteral("--data-dir");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        QString folder;
        if (argument == option && i + 1 < arguments.size()) {
            folder = arguments[++i];
        } else if (argument.startsWith(option + QLatin1Char('='))) {
            folder = argument.mid(option.size() + 1);
        }
        if (!folder.isEmpty()) {
            SeedDataFolder(folder);
            SetDataFolder(folder);
        } else {
            rest << argument;
        }
    }
    return rest;
}
