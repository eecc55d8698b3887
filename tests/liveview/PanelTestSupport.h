// Helpers of the side-panel and preset-dialog tests: the language texts they compare and the
// documents the camera recorded, parsed.
#pragma once

#include "LiveViewTestSupport.h"

#include <json/json.h>
#include <string>
#include <vector>

namespace livetest {

inline const char* kPanelLanguage = "[RTPannel]\nPTZTitle=PTZ\nPTZFouce=Focus\nPTZZoom=Zoom\nPTZPreset=Preset\nPTZAdd=Add\n"
                                    "PTZDel=Delete\nPTZIndex=No.\nPTZName=Name\nColor=Colour\nBrightness=Brightness\n"
                                    "Saturtion=Saturation\nAcutance=Sharpness\nContrast=Contrast\nChroma=Hue\n"
                                    "ColorSet=Apply\nDefault=Default\nPresetTitle=Presets\n";

inline Json::Value ParseJson(const std::string& text)
{
    Json::Value value;
    Json::Reader reader;
    if (!reader.parse(text, value))
        return Json::Value();
    return value;
}

// The documents of a command the camera recorded, parsed, in arrival order.
inline std::vector<Json::Value> DocumentsOf(const camsim::CamSim& sim, uint16_t command)
{
    std::vector<Json::Value> out;
    for (const camsim::RecordedRequest& r : RequestsOf(sim, command))
        out.push_back(ParseJson(r.body));
    return out;
}

// {"<name>": inner}
inline Json::Value Wrapped(const char* name, const Json::Value& inner)
{
    Json::Value root;
    root[name] = inner;
    return root;
}

inline Json::Value PtzDocument(int ctrlCmd)
{
    Json::Value inner;
    inner["CtrlCmd"] = ctrlCmd;
    inner["Speed"] = 7;
    return Wrapped("PtzCtrlMsg.info", inner);
}

inline Json::Value OperateDocument(int bitId, int type)
{
    Json::Value inner;
    inner["BitID"] = bitId;
    inner["Type"] = type;
    return Wrapped("PtzOperateBit.info", inner);
}

} // namespace livetest
