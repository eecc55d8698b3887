#include "VideoDecoderImple.h"

#include "DxvaDecoder.h"

#include <AviRecorder.h>
#include <NalUnits.h>
#include <NetLog.h>
#include <NetProImple.h>

#include <cstdio>
#include <thread>
#include <utility>

namespace {

bool isAudio(int frameType)
{
    return frameType >= VideoDecoderImple::kAudioTypeFirst && frameType <= VideoDecoderImple::kAudioTypeLast;
}

// The read in progress on this thread: the sinks are called inside it, on the reading thread, and
// post the next step of its chain. Two lanes of one channel read at once on different workers,
// so this is kept per thread, not per channel.
struct StepContext {
    const void* channel = nullptr;
    int lane = -1;
    uint64_t generation = 0;
    bool delivered = false;
};
thread_local StepContext t_step;

void noteDelivery(const void* channel)
{
    if (t_step.channel == channel)
        t_step.delivered = true;
}

} // namespace

std::shared_ptr<VideoDecoderImple> VideoDecoderImple::Create(NetProImple* session, Host host)
{
    return std::shared_ptr<VideoDecoderImple>(new VideoDecoderImple(session, std::move(host)));
}

VideoDecoderImple::VideoDecoderImple(NetProImple* session, Host host) : m_session(session), m_host(std::move(host)) {}

VideoDecoderImple::~VideoDecoderImple()
{
    m_kindMask.store(0);
    {
        std::lock_guard<std::mutex> lock(m_decoderLock);
        for (auto& [kind, decoder] : m_decoders)
            decoder->UnInit();
        m_decoders.clear();
    }
    std::lock_guard<std::mutex> lock(m_recordLock);
    if (m_downloadFile) {
        std::fclose(m_downloadFile);
        m_downloadFile = nullptr;
    }
}

int VideoDecoderImple::AddDecoder(int window, int width, int height, int kind, bool hardware, int codec)
{
    if (kind < 0 || kind > 30)
        return -1;
    int mask = m_kindMask.load();
    int wanted;
    do {
        wanted = mask | (1 << kind);
        if (kind == 0)
            wanted &= ~0x2;
        else if (kind == 1)
            wanted &= ~0x1;
    } while (!m_kindMask.compare_exchange_weak(mask, wanted));
    {
        std::lock_guard<std::mutex> lock(m_decoderLock);
        auto it = m_decoders.find(kind);
        if (it != m_decoders.end()) {
            it->second->Stop();
        } else {
            auto decoder = std::make_unique<DxvaDecoder>();
            const int rc = decoder->InitDecoder(window, width, height, hardware, codec);
            if (rc < 0)
                return rc;
            m_decoders[kind] = std::move(decoder);
            m_setups[kind] = DecoderSetup{window, width, height, hardware, codec};
            m_busy.store(false);
            m_lossReported.store(false);
        }
    }
    if (kind == 4) {
        // A playback the device has accepted: its transfer follows whatever is still open.
        std::lock_guard<std::mutex> lock(m_recordLock);
        forgetEndedLinks();
        m_playbackTransfer = beginTransfer(TransferKind::Playback);
    }
    return 0;
}

void VideoDecoderImple::RemoveDecoder(int kind)
{
    if (kind < 0 || kind > 30)
        return;
    const int left = m_kindMask.fetch_and(~(1 << kind)) & ~(1 << kind);
    {
        std::lock_guard<std::mutex> lock(m_decoderLock);
        auto it = m_decoders.find(kind);
        if (it != m_decoders.end()) {
            it->second->UnInit();
            m_decoders.erase(it);
        }
        m_setups.erase(kind);
    }
    if (kind == 4) {
        // The playback is no longer shown. What is still open of it (or of a download) is read to
        // its end marker; a read with nothing left to wait for would hold its worker for ever.
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(m_recordLock);
            m_playbackTransfer = 0;
            forgetEndedLinks();
            idle = !recordReadDue() && !m_downloadFile;
        }
        if (m_session && m_session->parser())
            m_session->parser()->AbandonRecordAudio();
        if (idle)
            abandonRecordMedia();
    }
    if (left == 0) {
        m_busy.store(true);
        // The stream's chain ends here: a start that follows before its read notices the stop
        // begins its own chain, and the old one must not go on beside it.
        retireLiveChains();
        // A read waiting for a device that sends nothing would hold its worker for ever: end it,
        // and the audio read on its own beside a live stream too.
        if (kind != 4) {
            abandonRead(false);
            if (m_session && m_session->parser())
                m_session->parser()->SetAudioAbandon(1);
        }
    }
}

