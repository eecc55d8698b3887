#include "FrameFixture.h"

#include "ClientPaths.h"
#include "CAppConfig.h"
#include "WaitUntil.h"

#include <QCoreApplication>
#include <QTest>
#include <QDir>
#include <QFile>
#include <atomic>
#include <fstream>
#include <unistd.h>

namespace frametest {

namespace {

std::string g_server;
RegistrationCount g_registrations;

std::string tool(const char* name)
{
    return std::string(LUMORA_BINARY_DIR) + "/tools/" + name + "/" + name;
}

// The texts the tests compare, independent of the shipped language files.
const char* kFallbackLanguage = "[MainFrame]\nDevTreeName=Device list\nDevRecTree=Device recordings\n"
                                "FileTreeName=Local files\nPTZPannel=PTZ\nAlarmPannel=Alarms\nMoveAlarmType=Motion alarm\n"
                                "[ToolBar]\nAddDev=Add device\nVideo=Live\nDevPropety=Device settings\n"
                                "DevRecList=Device recordings\nLocalRecList=Local recordings\nLocalRecPlan=Recording plan\n"
                                "SavePathSet=Folders\nSwitchWnd=Split\nHelp=Help\nFullScreen=Full screen\n"
                                "[VideoMenu]\nSwitch=Switch stream\n"
                                "[AlarmPannel]\nUID=UID\nAlarmTime=Time\nAlarmType=Type\n"
                                "[DevSearch]\nDevSearch=Search\nManual=Manual\nAdd=Add\nAddTip=Check the devices to add\n"
                                "DevAlias=Alias\nDevLoginPW=Password\nDevIP=IP\nDevMac=MAC\nSofeware=Software\n"
                                "Hardware=Hardware\nManualPA=password\nManualUID=UID\n"
                                "[DevPWSet]\nAlias=Camera\n"
                                "[DevTree]\nPAError=wrong password\nBeDel=Delete the device?\nBeAllDel=Delete all devices?\n"
                                "[DevListMenu]\nSearchDev=Search\nDevDel=Delete\nDevAllDel=Delete all\nDevReLogin=Log in again\n";

void copyOrWrite(const QString& target, const QString& shipped, const char* fallback)
{
    QFile::remove(target);
    if (!shipped.isEmpty() && QFile::copy(shipped, target))
        return;
    std::ofstream(target.toStdString(), std::ios::binary) << fallback;
}

} // namespace

const std::string& serverString()
{
    return g_server;
}

void setServerString(const std::string& server)
{
    g_server = server;
}

void setRegistrationCount(RegistrationCount count)
{
    g_registrations = std::move(count);
}

int searchPort()
{
    // One port per test process, so test programs running side by side do not answer each other.
    return 20000 + static_cast<int>(::getpid() % 20000);
}

DataFolder::DataFolder(const QString& language, bool shippedTexts)
{
    const QString resources = shippedTexts ? QStringLiteral(LUMORA_SOURCE_DIR "/resources/") : QString();
    for (const char* name : {"EN_LAN.ini", "CN_LAN.ini"})
        copyOrWrite(m_dir.filePath(QString::fromLatin1(name)), shippedTexts ? resources + QString::fromLatin1(name) : QString(),
                    kFallbackLanguage);
    QDir(m_dir.path()).mkpath(QStringLiteral("Download"));
    SetDataFolder(m_dir.path());
    setLanguage(language);
}

void DataFolder::setLanguage(const QString& language)
{
    const QString folder = m_dir.path();
    std::ofstream(m_dir.filePath(QStringLiteral("Lumora.ini")).toStdString(), std::ios::binary)
        << "[Language]\nlanguage=" << language.toStdString() << "\n[PathSetting]\nDownloadPath=" << (folder + "/Download").toStdString()
        << "\nSnapPath=" << (folder + "/Snap").toStdString() << "\nRecPath=" << (folder + "/Record").toStdString()
        << "\nAlarmPath=" << (folder + "/Alarm").toStdString() << "\n";
    CAppConfig::GetInstance()->ClearLangFile();
}

Camera::Camera(std::string uid, std::string password, std::string dataDir)
    : m_uid(std::move(uid)), m_password(std::move(password)), m_dataDir(std::move(dataDir))
{
}

Camera::~Camera()
{
    if (m_process)
        m_process->stop(2000);
}

void Camera::setMedia(std::string file, int width, int height)
{
    m_media = std::move(file);
    m_width = width;
    m_height = height;
}

std::vector<std::string> Camera::lines()
{
    std::string line;
    while (m_process && m_process->readLine(line, 10)) // what has been printed, without waiting for more
        m_lines.push_back(line);
    return m_lines;
}

bool Camera::launch()
{
    m_process = std::make_unique<platform::ChildProcess>();
    std::vector<std::string> args = {"--uid", m_uid, "--password", m_password, "--transport", "tovel", "--server",
                                     g_server, "--search-port", std::to_string(searchPort())};
    if (!m_dataDir.empty())
        args.insert(args.end(), {"--data", m_dataDir});
    if (!m_media.empty())
        args.insert(args.end(), {"--media", m_media, "--width", std::to_string(m_width), "--height", std::to_string(m_height)});
    if (m_logRequests)
        args.insert(args.end(), {"--verbose", "2"});
    // A restarted camera registers under its id again.
    m_registrations = g_registrations ? g_registrations(m_uid) : 0;
    if (!m_process->start(tool("camsim"), args))
        return false;
    std::string line;
    while (m_process->readLine(line, 15000))
        if (line.find("camsim ready") != std::string::npos)
            return true;
    return false;
}

bool Camera::waitRegistered()
{
    return !g_registrations ||
           lumora::test::waitUntil([&] { return g_registrations(m_uid) > m_registrations; }, std::chrono::seconds(30));
}

void Camera::kill()
{
    if (m_process)
        m_process->kill();
    m_process.reset();
}

bool Camera::pushAlarm(const std::string& json)
{
    return m_process && m_process->writeLine("alarm " + json);
}

bool Camera::holdRecords(int frames)
{
    return m_process && m_process->writeLine("hold " + std::to_string(frames)) && sync();
}

bool Camera::sync()
{
    // The camera reads its lines in order: once "show" is answered, every line before it is done.
    if (!m_process || !m_process->writeLine("show 0"))
        return false;
    std::string line;
    while (m_process->readLine(line, 10000)) {
        if (line == "show end")
            return true;
        m_lines.push_back(line); // request lines of setLogRequests stay for lines()
    }
    return false;
}

bool Camera::refuse(const std::vector<int>& commands)
{
    std::string line = "refuse";
    for (int command : commands)
        line += " " + std::to_string(command);
    return m_process && m_process->writeLine(line) && sync();
}

bool Camera::sendCodes(const char* verb, const std::vector<int>& commands)
{
    std::string line = verb;
    for (int command : commands)
        line += " " + std::to_string(command);
    return m_process && m_process->writeLine(line) && sync();
}

bool Camera::mute(const std::vector<int>& commands)
{
    return sendCodes("mute", commands);
}

bool Camera::garble(const std::vector<int>& commands)
{
    return sendCodes("garble", commands);
}

bool Camera::decline(const std::vector<int>& commands)
{
    return sendCodes("decline", commands);
}

bool Camera::defer(const std::vector<int>& commands)
{
    return sendCodes("defer", commands);
}

bool Camera::setDocument(const std::string& name, const Json::Value& value)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    if (!m_process || !m_process->writeLine("setdoc " + name + " " + Json::writeString(writer, value)))
        return false;
    std::string line;
    while (m_process->readLine(line, 10000)) {
        if (line == "show end")
            return true;
        m_lines.push_back(line);
    }
    return false;
}

