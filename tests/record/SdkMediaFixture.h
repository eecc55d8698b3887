// An SDK instance with a simulated camera in this process (CS2 transport) that streams a real
// H.264 fixture and A-law audio, logged in once per test, with the sound devices on files.
#pragma once

#include "DeploymentSettings.h"
#include "AudioDevice.h"
#include "CamSim.h"
#include "DeviceDirectory.h"
#include "LumoraInstance.h"
#include "MediaFixture.h"
#include "../sdk/SdkTestSupport.h"
#include "../video/VideoTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace mediatest {

class SdkMedia : public ::testing::Test {
protected:
    static constexpr const char* kPassword = "media-secret";
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;
    // A recording without a key frame for this long gives up.
    static constexpr int kRecordStartBoundMs = 1000;

    void SetUp() override
    {
        static int counter = 0;
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path()); // the SDK's log file goes to the current folder
        deployment::setP2PDirectory(dir.file("devices"));
        uid = "HOWMEDIA" + std::to_string(::getpid() % 100000) + "N" + std::to_string(counter++);
        speaker = dir.file("speaker.pcm");
        microphone = dir.file("microphone.pcm");
        platform::setAudioDevices({platform::AudioDeviceSettings::Kind::File, speaker, microphone});

        const std::string media = makeMedia();

        LumoraInstance::Options options;
        options.pollIntervalMs = 10;
        options.snapIntervalMs = 50;
        options.firstLoginPauseMs = 0;
        options.recordStartBoundMs = kRecordStartBoundMs;
        sdk = std::make_unique<LumoraInstance>(options);
        sdk->InitLib("", 0);
        sdk->SetMSGCallBack(messages.callback());

        camsim::CamSimOptions camera;
        camera.uid = uid;
        camera.password = kPassword;
        camera.transport = "cs2";
        camera.mediaFile = media;
        camera.width = kWidth;
        camera.height = kHeight;
        camera.fps = 25;
        m_camera = std::make_unique<camsim::CamSim>(camera);
        std::string error;
        ASSERT_TRUE(m_camera->start(error)) << error;
        ASSERT_TRUE(lumora::test::waitPublished(dir.file("devices"), uid));
        ASSERT_GE(sdk->LoginDev(uid, kPassword, results.callback(4003)), 0);
        ASSERT_TRUE(results.wait(4003));
        ASSERT_EQ(results.calls(4003).back().result, 0);
    }

    // The camera's media file: by default 50 pictures of H.264 at 25 a second, a key frame every 10.
    virtual std::string makeMedia()
    {
        const auto units = makeH264(dir.path(), kWidth, kHeight, 25, 50, 10);
        std::vector<char> stream;
        for (const auto& unit : units)
            stream.insert(stream.end(), unit.begin(), unit.end());
        writeFile(dir.file("live.h264"), stream);
        return dir.file("live.h264");
    }

    void TearDown() override
    {
        sdk.reset();
        if (m_camera)
            m_camera->stop();
        platform::setAudioDevices({});
        std::filesystem::current_path(m_oldCwd);
    }

    // Starts live video of the main stream into the window; true when the device agreed.
    bool beginVideo(int window)
    {
        const size_t before = results.count(3006);
        if (sdk->BeginVideo(window, uid, 0, 0, results.callback(3006)) < 0)
            return false;
        return results.wait(3006, before + 1) && results.calls(3006).back().result == 0;
    }

    camsim::CamSim& camera() { return *m_camera; }
    int mask() { return sdk->GetPlayStateMask(uid); }

    TempDir dir;
    std::string uid;
    std::string speaker;
    std::string microphone;
    sdktest::ResultRecorder results;
    sdktest::MessageRecorder messages;
    std::unique_ptr<LumoraInstance> sdk;

private:
    std::filesystem::path m_oldCwd;
    std::unique_ptr<camsim::CamSim> m_camera;
};

} // namespace mediatest