void VideoDecoderImple::abandonRead(bool record)
{
    if (!m_session || !m_session->parser())
        return;
    // The link keeps one abandon flag per media channel: live reads wait on channel 1, record
    // playback and downloads on channel 4.
    if (record)
        m_session->parser()->SetAudioAbandon(4);
    else
        m_session->parser()->SetAbandon(1);
}

void VideoDecoderImple::abandonRecordMedia()
{
    if (m_session && m_session->parser())
        m_session->parser()->AbandonRecordMedia();
}

uint64_t VideoDecoderImple::beginTransfer(TransferKind kind)
{
    Transfer transfer;
    transfer.kind = kind;
    transfer.id = ++m_lastTransfer;
    NetRWrite* link = m_session && m_session->parser() ? m_session->parser()->link() : nullptr;
    transfer.link = link ? link->linkId() : 0;
    m_transfers.push_back(transfer);
    const char* what = kind == TransferKind::Playback ? " (playback)" : " (download)";
    NETLOG_AT(netlog::Level::Debug,
              "record transfer " << transfer.id << what << " begun, " << m_transfers.size() << " open");
    return transfer.id;
}

void VideoDecoderImple::forgetEndedLinks()
{
    NetRWrite* link = m_session && m_session->parser() ? m_session->parser()->link() : nullptr;
    const int current = link ? link->linkId() : 0;
    std::erase_if(m_transfers, [current](const Transfer& t) { return t.link != current; });
}

bool VideoDecoderImple::playbackShown() const
{
    return m_playbackTransfer != 0;
}

bool VideoDecoderImple::recordReadDue() const
{
    return !m_transfers.empty() || (playbackShown() && !m_stopAtEmpty.load());
}

bool VideoDecoderImple::recordWanted() const
{
    return (m_downloadFile && !m_cancelDownload && !m_downloadStalled) || (playbackShown() && !m_stopAtEmpty.load());
}

int VideoDecoderImple::endDownload(bool complete, std::string& path)
{
    int status = 0;
    const char* suffix = nullptr;
    if (m_cancelDownload) {
        status = -2;
        suffix = ".Uncomplete";
    } else if (!complete || m_downloadStalled) {
        status = -1;
        suffix = ".error";
    } else if (m_downloadBytes == 0 || m_downloadBytes < m_downloadExpected) {
        // The device ended the transfer early: what was written is not the recording.
        NETLOG("download " << m_downloadPath << " ended at " << m_downloadBytes << " of " << m_downloadExpected
                           << " bytes");
        status = -1;
        suffix = ".error";
    }
    path = closeDownload(suffix);
    m_cancelDownload = false;
    return status;
}

void VideoDecoderImple::StopRecordPlayback(bool deviceSilent)
{
    m_stopAtEmpty.store(true);
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        forgetEndedLinks();
        idle = !m_downloadFile && (deviceSilent || !recordReadDue());
    }
    if (m_session && m_session->parser())
        m_session->parser()->AbandonRecordAudio();
    if (idle)
        abandonRecordMedia();
}

