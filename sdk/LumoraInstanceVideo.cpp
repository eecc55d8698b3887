// Live video, snapshots and stream pictures of LumoraInstance, and the release of a slot's
// channel object.
#include "LumoraInstance.h"

#include "AviRecorder.h"
#include "DeviceJson.h"
#include "MakeDirs.h"
#include "NetLog.h"
#include "NetProImple.h"
#include "NetRWrite.h"
#include "VideoDecoderImple.h"

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace {

constexpr uint16_t kStreamReply = 3006;
constexpr uint16_t kSnapshotReply = 1475;

// "ENC_H264" 0, "ENC_H265" 1, "ENC_MJPEG" 2; anything else 0.
int codecOf(const Json::Value& encode)
{
    if (!encode.isString())
        return 0;
    const std::string text = encode.asString();
    if (text == "ENC_H265")
        return 1;
    if (text == "ENC_MJPEG")
        return 2;
    return 0;
}

int intOf(const Json::Value& value)
{
    return value.isInt() ? value.asInt() : value.isUInt() ? static_cast<int>(value.asUInt()) : 0;
}

std::tm localNow()
{
    std::time_t t = std::time(nullptr);
    std::tm parts{};
    localtime_r(&t, &parts);
    return parts;
}

std::string timeName(const char* format)
{
    const std::tm t = localNow();
    char name[260];
    std::snprintf(name, sizeof name, format, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return name;
}

uint32_t tickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

struct FileClose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// Writes the whole buffer in pieces of at most `piece` bytes; false on a short write.
bool writeFile(const std::string& path, const char* data, size_t length, size_t piece)
{
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return false;
    for (size_t at = 0; at < length; at += piece) {
        const size_t n = std::min(piece, length - at);
        if (std::fwrite(data + at, 1, n, file.get()) != n)
            return false;
    }
    return std::fclose(file.release()) == 0;
}

// Writes the picture under `stem` + ".jpg" in `dir`, or under "stem-N.jpg" when that name is
// taken: a picture never replaces an earlier one. The name used goes to `name`.
bool writeNewPicture(const std::string& dir, const std::string& stem, const char* data, size_t length, size_t piece,
                     std::string& name)
{
    for (int n = 0; n < 1000; ++n) {
        name = n == 0 ? stem + ".jpg" : stem + "-" + std::to_string(n) + ".jpg";
        const std::string path = dir + name;
        // "x": fails when the file exists, so two writers never take the same name either.
        std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wbx"));
        if (!file) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        for (size_t at = 0; at < length; at += piece) {
            const size_t count = std::min(piece, length - at);
            if (std::fwrite(data + at, 1, count, file.get()) != count) {
                file.reset();
                std::remove(path.c_str());
                return false;
            }
        }
        if (std::fclose(file.release()) != 0) {
            std::remove(path.c_str());
            return false;
        }
        return true;
    }
    return false;
}

} // namespace

bool LumoraInstance::takePictureBudget(const std::string& uid)
{
    std::lock_guard<std::mutex> lock(m_pictureMutex);
    PictureBudget& budget = m_pictureBudgets[uid];
    const uint32_t tick = now();
    if (!budget.started) {
        budget.started = true;
        budget.tokens = kUnrequestedPictureBurst;
        budget.tick = tick;
    }
    const uint32_t earned = static_cast<uint32_t>(tick - budget.tick) / kUnrequestedPictureEveryMs;
    if (earned > 0) {
        budget.tokens = std::min<uint32_t>(kUnrequestedPictureBurst, budget.tokens + earned);
        budget.tick += earned * kUnrequestedPictureEveryMs;
    }
    if (budget.tokens == 0) {
        if (budget.dropped++ == 0)
            NETLOG("Dev " << uid << " sends more pictures than asked for; dropping some");
        return false;
    }
    --budget.tokens;
    return true;
}

int LumoraInstance::BeginVideo(int window, std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    bool playing = false;
    const bool found = withSlot(uid, 0, [&](StreamSlot& s) {
        playing = s.streamIndex == stream && (s.playState.load() & PlayStateMask::kVideo);
        if (playing)
            return;
        // Another stream of a playing slot: its decoders keep no queue to flush, and the reply
        // adds the new stream's decoder beside the old one.
        s.streamIndex = stream;
        s.window = window;
        s.streamCallback = cb;
    });
    if (!found)
        return -11;
    if (playing) {
        callResult(cb, kStreamReply, 0, "", uid, nullptr, 0);
        return 0;
    }
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kStreamReply, [this, cb](int code, int result, std::string text, std::string replyUid,
                                                     char* data, int slot) {
            OnVideoStarted(code, result, text, replyUid, data, slot, cb);
        }))
        return -11;
    return session->SendStartVideo(stream, 0);
}

