// Device recordings of LumoraInstance: the SD-card listing, playback of a recording into a
// window with pause and seek, downloads into the download folder, and their figures.
//
// Playback and downloads both use the record stream of slot 0 (stream index 4, play-state bit
// 0x10) through the slot's channel object, whose record-frame handler decodes the frames or
// writes them to the download file and, when a download ends, calls ReportRecordEnd.
#include "LumoraInstance.h"
#include "DeviceJson.h"

#include "DevAudioIO.h"
#include "FrameBufferPool.h"
#include "MakeDirs.h"
#include "NetLog.h"
#include "NetProImple.h"
#include "NetRWrite.h"
#include "VideoDecoderImple.h"

#include <json/json.h>

namespace {

constexpr uint16_t kRecordOpReply = 1079;
constexpr uint16_t kRecListReply = 1075;
constexpr uint16_t kRecPageReply = 1077;
constexpr int kRecordStream = 4;
// Playback decoders are set up for the largest picture a device records.
constexpr int kPlaybackWidth = 1920;
constexpr int kPlaybackHeight = 1080;

std::string recPathRequest(bool alarm)
{
    Json::Value root;
    root["Vich"] = 0;
    if (alarm)
        root["RecType"] = 1;
    root["Path"] = "/mnt/s0/media/sensor0";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "   ";
    return Json::writeString(builder, root);
}

// The "p" of a record request (the recording's path on the device), else empty.
std::string devicePathOf(const std::string& text)
{
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(text, root) || !root.isObject() || !root["p"].isString())
        return {};
    return root["p"].asString();
}

// The "n" of a download request when it is a bare file name, else empty.
std::string downloadName(const std::string& text)
{
    Json::Value root;
    if (!devicejson::Parse(text, root) || !root.isObject() || !root["n"].isString())
        return {};
    const std::string name = root["n"].asString();
    return VideoDecoderImple::IsBareFileName(name) ? name : std::string();
}

void onRecordStarted(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                     const DeviceResultCallback& cb);
int endRecord(LumoraInstance& sdk, const std::string& uid, std::string text, DeviceResultCallback cb, bool keepCallback);
void onRecordEnded(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                   char* data, const DeviceResultCallback& cb);
void onDownloadStarted(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                       const std::string& path, uint64_t expected, const DeviceResultCallback& cb);

// A stop of an earlier record stream may have left an abandon for a read that had already
// ended; it must not end the first read of the new stream.
void clearStaleAbandon(LumoraInstance& sdk, NetProImple& session, const std::string& uid)
{
    int state = 0;
    sdk.withSlot(uid, 0, [&](StreamSlot& s) { state = s.playState.load(); });
    // The record channel's flag is shared only with the live audio reader's.
    if (!(state & PlayStateMask::kAudio) && session.parser())
        session.parser()->SetAudioAbandon(-1);
}

// A start the device did not accept: a failed reply, or a "ret" other than 0 in its text.
bool refused(int result, const std::string& text)
{
    if (result != 0)
        return true;
    Json::Value root;
    if (!devicejson::Parse(text, root) || !root.isObject())
        return false;
    const Json::Value& ret = root["ret"];
    return ret.isInt() && ret.asInt() != 0;
}

} // namespace

int LumoraInstance::GetDevRecPath(std::string uid, DeviceResultCallback cb)
{
    return GetRecSetting(std::move(uid), recPathRequest(false), std::move(cb));
}

int LumoraInstance::GetDevAlarmRecPath(std::string uid, DeviceResultCallback cb)
{
    return GetRecSetting(std::move(uid), recPathRequest(true), std::move(cb));
}

int LumoraInstance::GetDevRecList(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, kRecListReply, std::move(cb),
                   [&text](NetProImple& s) { return s.SendGetDevRecList(std::move(text)); });
}