void VideoDecoderImple::followCodec(int kind, const char* frame, size_t length)
{
    const int codec = nal::DetectCodec(frame, length);
    if (codec == nal::kUnknown)
        return;
    std::lock_guard<std::mutex> lock(m_decoderLock);
    auto setup = m_setups.find(kind);
    auto it = m_decoders.find(kind);
    if (setup == m_setups.end() || it == m_decoders.end() || setup->second.codec == codec)
        return;
    DecoderSetup wanted = setup->second;
    wanted.codec = codec;
    auto decoder = std::make_unique<DxvaDecoder>();
    if (decoder->InitDecoder(wanted.window, wanted.width, wanted.height, wanted.hardware, codec) < 0) {
        NETLOG("no decoder for codec " << codec << " of stream kind " << kind);
        return;
    }
    it->second->UnInit();
    it->second = std::move(decoder);
    setup->second = wanted;
}

int VideoDecoderImple::DecodeFrame(uint64_t pts, int kind, const char* frame, size_t length)
{
    std::lock_guard<std::mutex> lock(m_decoderLock);
    auto it = m_decoders.find(kind);
    if (it == m_decoders.end())
        return -1;
    return it->second->DecoderFrame(pts, frame, length);
}

void VideoDecoderImple::ReadStream(std::string uid, int kind, int a, int slot, AVDataCallback sink)
{
    Chain chain;
    if (kind == 0 || kind == 1) {
        chain.lane = isAudio(a) ? kLiveAudioLane : kLiveVideoLane;
        chain.generation = m_chainGeneration[chain.lane].fetch_add(1) + 1;
        if (chain.lane == kLiveVideoLane) {
            // A read in progress now belongs to a retired chain (a step that began before this
            // start), and a silent device would keep it, and this chain behind it, for ever: the
            // stop's abandon may already have been taken by the chain before it. At worst the
            // abandon lands on this chain's own read, which then simply reads again.
            std::unique_lock<std::timed_mutex> reading(m_readLocks[0], std::try_to_lock);
            if (!reading.owns_lock())
                abandonRead(false);
        }
    } else if (kind == 4) {
        chain.lane = isAudio(a) ? kRecordAudioLane : kRecordLane;
        chain.generation = m_chainGeneration[chain.lane].fetch_add(1) + 1;
        if (chain.lane == kRecordLane) {
            // The read in progress belongs to a retired chain; ended, it leaves its frame where it
            // was, for this chain to read.
            std::unique_lock<std::timed_mutex> reading(m_readLocks[0], std::try_to_lock);
            if (!reading.owns_lock())
                abandonRecordMedia();
        }
    }
    readStep(uid, kind, a, slot, std::move(sink), chain);
}

bool VideoDecoderImple::retired(Chain chain) const
{
    return chain.lane != kNoChain && m_chainGeneration[chain.lane].load() != chain.generation;
}

void VideoDecoderImple::retireLiveChains()
{
    m_chainGeneration[kLiveVideoLane].fetch_add(1);
    m_chainGeneration[kLiveAudioLane].fetch_add(1);
}

void VideoDecoderImple::StopAudioLane()
{
    m_chainGeneration[kLiveAudioLane].fetch_add(1);
}

