// The per-stream channel of one device: owns the video decoders of the stream's kinds, pulls
// frames one at a time from the device session on the SDK's frame pool (every frame handler
// posts the next read), hands video to its decoder, audio to the listening queue, and writes
// remote-record downloads to disk.
//
// The record channel (stream kind 4) carries one transfer after another, playbacks and downloads,
// each ended by its end marker (an empty frame). The channel keeps the transfers the device has
// accepted and not yet ended, oldest first: what a read brings belongs to the oldest, so a
// download holds its own bytes only, never what is left of a playback (or of a stopped download)
// before it, and reads run only while a transfer is open or a playback is shown.
//
// Lifetime: a channel is always held by a shared_ptr. Queued reads and the sinks stored in the
// session hold only a weak_ptr and take a strong one for the length of one step, so a channel
// that its owner drops lives until the step in progress returns and is then freed by it; queued
// steps of a freed channel do nothing.
//
// Threads: the exported operations run on the application's threads, the handlers on frame-pool
// workers (two steps of one channel may run at once). m_decoderLock guards the decoders and every
// call into them; a read holds its lane's read lock (audio read on its own never waits behind a
// video read, which may wait a picture's time for the device); m_recordLock guards the open
// transfers, the download file, its path, its byte count and the cancel flag; the kind mask and
// the busy and stop flags are atomics.
#pragma once

#include "DecodeBase.h"

#include <LumoraTypes.h>
#include <NetCallbacks.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
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
    // For the record stream (kind 4) it is called once the device has accepted a playback: a new
    // transfer, the one shown from now on.
    int AddDecoder(int window, int width, int height, int kind, bool hardware, int codec);
    // No longer wants `kind`; frees its decoder. When no kind is left, a read that waits for the
    // device is abandoned and the channel drops every further frame; for the record stream only
    // when nothing is open on it (a stopped playback's read goes on to its end marker).
    void RemoveDecoder(int kind);
    // `length` bytes of `frame` to the decoder of `kind`; -1 without one, else its result.
    int DecodeFrame(uint64_t pts, int kind, const char* frame, size_t length);

    // One read step: reads one frame of the type that `kind` maps to and hands it to `sink` (or
    // to the sink stored in the session when empty) before returning. A live read (kind 0 or 1)
    // or a record read (kind 4: `a` 20 or more reads ThroughTek record audio) begins a new read
    // chain and retires the older chain of its lane (live video, live audio read on its own,
    // record media, record audio): a retired chain posts no further read, so at most one runs
    // per lane.
    void ReadStream(std::string uid, int kind, int a, int slot, AVDataCallback sink);
    // Sinks of live streams and of record playback and downloads.
    void OnLiveFrame(int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid,
                     int streamKind, uint64_t pts, int slot);
    void OnRecordFrame(int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid,
                       int streamKind, uint64_t pts, int slot);
    // The two sinks bound to this channel through a weak_ptr, for the session to store.
    AVDataCallback LiveSink();
    AVDataCallback RecordSink();

    // With keep false: opens `path` for a download the device has accepted, a new transfer, and
    // zeroes the byte count; 0, or -1 when the file cannot be made. A download still open is
    // closed as stopped (renamed ".Uncomplete", its path in `stopped` for the caller to report).
    // With keep true: nothing.
    int OpenDownloadFile(std::string path, bool keep, std::string* stopped = nullptr);
    // Ends the running download at the next step: the file is closed, renamed with ".Uncomplete"
    // and reported -2; a step that waits for the device is abandoned so this happens promptly.
    // False when no download is open.
    bool CancelDownload();
    // The size the device listed for the file being downloaded (0: not known). A download whose
    // transfer ends before this many bytes have been written (or with none) ends as failed
    // (".error", -1).
    void SetDownloadExpected(uint64_t bytes);
    // Called periodically with a millisecond tick. A download whose record read has brought
    // nothing for longer than `limitMs` ticks ends as failed (".error", -1), and the transfers
    // before it that never ended are forgotten; a read that waits that long for the end of a
    // stopped transfer gives up, and the stopped transfers are forgotten. A read waiting for the
    // device is abandoned for either. True when this call ended a download.
    bool CheckDownloadStall(uint32_t tick, uint32_t limitMs);
    // The record stream's playback is being stopped: from now on the reads end at the end marker
    // of the last transfer open, and a read with nothing left to wait for is abandoned.
    // `deviceSilent`: the stop went unanswered, so no end marker is waited for either (an open
    // download reads on).
    void StopRecordPlayback(bool deviceSilent);
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
    // The read chains: lane 0 reads live video (and audio sent with it), lane 1 live audio read on
    // its own, lane 2 the record channel's media, lane 3 ThroughTek record audio. A chain is named
    // by its lane and the lane's generation when it began; kNoChain marks reads outside the lanes
    // (pictures).
    static constexpr int kNoChain = -1;
    static constexpr int kLiveVideoLane = 0;
    static constexpr int kLiveAudioLane = 1;
    static constexpr int kRecordLane = 2;
    static constexpr int kRecordAudioLane = 3;
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
    // Ends a live (channel 1) or record (channel 4, both readers) read waiting for the device.
    void abandonRead(bool record);
    void abandonRecordMedia();
    // Closes the download file (the lock held) and renames it with `suffix` unless empty.
    std::string closeDownload(const char* suffix);

    // The record channel's transfers; every one of these runs with m_recordLock held.
    enum class TransferKind { Playback, Download };
    struct Transfer {
        TransferKind kind = TransferKind::Playback;
        uint64_t id = 0;
        int link = 0; // the link it runs on: the transfers of a link that has ended end with it
    };
    uint64_t beginTransfer(TransferKind kind);
    void forgetEndedLinks();
    // A read is due: a transfer is open, or the playback shown goes on past its end.
    bool recordReadDue() const;
    // Something still wants the record reads: the open download, or the playback shown.
    bool recordWanted() const;
    bool playbackShown() const;
    // Ends the open download: complete when `complete`, else failed or stopped by its flags.
    // Returns the status to report and sets `path`.
    int endDownload(bool complete, std::string& path);

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
    std::atomic<uint64_t> m_chainGeneration[4]{}; // by lane

    std::mutex m_recorderLock; // held while a frame is written to the recorder
    AviRecorder* m_recorder = nullptr;

    std::mutex m_recordLock;
    // The transfers the device has accepted and not yet ended, oldest first.
    std::deque<Transfer> m_transfers;
    uint64_t m_lastTransfer = 0;
    uint64_t m_playbackTransfer = 0; // the playback shown (0: none)
    uint64_t m_downloadTransfer = 0; // the transfer the open download file takes
    uint64_t m_recordProgress = 0;   // frames and ends the record media read has brought
    uint64_t m_downloadBytes = 0;
    std::FILE* m_downloadFile = nullptr;
    bool m_cancelDownload = true;
    std::string m_downloadPath;
    uint64_t m_downloadExpected = 0;
    bool m_downloadStalled = false;
    bool m_stallArmed = false;
    uint64_t m_stallProgress = 0;
    uint32_t m_stallTick = 0;
};