int LumoraInstance::GetDevRecPage(std::string uid, std::string text, DeviceResultCallback cb)
{
    // The sizes listed are what a download of these files must reach to be complete.
    std::string folder;
    {
        Json::Value root;
        Json::Reader reader;
        if (reader.parse(text, root) && root.isObject() && root["p"].isString())
            folder = root["p"].asString();
    }
    DeviceResultCallback remember = [this, folder, cb](int code, int result, std::string replyText,
                                                        std::string replyUid, char* data, int value) {
        if (result >= 0 && !folder.empty())
            rememberListing(replyUid, folder, replyText);
        if (cb)
            cb(code, result, std::move(replyText), std::move(replyUid), data, value);
    };
    return request(uid, kRecPageReply, std::move(remember),
                   [&text](NetProImple& s) { return s.SendGetDevRecPage(std::move(text)); });
}

void LumoraInstance::rememberListing(const std::string& uid, const std::string& folder, const std::string& replyText)
{
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(replyText, root) || !root.isObject() || !root["dir"].isObject() || !root["dir"]["l"].isArray())
        return;
    const Json::Value& list = root["dir"]["l"];
    std::lock_guard<std::mutex> lock(m_listedMutex);
    auto& sizes = m_listedSizes[uid];
    // A bound on what a device can make us keep: the oldest listings go first.
    constexpr std::size_t kMaxRemembered = 20000;
    if (sizes.size() + list.size() > kMaxRemembered)
        sizes.clear();
    for (const Json::Value& entry : list) {
        if (!entry.isObject() || !entry["n"].isString())
            continue;
        const Json::Value& sh = entry["sh"];
        const Json::Value& sl = entry["sl"];
        if (!sh.isIntegral() || !sl.isIntegral() || (sh.isInt64() && sh.asInt64() < 0) || (sl.isInt64() && sl.asInt64() < 0))
            continue;
        // The size travels as sh * 256 + sl.
        const uint64_t high = sh.asLargestUInt();
        const uint64_t low = sl.asLargestUInt();
        if (high > (UINT64_MAX - low) / 256)
            continue;
        sizes[folder + "/" + entry["n"].asString()] = high * 256 + low;
    }
}

uint64_t LumoraInstance::listedSize(const std::string& uid, const std::string& devicePath)
{
    std::lock_guard<std::mutex> lock(m_listedMutex);
    auto device = m_listedSizes.find(uid);
    if (device == m_listedSizes.end())
        return 0;
    auto it = device->second.find(devicePath);
    return it == device->second.end() ? 0 : it->second;
}

void LumoraInstance::CheckDownloadStalls()
{
    // Every record channel: a download may stall, and a stopped transfer may never end.
    std::vector<std::shared_ptr<VideoDecoderImple>> channels;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        for (auto& [uid, entry] : m_devices)
            if (entry->slots[0].decoder)
                channels.push_back(entry->slots[0].decoder);
    }
    const uint32_t tick = now();
    for (auto& channel : channels)
        channel->CheckDownloadStall(tick, m_options.downloadStallMs);
}

void LumoraInstance::StartRecordAudio(int window)
{
    std::shared_ptr<DevAudioIO> audio;
    std::shared_ptr<FrameBufferPool> pool;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        if (!m_audioPool)
            m_audioPool = std::make_shared<FrameBufferPool>();
        else
            m_audioPool->Flush();
        if (!m_audio)
            m_audio = std::make_shared<DevAudioIO>();
        audio = m_audio;
        pool = m_audioPool;
    }
    audio->StartListen(window, pool.get());
}

void LumoraInstance::StopRecordAudio(const std::string& uid)
{
    bool listening = false;
    withSlot(uid, 0, [&](StreamSlot& s) { listening = (s.playState.load() & PlayStateMask::kAudio) != 0; });
    if (listening)
        return;
    std::shared_ptr<DevAudioIO> audio;
    {
        std::lock_guard<std::mutex> lock(m_mediaMutex);
        audio = m_audio;
    }
    if (audio)
        audio->StopListen();
}

int LumoraInstance::PlayRemoteRec(int window, std::string uid, std::string text, DeviceResultCallback cb)
{
    if (!withSlot(uid, 0, [&](StreamSlot& s) {
            s.window = window;
            s.streamIndex = kRecordStream;
            s.streamCallback = cb;
        }))
        return -11;
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kRecordOpReply, [this, cb](int code, int result, std::string replyText, std::string replyUid,
                                                       char*, int) {
            onRecordStarted(*this, code, result, replyText, replyUid, cb);
        }))
        return -11;
    return session->SendRecFileOp(std::move(text));
}