void VideoDecoderImple::readStep(const std::string& uid, int kind, int a, int slot, AVDataCallback sink, Chain chain)
{
    // A step of a live chain waits for the read in progress only while its chain runs: a step
    // retired meanwhile would otherwise wait behind a read of a silent device for ever.
    std::unique_lock<std::timed_mutex> lock(m_readLocks[chain.lane == kLiveAudioLane ? 1 : 0], std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(10)))
        if (retired(chain))
            return;
    if (!m_session || retired(chain))
        return;
    const int mask = m_kindMask.load();
    int type = -1;
    switch (kind) {
    case 0:
        type = (mask & 0x1) ? 0 : (mask & 0x2) ? 1 : -1;
        break;
    case 1:
        type = (mask & 0x2) ? 1 : (mask & 0x1) ? 0 : -1;
        break;
    case 4: {
        std::lock_guard<std::mutex> record(m_recordLock);
        forgetEndedLinks();
        if (chain.lane == kRecordAudioLane)
            type = playbackShown() && !m_stopAtEmpty.load() ? 4 : -1;
        else
            type = recordReadDue() || m_downloadFile ? 4 : -1;
        break;
    }
    case 5:
        type = (mask & 0x20) ? 5 : -1;
        break;
    default:
        break;
    }
    if (type < 0)
        return;
    const StepContext outer = t_step;
    t_step = StepContext{this, chain.lane, chain.generation, false};
    m_session->ReadMediaData(type, a, std::move(sink), slot);
    const bool delivered = t_step.delivered;
    t_step = outer;
    if (delivered)
        return;
    // The read came back without a frame: abandoned by a stop, or cancelled.
    lock.unlock();
    if (type == 4) {
        std::string path;
        int status = 1; // 1: no download ended here
        bool again = false;
        {
            std::lock_guard<std::mutex> record(m_recordLock);
            if (chain.lane == kRecordAudioLane)
                again = playbackShown() && !m_stopAtEmpty.load();
            else if (m_downloadFile && (m_cancelDownload || m_downloadStalled))
                status = endDownload(false, path);
            else
                // An abandon left from a read that had already ended: what is still wanted reads
                // on; a read that only waited for the end of stopped transfers gives up.
                again = recordWanted();
        }
        if (status != 1) {
            if (m_host.recordEnd)
                m_host.recordEnd(uid, path, status);
            return;
        }
        if (again && !linkDead())
            repost(uid, kind, a, slot, chain);
        return;
    }
    // A read of a stream still wanted goes on (an abandon meant for another reader of the link).
    if (type <= 1 && (m_kindMask.load() & (1 << type)) && !m_busy.load() && !linkDead())
        repost(uid, kind, a, slot, chain);
}

void VideoDecoderImple::StopReading()
{
    m_stopped.store(true);
    m_busy.store(true);
    abandonRead(false);
    abandonRead(true);
}

void VideoDecoderImple::repost(const std::string& uid, int kind, int frameType, int slot,
                               std::chrono::milliseconds delay)
{
    // Called from the sink inside a read: the next step belongs to that read's chain.
    Chain chain;
    if (t_step.channel == this) {
        chain.lane = t_step.lane;
        chain.generation = t_step.generation;
    }
    repost(uid, kind, frameType, slot, chain, delay);
}

void VideoDecoderImple::repost(const std::string& uid, int kind, int frameType, int slot, Chain chain,
                               std::chrono::milliseconds delay)
{
    if (!m_host.schedule || m_stopped.load() || retired(chain))
        return;
    std::weak_ptr<VideoDecoderImple> weak = weak_from_this();
    auto step = [weak, uid, kind, frameType, slot, chain] {
        if (std::shared_ptr<VideoDecoderImple> self = weak.lock())
            self->readStep(uid, kind, frameType, slot, nullptr, chain);
    };
    if (delay.count() > 0 && m_host.scheduleAfter)
        m_host.scheduleAfter(delay, std::move(step));
    else
        m_host.schedule(std::move(step));
}

bool VideoDecoderImple::linkDead() const
{
    return !m_session || !m_session->LinkUp();
}

void VideoDecoderImple::reportLoss(const std::string& uid, int slot)
{
    if (!m_lossReported.exchange(true) && m_host.devLost)
        m_host.devLost(uid, slot);
}

AVDataCallback VideoDecoderImple::LiveSink()
{
    std::weak_ptr<VideoDecoderImple> weak = weak_from_this();
    return [weak](int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid, int kind,
                  uint64_t pts, int slot) {
        if (std::shared_ptr<VideoDecoderImple> self = weak.lock())
            self->OnLiveFrame(frameType, status, payload, length, std::move(uid), kind, pts, slot);
    };
}

AVDataCallback VideoDecoderImple::RecordSink()
{
    std::weak_ptr<VideoDecoderImple> weak = weak_from_this();
    return [weak](int frameType, int status, std::vector<char>& payload, unsigned length, std::string uid, int kind,
                  uint64_t pts, int slot) {
        if (std::shared_ptr<VideoDecoderImple> self = weak.lock())
            self->OnRecordFrame(frameType, status, payload, length, std::move(uid), kind, pts, slot);
    };
}

