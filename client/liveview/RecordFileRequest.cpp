#include "RecordFileRequest.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>

namespace RecordFileRequest {

namespace {

std::string compact(const Json::Value& value)
{
    return Json::FastWriter().write(value);
}

bool parseObject(const std::string& text, Json::Value& root)
{
    if (text.empty())
        return false;
    Json::Reader reader;
    try {
        return reader.parse(text, root, false) && root.isObject();
    } catch (const std::exception&) {
        return false;
    }
}

// A member of an object, or null when the value is not an object.
const Json::Value& member(const Json::Value& value, const char* name)
{
    static const Json::Value null;
    if (!value.isObject())
        return null;
    const Json::Value* found = value.find(name, name + std::char_traits<char>::length(name));
    return found ? *found : null;
}

// An integer member the way the device may write it: a number (in range) or digits in a string.
int64_t integerOf(const Json::Value& value)
{
    if (value.isInt64())
        return value.asInt64();
    if (value.isUInt64())
        return static_cast<int64_t>(std::min<Json::UInt64>(value.asUInt64(), INT64_MAX));
    if (value.isDouble()) {
        const double d = value.asDouble();
        if (d >= -9.2e18 && d <= 9.2e18)
            return static_cast<int64_t>(d);
        return 0;
    }
    if (value.isString())
        return std::atoll(value.asString().c_str());
    if (value.isBool())
        return value.asBool() ? 1 : 0;
    return 0;
}

// Leading decimal digits of a text (no sign, nothing else), as _wtoi reads a time field.
int digitsOf(const std::string& text)
{
    int n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            break;
        n = n * 10 + (c - '0');
    }
    return n;
}

int secondsOf(const std::string& part)
{
    const std::string hours = part.substr(0, 2);
    const std::string minutes = part.size() > 2 ? part.substr(2, 2) : std::string();
    const std::string seconds = part.size() >= 2 ? part.substr(part.size() - 2) : part;
    return (digitsOf(hours) * 60 + digitsOf(minutes)) * 60 + digitsOf(seconds);
}

// A device that refuses a request answers {"ret": <nonzero>}.
bool refusedAnswer(const Json::Value& root)
{
    const Json::Value& ret = member(root, "ret");
    return !ret.isNull() && integerOf(ret) != 0;
}

} // namespace

std::string Build(int op, const std::string& path, const std::string& uid, std::optional<uint64_t> seekUs,
                  const std::string& name)
{
    Json::Value v(Json::objectValue);
    v["op"] = op;
    v["p"] = path;
    v["sh"] = 0;
    v["si"] = 0;
    v["sl"] = 0;
    v["t"] = uid;
    if (seekUs)
        v["stm"] = static_cast<Json::UInt64>(*seekUs);
    if (op == kDownload)
        v["n"] = name;
    return compact(v);
}

uint64_t SeekMicroseconds(uint32_t seconds)
{
    return static_cast<uint64_t>(seconds) * 1000000u;
}

std::string ListRequest(const std::string& folder)
{
    Json::Value v(Json::objectValue);
    v["e"] = 240000;
    v["m"] = 1;
    v["p"] = folder;
    v["si"] = 0;
    v["st"] = 0;
    return compact(v);
}

std::string PageRequest(const std::string& folder, int start, int count)
{
    Json::Value v(Json::objectValue);
    v["c"] = count;
    v["p"] = folder;
    v["s"] = start;
    return compact(v);
}

std::optional<std::string> ParseRecordPath(const std::string& text)
{
    Json::Value root;
    if (!parseObject(text, root) || refusedAnswer(root) || !member(root, "Rec.Conf").isObject())
        return std::nullopt;
    const Json::Value& path = member(member(member(root, "Rec.Conf"), "DiskInfo"), "Path");
    return path.isString() ? path.asString() : std::string();
}

std::optional<int> ParseListCount(const std::string& text)
{
    Json::Value root;
    if (!parseObject(text, root) || refusedAnswer(root) || !member(root, "li").isObject())
        return std::nullopt;
    const int64_t n = integerOf(member(member(root, "li"), "n"));
    return static_cast<int>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

bool Accepted(int result, const std::string& text)
{
    if (result != 0)
        return false;
    Json::Value root;
    return !parseObject(text, root) || !refusedAnswer(root);
}

std::vector<PageEntry> ParsePage(const std::string& text)
{
    std::vector<PageEntry> entries;
    Json::Value root;
    if (!parseObject(text, root) || refusedAnswer(root))
        return entries;
    const Json::Value& list = member(member(root, "dir"), "l");
    if (!list.isArray())
        return entries;
    entries.reserve(list.size());
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& element = list[i];
        PageEntry entry;
        const Json::Value& name = member(element, "n");
        if (name.isString())
            entry.name = name.asString();
        // 32-bit arithmetic as the device's two halves were meant to be combined, wrapping
        // instead of overflowing.
        const uint32_t sh = static_cast<uint32_t>(integerOf(member(element, "sh")));
        const uint32_t sl = static_cast<uint32_t>(integerOf(member(element, "sl")));
        entry.value = static_cast<int32_t>(sh * 256u + sl);
        entries.push_back(std::move(entry));
    }
    return entries;
}

int RecordLength(const std::string& name)
{
    const std::size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 0)
        return 0;
    const std::string start = name.substr(0, dash);
    const std::string end = name.substr(dash + 1, 6);
    return secondsOf(end) - secondsOf(start);
}

} // namespace RecordFileRequest