VideoDecoderImple::Host LumoraInstance::channelHost()
{
    VideoDecoderImple::Host host;
    // Each read posts the next as its last act: the stream stays on its worker while it keeps up.
    host.schedule = [this](std::function<void()> task) { m_streamPool.ScheduleNext(std::move(task)); };
    host.scheduleAfter = [this](std::chrono::milliseconds delay, std::function<void()> task) {
        m_streamPool.ScheduleAfter(delay, std::move(task));
    };
    host.playAudio = [this](const char* data, unsigned length, int, uint64_t pts) { PlayAudioFrame(data, length, pts); };
    host.devLost = [this](const std::string& lostUid, int slot) { OnDevLost(lostUid, slot); };
    host.recordEnd = [this](const std::string& endUid, const std::string& path, int status) {
        ReportRecordEnd(endUid, path, status);
    };
    host.recordingFailed = [this](const std::string& failedUid, int slot, AviRecorder* recorder) {
        OnRecordingFailed(failedUid, slot, recorder);
    };
    return host;
}

void LumoraInstance::OnVideoStarted(int code, int result, std::string text, std::string uid, char*, int slot,
                                    DeviceResultCallback cb)
{
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    NetProImple* session = nullptr;
    if (!withDevice(uid, [&](DeviceEntry& e) { session = e.session.get(); }))
        return;
    if (result < 0 || text.empty()) {
        callResult(cb, code, result, text, uid, nullptr, slot);
        return;
    }
    int width = 1280;
    int height = 720;
    int streamIndex = 0;
    int codec = 0;
    Json::Value root;
    if (devicejson::Parse(text, root) && root.isObject()) {
        const Json::Value& video = devicejson::Member(devicejson::Member(root, "Stream.StreamInfo"), "VideoStream");
        width = intOf(devicejson::Member(video, "Width"));
        height = intOf(devicejson::Member(video, "Height"));
        streamIndex = intOf(devicejson::Member(video, "EncCh"));
        codec = codecOf(devicejson::Member(video, "Encode"));
    }
    std::shared_ptr<VideoDecoderImple> channel;
    bool raw = false;
    int window = 0;
    bool hardware = false;
    withSlot(uid, slot, [&](StreamSlot& s) {
        s.width = width;
        s.height = height;
        s.streamIndex = streamIndex;
        raw = static_cast<bool>(s.rawFrameCallback);
        if (!raw && !s.decoder)
            s.decoder = VideoDecoderImple::Create(session, channelHost());
        channel = s.decoder;
        window = s.window;
        hardware = s.hardware.load();
    });
    if (!raw && channel) {
        const int rc = channel->AddDecoder(window, width, height, streamIndex, hardware, codec);
        if (rc < 0) {
            withSlot(uid, slot, [&](StreamSlot& s) {
                if (s.decoder == channel)
                    s.decoder.reset();
            });
            // The application learns that no picture will come.
            NETLOG("decoder set-up failed for " << uid << ": " << width << " x " << height << " codec " << codec);
            callResult(cb, code, rc, text, uid, nullptr, slot);
            return;
        }
    }
    int before = 0;
    withSlot(uid, slot, [&](StreamSlot& s) { before = s.playState.fetch_or(PlayStateMask::kVideo); });
    if (!(before & PlayStateMask::kVideo) && session) {
        if (!raw && channel) {
            session->SetAVDataCallback(channel->LiveSink(), nullptr);
            // The first read runs on the stream pool, so a device that sends nothing never holds
            // the reply poller.
            std::weak_ptr<VideoDecoderImple> weak = channel;
            m_streamPool.Schedule([weak, uid, streamIndex, slot] {
                if (auto self = weak.lock())
                    self->ReadStream(uid, streamIndex, 0, slot, nullptr);
            });
        } else if (raw) {
            session->SetAVDataCallback(
                [this](int type, int status, std::vector<char>& frame, unsigned length, std::string frameUid, int kind,
                       uint64_t pts, int frameSlot) { AVDataProcess(type, status, frame, length, frameUid, kind, pts, frameSlot); },
                nullptr);
            m_streamPool.Schedule([this, uid, streamIndex, slot] { ContinueStream(uid, streamIndex, slot); });
        }
    }
    callResult(cb, code, result, text, uid, nullptr, slot);
}