void VideoDecoderImple::OnLiveFrame(int frameType, int status, std::vector<char>& payload, unsigned length,
                                    std::string uid, int streamKind, uint64_t pts, int slot)
{
    noteDelivery(this);
    if (m_busy.load())
        return;
    // The reader's frame buffer may be longer than the frame; `length` must lie inside it.
    const bool whole = length != 0 && length <= payload.size();
    if (isAudio(frameType)) {
        if (length == kAudioFrameBytes && whole) {
            if (m_host.playAudio)
                m_host.playAudio(payload.data(), length, frameType, pts);
            AviRecorder* failed = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_recorderLock);
                if (m_recorder && m_recorder->WriteAudio(payload.data(), length) != 0)
                    failed = std::exchange(m_recorder, nullptr);
            }
            if (failed && m_host.recordingFailed)
                m_host.recordingFailed(uid, slot, failed);
        }
        m_lastAudioPts.store(pts);
        repost(uid, streamKind, frameType, slot);
        return;
    }
    if (whole) {
        DecodeFrame(pts, streamKind, payload.data(), length);
        AviRecorder* failed = nullptr;
        {
            // The recorder starts itself at the first parameter sets. One that ends by itself is
            // let go here, so that nothing more is written to it.
            std::lock_guard<std::mutex> lock(m_recorderLock);
            if (m_recorder && m_recorder->WriteVideo(payload.data(), length, pts) != 0)
                failed = std::exchange(m_recorder, nullptr);
        }
        if (failed && m_host.recordingFailed)
            m_host.recordingFailed(uid, slot, failed);
        m_lastVideoPts.store(pts);
        repost(uid, streamKind, frameType, slot);
        return;
    }
    if (linkDead()) {
        reportLoss(uid, slot);
        return;
    }
    repost(uid, streamKind, frameType, slot);
}

std::string VideoDecoderImple::closeDownload(const char* suffix)
{
    std::string path = m_downloadPath;
    if (m_downloadFile) {
        std::fclose(m_downloadFile);
        m_downloadFile = nullptr;
        if (suffix && *suffix)
            std::rename(path.c_str(), (path + suffix).c_str());
    }
    // Its transfer stays open until its end marker: what the device still sends of it is read
    // and dropped.
    m_downloadTransfer = 0;
    return path;
}

