// The device replies the side panel and the preset dialog read. They come from the network:
// anything that is not the expected JSON shape is refused, and entries without a usable id are
// skipped.
//
//   {"PrePointList.info": {"PointsCount": n,
//                          "Points": [{"PtzPreBit.info": {"BitID": id, "Desc": "UTF-8 name"}}, ...]}}
//   {"CamCfg.info": {"Brightness": n, "Saturtion": n, "Acutance": n, "Contrast": n, "Chroma": n, ...}}
//   {"ret": 0, "PtzPreBit.info": {"BitID": id, ...}}   (an add reply; the id is optional)
#pragma once

#include <cstddef>
#include <json/json.h>
#include <optional>
#include <string>
#include <vector>

struct PresetPoint {
    int bitId = 0;
    std::string desc; // UTF-8, may be empty
    int index = 0;    // position in the reply's array, from 0
};

struct PresetListReply {
    int pointsCount = 0; // "PointsCount"; 0 when missing or not an integer
    std::vector<PresetPoint> points;
};

// Nothing when the text is not a JSON object holding a "PrePointList.info" object. Points
// without an integer "BitID" are left out (their index is kept by the others).
std::optional<PresetListReply> ParsePresetListReply(const char* text, std::size_t length);
// The "CamCfg.info" object of a colour reply, whole; nothing otherwise.
std::optional<Json::Value> ParseColourReply(const char* text, std::size_t length);
// The id an add reply names; nothing when it names none.
std::optional<int> ParsePresetAddReply(const char* text, std::size_t length);
