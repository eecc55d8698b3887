#include "ClientPaths.h"

#include "CAppConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <mutex>

namespace {

std::mutex g_mutex;
QString g_dataFolder;  // empty: the program's folder

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
    return programFolder() + QLatin1Char('/') + name;
}

QStringList ApplyDataFolderOption(const QStringList& arguments)
{
    QStringList rest;
    const QString option = QStringLiteral("--data-dir");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == option && i + 1 < arguments.size()) {
            SetDataFolder(arguments[++i]);
        } else if (argument.startsWith(option + QLatin1Char('='))) {
            SetDataFolder(argument.mid(option.size() + 1));
        } else {
            rest << argument;
        }
    }
    return rest;
}