void VideoDecoderImple::OnRecordFrame(int frameType, int status, std::vector<char>& payload, unsigned length,
                                      std::string uid, int streamKind, uint64_t pts, int slot)
{
    noteDelivery(this);
    const bool whole = length != 0 && length <= payload.size();
    if (t_step.channel == this && t_step.lane == kRecordAudioLane) {
        // ThroughTek record audio: the playback's alone, never a download's. An empty frame here
        // is an abandoned read, not the end of a transfer.
        bool shown = false;
        {
            std::lock_guard<std::mutex> lock(m_recordLock);
            shown = playbackShown() && !m_stopAtEmpty.load();
        }
        if (shown && isAudio(frameType) && length == kAudioFrameBytes && whole && m_host.playAudio)
            m_host.playAudio(payload.data(), length, frameType, pts);
        if (!whole && linkDead()) {
            reportLoss(uid, slot);
            return;
        }
        if (shown)
            repost(uid, streamKind, frameType, slot);
        return;
    }

    enum class Use { Drop, Show, Write };
    Use use = Use::Drop;
    int ended = 1; // 1: no download ended at this frame; else the status it ended with
    std::string path;
    bool retry = false;
    bool next = false;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        forgetEndedLinks();
        ++m_recordProgress;
        if (length == 0 && status == -3) {
            // A read that timed out: nothing has ended; an open download waits on.
            retry = m_downloadFile != nullptr;
        } else if (length == 0 && status < 0) {
            // The read failed and the link with it: every transfer on it is over.
            m_transfers.clear();
            if (m_downloadFile)
                ended = endDownload(false, path);
        } else if (length == 0) {
            // The end marker of the oldest transfer open.
            if (!m_transfers.empty()) {
                const Transfer done = m_transfers.front();
                m_transfers.pop_front();
                NETLOG_AT(netlog::Level::Debug, "record transfer " << done.id << " ended, " << m_transfers.size()
                                                                   << " still open");
                if (done.kind == TransferKind::Download && done.id == m_downloadTransfer && m_downloadFile)
                    ended = endDownload(true, path);
            }
        } else {
            // The frame belongs to the oldest transfer open (with none, to the playback shown, which
            // goes on past its end): written when that is the open download, dropped when it is a
            // stopped one. A playback's pictures are shown while a playback is (the last pictures
            // of one stopped just before do no harm there).
            if (!m_transfers.empty()) {
                const Transfer& owner = m_transfers.front();
                if (owner.kind == TransferKind::Download)
                    use = owner.id == m_downloadTransfer && m_downloadFile ? Use::Write : Use::Drop;
                else
                    use = playbackShown() ? Use::Show : Use::Drop;
            } else if (playbackShown() && !m_stopAtEmpty.load()) {
                use = Use::Show;
            }
            if (use == Use::Write && !m_cancelDownload && !m_downloadStalled) {
                // A frame that does not fit its buffer, or a short write (a full disk), fails the
                // download rather than leaving a hole.
                const bool written = whole && std::fwrite(payload.data(), 1, length, m_downloadFile) == length &&
                                     std::fflush(m_downloadFile) == 0;
                if (written) {
                    m_downloadBytes += length;
                } else {
                    if (whole)
                        NETLOG("download write failed: " << m_downloadPath);
                    ended = endDownload(false, path);
                }
            }
        }
        // A download stopped or stalled ends at this step, whatever the frame was.
        if (ended == 1 && m_downloadFile && (m_cancelDownload || m_downloadStalled))
            ended = endDownload(false, path);
        next = recordReadDue();
    }
    if (use == Use::Show) {
        if (isAudio(frameType)) {
            if (length == kAudioFrameBytes && whole && m_host.playAudio)
                m_host.playAudio(payload.data(), length, frameType, pts);
        } else if (whole) {
            // The recording's codec is the stream's own, whatever the playback began with.
            followCodec(streamKind, payload.data(), length);
            DecodeFrame(pts, streamKind, payload.data(), length);
        }
    }
    if (ended != 1 && m_host.recordEnd)
        m_host.recordEnd(uid, path, ended);
    if (retry) {
        // Nothing arrived: the retry comes after the pause, and no worker waits for it.
        repost(uid, streamKind, frameType, slot, std::chrono::milliseconds(m_retryDelayMs.load()));
        return;
    }
    if (!whole && status != -3 && ended == 1 && linkDead()) {
        reportLoss(uid, slot);
        return;
    }
    if (!next)
        return;
    if (use == Use::Write)
        std::this_thread::yield();
    repost(uid, streamKind, frameType, slot);
}

void VideoDecoderImple::SetDownloadExpected(uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    m_downloadExpected = bytes;
}

bool VideoDecoderImple::CheckDownloadStall(uint32_t tick, uint32_t limitMs)
{
    bool download = false;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        forgetEndedLinks();
        // Watched: the record read of an open download, and one that only waits for the end of
        // stopped transfers. A playback shown may pause for as long as it likes.
        download = m_downloadFile && !m_cancelDownload && !m_downloadStalled;
        const bool draining = !m_transfers.empty() && !recordWanted();
        if (!download && !draining) {
            m_stallArmed = false;
            return false;
        }
        if (!m_stallArmed || m_stallProgress != m_recordProgress) {
            m_stallArmed = true;
            m_stallProgress = m_recordProgress;
            m_stallTick = tick;
            return false;
        }
        if (static_cast<uint32_t>(tick - m_stallTick) <= limitMs)
            return false;
        m_stallArmed = false;
        if (download) {
            NETLOG("download " << m_downloadPath << " stalled at " << m_downloadBytes << " bytes");
            m_downloadStalled = true;
            // What was open before it has not ended in all that time: it is not waited for again.
            while (!m_transfers.empty() && m_transfers.front().id != m_downloadTransfer)
                m_transfers.pop_front();
        } else {
            NETLOG("record channel: " << m_transfers.size() << " stopped transfers never ended");
            m_transfers.clear();
        }
    }
    abandonRecordMedia();
    return download;
}