int LumoraInstance::RePlayVideo(std::string uid)
{
    int stream = 0;
    if (!withSlot(uid, 0, [&](StreamSlot& s) { stream = s.streamIndex; }))
        return -11;
    NetProImple* session = liveSession(uid);
    if (session == nullptr)
        return -11;
    if (!registerReply(uid, kStreamReply, [this](int, int, std::string, std::string replyUid, char*, int slot) {
            OnVideoRestarted(replyUid, slot);
        }))
        return -11;
    return session->SendStartVideo(stream, 0);
}

void LumoraInstance::OnVideoRestarted(std::string uid, int slot)
{
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    std::shared_ptr<VideoDecoderImple> channel;
    int stream = 0;
    withSlot(uid, slot, [&](StreamSlot& s) {
        if (s.playState.load() & PlayStateMask::kVideo)
            channel = s.decoder;
        stream = s.streamIndex;
    });
    if (!channel)
        return;
    // The read waits for the device's first frame itself: no pause on the reply poller.
    std::weak_ptr<VideoDecoderImple> weak = channel;
    m_streamPool.Schedule([weak, uid, stream, slot] {
        if (auto self = weak.lock())
            self->ReadStream(uid, stream, 0, slot, nullptr);
    });
}

int LumoraInstance::EndVideo(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    int mask = 0;
    if (!withSlot(uid, 0, [&](StreamSlot& s) {
            s.streamCallback = cb;
            mask = s.playState.fetch_and(~PlayStateMask::kVideo);
        }))
        return -11;
    NetProImple* session = liveSession(uid);
    if (session != nullptr && registerReply(uid, kStreamReply, [this, cb](int code, int result, std::string text,
                                                                          std::string replyUid, char* data, int slot) {
            OnVideoStopped(code, result, text, replyUid, data, slot, cb);
        }))
        return session->SendStopVideo(stream, 0);
    callResult(cb, kStreamReply, 0, "", uid, nullptr, 0);
    finishLocalRecording(uid, 0);
    withSlot(uid, 0, [&](StreamSlot& s) {
        if (s.decoder && (mask & PlayStateMask::kRecord)) {
            s.decoder->RemoveDecoder(0);
            s.decoder->RemoveDecoder(1);
        }
        if (!s.decoder)
            return;
        s.closing = 0;
        s.width = 0;
        s.height = 0;
        s.streamIndex = 1;
        s.window = 0;
        s.streamCallback = nullptr;
        ReleaseSlotChannel(s);
        ReleaseSlotRecorder(s);
    });
    return -11;
}

void LumoraInstance::OnVideoStopped(int code, int result, std::string text, std::string uid, char* data, int slot,
                                    DeviceResultCallback cb)
{
    if (slot < 0 || slot >= kStreamSlots)
        slot = 0;
    std::shared_ptr<VideoDecoderImple> channel;
    NetProImple* session = nullptr;
    if (!withDevice(uid, [&](DeviceEntry& e) {
            StreamSlot& s = e.slots[static_cast<size_t>(slot)];
            s.playState.fetch_and(~PlayStateMask::kVideo);
            if (!s.rawFrameCallback)
                channel = s.decoder;
            session = e.session.get();
        }))
        return;
    // The recording of the stream ends with it; the application hears of the stop once done.
    finishLocalRecording(uid, slot);
    if (channel) {
        channel->RemoveDecoder(0);
        channel->RemoveDecoder(1);
    }
    callResult(cb, code, result, text, uid, data, slot);
}

int LumoraInstance::finishLocalRecording(const std::string& uid, int slot)
{
    int result = 0;
    withSlot(uid, slot, [&](StreamSlot& s) {
        AviRecorder* recorder = s.recorder.get();
        if (!(s.playState.load() & PlayStateMask::kLocalRecord)) {
            // A recording that ended by itself was reported then; its stop hears it again.
            if (recorder && !recorder->IsOpen())
                result = recorder->Failure();
            return;
        }
        s.playState.fetch_and(~PlayStateMask::kLocalRecord);
        // Nothing writes to the recorder once the channel lets go of it.
        if (s.decoder)
            s.decoder->SetRecorder(nullptr);
        if (recorder)
            result = recorder->Close();
    });
    return result;
}