Json::Value Camera::document(const std::string& name)
{
    Json::Value value;
    if (!m_process || !m_process->writeLine("doc " + name))
        return value;
    const std::string prefix = "doc " + name + " ";
    std::string line;
    while (m_process->readLine(line, 10000) && line != "show end") {
        if (line.rfind(prefix, 0) != 0) {
            m_lines.push_back(line);
            continue;
        }
        Json::CharReaderBuilder builder;
        std::string errors;
        const std::string text = line.substr(prefix.size());
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    }
    return value;
}

std::vector<std::string> Camera::requestBodies(int command)
{
    std::vector<std::string> bodies;
    if (!m_process || !m_process->writeLine("show " + std::to_string(command)))
        return bodies;
    const std::string prefix = "body " + std::to_string(command) + " ";
    std::string line;
    while (m_process->readLine(line, 10000) && line != "show end") {
        if (line.rfind(prefix, 0) == 0)
            bodies.push_back(line.substr(prefix.size()));
        else
            m_lines.push_back(line);
    }
    return bodies;
}

std::string uniqueUid(const char* prefix)
{
    static std::atomic<int> counter{0};
    return std::string(prefix) + std::to_string(::getpid()) + "N" + std::to_string(++counter);
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    return QTest::qWaitFor(done, timeoutMs);
}

} // namespace frametest
