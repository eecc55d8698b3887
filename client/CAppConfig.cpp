#include "CAppConfig.h"

#include "ClientPaths.h"
#include "PrivateProfile.h"
#include "StringConvert.h"

#include <QDir>
#include <QFileInfo>

const std::array<const char*, 8> kRecPlanDayNames = {"Eve", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

namespace {

std::string narrow(const QString& text)
{
    return WideToUtf8(text);
}

}  // namespace

CAppConfig* CAppConfig::GetInstance()
{
    // Made once and never destroyed: reply handlers on SDK threads may still look texts up while
    // the process ends.
    static CAppConfig* const instance = new CAppConfig(DataFolder());
    return instance;
}

CAppConfig::CAppConfig(const QString& folder)
{
    SetFolder(folder);
}

void CAppConfig::SetFolder(const QString& folder)
{
    std::lock_guard lock(m_mutex);
    m_folder = folder;
    m_iniPath = folder + QStringLiteral("/Lumora.ini");
    m_langFile.clear();
}

QString CAppConfig::Folder() const
{
    std::lock_guard lock(m_mutex);
    return m_folder;
}

bool CAppConfig::IniExists() const
{
    return QFileInfo(iniPath()).isFile();
}

QString CAppConfig::LangFile()
{
    std::lock_guard lock(m_mutex);
    if (m_langFile.isEmpty()) {
        // A missing Lumora.ini gives the default too.
        const std::string language = platform::GetPrivateProfileString("Language", "language", "EN", narrow(m_iniPath));
        m_langFile = m_folder + QLatin1Char('/') + Utf8ToWide(language) + QStringLiteral(".ini");
    }
    return m_langFile;
}

void CAppConfig::ClearLangFile()
{
    std::lock_guard lock(m_mutex);
    m_langFile.clear();
}

QString CAppConfig::GetLangString(QString section, QString key)
{
    const QString file = LangFile();
    if (!QFileInfo(file).isFile()) {
        return {};
    }
    return Utf8ToWide(platform::GetPrivateProfileString(narrow(section), narrow(key), "", narrow(file)));
}

QString CAppConfig::pathSetting(const char* key, const char* defaultValue) const
{
    if (!IniExists()) {
        return {};
    }
    const QString value = Utf8ToWide(platform::GetPrivateProfileString("PathSetting", key, "", narrow(iniPath())));
    if (value.isEmpty()) {
        return QString::fromUtf8(defaultValue);
    }
    // A folder written without a leading "/" lies under the data folder, so an installed
    // Lumora.ini needs no absolute paths.
    return QDir::isRelativePath(value) ? QDir(Folder()).filePath(value) : value;
}

QString CAppConfig::GetDownloadPath() const
{
    return pathSetting("DownloadPath", "C://Lumora//Download");
}

QString CAppConfig::GetSnapPath() const
{
    return pathSetting("SnapPath", "C://Lumora//Snap");
}

QString CAppConfig::GetRecPath() const
{
    return pathSetting("RecPath", "C://Lumora//Record");
}

QString CAppConfig::GetAlarmPath() const
{
    return pathSetting("AlarmPath", "C://Lumora//Alarm");
}

void CAppConfig::SetHardwareType(int type)
{
    WriteProfileString(QStringLiteral("Hardware"), QStringLiteral("Type"), QString::number(type));
}

int CAppConfig::GetHardwareType() const
{
    return IniExists() ? ReadProfileInt(QStringLiteral("Hardware"), QStringLiteral("Type"), 0) : 0;
}

QString CAppConfig::ReadProfileString(const QString& section, const QString& key, const QString& defaultValue) const
{
    return Utf8ToWide(platform::GetPrivateProfileString(narrow(section), narrow(key), narrow(defaultValue), narrow(iniPath())));
}

int CAppConfig::ReadProfileInt(const QString& section, const QString& key, int defaultValue) const
{
    return platform::GetPrivateProfileInt(narrow(section), narrow(key), defaultValue, narrow(iniPath()));
}

bool CAppConfig::WriteProfileString(const QString& section, const QString& key, const QString& value) const
{
    if (!IniExists()) {
        return false;
    }
    return platform::WritePrivateProfileString(narrow(section), narrow(key), narrow(value), narrow(iniPath()));
}

void CAppConfig::readPlanLocked()
{
    if (!IniExists()) {
        return;
    }
    const std::string path = narrow(iniPath());
    m_plan.Enable = platform::GetPrivateProfileInt("RecPlan", "Enable", 0, path) != 0;
    m_plan.AutoCover = platform::GetPrivateProfileInt("RecPlan", "AutoCover", 0, path) != 0;
    m_plan.RecTime = platform::GetPrivateProfileInt("RecPlan", "RecTime", 1, path);
    for (size_t i = 0; i < kRecPlanDayNames.size(); ++i) {
        const std::string day = kRecPlanDayNames[i];
        RecPlanDay& entry = m_plan.days[i];
        entry.enable = platform::GetPrivateProfileInt("RecPlan", day + "Enable", 0, path) != 0;
        entry.start = Utf8ToWide(platform::GetPrivateProfileString("RecPlan", day + "Sta", "00:00:00", path));
        entry.end = Utf8ToWide(platform::GetPrivateProfileString("RecPlan", day + "End", "23:59:59", path));
    }
}

RecPlan* CAppConfig::LoadRecPlan()
{
    std::lock_guard lock(m_planMutex);
    readPlanLocked();
    return &m_plan;
}

void CAppConfig::SaveRecPlan(const RecPlan& plan)
{
    if (!IniExists()) {
        return;
    }
    const std::string path = narrow(iniPath());
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    platform::WritePrivateProfileString("RecPlan", "Enable", flag(plan.Enable), path);
    platform::WritePrivateProfileString("RecPlan", "AutoCover", flag(plan.AutoCover), path);
    platform::WritePrivateProfileString("RecPlan", "RecTime", std::to_string(plan.RecTime), path);
    for (size_t i = 0; i < kRecPlanDayNames.size(); ++i) {
        const std::string day = kRecPlanDayNames[i];
        const RecPlanDay& entry = plan.days[i];
        platform::WritePrivateProfileString("RecPlan", day + "Enable", flag(entry.enable), path);
        platform::WritePrivateProfileString("RecPlan", day + "Sta", narrow(entry.start), path);
        platform::WritePrivateProfileString("RecPlan", day + "End", narrow(entry.end), path);
    }
}

RecPlan CAppConfig::CopyRecPlan()
{
    std::lock_guard lock(m_planMutex);
    readPlanLocked();
    return m_plan;
}

void CAppConfig::StoreRecPlan(const RecPlan& plan)
{
    std::lock_guard lock(m_planMutex);
    m_plan = plan;
    SaveRecPlan(m_plan);
}
