#include "PtzReply.h"

#include <memory>

namespace {

std::optional<Json::Value> parseObject(const char* text, std::size_t length)
{
    if (text == nullptr || length == 0)
        return std::nullopt;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = 64; // replies are three levels deep; deeper nesting is refused
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text, text + length, &root, &errors) || !root.isObject())
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return root;
}

} // namespace

std::optional<PresetListReply> ParsePresetListReply(const char* text, std::size_t length)
{
    const std::optional<Json::Value> root = parseObject(text, length);
    if (!root || !(*root)["PrePointList.info"].isObject())
        return std::nullopt;
    const Json::Value& list = (*root)["PrePointList.info"];
    PresetListReply reply;
    if (list["PointsCount"].isInt())
        reply.pointsCount = list["PointsCount"].asInt();
    const Json::Value& points = list["Points"];
    if (!points.isArray())
        return reply;
    for (Json::ArrayIndex i = 0; i < points.size() && i < 0x7fffffff; ++i) {
        const Json::Value& point = points[i];
        if (!point.isObject() || !point["PtzPreBit.info"].isObject())
            continue;
        const Json::Value& bit = point["PtzPreBit.info"];
        if (!bit["BitID"].isInt())
            continue;
        PresetPoint entry;
        entry.bitId = bit["BitID"].asInt();
        entry.desc = bit["Desc"].isString() ? bit["Desc"].asString() : std::string();
        entry.index = static_cast<int>(i);
        reply.points.push_back(std::move(entry));
    }
    return reply;
}

std::optional<Json::Value> ParseColourReply(const char* text, std::size_t length)
{
    const std::optional<Json::Value> root = parseObject(text, length);
    if (!root || !(*root)["CamCfg.info"].isObject())
        return std::nullopt;
    return (*root)["CamCfg.info"];
}

std::optional<int> ParsePresetAddReply(const char* text, std::size_t length)
{
    const std::optional<Json::Value> root = parseObject(text, length);
    if (!root || !(*root)["PtzPreBit.info"].isObject() || !(*root)["PtzPreBit.info"]["BitID"].isInt())
        return std::nullopt;
    return (*root)["PtzPreBit.info"]["BitID"].asInt();
}
