// Test support of the live view's tests: libLumora (the shared library, as the program links it)
// started once per test program in a scratch folder, and simulated cameras in this process on the
// CS2 stand-in transport, logged in and showing live video into a recording surface. The camera
// records every request, so a test reads back exactly what the client sent.
#pragma once

#include "CamSim.h"
#include "VideoTestSupport.h"

#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace livetest {

// The scratch folder of this test program (the SDK's log and the transport's directory lie here).
const std::string& programFolder();

// A data folder made current for the client: "Lumora.ini" with [PathSetting] folders inside it
// (RecPath = <folder>/Record) plus any extra ini text, and a language file with the texts given.
class DataFolder {
public:
    explicit DataFolder(const std::string& extraIni = {}, const std::string& language = {});
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString recordFolder() const { return file(QStringLiteral("Record")); }
    // Rewrites "Lumora.ini" with the folders and extraIni.
    void writeIni(const std::string& extraIni);

private:
    QTemporaryDir m_dir;
};

// A drawing surface that counts the pictures libLumora presents to it.
class CountingSurface : public platform::VideoSurface {
public:
    void present(const platform::SurfacePicture&) override { ++m_pictures; }
    int pictures() const { return m_pictures.load(); }

private:
    std::atomic<int> m_pictures{0};
};

// A simulated camera in this process (CS2 transport, UID containing "HOW").
class Camera {
public:
    // mediaFile: an Annex-B H.264 stream; synthetic frames when empty.
    explicit Camera(const char* prefix, std::string mediaFile = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Starts the camera and logs libLumora in; true when the login succeeded.
    bool startAndLogin();
    // Live video of stream 0 into a recording surface; true once a picture arrived.
    bool startVideo();
    void stopVideo();
    camsim::CamSim& sim() { return *m_sim; }
    const std::string& uid() const { return m_uid; }
    QString quid() const { return QString::fromStdString(m_uid); }
    int mask() const;

private:
    std::string m_uid;
    std::string m_media;
    std::unique_ptr<camsim::CamSim> m_sim;
    int m_surfaceHandle = 0;
    std::shared_ptr<CountingSurface> m_surface;
    bool m_loggedIn = false;
};

// An H.264 stream of 50 small pictures for cameras that must show decodable video.
std::string SmallH264();

// Waits (processing Qt events) until done() or timeoutMs; the result of done().
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000);

// Requests of a command recorded by the camera, in arrival order.
std::vector<camsim::RecordedRequest> RequestsOf(const camsim::CamSim& sim, uint16_t command);
// Waits until the camera recorded `count` requests of a command.
bool WaitForRequests(const camsim::CamSim& sim, uint16_t command, size_t count, int timeoutMs = 20000);

} // namespace livetest
