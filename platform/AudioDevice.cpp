#include "AudioDevice.h"

#include "EchoCanceller.h"

#include <alsa/asoundlib.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_settingsMutex;
AudioDeviceSettings g_settings;
std::string g_deviceName;
std::atomic<AudioLog> g_log{nullptr};

void logLine(const std::string& line)
{
    if (AudioLog log = g_log.load())
        log(line);
}

// ---- keeping the sound systems quiet ------------------------------------------------------------

void alsaError(const char*, int, const char* function, int err, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = std::string("ALSA ") + (function ? function : "") + ": " + text;
    if (err != 0)
        line += std::string(" (") + snd_strerror(err) + ")";
    logLine(line);
}

// Holds standard error in a scratch file while the sound systems are probed or a device opened
// (the JACK client library, among others, prints there), then logs what was written. Whatever
// another thread writes meanwhile is logged too. One at a time in the process.
class StderrToLog {
public:
    StderrToLog() : m_lock(s_mutex)
    {
        std::fflush(stderr);
        m_file = std::tmpfile();
        if (m_file == nullptr)
            return;
        m_saved = ::dup(STDERR_FILENO);
        if (m_saved < 0 || ::dup2(::fileno(m_file), STDERR_FILENO) < 0) {
            if (m_saved >= 0)
                ::close(m_saved);
            m_saved = -1;
        }
    }
    ~StderrToLog()
    {
        std::fflush(stderr);
        if (m_saved >= 0) {
            ::dup2(m_saved, STDERR_FILENO);
            ::close(m_saved);
        }
        if (m_file == nullptr)
            return;
        std::rewind(m_file);
        char line[512];
        while (std::fgets(line, sizeof line, m_file) != nullptr) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (!text.empty())
                logLine("sound system: " + text);
        }
        std::fclose(m_file);
    }
    StderrToLog(const StderrToLog&) = delete;
    StderrToLog& operator=(const StderrToLog&) = delete;

private:
    static inline std::mutex s_mutex;
    std::lock_guard<std::mutex> m_lock;
    FILE* m_file = nullptr;
    int m_saved = -1;
};

// ---- devices that keep real time without a sound card -------------------------------------------

// Playback that consumes samples at the stream's rate from the moment they are queued.
class PacedOutput : public AudioOutput {
public:
    PacedOutput(int sampleRate, std::size_t latencyBytes, const std::string& file)
        : m_bytesPerSecond(static_cast<double>(sampleRate) * 2), m_latency(latencyBytes), m_start(Clock::now())
    {
        if (!file.empty())
            m_file = std::fopen(file.c_str(), "ab");
    }
    ~PacedOutput() override
    {
        if (m_file)
            std::fclose(m_file);
    }

    bool waitForRoom(std::size_t bytes, int timeoutMs) override
    {
        std::unique_lock lock(m_mutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        m_interrupted = false;
        for (;;) {
            const double now = nowBytes();
            const double queued = std::max(0.0, m_playEnd - now);
            if (queued + static_cast<double>(bytes) <= static_cast<double>(m_latency))
                return true;
            const double waitBytes = queued + static_cast<double>(bytes) - static_cast<double>(m_latency);
            auto until = Clock::now() + std::chrono::microseconds(static_cast<long>(waitBytes * 1e6 / m_bytesPerSecond) + 1);
            if (until > deadline)
                until = deadline;
            m_cv.wait_until(lock, until, [&] { return m_interrupted; });
            if (m_interrupted || Clock::now() >= deadline)
                return false;
        }
    }

    bool write(const int16_t* samples, std::size_t count) override
    {
        std::lock_guard lock(m_mutex);
        m_playEnd = std::max(m_playEnd, nowBytes()) + static_cast<double>(count * 2);
        if (m_file) {
            if (std::fwrite(samples, 2, count, m_file) != count)
                return false;
            std::fflush(m_file);
        }
        return true;
    }

    void interrupt() override
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
        m_cv.notify_all();
    }