void LumoraInstance::PauseRemoteRec(std::string uid, std::string text, DeviceResultCallback)
{
    // Pause and seek are not answered by the device: nothing is registered, nothing called.
    if (NetProImple* session = liveSession(uid))
        session->SendRecFileOp(std::move(text));
}

int LumoraInstance::EndRemoteRecord(std::string uid, std::string text, DeviceResultCallback cb)
{
    return endRecord(*this, uid, std::move(text), std::move(cb), true);
}

int LumoraInstance::DownloadRecFile(std::string uid, std::string text, DeviceResultCallback cb)
{
    if (!withSlot(uid, 0, [&](StreamSlot& s) { s.streamCallback = cb; }))
        return -11;
    // The local name must stay inside the device's download folder.
    const std::string name = downloadName(text);
    if (name.empty()) {
        NETLOG("download of " << uid << " refused: no bare file name");
        return -1;
    }
    if (!IsDeviceUid(uid))
        return kLumoraBadUid; // the UID names a folder inside the download folder
    const std::string path = downloadFolder() + "/" + uid + "/" + name;
    if (!MakeDirs(path)) {
        NETLOG("download folder cannot be made: " << path);
        return -1;
    }
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    withSlot(uid, 0, [&](StreamSlot& s) { s.downloadPath = path; });
    const uint64_t expected = listedSize(uid, devicePathOf(text));
    if (!registerReply(uid, kRecordOpReply, [this, cb, path, expected](int code, int result, std::string replyText,
                                                                       std::string replyUid, char*, int) {
            onDownloadStarted(*this, code, result, replyText, replyUid, path, expected, cb);
        }))
        return -11;
    return session->SendRecFileOp(std::move(text));
}

int LumoraInstance::StopDownloadFile(std::string uid, std::string text, DeviceResultCallback cb)
{
    std::shared_ptr<VideoDecoderImple> channel;
    bool downloading = false;
    if (!withSlot(uid, 0, [&](StreamSlot& s) {
            // Only a download asked for or running is stopped: a playback on the same record
            // stream is left alone.
            downloading = !s.downloadPath.empty();
            if (!downloading)
                return;
            s.playState.fetch_and(~PlayStateMask::kRecord);
            s.downloadPath.clear();
            channel = s.decoder;
        }))
        return -11;
    if (!downloading)
        return -11;
    // The running download ends at once: its file is closed, named ".Uncomplete" and reported -2
    // by the record-frame handler (a read waiting for the device is abandoned for it).
    if (channel)
        channel->CancelDownload();
    return endRecord(*this, uid, std::move(text), std::move(cb), true);
}

int LumoraInstance::DeleteRecFile(std::string, std::string, DeviceResultCallback)
{
    return -11;
}

int64_t LumoraInstance::GetDloadSize(std::string uid)
{
    std::shared_ptr<VideoDecoderImple> channel;
    withSlot(uid, 0, [&](StreamSlot& s) { channel = s.decoder; });
    return channel ? static_cast<int64_t>(channel->GetDloadSize()) : 0;
}

int64_t LumoraInstance::GetPlayPts(std::string uid)
{
    std::shared_ptr<VideoDecoderImple> channel;
    int stream = 0;
    withSlot(uid, 0, [&](StreamSlot& s) {
        channel = s.decoder;
        stream = s.streamIndex;
    });
    return channel ? static_cast<int64_t>(channel->GetPlayPts(stream)) : 0;
}

void LumoraInstance::ReportRecordEnd(std::string uid, std::string path, int result)
{
    Json::Value end;
    end["op"] = 6;
    end["p"] = path;
    end["sh"] = 0;
    end["si"] = 0;
    end["sl"] = 0;
    end["t"] = uid;
    // The device is told to stop; the application's stream callback stays as it was.
    endRecord(*this, uid, Json::FastWriter().write(end), [](int, int, std::string, std::string, char*, int) {}, false);
    withSlot(uid, 0, [&](StreamSlot& s) {
        if (s.downloadPath == path)
            s.downloadPath.clear();
    });
    raiseMessage(5, uid, &path, 0, result);
}

