#include "LiveViewTestSupport.h"
#include "DeploymentSettings.h"
#include "DeviceDirectory.h"

#include "CAppConfig.h"
#include "ClientPaths.h"
#include "libLumora.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <condition_variable>
#include <unistd.h>

namespace livetest {

namespace {

std::string g_folder;

// libLumora for the whole test program, started in a scratch folder that becomes the current one
// (the SDK writes its log there); the CS2 stand-in finds the cameras through a directory file there.
class LiveSdkEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_oldCwd = std::filesystem::current_path();
        g_folder = (std::filesystem::temp_directory_path() / ("lumora-liveview-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(g_folder);
        std::filesystem::current_path(g_folder);
        deployment::setP2PDirectory(g_folder + "/devices");
        InitLibLumora("", 0);
    }

    void TearDown() override
    {
        DeInitLibLumora();
        std::filesystem::current_path(m_oldCwd);
        std::error_code ec;
        std::filesystem::remove_all(g_folder, ec);
    }

private:
    std::filesystem::path m_oldCwd;
};

[[maybe_unused]] ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new LiveSdkEnvironment);

struct LoginWait {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = -999;
};

} // namespace

const std::string& programFolder()
{
    return g_folder;
}

DataFolder::DataFolder(const std::string& extraIni, const std::string& language)
{
    std::ofstream(m_dir.filePath(QStringLiteral("EN_LAN.ini")).toStdString(), std::ios::binary) << language;
    SetDataFolder(m_dir.path());
    SetResourceFolder(QStringLiteral(LUMORA_BINARY_DIR "/client"));
    writeIni(extraIni);
}

void DataFolder::writeIni(const std::string& extraIni)
{
    const std::string folder = m_dir.path().toStdString();
    std::ofstream(m_dir.filePath(QStringLiteral("Lumora.ini")).toStdString(), std::ios::binary)
        << "[Language]\nlanguage=EN_LAN\n[PathSetting]\nDownloadPath=" << folder << "/Download\nSnapPath=" << folder
        << "/Snap\nRecPath=" << folder << "/Record\nAlarmPath=" << folder << "/Alarm\n"
        << extraIni;
    CAppConfig::GetInstance()->ClearLangFile();
    SetRecPath(folder + "/Record");
    SetSnapPath(folder + "/Snap");
}

Camera::Camera(const char* prefix, std::string mediaFile) : m_media(std::move(mediaFile))
{
    static std::atomic<int> counter{0};
    m_uid = std::string("HOW") + prefix + std::to_string(::getpid() % 100000) + "N" + std::to_string(++counter);
}

Camera::~Camera()
{
    stopVideo();
    if (m_loggedIn)
        LogoutDev(m_uid);
    if (m_sim)
        m_sim->stop();
}

bool Camera::startAndLogin()
{
    camsim::CamSimOptions options;
    options.uid = m_uid;
    options.password = "panel-secret";
    options.transport = "cs2";
    options.mediaFile = m_media;
    options.width = 320;
    options.height = 240;
    m_sim = std::make_unique<camsim::CamSim>(options);
    std::string error;
    if (!m_sim->start(error)) {
        ADD_FAILURE() << error;
        return false;
    }
    // The camera publishes its listener from its own thread; a login before that finds nothing.
    if (!lumora::test::waitPublished(g_folder + "/devices", m_uid)) {
        ADD_FAILURE() << m_uid << " was never published";
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto wait = std::make_shared<LoginWait>();
        const int sent = LoginDev(m_uid, "panel-secret", [wait](int, int result, std::string, std::string, char*, int) {
            std::lock_guard<std::mutex> lock(wait->mutex);
            wait->done = true;
            wait->result = result;
            wait->cv.notify_all();
        });
        if (sent < 0)
            continue;
        std::unique_lock<std::mutex> lock(wait->mutex);
        if (wait->cv.wait_for(lock, std::chrono::seconds(30), [&] { return wait->done; }) && wait->result == 0) {
            m_loggedIn = true;
            return true;
        }
    }
    return false;
}

bool Camera::startVideo()
{
    static std::atomic<int> nextHandle{0x4c560000};
    m_surfaceHandle = ++nextHandle;
    m_surface = std::make_shared<CountingSurface>();
    platform::RegisterVideoSurface(m_surfaceHandle, m_surface);
    if (BeginVideo(m_surfaceHandle, m_uid, 0, 0, DeviceResultCallback()) < 0)
        return false;
    return WaitFor([this] { return m_surface->pictures() > 0 && (mask() & 0x01) != 0; });
}

void Camera::stopVideo()
{
    if (!m_surface)
        return;
    EndVideo(m_uid, 0, 0, DeviceResultCallback());
    platform::UnregisterVideoSurface(m_surfaceHandle);
    m_surface.reset();
}

int Camera::mask() const
{
    return GetPlayStateMask(m_uid);
}

std::string SmallH264()
{
    return videotest::EncodedFixture("h264", 320, 240, 50, 10);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

std::vector<camsim::RecordedRequest> RequestsOf(const camsim::CamSim& sim, uint16_t command)
{
    std::vector<camsim::RecordedRequest> out;
    for (const camsim::RecordedRequest& r : sim.requests())
        if (r.command == command)
            out.push_back(r);
    return out;
}

bool WaitForRequests(const camsim::CamSim& sim, uint16_t command, size_t count, int timeoutMs)
{
    return WaitFor([&] { return RequestsOf(sim, command).size() >= count; }, timeoutMs);
}

} // namespace livetest