    const char* kind() const override { return m_file ? "file" : "null"; }

private:
    double nowBytes() const
    {
        return std::chrono::duration<double>(Clock::now() - m_start).count() * m_bytesPerSecond;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    const double m_bytesPerSecond;
    const std::size_t m_latency;
    const Clock::time_point m_start;
    double m_playEnd = 0; // device clock, in bytes, at which the queued samples end
    bool m_interrupted = false;
    FILE* m_file = nullptr;
};

// Capture that produces samples at the stream's rate: a file's samples, then silence.
class PacedInput : public AudioInput {
public:
    PacedInput(int sampleRate, const std::string& file) : m_rate(sampleRate), m_start(Clock::now())
    {
        if (file.empty())
            return;
        if (FILE* f = std::fopen(file.c_str(), "rb")) {
            int16_t buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 2, 4096, f)) > 0)
                m_samples.insert(m_samples.end(), buffer, buffer + n);
            std::fclose(f);
        }
        m_fromFile = true;
    }

    std::size_t read(int16_t* out, std::size_t minSamples, std::size_t maxSamples, int timeoutMs) override
    {
        std::unique_lock lock(m_mutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        m_interrupted = false;
        for (;;) {
            const std::size_t ready = availableLocked();
            if (ready >= minSamples && ready > 0) {
                const std::size_t n = std::min(ready, maxSamples);
                for (std::size_t i = 0; i < n; ++i)
                    out[i] = m_delivered + i < m_samples.size() ? m_samples[m_delivered + i] : 0;
                m_delivered += n;
                return n;
            }
            const std::size_t missing = minSamples - ready;
            auto until = Clock::now() + std::chrono::microseconds(static_cast<long>(missing * 1000000 / static_cast<std::size_t>(m_rate)) + 1);
            if (until > deadline)
                until = deadline;
            m_cv.wait_until(lock, until, [&] { return m_interrupted; });
            if (m_interrupted || Clock::now() >= deadline)
                return 0;
        }
    }

    std::size_t available() override
    {
        std::lock_guard lock(m_mutex);
        return availableLocked();
    }

    void interrupt() override
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
        m_cv.notify_all();
    }

    const char* kind() const override { return m_fromFile ? "file" : "null"; }

private:
    std::size_t availableLocked() const
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
        const auto produced = static_cast<std::size_t>(seconds * m_rate);
        return produced > m_delivered ? produced - m_delivered : 0;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    const int m_rate;
    const Clock::time_point m_start;
    std::vector<int16_t> m_samples;
    std::size_t m_delivered = 0;
    bool m_interrupted = false;
    bool m_fromFile = false;
};

// ---- PortAudio ----------------------------------------------------------------------------------

// One Pa_Initialize for the process while any stream is open.
class PortAudioLibrary {
public:
    static bool acquire()
    {
        std::lock_guard lock(s_mutex);
        if (s_users == 0) {
            // The probe asks every host API for its devices: ALSA's complaints go to the log, and
            // JACK is only asked, never started (an application's own setting stays).
            snd_lib_error_set_handler(&alsaError);
            ::setenv("JACK_NO_START_SERVER", "1", 0);
            StderrToLog quiet;
            if (Pa_Initialize() != paNoError)
                return false;
        }
        ++s_users;
        return true;
    }

    // The device of that name (the default one for an empty name) with channels in the
    // direction asked for; paNoDevice when there is none. Called with the library acquired.
    static PaDeviceIndex find(const std::string& name, bool output)
    {
        if (name.empty())
            return output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info != nullptr && info->name != nullptr && name == info->name &&
                (output ? info->maxOutputChannels : info->maxInputChannels) > 0)
                return i;
        }
        logLine("no sound device named \"" + name + "\": the null device plays instead");
        return paNoDevice;
    }

    // Opens a mono 16-bit stream on `device`; null on failure. Quiet as the probe.
    static PaStream* open(PaDeviceIndex device, bool output, int sampleRate, PaStreamCallback* callback, void* user)
    {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        if (info == nullptr)
            return nullptr;
        PaStreamParameters parameters{};
        parameters.device = device;
        parameters.channelCount = 1;
        parameters.sampleFormat = paInt16;
        parameters.suggestedLatency = output ? info->defaultLowOutputLatency : info->defaultLowInputLatency;
        PaStream* stream = nullptr;
        StderrToLog quiet;
        if (Pa_OpenStream(&stream, output ? nullptr : &parameters, output ? &parameters : nullptr, sampleRate, 160,
                          paNoFlag, callback, user) != paNoError)
            return nullptr;
        return stream;
    }
    static void release()
    {
        std::lock_guard lock(s_mutex);
        if (s_users > 0 && --s_users == 0)
            Pa_Terminate();
    }

