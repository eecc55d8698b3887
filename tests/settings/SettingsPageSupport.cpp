#include "SettingsPageSupport.h"

#include "libLumora.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>

namespace settingstest {

namespace {

std::vector<std::unique_ptr<Camera>>& cameras()
{
    static std::vector<std::unique_ptr<Camera>> list;
    return list;
}

bool login(Camera& camera)
{
    auto result = std::make_shared<std::atomic<int>>(1);
    LoginDev(camera.uid(), "pw", [result](int, int status, std::string, std::string, char*, int) { result->store(status); });
    frametest::waitFor([&] { return result->load() != 1; }, 60000);
    return result->load() == 0;
}

int waitSignal(QSignalSpy& spy, int timeoutMs)
{
    if (spy.isEmpty() && !frametest::waitFor([&] { return !spy.isEmpty(); }, timeoutMs))
        return kNoAnswer;
    return spy.takeFirst().at(0).toInt();
}

} // namespace

frametest::DataFolder& SettingsCameras::data()
{
    static frametest::DataFolder folder(QStringLiteral("EN_LAN"), true);
    return folder;
}

bool SettingsCameras::start(int count, const char* prefix)
{
    data();
    auto& list = cameras();
    while (static_cast<int>(list.size()) < count) {
        auto camera = std::make_unique<Camera>(frametest::uniqueUid(prefix), "pw");
        if (!camera->start() || !login(*camera))
            return false;
        list.push_back(std::move(camera));
    }
    return true;
}

Camera& SettingsCameras::camera(int index)
{
    return *cameras().at(static_cast<size_t>(index));
}

QString SettingsCameras::uid(int index)
{
    return QString::fromStdString(camera(index).uid());
}

Messages::Messages()
{
    m_previous = DevicePage::setMessageSink([this](DevicePage*, const QString& text) { m_texts.push_back(text); });
}

Messages::~Messages()
{
    DevicePage::setMessageSink(m_previous);
}

QString Messages::waitText(int timeoutMs)
{
    frametest::waitFor([&] { return !m_texts.isEmpty(); }, timeoutMs);
    return m_texts.isEmpty() ? QString() : m_texts.back();
}

int loadPage(DevicePage& page, Camera& camera, int timeoutMs)
{
    return loadPage(page, QString::fromStdString(camera.uid()), timeoutMs);
}

int loadPage(DevicePage& page, const QString& uid, int timeoutMs)
{
    QSignalSpy spy(&page, &DevicePage::loaded);
    page.load(uid);
    return waitSignal(spy, timeoutMs);
}

int savePage(DevicePage& page, int buttonId, int timeoutMs)
{
    QSignalSpy spy(&page, &DevicePage::saved);
    auto* button = page.findChild<QAbstractButton*>(QStringLiteral("ctl_%1").arg(buttonId));
    if (button == nullptr) {
        ADD_FAILURE() << "no button ctl_" << buttonId;
        return kNoAnswer;
    }
    button->click();
    return waitSignal(spy, timeoutMs);
}

int waitSaved(DevicePage& page, int timeoutMs)
{
    QSignalSpy spy(&page, &DevicePage::saved);
    return waitSignal(spy, timeoutMs);
}

size_t sentCount(Camera& camera, int command)
{
    return camera.requestBodies(command).size();
}

Json::Value lastSent(Camera& camera, int command, const char* document)
{
    const std::vector<std::string> bodies = camera.requestBodies(command);
    if (bodies.empty())
        return Json::Value();
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string& text = bodies.back();
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
        return Json::Value();
    return *document ? root[document] : root;
}

void settle(Camera& camera)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    GetParam(camera.uid(), [done](int, int, std::string, std::string, char*, int) { done->store(true); });
    frametest::waitFor([&] { return done->load(); });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

void expireRequests()
{
    // Past the longest ordinary time-out (24 s); the SDK sweeps on its next poll.
    frametest::advanceSdkClock(25000);
}

int saveTimedOut(DevicePage& page, Camera& camera, int setCommand, int buttonId)
{
    camera.mute({setCommand});
    const size_t before = sentCount(camera, setCommand);
    QSignalSpy spy(&page, &DevicePage::saved);
    auto* button = page.findChild<QAbstractButton*>(QStringLiteral("ctl_%1").arg(buttonId));
    if (button == nullptr) {
        ADD_FAILURE() << "no button ctl_" << buttonId;
        return kNoAnswer;
    }
    button->click();
    const bool arrived = frametest::waitFor([&] { return sentCount(camera, setCommand) > before; });
    if (arrived)
        expireRequests();
    const int result = arrived ? waitSignal(spy, 20000) : kNoAnswer;
    camera.mute({});
    return result;
}

Json::Value json(const char* text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string t(text);
    if (!reader->parse(t.data(), t.data() + t.size(), &value, &errors))
        ADD_FAILURE() << "not JSON: " << text;
    return value;
}

} // namespace settingstest
