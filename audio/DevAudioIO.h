// The SDK instance's audio pair: one player for listening and one capture for talking, made on
// first use and kept for whichever device starts next.
#pragma once

#include "AudioCapture.h"
#include "AudioPlayer.h"

#include <memory>
#include <mutex>

class NetProImple;

// Sends the sound systems' messages to the SDK log and takes the output device the environment
// names (LUMORA_AUDIO_DEVICE: "null", "default" or a device name), if it names one. Opens
// nothing: the device opens when sound is first needed.
void PrepareSoundDevices();

class DevAudioIO {
public:
    DevAudioIO() = default;
    ~DevAudioIO() { Release(); }
    DevAudioIO(const DevAudioIO&) = delete;
    DevAudioIO& operator=(const DevAudioIO&) = delete;

    void StartListen(long window, FrameBufferPool* pool);
    void StopListen();
    void StartTalk(long window, NetProImple* session);
    void StartTalk(long window, AudioCapture::FrameSink sink);
    void StopTalk();
    // Stops and frees both sides.
    void Release();

    bool Listening();
    bool Talking();

private:
    std::mutex m_mutex; // guards the two pointers; calls come from exports and reply handlers
    std::unique_ptr<AudioPlayer> m_player;
    std::unique_ptr<AudioCapture> m_capture;
};