private:
    static inline std::mutex s_mutex;
    static inline int s_users = 0;
};

class PortAudioOutput : public AudioOutput {
public:
    PortAudioOutput(std::size_t latencyBytes) : m_latencySamples(latencyBytes / 2) {}
    ~PortAudioOutput() override
    {
        if (m_stream) {
            Pa_StopStream(m_stream);
            Pa_CloseStream(m_stream);
        }
        if (m_library)
            PortAudioLibrary::release();
    }

    bool open(int sampleRate, const std::string& name)
    {
        m_library = PortAudioLibrary::acquire();
        if (!m_library)
            return false;
        const PaDeviceIndex device = PortAudioLibrary::find(name, true);
        if (device == paNoDevice)
            return false;
        m_stream = PortAudioLibrary::open(device, true, sampleRate, &PortAudioOutput::callback, this);
        return m_stream != nullptr && Pa_StartStream(m_stream) == paNoError;
    }

    bool waitForRoom(std::size_t bytes, int timeoutMs) override
    {
        std::unique_lock lock(m_mutex);
        m_interrupted = false;
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_interrupted || m_queue.size() + bytes / 2 <= m_latencySamples; }) &&
               !m_interrupted;
    }

    bool write(const int16_t* samples, std::size_t count) override
    {
        std::lock_guard lock(m_mutex);
        m_queue.insert(m_queue.end(), samples, samples + count);
        return true;
    }

    void interrupt() override
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
        m_cv.notify_all();
    }

    const char* kind() const override { return "portaudio"; }

private:
    static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user)
    {
        auto* self = static_cast<PortAudioOutput*>(user);
        auto* out = static_cast<int16_t*>(output);
        {
            std::lock_guard lock(self->m_mutex);
            const std::size_t n = std::min<std::size_t>(frames, self->m_queue.size());
            std::copy_n(self->m_queue.begin(), n, out);
            self->m_queue.erase(self->m_queue.begin(), self->m_queue.begin() + static_cast<long>(n));
            std::fill(out + n, out + frames, int16_t{0});
            self->m_cv.notify_all();
        }
        EchoCanceller::tapPlayback(out, frames);
        return paContinue;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<int16_t> m_queue;
    const std::size_t m_latencySamples;
    bool m_interrupted = false;
    bool m_library = false;
    PaStream* m_stream = nullptr;
};

class PortAudioInput : public AudioInput {
public:
    explicit PortAudioInput(int sampleRate, bool echoCancel) : m_rate(sampleRate)
    {
        if (echoCancel) {
            // 20 ms frames, echoes followed for 256 ms.
            m_canceller = std::make_shared<EchoCanceller>(sampleRate, sampleRate / 50, sampleRate / 4);
        }
    }
    ~PortAudioInput() override
    {
        if (m_canceller)
            EchoCanceller::setPlaybackTap(nullptr);
        if (m_stream) {
            Pa_StopStream(m_stream);
            Pa_CloseStream(m_stream);
        }
        if (m_library)
            PortAudioLibrary::release();
    }

    bool open(const std::string& name)
    {
        m_library = PortAudioLibrary::acquire();
        if (!m_library)
            return false;
        const PaDeviceIndex device = PortAudioLibrary::find(name, false);
        if (device == paNoDevice)
            return false;
        m_stream = PortAudioLibrary::open(device, false, m_rate, &PortAudioInput::callback, this);
        if (m_stream == nullptr)
            return false;
        if (m_canceller)
            EchoCanceller::setPlaybackTap(m_canceller);
        return Pa_StartStream(m_stream) == paNoError;
    }

