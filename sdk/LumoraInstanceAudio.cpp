// Listening, talk, face pictures, local recording, local AVI playback and the folders of
// LumoraInstance, and the release of the audio objects. The audio and AVI pipeline fills the
// stream parts in; until then a start answers -1 (-11 without a live link).
#include "LumoraInstance.h"

#include "NetProImple.h"

int LumoraInstance::BeginAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::EndAudio(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    if (liveSession(uid) == nullptr)
        return -11;
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kAudio); });
    return request(uid, 3006, std::move(cb), [stream](NetProImple& s) { return s.SendStopAudio(0, stream); });
}

int LumoraInstance::BeginTalk(std::string uid, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::EndTalk(std::string uid, DeviceResultCallback cb)
{
    if (liveSession(uid) == nullptr)
        return -11;
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kTalk); });
    return request(uid, 1007, std::move(cb), [](NetProImple& s) { return s.SendStopTalk(); });
}

int LumoraInstance::BeginFace(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::EndFace(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    if (liveSession(uid) == nullptr)
        return -11;
    // The slot's closing flag belongs to LogoutDev: ending the face pictures leaves it alone.
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kFace); });
    return request(uid, 1475, std::move(cb), [stream](NetProImple& s) { return s.SendEndFace(stream); });
}

int LumoraInstance::StartRecordFile(std::string uid, int slot, std::string path)
{
    if (slot < 0 || slot >= kStreamSlots || liveSession(uid) == nullptr)
        return -11;
    return -1;
}

int LumoraInstance::StopRecordFile(std::string uid, int slot)
{
    if (slot < 0 || slot >= kStreamSlots || !withDevice(uid, [](DeviceEntry&) {}))
        return -11;
    return -1;
}

int LumoraInstance::PlayLocalAVIFile(std::string path, HWND window)
{
    return -1;
}

void LumoraInstance::EndLocalAVIFile() {}

int LumoraInstance::GetAVIFileFrames()
{
    return 0;
}

void LumoraInstance::SetAVIFileFrame(int frame) {}

int LumoraInstance::GetLocalPlayPos()
{
    return 0;
}

void LumoraInstance::LocalPlayOrStop(int paused) {}

void LumoraInstance::SetDownloadPath(std::string path)
{
    setFolder(m_downloadFolder, std::move(path));
}

void LumoraInstance::SetSnapPath(std::string path)
{
    setFolder(m_snapFolder, std::move(path));
}

void LumoraInstance::SetFacePath(std::string path)
{
    setFolder(m_faceFolder, std::move(path));
}

void LumoraInstance::SetRecPath(std::string path)
{
    setFolder(m_recordFolder, std::move(path));
}

void LumoraInstance::SetComparePath(std::string path)
{
    setFolder(m_compareFolder, std::move(path));
}

void LumoraInstance::SetAlarmPath(std::string path)
{
    setFolder(m_alarmFolder, std::move(path));
}

void LumoraInstance::PlayAudioFrame(const char* data, unsigned length, uint64_t pts) {}

void LumoraInstance::ReleaseSlotRecorder(StreamSlot& slot)
{
    // No recorder is made yet.
    slot.recorder = nullptr;
}

void LumoraInstance::ReleaseAudio() {}
