// Device recordings of LumoraInstance: lists, playback, downloads and their figures. The record
// pipeline fills playback and downloads in; until then they answer -1 (-11 without a live link).
#include "LumoraInstance.h"

#include "NetProImple.h"

#include <json/json.h>

namespace {

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
    return request(uid, 1075, std::move(cb), [&text](NetProImple& s) { return s.SendGetDevRecList(std::move(text)); });
}

int LumoraInstance::GetDevRecPage(std::string uid, std::string text, DeviceResultCallback cb)
{
    return request(uid, 1077, std::move(cb), [&text](NetProImple& s) { return s.SendGetDevRecPage(std::move(text)); });
}

int LumoraInstance::PlayRemoteRec(int window, std::string uid, std::string text, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

void LumoraInstance::PauseRemoteRec(std::string uid, std::string text, DeviceResultCallback cb)
{
    if (NetProImple* session = liveSession(uid))
        session->SendRecFileOp(std::move(text));
}

int LumoraInstance::EndRemoteRecord(std::string uid, std::string text, DeviceResultCallback cb)
{
    if (liveSession(uid) == nullptr)
        return -11;
    withSlot(uid, 0, [](StreamSlot& s) { s.playState.fetch_and(~PlayStateMask::kRecord); });
    return request(uid, 1079, std::move(cb), [&text](NetProImple& s) { return s.SendEndRecFileOp(std::move(text)); });
}

int LumoraInstance::DownloadRecFile(std::string uid, std::string text, DeviceResultCallback cb)
{
    return liveSession(uid) == nullptr ? -11 : -1;
}

int LumoraInstance::StopDownloadFile(std::string uid, std::string text, DeviceResultCallback cb)
{
    if (!withSlot(uid, 0, [](StreamSlot& s) {
            s.playState.fetch_and(~PlayStateMask::kRecord);
            s.downloadPath.clear();
        }))
        return -11;
    EndRemoteRecord(std::move(uid), std::move(text), std::move(cb));
    return -11;
}

int LumoraInstance::DeleteRecFile(std::string uid, std::string file, DeviceResultCallback cb)
{
    return -11;
}

int64_t LumoraInstance::GetDloadSize(std::string uid)
{
    return 0;
}

int64_t LumoraInstance::GetPlayPts(std::string uid)
{
    return 0;
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
    EndRemoteRecord(uid, Json::FastWriter().write(end), nullptr);
    raiseMessage(5, uid, &path, 0, result);
}