void LumoraInstance::OnRecordingFailed(const std::string& uid, int slot, AviRecorder* recorder)
{
    std::string path;
    int failure = 0;
    withSlot(uid, slot, [&](StreamSlot& s) {
        if (s.recorder.get() != recorder)
            return;
        s.playState.fetch_and(~PlayStateMask::kLocalRecord);
        failure = recorder->Failure();
        path = failure == AviRecorder::kWriteFailed ? recorder->FailedPath() : recorder->Path();
    });
    if (failure == 0)
        return;
    NETLOG("recording of " << uid << " slot " << slot << " ended: " << failure << " " << path);
    raiseMessage(5, uid, &path, slot, failure);
}

void LumoraInstance::SetVideoDataCallBack(std::string uid, AVDataCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) { s.rawFrameCallback = std::move(cb); });
}

void LumoraInstance::SetbeUseHardware(std::string uid, bool hardware)
{
    withSlot(uid, 0, [hardware](StreamSlot& s) { s.hardware = hardware; });
}

namespace {

// The slot-0 channel of a device and its stream index (null channel when none).
std::pair<std::shared_ptr<VideoDecoderImple>, int> slotChannel(LumoraInstance& instance, const std::string& uid)
{
    std::shared_ptr<VideoDecoderImple> channel;
    int stream = 0;
    instance.withSlot(uid, 0, [&](StreamSlot& s) {
        channel = s.decoder;
        stream = s.streamIndex;
    });
    return {channel, stream};
}

} // namespace

void LumoraInstance::ScaleImage(float scale, int x, int y, std::string uid, int stream, int reserved)
{
    NETLOG_AT(netlog::Level::Debug, "size " << scale << " x " << x << " y " << y << " uid " << uid << " steamtype " << stream);
    auto [channel, index] = slotChannel(*this, uid);
    if (channel)
        channel->ScaleImage(scale, x, y, stream);
}

void LumoraInstance::ResetImage(std::string uid, int index)
{
    auto [channel, stream] = slotChannel(*this, uid);
    if (channel)
        channel->ResetImage(index);
}

void LumoraInstance::RoateImage(std::string uid, int rotation)
{
    auto [channel, stream] = slotChannel(*this, uid);
    if (channel)
        channel->RotateImage(rotation, stream);
}

void LumoraInstance::DrawPicture(const char* bitmapFile, RECT rect, int overlay, std::string uid)
{
    auto [channel, stream] = slotChannel(*this, uid);
    if (channel)
        channel->DrawPicture(bitmapFile ? bitmapFile : "", static_cast<int>(rect.left), static_cast<int>(rect.top),
                             static_cast<int>(rect.right), static_cast<int>(rect.bottom), overlay, stream);
}

int LumoraInstance::GetDevSnapshot(std::string uid, std::string text, DeviceResultCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) { s.streamCallback = cb; });
    return request(uid, kSnapshotReply, [this, cb](int code, int result, std::string replyText, std::string replyUid,
                                                   char*, int slot) {
        callResult(cb, code, result, replyText, replyUid, nullptr, slot);
    },
                   [&text](NetProImple& s) { return s.SendGetDevSnapshot(std::move(text)); });
}

void LumoraInstance::SnapStreamPic(std::string uid, std::string path, DeviceResultCallback cb)
{
    if (!withSlot(uid, 0, [](StreamSlot&) {}))
        return;
    if (path.empty()) {
        const std::string folder = snapFolder();
        if (folder.empty())
            return;
        if (!IsDeviceUid(uid))
            return; // the UID names a folder inside the snapshot folder
        path = folder + "/" + uid + "/";
        if (!MakeDirs(path))
            return;
        path += timeName("%04d%02d%02d-%02d%02d%02d.bmp");
    }
    auto [channel, stream] = slotChannel(*this, uid);
    if (!channel)
        return;
    // The decoder calls back on a stream worker once the file is written.
    channel->SnapBitmap(stream, path, [this, cb](int code, int result, std::string text, std::string cbUid, char* data,
                                                 int length) { callResult(cb, code, result, text, cbUid, data, length); });
}

void LumoraInstance::SavePictureFile(int type, int result, std::vector<char>& frame, unsigned length, std::string uid,
                                     int kind, uint64_t pts, int slot)
{
    // Snapshots and face pictures are written whichever picture sink the session holds: the
    // snapshot a caller asked for would otherwise be dropped while the face stream is off, and
    // a face picture the camera sends at once could be read before the face stream's start
    // reply has switched the sink.
    if (type == 31 || type == 32) {
        SaveSnapJpeg(slot, type, std::move(uid), frame, length);
        return;
    }
    if (type != 34 || length == 0 || length > frame.size())
        return;
    if (length > kMaxPictureBytes) {
        NETLOG("alarm picture of " << length << " bytes from " << uid << " dropped");
        return;
    }
    // Alarm pictures come without a request: a device may send only so many.
    if (!takePictureBudget(uid))
        return;
    const std::time_t seconds = static_cast<std::time_t>(pts);
    std::tm parts{};
    if (!gmtime_r(&seconds, &parts))
        return;
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &parts) == 0)
        return;
    const std::string dir = alarmFolder() + "//";
    if (!MakeDirs(dir + stamp + ".jpg"))
        return;
    std::string name;
    if (!writeNewPicture(dir, stamp, frame.data(), length, length, name))
        NETLOG("alarm picture not written: " << dir << stamp << ".jpg");
}

