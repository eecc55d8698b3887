// Test support of the device settings pages: one logged-in camera per test program, the texts the
// pages report, and waits for a page's answers.
//
//   SettingsCameras::start(1);                 // in SetUpTestSuite
//   Camera& cam = SettingsCameras::camera(0);
//   ProNetCfgDlg page;
//   ASSERT_EQ(loadPage(page, cam), 0);          // the form now shows the camera's document
//   EXPECT_EQ(savePage(page), 0);               // OK pressed, the device answered
//   Json::Value sent = lastSent(cam, 1040, "NetWork.Eth");
#pragma once

#include "FrameFixture.h"
#include "settings/DevicePage.h"

#include <QString>
#include <QStringList>
#include <QWidget>
#include <climits>
#include <gtest/gtest.h>
#include <json/json.h>
#include <memory>
#include <string>
#include <vector>

namespace settingstest {

using frametest::Camera;

// A page's answer that did not come within the wait.
inline constexpr int kNoAnswer = INT_MIN;

// Cameras shared by the tests of one program: started and logged in on the first call, kept until
// the program ends (a data folder with the shipped language files is made current first).
class SettingsCameras {
public:
    // Makes sure count cameras run and are logged in; false when one could not.
    static bool start(int count, const char* prefix = "SETCAM");
    static Camera& camera(int index);
    static QString uid(int index);
    // The data folder of the program ("Lumora.ini", language files).
    static frametest::DataFolder& data();
};

// The texts the pages report while it lives (the message sink is replaced).
class Messages {
public:
    Messages();
    ~Messages();
    const QStringList& texts() const { return m_texts; }
    void clear() { m_texts.clear(); }
    // Waits (processing events) until a text came; the last one, or an empty text.
    QString waitText(int timeoutMs = 20000);

private:
    QStringList m_texts;
    DevicePage::MessageSink m_previous;
};

// The control of that dialog id on the page; fails the test when missing.
template <class W> W* ctl(QWidget* page, int id)
{
    W* w = page->findChild<W*>(QStringLiteral("ctl_%1").arg(id));
    if (w == nullptr)
        ADD_FAILURE() << "no control ctl_" << id << " of the expected type";
    return w;
}

// Loads the page for the camera and waits for its answer: loaded()'s result, or kNoAnswer.
int loadPage(DevicePage& page, Camera& camera, int timeoutMs = 20000);
int loadPage(DevicePage& page, const QString& uid, int timeoutMs = 20000);
// Presses the page's button with dialog id buttonId (1: OK) and waits for saved(): its result,
// or kNoAnswer when nothing was sent or no answer came.
int savePage(DevicePage& page, int buttonId = 1, int timeoutMs = 20000);
// Waits until the page emits saved(); its result or kNoAnswer.
int waitSaved(DevicePage& page, int timeoutMs = 20000);

// The requests of that command the camera has had, and how many.
size_t sentCount(Camera& camera, int command);
// The document member of the last request of that command (null when none); "" for the whole
// root.
Json::Value lastSent(Camera& camera, int command, const char* document);

// Returns once every answer the camera sent before now has reached the GUI thread and been
// handled: a probe request's answer comes after them, on the same worker, in order.
void settle(Camera& camera);

// Moves the SDK's clock past every request's time-out, so that an unanswered request fails now.
void expireRequests();

// Presses the page's button while the camera answers no request of setCommand, waits until the
// request reached the camera, lets it time out and returns saved()'s result (kNoAnswer when none
// came). The camera answers every command again afterwards.
int saveTimedOut(DevicePage& page, Camera& camera, int setCommand, int buttonId = 1);

// A JSON text of a test's table as a value; fails the test when it does not parse.
Json::Value json(const char* text);

// A test against the program's one camera, which answers every request again at the start of
// each test (no command muted, garbled, declined or refused).
class OneCameraTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SettingsCameras::start(1)); }
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(1));
        ASSERT_TRUE(cam().mute({}) && cam().garble({}) && cam().decline({}) && cam().refuse({}));
    }
    static Camera& cam() { return SettingsCameras::camera(0); }
    Messages messages;
};

// The same, with a fresh page of that class for each test.
template <class Page> class OneCameraPageTest : public OneCameraTest {
protected:
    Page page;
};

} // namespace settingstest