    std::size_t read(int16_t* out, std::size_t minSamples, std::size_t maxSamples, int timeoutMs) override
    {
        std::unique_lock lock(m_mutex);
        m_interrupted = false;
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return m_interrupted || (m_queue.size() >= minSamples && !m_queue.empty()); }) ||
            m_interrupted)
            return 0;
        const std::size_t n = std::min(maxSamples, m_queue.size());
        std::copy_n(m_queue.begin(), n, out);
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<long>(n));
        return n;
    }

    std::size_t available() override
    {
        std::lock_guard lock(m_mutex);
        return m_queue.size();
    }

    void interrupt() override
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
        m_cv.notify_all();
    }

    const char* kind() const override { return "portaudio"; }

private:
    static int callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user)
    {
        auto* self = static_cast<PortAudioInput*>(user);
        const auto* in = static_cast<const int16_t*>(input);
        std::vector<int16_t> cleaned(in, in + frames);
        if (self->m_canceller)
            self->m_canceller->capture(in, cleaned.data(), frames);
        std::lock_guard lock(self->m_mutex);
        self->m_queue.insert(self->m_queue.end(), cleaned.begin(), cleaned.end());
        // Keep at most two seconds when nobody reads.
        const std::size_t limit = static_cast<std::size_t>(self->m_rate) * 2;
        if (self->m_queue.size() > limit)
            self->m_queue.erase(self->m_queue.begin(), self->m_queue.begin() + static_cast<long>(self->m_queue.size() - limit));
        self->m_cv.notify_all();
        return paContinue;
    }

    const int m_rate;
    std::shared_ptr<EchoCanceller> m_canceller;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<int16_t> m_queue;
    bool m_interrupted = false;
    bool m_library = false;
    PaStream* m_stream = nullptr;
};

} // namespace

void setAudioDevices(const AudioDeviceSettings& settings)
{
    std::lock_guard lock(g_settingsMutex);
    g_settings = settings;
}

AudioDeviceSettings audioDevices()
{
    std::lock_guard lock(g_settingsMutex);
    return g_settings;
}

void setAudioDeviceName(const std::string& name)
{
    std::lock_guard lock(g_settingsMutex);
    g_deviceName = name;
}

std::string audioDeviceName()
{
    std::lock_guard lock(g_settingsMutex);
    return g_deviceName;
}

void setAudioDevicesFromText(const std::string& text)
{
    AudioDeviceSettings settings;
    if (text == "null") {
        settings.kind = AudioDeviceSettings::Kind::Null;
    } else if (!text.empty() && text != "default") {
        settings.kind = AudioDeviceSettings::Kind::Named;
        setAudioDeviceName(text);
    }
    setAudioDevices(settings);
}

bool applyAudioDeviceEnvironment()
{
    const char* text = std::getenv("LUMORA_AUDIO_DEVICE");
    if (text == nullptr)
        return false;
    setAudioDevicesFromText(text);
    return true;
}

void setAudioLog(AudioLog log)
{
    g_log.store(log);
}

std::unique_ptr<AudioOutput> openAudioOutput(int sampleRate, std::size_t latencyBytes)
{
    const auto settings = audioDevices();
    if (settings.kind == AudioDeviceSettings::Kind::Automatic || settings.kind == AudioDeviceSettings::Kind::Named) {
        auto device = std::make_unique<PortAudioOutput>(latencyBytes);
        if (device->open(sampleRate, (settings.kind == AudioDeviceSettings::Kind::Named ? audioDeviceName() : std::string())))
            return device;
    }
    return std::make_unique<PacedOutput>(sampleRate, latencyBytes,
                                         settings.kind == AudioDeviceSettings::Kind::File ? settings.playbackFile : "");
}

std::unique_ptr<AudioInput> openAudioInput(int sampleRate, bool echoCancel)
{
    const auto settings = audioDevices();
    if (settings.kind == AudioDeviceSettings::Kind::Automatic || settings.kind == AudioDeviceSettings::Kind::Named) {
        auto device = std::make_unique<PortAudioInput>(sampleRate, echoCancel);
        if (device->open((settings.kind == AudioDeviceSettings::Kind::Named ? audioDeviceName() : std::string())))
            return device;
    }
    return std::make_unique<PacedInput>(sampleRate,
                                        settings.kind == AudioDeviceSettings::Kind::File ? settings.captureFile : "");
}

} // namespace platform