void LumoraInstance::SaveSnapJpeg(int slot, int type, std::string uid, std::vector<char>& frame, unsigned length)
{
    // The UID names a folder inside the snapshot and face folders.
    if (length == 0 || length > frame.size() || !IsDeviceUid(uid))
        return;
    if (length > kMaxPictureBytes) {
        NETLOG("picture of " << length << " bytes from " << uid << " dropped");
        return;
    }
    if (type == 31) {
        const std::string folder = snapFolder();
        if (folder.empty())
            return;
        const std::string dir = folder + "/" + uid + "/";
        if (!MakeDirs(dir))
            return;
        const std::string name = timeName("%04d%02d%02d-%02d%02d%02d.jpg");
        const std::string path = dir + name;
        if (!writeFile(path, frame.data(), length, length))
            return;
        m_replyPool.Schedule([this, uid, name, path, slot] { raiseMessage(0, uid, &name, slot, 0, &path); });
        return;
    }
    if (type == 32) {
        const std::string folder = faceFolder();
        if (folder.empty())
            return;
        const std::string dir = folder + "/" + uid + "/";
        if (!MakeDirs(dir))
            return;
        // Face pictures while no face stream runs came unasked.
        bool faceStream = false;
        withSlot(uid, slot, [&](StreamSlot& s) { faceStream = (s.playState.load() & PlayStateMask::kFace) != 0; });
        if (!faceStream && !takePictureBudget(uid))
            return;
        const std::tm t = localNow();
        char stem[260];
        std::snprintf(stem, sizeof stem, "%04d%02d%02d-%02d%02d%02d-%ud", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec, tickCount());
        std::string fileName;
        if (!writeNewPicture(dir, stem, frame.data(), length, 512, fileName))
            return;
        const std::string path = dir + fileName;
        raiseMessage(0, uid, &fileName, slot, 0, &path);
    }
}

void LumoraInstance::ContinueStream(std::string uid, int kind, int slot)
{
    NetProImple* session = nullptr;
    int mask = 0;
    if (!withDevice(uid, [&](DeviceEntry& e) {
            if (slot < 0 || slot >= kStreamSlots)
                return;
            session = e.session.get();
            mask = e.slots[static_cast<size_t>(slot)].playState.load();
        }))
        return;
    int needed = 0;
    if (kind == 0 || kind == 1)
        needed = PlayStateMask::kVideo;
    else if (kind == 4)
        needed = PlayStateMask::kRecord;
    else if (kind == 5)
        needed = PlayStateMask::kFace;
    if (needed == 0 || !(mask & needed) || session == nullptr)
        return;
    session->ReadMediaData(kind, 0, nullptr, slot);
}

void LumoraInstance::RemoveSlotDecoders(std::string uid, int slot)
{
    finishLocalRecording(uid, slot);
    std::shared_ptr<VideoDecoderImple> channel;
    withSlot(uid, slot, [&](StreamSlot& s) { channel = s.decoder; });
    if (channel) {
        channel->RemoveDecoder(0);
        channel->RemoveDecoder(1);
    }
}

void LumoraInstance::ReleaseSlotChannel(StreamSlot& slot)
{
    if (!slot.decoder)
        return;
    // The channel stops feeding the slot's recorder before either goes; a read still running
    // keeps the channel until it returns.
    slot.decoder->SetRecorder(nullptr);
    slot.decoder->RemoveDecoder(0);
    slot.decoder->RemoveDecoder(1);
    slot.decoder.reset();
}

void LumoraInstance::stopChannels()
{
    std::vector<std::shared_ptr<VideoDecoderImple>> channels;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        for (auto& [uid, entry] : m_devices)
            for (auto& slot : entry->slots)
                if (slot.decoder)
                    channels.push_back(slot.decoder);
    }
    for (auto& channel : channels)
        channel->StopReading();
}
