#include "FrameText.h"

#include "CAppConfig.h"
#include "ClientPaths.h"

QString LangText(const char* section, const char* key)
{
    return CAppConfig::GetInstance()->GetLangString(QString::fromLatin1(section), QString::fromLatin1(key));
}

QString DataDir()
{
    return DataFolder();
}

QString DownloadDir()
{
    return CAppConfig::GetInstance()->GetDownloadPath();
}

QString SnapDir()
{
    return CAppConfig::GetInstance()->GetSnapPath();
}

QString RecordDir()
{
    return CAppConfig::GetInstance()->GetRecPath();
}

QString AlarmDir()
{
    return CAppConfig::GetInstance()->GetAlarmPath();
}

QString ResourcePath(const QString& name)
{
    return ResourceFilePath(name);
}

QString LanguageCode()
{
    return CAppConfig::GetInstance()->ReadProfileString(QStringLiteral("Language"), QStringLiteral("language"),
                                                        QStringLiteral("EN"));
}
