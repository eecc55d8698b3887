// The per-stream channel of one device: owns the video decoders of the stream's kinds, pulls
// frames one at a time from the device session on the SDK's frame pool (every frame handler
// posts the next read), hands video to its decoder, audio to the listening queue, and writes
// remote-record downloads to disk.
//
// Lifetime: a channel is always held by a shared_ptr. Queued reads and the sinks stored in the
// session hold only a weak_ptr and take a strong one for the length of one step, so a channel
// that its owner drops lives until the step in progress returns and is then freed by it; queued
// steps of a freed channel do nothing.
//
// Threads: the exported operations run on the application's threads, the handlers on frame-pool
// workers (two steps of one channel may run at once). m_decoderLock guards the decoders and every
// call into them; a read holds its lane's read lock (audio read on its own never waits behind a
// video read, which may wait a picture's time for the device); m_downloadLock guards the download
// file, its path, its byte count and the cancel flag; the kind mask and the busy and stop flags
// are atomics.
#pragma once

#include "DecodeBase.h"

#include <LumoraTypes.h>
#include <NetCallbacks.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class AviRecorder;
class NetProImple;

class VideoDecoderImple : public std::enable_shared_from_this<VideoDecoderImple> {
public:
    // What the channel needs of the SDK instance; every member may be empty.
    struct Host {
        // Posts a task on the frame pool.
        std::function<void(std::function<void()>)> schedule;
        // Posts a task on the frame pool once `delay` has passed, holding no worker meanwhile
        // (empty: such a task is posted at once, and its read waits for the device instead).
        std::function<void(std::chrono::milliseconds delay, std::function<void()>)> scheduleAfter;
        // One 320-byte A-law frame for the listening queue.
        std::function<void(const char* data, unsigned length, int frameType, uint64_t pts)> playAudio;
        // The stream's device link died.
        std::function<void(const std::string& uid, int slot)> devLost;
        // A download ended: 0 complete, -1 failed (".error"), -2 cancelled (".Uncomplete").
        std::function<void(const std::string& uid, const std::string& path, int status)> recordEnd;
        // The local recording fed by this channel ended by itself (a failed write, or no key
        // frame within its bound); called once, after the channel has let go of the recorder.
        std::function<void(const std::string& uid, int slot, AviRecorder* recorder)> recordingFailed;
    };

    static constexpr int kAudioTypeFirst = 20;
    static constexpr int kAudioTypeLast = 49;
    static constexpr unsigned kAudioFrameBytes = 320;

    // `session` is the device's session (not owned; may be null, then nothing is read).
    static std::shared_ptr<VideoDecoderImple> Create(NetProImple* session, Host host);
    ~VideoDecoderImple();
    VideoDecoderImple(const VideoDecoderImple&) = delete;
    VideoDecoderImple& operator=(const VideoDecoderImple&) = delete;

    // Wants stream `kind` (0 main and 1 sub exclude each other) and makes its decoder for the
    // window; an existing decoder is only stopped. Negative when the decoder cannot be set up.
    int AddDecoder(int window, int width, int height, int kind, bool hardware, int codec);
    // No longer wants `kind`; frees its decoder. When no kind is left, a read that waits for the
    // device is abandoned and the channel drops every further frame.
    void RemoveDecoder(int kind);
    // `length` bytes of `frame` to the decoder of `kind`; -1 without one, else its result.
    int DecodeFrame(uint64_t pts, int kind, const char* frame, size_t length);

    // One read step: reads one frame of the type that `kind` maps to and hands it to `sink` (or
    // to the sink stored in the session when empty) before returning. A live read (kind 0 or 1)
    // begins a new read chain and retires the older chain of its lane (video, or audio read on
    // its own): a retired chain posts no further read, so at most one runs per lane.
    void ReadStream(std::string uid, int kind, int a, int slot, AVDataCallback sink);
    // Sinks of live streams and of record playback and downloads.
    void OnLiveFrame(int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid,
                     int streamKind, uint64_t pts, int slot);
    void OnRecordFrame(int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid,
                       int streamKind, uint64_t pts, int slot);
    // The two sinks bound to this channel through a weak_ptr, for the session to store.
    AVDataCallback LiveSink();
    AVDataCallback RecordSink();

    // With keep false: opens `path` for a download (closing an earlier one without renaming it)
    // and zeroes the byte count; 0, or -1 when the file cannot be made. With keep true: nothing.
    int OpenDownloadFile(std::string path, bool keep);
    // Ends the running download at the next step: the file is closed, renamed with ".Uncomplete"
    // and reported -2; a step that waits for the device is abandoned so this happens promptly.
    // False when no download is open.
    bool CancelDownload();
    // The size the device listed for the file being downloaded (0: not known). A download that
    // ends before this many bytes have been written ends as failed (".error", -1).
    void SetDownloadExpected(uint64_t bytes);
    // Called periodically with a millisecond tick: a download that has written nothing for longer
    // than `limitMs` ticks ends as failed (".error", -1); a read waiting for the device is
    // abandoned for it. True when this call ended it.
    bool CheckDownloadStall(uint32_t tick, uint32_t limitMs);
    // True when `name` (from a device) is a bare file name: not empty, no '/' or '\\', not "." or "..".
    static bool IsBareFileName(const std::string& name);