int VideoDecoderImple::OpenDownloadFile(std::string path, bool keep, std::string* stopped)
{
    if (keep)
        return 0;
    std::lock_guard<std::mutex> lock(m_recordLock);
    forgetEndedLinks();
    if (m_downloadFile) {
        // A download still open is over: it ends as stopped, and what the device still sends of
        // it is dropped.
        m_cancelDownload = true;
        std::string earlier;
        endDownload(false, earlier);
        if (stopped)
            *stopped = earlier;
    }
    m_cancelDownload = false;
    m_downloadStalled = false;
    m_stallArmed = false;
    m_downloadExpected = 0;
    m_downloadPath = std::move(path);
    m_downloadBytes = 0;
    m_downloadFile = std::fopen(m_downloadPath.c_str(), "wb");
    if (!m_downloadFile) {
        NETLOG("cannot open download file " << m_downloadPath);
        m_cancelDownload = true;
        return -1;
    }
    // The download the device has accepted: its transfer follows whatever is still open.
    m_downloadTransfer = beginTransfer(TransferKind::Download);
    return 0;
}

void VideoDecoderImple::SetRecorder(AviRecorder* recorder)
{
    std::lock_guard<std::mutex> lock(m_recorderLock);
    m_recorder = recorder;
}

AviRecorder* VideoDecoderImple::recorder()
{
    std::lock_guard<std::mutex> lock(m_recorderLock);
    return m_recorder;
}

bool VideoDecoderImple::CancelDownload()
{
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (!m_downloadFile)
            return false;
        m_cancelDownload = true;
    }
    abandonRecordMedia();
    return true;
}

bool VideoDecoderImple::IsBareFileName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

void VideoDecoderImple::withDecoder(int kind, const std::function<void(DecodeBase*)>& fn)
{
    std::lock_guard<std::mutex> lock(m_decoderLock);
    auto it = m_decoders.find(kind);
    fn(it == m_decoders.end() ? nullptr : it->second.get());
}

uint64_t VideoDecoderImple::GetPlayPts(int kind)
{
    uint64_t pts = 0;
    withDecoder(kind, [&](DecodeBase* d) {
        if (d)
            pts = d->lastPts();
    });
    return pts;
}

void VideoDecoderImple::SnapBitmap(int kind, std::string path, DeviceResultCallback done)
{
    withDecoder(kind, [&](DecodeBase* d) {
        if (d)
            d->SetSnapshot(std::move(path), std::move(done));
    });
}

void VideoDecoderImple::FlushDecoder(int) {}

void VideoDecoderImple::ScaleImage(float scale, int x, int y, int kind)
{
    withDecoder(kind, [&](DecodeBase* d) {
        if (d && d->displayer())
            d->displayer()->SetZoom(scale, x, y);
    });
}

void VideoDecoderImple::ResetImage(int kind)
{
    withDecoder(kind, [&](DecodeBase* d) {
        if (d && d->displayer())
            d->displayer()->Reset();
    });
}

void VideoDecoderImple::DrawPicture(const char* bitmapFile, int left, int top, int right, int bottom, int overlay,
                                    int kind)
{
    withDecoder(kind, [&](DecodeBase* d) {
        if (d)
            d->DrawPicture(bitmapFile, left, top, right, bottom, overlay);
    });
}

void VideoDecoderImple::RotateImage(int degrees, int kind)
{
    withDecoder(kind, [&](DecodeBase* d) {
        if (d)
            d->RotateImage(degrees);
    });
}

uint64_t VideoDecoderImple::GetDloadSize()
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    return m_downloadBytes;
}
