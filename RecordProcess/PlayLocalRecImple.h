// Local AVI playback into a window (a registered drawing surface): one thread reads the video
// frames at the file's frame rate, decodes them in software and shows them, and feeds the file's
// A-law chunks to its own audio player, as many per frame as keep them at 25 chunks a second.
//
// Thread use: the exported calls (Open, Close, the setters) come from the application's thread;
// the play thread "LocalAviPlay" owns the file while it runs. Open and Close stop and join the
// thread before they touch the file, the decoder or the audio player.
#pragma once

#include "AudioPlayer.h"
#include "AviFile.h"
#include "DecodeBase.h"
#include "FrameBufferPool.h"
#include "PlatformThread.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PlayLocalRecImple {
public:
    // Audio chunks a second in our recordings (40 ms A-law frames).
    static constexpr int kAudioChunksPerSecond = 25;
    static constexpr int kAudioBufferBytes = 640;

    PlayLocalRecImple() = default;
    ~PlayLocalRecImple();
    PlayLocalRecImple(const PlayLocalRecImple&) = delete;
    PlayLocalRecImple& operator=(const PlayLocalRecImple&) = delete;

    // Stops what plays, opens `path` and starts playing it into `window` from frame 0.
    // 0 when playing; -1 when the file cannot be opened, is not a playable recording (no video,
    // a frame rate below 1) or its decoder cannot be set up (the file is closed again).
    int OpenAVIFile(const std::string& path, int window);
    // Stops the play thread and closes the file, the audio output and the decoder; nothing when
    // the playing already ended by itself (the file stays open until the next Open). Returns 0.
    int CloseAVIFile();

    int FrameCount() const { return m_frameCount.load(); }
    // The next frame to play.
    int Position() const { return m_position.load(); }
    // Seeks: the next frame played is n, held to the file's frames (negative counts as 0, past
    // the last frame as the last one).
    void SetPosition(int n);
    void SetPaused(bool paused);
    bool Paused() const { return m_paused.load(); }
    bool Running() const { return m_running.load(); }
    // Rounds of the paused wait so far (lets a caller see the thread parked while paused).
    uint64_t PausedRounds() const { return m_pausedRounds.load(); }

private:
    void run();
    void stopThread();
    // Waits ms milliseconds or until stopped or nudged (seek, pause change).
    void pace(int ms);
    void nudge();

    // Owned by the play thread while it runs, else by the caller of Open/Close.
    std::unique_ptr<AviFile> m_avi;
    int m_fps = 0;
    std::vector<char> m_frameBuffer;
    std::vector<char> m_audioBuffer;
    std::unique_ptr<DecodeBase> m_decoder;
    int m_decoderCodec = 0;
    std::unique_ptr<AudioPlayer> m_audio;
    std::unique_ptr<FrameBufferPool> m_audioQueue;
    int m_window = 0;
    long m_audioNext = 0; // next audio chunk to feed

    std::atomic<int> m_frameCount{0};
    std::atomic<int> m_position{0};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_paused{false};
    std::atomic<uint64_t> m_pausedRounds{0};

    std::mutex m_paceMutex;
    std::condition_variable m_paceCv;
    bool m_stop = false;  // guarded by m_paceMutex
    bool m_nudge = false; // guarded by m_paceMutex: a seek or pause change ends the current wait
    platform::Thread m_thread;
};
