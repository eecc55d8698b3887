// Sound devices in place of DirectSound: 16-bit mono PCM playback and capture streams.
//
// Three kinds of device:
// - PortAudio: the system's default output and input; capture runs echo cancellation and noise
//   suppression (EchoCanceller) with the reference signal tapped from what the outputs play.
// - Null: no sound card (servers, CI). Playback consumes samples in real time and discards them;
//   capture delivers silence in real time.
// - File: as Null, but playback appends every played sample to a file and capture delivers the
//   samples of a file (then silence). Used by tests to hear what was played and to speak.
// Automatic (the default) takes PortAudio when it has a default device, else Null; Named takes
// the PortAudio device of that name (else Null).
//
// PortAudio is started only when the first stream opens, and quietly: the sound systems' own
// messages (ALSA's error handler, whatever the probe prints on standard error) go to the log set
// with setAudioLog, and no sound server is started for the probe.
//
// Output latency is kept short (a few blocks): an echo canceller only follows echoes within its
// tail, so the seconds of write-ahead a DirectSound ring allowed would defeat it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct AudioDeviceSettings {
    enum class Kind { Automatic, Null, File, Named };
    Kind kind = Kind::Automatic;
    std::string playbackFile; // File: played samples are appended here ("" discards them)
    std::string captureFile;  // File: samples to capture ("" gives silence)
};

// Process-wide choice of device for streams opened later. Any thread.
void setAudioDevices(const AudioDeviceSettings& settings);
AudioDeviceSettings audioDevices();
// The PortAudio device that Named opens.
void setAudioDeviceName(const std::string& name);
std::string audioDeviceName();
// Applies the choice a text names: "null", "default" (or empty: Automatic), else a device name.
void setAudioDevicesFromText(const std::string& text);
// Applies the environment variable LUMORA_AUDIO_DEVICE when it is set; true when it was.
bool applyAudioDeviceEnvironment();

// Where the sound systems' own messages go (one line each); none drops them. Any thread.
using AudioLog = void (*)(const std::string& line);
void setAudioLog(AudioLog log);

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Waits until `bytes` more fit within the output latency, at most timeoutMs; true when they
    // fit. interrupt() ends a wait early (false).
    virtual bool waitForRoom(std::size_t bytes, int timeoutMs) = 0;
    // Queues samples to play; false when the device failed.
    virtual bool write(const int16_t* samples, std::size_t count) = 0;
    virtual void interrupt() = 0;
    // What kind of device this is ("portaudio", "null", "file").
    virtual const char* kind() const = 0;
};

class AudioInput {
public:
    virtual ~AudioInput() = default;
    // Waits until at least minSamples are captured (at most timeoutMs), then reads up to
    // maxSamples of them. Returns the count read (0 on time-out or interrupt).
    virtual std::size_t read(int16_t* out, std::size_t minSamples, std::size_t maxSamples, int timeoutMs) = 0;
    // Samples captured and not yet read, without waiting.
    virtual std::size_t available() = 0;
    virtual void interrupt() = 0;
    virtual const char* kind() const = 0;
};

// Opens a playback stream: mono 16-bit at sampleRate, keeping at most latencyBytes queued.
// Never null: a device that cannot be opened gives a Null stream.
std::unique_ptr<AudioOutput> openAudioOutput(int sampleRate, std::size_t latencyBytes);
// Opens a capture stream (mono 16-bit at sampleRate); echoCancel runs echo cancellation and noise
// suppression on a PortAudio microphone. Never null.
std::unique_ptr<AudioInput> openAudioInput(int sampleRate, bool echoCancel);

} // namespace platform
