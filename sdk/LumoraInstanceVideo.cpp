// Live video, snapshots and stream pictures of LumoraInstance, and the release of a slot's
// channel object. The video pipeline fills the stream parts in; until then a stream start answers
// -1 (-11 without a live link) and the display calls do nothing.
#include "LumoraInstance.h"

#include "NetProImple.h"

int LumoraInstance::BeginVideo(int window, std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::RePlayVideo(std::string uid)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::EndVideo(std::string uid, int stream, int reserved, DeviceResultCallback cb)
{
    if (liveSession(uid) == nullptr)
        return -11;
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kVideo); });
    return request(uid, 3006, std::move(cb), [stream](NetProImple& s) { return s.SendStopVideo(0, stream); });
}

void LumoraInstance::SetVideoDataCallBack(std::string uid, AVDataCallback cb)
{
    withSlot(uid, 0, [&cb](StreamSlot& s) { s.rawFrameCallback = std::move(cb); });
}

void LumoraInstance::SetbeUseHardware(std::string uid, bool hardware)
{
    withSlot(uid, 0, [hardware](StreamSlot& s) { s.hardware = hardware; });
}

void LumoraInstance::ScaleImage(float scale, int x, int y, std::string uid, int stream, int reserved) {}

void LumoraInstance::ResetImage(std::string uid, int index) {}

void LumoraInstance::RoateImage(std::string uid, int rotation) {}

void LumoraInstance::DrawPicture(const char* bitmapFile, RECT rect, int overlay, std::string uid) {}

int LumoraInstance::GetDevSnapshot(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1475, std::move(cb), [&text](NetProImple& s) { return s.SendGetDevSnapshot(std::move(text)); });
}

void LumoraInstance::SnapStreamPic(std::string uid, std::string folder, DeviceResultCallback cb) {}

void LumoraInstance::SavePictureFile(int type, int result, std::vector<char>& frame, unsigned length, std::string uid,
                                     int kind, uint64_t pts, int slot)
{
}

void LumoraInstance::SaveSnapJpeg(int slot, int type, std::string uid, std::vector<char>& frame, unsigned length) {}

void LumoraInstance::ContinueStream(std::string uid, int kind, int slot) {}

void LumoraInstance::RemoveSlotDecoders(std::string uid, int slot) {}

void LumoraInstance::ReleaseSlotChannel(StreamSlot& slot)
{
    // No channel object is made yet.
    slot.decoder = nullptr;
}