    // The local recording fed with this channel's live frames (not owned; null stops feeding it).
    // Returns once no frame is being written to the previous recorder, so the caller may close
    // and free it right after.
    void SetRecorder(AviRecorder* recorder);
    AviRecorder* recorder();

    // Ends the chain of audio read on its own (listening stopped); a read of it waiting for the
    // device is left to the stop request's own abandon.
    void StopAudioLane();

    // Ends the pull loop for good: no step posts another, and a read waiting for the device is
    // abandoned. For the owner's shut-down, whose pool waits for its queue to drain.
    void StopReading();

    void SetStopAtEmpty(bool stop) { m_stopAtEmpty.store(stop); }
    // Pause before retrying a download read that timed out (1 second by default); the retry is
    // posted after it, so no worker waits it out.
    void SetRetryDelay(std::chrono::milliseconds delay) { m_retryDelayMs.store(delay.count()); }

    uint64_t GetPlayPts(int kind);
    void SnapBitmap(int kind, std::string path, DeviceResultCallback done);
    // The decoders made here have no frame queue: nothing to flush.
    void FlushDecoder(int kind);
    void ScaleImage(float scale, int x, int y, int kind);
    void ResetImage(int kind);
    void DrawPicture(const char* bitmapFile, int left, int top, int right, int bottom, int overlay, int kind);
    void RotateImage(int degrees, int kind);
    uint64_t GetDloadSize();

    int kindMask() const { return m_kindMask.load(); }
    bool busy() const { return m_busy.load(); }
    // Runs `fn` on the decoder of `kind` under the decoder lock (null when there is none).
    void withDecoder(int kind, const std::function<void(DecodeBase*)>& fn);

private:
    VideoDecoderImple(NetProImple* session, Host host);
    // The live read chains: lane 0 reads video (and audio sent with it), lane 1 audio read on its
    // own. A chain is named by its lane and the lane's generation when it began; kNoChain marks
    // reads outside the live lanes (record, pictures).
    static constexpr int kNoChain = -1;
    struct Chain {
        int lane = kNoChain;
        uint64_t generation = 0;
    };
    // One step of `chain`; returns at once when the chain has been retired.
    void readStep(const std::string& uid, int kind, int a, int slot, AVDataCallback sink, Chain chain);
    bool retired(Chain chain) const;
    // Retires every live chain (a stop): each ends at its next step.
    void retireLiveChains();
    // Posts the next step of the chain of the read in progress (the sinks' case) or of `chain`,
    // once `delay` has passed when one is given.
    void repost(const std::string& uid, int kind, int frameType, int slot, std::chrono::milliseconds delay = {});
    void repost(const std::string& uid, int kind, int frameType, int slot, Chain chain,
                std::chrono::milliseconds delay = {});
    bool linkDead() const;
    void reportLoss(const std::string& uid, int slot);
    // Ends a live (channel 1) or record (channel 4) read waiting for the device.
    void abandonRead(bool record);
    // Closes the download file (the lock held) and renames it with `suffix` unless empty.
    std::string closeDownload(const char* suffix);

    // Decodes with the codec the access unit's parameter sets name: the decoder of `kind` is made
    // anew for it when it was set up for another one.
    void followCodec(int kind, const char* frame, size_t length);

    struct DecoderSetup {
        int window = 0;
        int width = 0;
        int height = 0;
        bool hardware = false;
        int codec = 0;
    };

    std::mutex m_decoderLock;
    std::map<int, std::unique_ptr<DecodeBase>> m_decoders; // by stream kind
    std::map<int, DecoderSetup> m_setups;                  // by stream kind, under m_decoderLock
    // Read locks by lane: [0] video (and record and picture reads), [1] audio read on its own.
    std::timed_mutex m_readLocks[2];
    NetProImple* m_session;
    Host m_host;
    std::atomic<int> m_kindMask{0};
    std::atomic<bool> m_busy{true};
    std::atomic<uint64_t> m_lastVideoPts{0};
    std::atomic<uint64_t> m_lastAudioPts{0};
    std::atomic<bool> m_stopAtEmpty{true};
    std::atomic<bool> m_lossReported{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<long long> m_retryDelayMs{1000};
    std::atomic<uint64_t> m_liveGeneration[2]{};

    std::mutex m_recorderLock; // held while a frame is written to the recorder
    AviRecorder* m_recorder = nullptr;

    std::mutex m_downloadLock;
    uint64_t m_downloadBytes = 0;
    std::FILE* m_downloadFile = nullptr;
    bool m_cancelDownload = true;
    std::string m_downloadPath;
    uint64_t m_downloadExpected = 0;
    bool m_downloadStalled = false;
    bool m_stallArmed = false;
    uint64_t m_stallBytes = 0;
    uint32_t m_stallTick = 0;
};
