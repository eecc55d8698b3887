// Test support of the main frame's tests: a scratch data folder with "Lumora.ini" and a language
// file, and cameras (camsim processes) registered with one tovel-rendezvous process that the
// SDK of this test process uses (FrameSdkEnvironment, linked only into the SDK tests).
#pragma once

#include "ChildProcess.h"

#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <json/json.h>
#include <memory>
#include <string>
#include <vector>

namespace frametest {

// A UID that no camera has; the rendezvous server refuses it at once.
inline constexpr const char kNoCamera[] = "NOCAMERA";

// The rendezvous server string of this test process ("" until the SDK environment is up).
const std::string& serverString();
// The UDP port the cameras answer the LAN probe on.
int searchPort();

// Moves the SDK's millisecond clock forward (it runs with real time plus what the tests added), so
// that a test does not wait seconds of real time for an SDK delay, e.g. the pause before a lost
// device is logged in again. With the SDK environment only.
void advanceSdkClock(uint32_t ms);
// Restarts libLumora's transports with this libTovel link time-out (0: the protocol's own), so
// that a camera that vanished is given up after that long. With the SDK environment only; call it
// while no main frame exists (the restart drops the message callback).
void restartSdkWithLinkTimeout(uint32_t timeoutMs);

// How often the rendezvous server of this test process has seen a camera process register under
// an id; set by the SDK environment (null without it). Called on the test's thread.
using RegistrationCount = std::function<size_t(const std::string& uid)>;
void setRegistrationCount(RegistrationCount count);

// A scratch data folder made current for the client (SetDataFolder): "Lumora.ini" with
// [Language] language=<language> and [PathSetting] folders inside it, and the language files
// "EN_LAN.ini" and "CN_LAN.ini": the tests' own small files with the texts they compare, or,
// with shippedTexts, the files the program ships (for screenshots).
class DataFolder {
public:
    explicit DataFolder(const QString& language = QStringLiteral("EN_LAN"), bool shippedTexts = false);
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString downloadPath() const { return file(QStringLiteral("Download")); }
    void setLanguage(const QString& language);

private:
    QTemporaryDir m_dir;
};

// One simulated camera on libTovel, answering the LAN probe on searchPort(). With a data folder,
// its SD card is that folder's "sd".
class Camera {
public:
    Camera(std::string uid, std::string password, std::string dataDir = std::string());
    ~Camera();
    // Before start: stream this Annex-B file of width x height (synthetic frames otherwise), and
    // print every request with its body (lines()).
    void setMedia(std::string file, int width, int height);
    void setLogRequests(bool on) { m_logRequests = on; }
    // Starts the camera process; with the SDK environment, returns once the camera has registered
    // with the rendezvous server (camsim says it is ready a registration period before that, and a
    // login that looks for it too early asks again only seconds later). launch() then
    // waitRegistered() does the same in two steps, so that several cameras register side by side.
    bool start() { return launch() && waitRegistered(); }
    bool launch();
    bool waitRegistered();
    // Request lines printed so far ("request CODE BYTES BODY"), with setLogRequests.
    std::vector<std::string> lines();
    // SIGKILL: the camera vanishes from the network.
    void kill();
    // An alarm event ("alarm JSON" on its standard input).
    bool pushAlarm(const std::string& json);
    // SD-card sending: after `frames` more record frames the camera holds until -1 lifts it.
    bool holdRecords(int frames);
    // Requests with these commands are answered with a failure from now on (none: all answered).
    bool refuse(const std::vector<int>& commands);
    // From now on these commands get no answer (mute), a text that is not JSON (garble), or, for
    // settings sets, {"res":1} with nothing stored (decline); none: all answered again.
    bool mute(const std::vector<int>& commands);
    bool garble(const std::vector<int>& commands);
    bool decline(const std::vector<int>& commands);
    // From now on these commands are answered only once a later call no longer names them, after
    // the requests that came meanwhile (none: every held answer goes out).
    bool defer(const std::vector<int>& commands);
    // The camera's stored settings document NAME (null when it has none), and a replacement.
    Json::Value document(const std::string& name);
    bool setDocument(const std::string& name, const Json::Value& value);
    // The bodies of the requests with this command the camera has had so far.
    std::vector<std::string> requestBodies(int command);
    const std::string& uid() const { return m_uid; }

private:
    // Waits until the camera has read every line written to it so far.
    bool sync();
    bool sendCodes(const char* verb, const std::vector<int>& commands);

    std::string m_uid;
    std::string m_password;
    std::string m_dataDir;
    std::string m_media;
    int m_width = 0;
    int m_height = 0;
    bool m_logRequests = false;
    size_t m_registrations = 0; // registrations under the id before launch()
    std::vector<std::string> m_lines;
    std::unique_ptr<platform::ChildProcess> m_process;
};

// A unique UID for this test process.
std::string uniqueUid(const char* prefix);

// Waits (processing Qt events) until done() or timeoutMs; the result of done().
bool waitFor(const std::function<bool()>& done, int timeoutMs = 20000);

} // namespace frametest