namespace {

void onRecordStarted(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                     const DeviceResultCallback& cb)
{
    const int slot = 0;
    NetProImple* session = nullptr;
    if (!sdk.withDevice(uid, [&](DeviceEntry& e) { session = e.session.get(); }))
        return;
    // A refused (or timed-out) start opens no stream: nothing is read for it.
    if (refused(result, text) || session == nullptr) {
        sdk.callResult(cb, code, result, text, uid, nullptr, slot);
        return;
    }
    std::shared_ptr<VideoDecoderImple> channel;
    bool raw = false;
    int window = 0;
    bool hardware = false;
    sdk.withSlot(uid, slot, [&](StreamSlot& s) {
        s.playState.fetch_or(PlayStateMask::kRecord);
        raw = static_cast<bool>(s.rawFrameCallback);
        if (!raw && !s.decoder)
            s.decoder = VideoDecoderImple::Create(session, sdk.channelHost());
        channel = s.decoder;
        window = s.window;
        hardware = s.hardware.load();
    });
    if (raw) {
        session->SetRecDataCallback([&sdk](int type, int status, std::vector<char>& frame, unsigned length,
                                           std::string frameUid, int kind, uint64_t pts, int frameSlot) {
            sdk.AVDataProcess(type, status, frame, length, frameUid, kind, pts, frameSlot);
        });
        if (channel)
            channel->SetStopAtEmpty(false);
        sdk.streamPool().Schedule([&sdk, uid, slot] { sdk.ContinueStream(uid, kRecordStream, slot); });
        sdk.callResult(cb, code, result, text, uid, nullptr, slot);
        return;
    }
    const int rc = channel->AddDecoder(window, kPlaybackWidth, kPlaybackHeight, kRecordStream, hardware, 0);
    if (rc < 0) {
        sdk.withSlot(uid, slot, [&](StreamSlot& s) {
            s.playState.fetch_and(~PlayStateMask::kRecord);
            if (s.decoder == channel)
                sdk.ReleaseSlotChannel(s);
        });
        NETLOG("record playback decoder set-up failed for " << uid);
        sdk.callResult(cb, code, rc, text, uid, nullptr, slot);
        return;
    }
    clearStaleAbandon(sdk, *session, uid);
    sdk.StartRecordAudio(window);
    session->SetRecDataCallback(channel->RecordSink());
    channel->SetStopAtEmpty(false);
    // The reads run on the stream pool, so a device that sends nothing never holds the reply poll.
    std::weak_ptr<VideoDecoderImple> weak = channel;
    const bool tutk = uid.size() == 20;
    sdk.streamPool().Schedule([weak, uid, slot] {
        if (auto self = weak.lock())
            self->ReadStream(uid, kRecordStream, 0, slot, nullptr);
    });
    if (tutk)
        sdk.streamPool().Schedule([weak, uid, slot] {
            if (auto self = weak.lock())
                self->ReadStream(uid, kRecordStream, 20, slot, nullptr);
        });
    sdk.callResult(cb, code, result, text, uid, nullptr, slot);
}

int endRecord(LumoraInstance& sdk, const std::string& uid, std::string text, DeviceResultCallback cb, bool keepCallback)
{
    std::shared_ptr<VideoDecoderImple> channel;
    if (!sdk.withSlot(uid, 0, [&](StreamSlot& s) {
            if (keepCallback)
                s.streamCallback = cb;
            s.playState.fetch_and(~PlayStateMask::kRecord);
            channel = s.decoder;
        }))
        return -11;
    NetProImple* session = sdk.liveSession(uid);
    if (session != nullptr && sdk.registerReply(uid, kRecordOpReply, [&sdk, cb](int code, int result, std::string replyText,
                                                                            std::string replyUid, char* data, int) {
            onRecordEnded(sdk, code, result, replyText, replyUid, data, cb);
        })) {
        // From now on the reads end at the end marker of what is open: the frames that follow it
        // are the next transfer's, never this playback's.
        if (channel)
            channel->StopRecordPlayback(false);
        return session->SendEndRecFileOp(std::move(text));
    }
    if (channel) {
        channel->StopRecordPlayback(true);
        if (channel->kindMask() & (1 << kRecordStream))
            sdk.StopRecordAudio(uid);
        channel->RemoveDecoder(kRecordStream);
    }
    return -11;
}

void onRecordEnded(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                   char* data, const DeviceResultCallback& cb)
{
    std::shared_ptr<VideoDecoderImple> channel;
    bool raw = false;
    sdk.withSlot(uid, 0, [&](StreamSlot& s) {
        channel = s.decoder;
        raw = static_cast<bool>(s.rawFrameCallback);
    });
    sdk.callResult(cb, code, result, text, uid, data, 0);
    // The answer ends the playback; the reads go on to the end marker of what is still open. A
    // time-out means a silent device: no end is waited for, and a read waiting for one is
    // abandoned.
    if (channel) {
        channel->StopRecordPlayback(result < 0);
        if (!raw && (channel->kindMask() & (1 << kRecordStream))) {
            sdk.StopRecordAudio(uid);
            channel->RemoveDecoder(kRecordStream);
        }
    }
}

void onDownloadStarted(LumoraInstance& sdk, int code, int result, const std::string& text, const std::string& uid,
                       const std::string& path, uint64_t expected, const DeviceResultCallback& cb)
{
    NetProImple* session = nullptr;
    if (!sdk.withDevice(uid, [&](DeviceEntry& e) { session = e.session.get(); }))
        return;
    if (refused(result, text) || session == nullptr) {
        // Refused: no file is made and nothing is read.
        sdk.withSlot(uid, 0, [&](StreamSlot& s) {
            if (s.downloadPath == path)
                s.downloadPath.clear();
        });
        sdk.callResult(cb, code, result, text, uid, nullptr, 0);
        return;
    }
    std::shared_ptr<VideoDecoderImple> channel;
    bool current = false;
    sdk.withSlot(uid, 0, [&](StreamSlot& s) {
        // A stop that came before the answer leaves the path empty: the download does not start.
        current = s.downloadPath == path;
        if (!current)
            return;
        s.playState.fetch_or(PlayStateMask::kRecord);
        if (!s.decoder)
            s.decoder = VideoDecoderImple::Create(session, sdk.channelHost());
        channel = s.decoder;
    });
    if (!current) {
        sdk.callResult(cb, code, result, text, uid, nullptr, 0);
        return;
    }
    // A download the channel still has open is over (a device that accepted a second one).
    std::string stopped;
    const int opened = channel->OpenDownloadFile(path, false, &stopped);
    if (!stopped.empty())
        sdk.raiseMessage(5, uid, &stopped, 0, -2);
    if (opened < 0) {
        sdk.withSlot(uid, 0, [&](StreamSlot& s) {
            s.playState.fetch_and(~PlayStateMask::kRecord);
            s.downloadPath.clear();
        });
        // The device is told to stop sending what cannot be stored.
        Json::Value end;
        end["op"] = 6;
        end["p"] = path;
        end["sh"] = 0;
        end["si"] = 0;
        end["sl"] = 0;
        end["t"] = uid;
        endRecord(sdk, uid, Json::FastWriter().write(end), nullptr, false);
        sdk.callResult(cb, code, -1, text, uid, nullptr, 0);
        return;
    }
    channel->SetDownloadExpected(expected);
    clearStaleAbandon(sdk, *session, uid);
    session->SetRecDataCallback(channel->RecordSink());
    std::weak_ptr<VideoDecoderImple> weak = channel;
    sdk.streamPool().Schedule([weak, uid] {
        if (auto self = weak.lock())
            self->ReadStream(uid, kRecordStream, 0, 0, nullptr);
    });
    sdk.callResult(cb, code, result, text, uid, nullptr, 0);
}

} // namespace
