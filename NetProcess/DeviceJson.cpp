#include "DeviceJson.h"

#include <memory>

namespace devicejson {

bool Parse(const char* begin, const char* end, Json::Value& out)
{
    out = Json::Value();
    if (begin == nullptr || end == nullptr || end <= begin)
        return false;
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["allowComments"] = true;
        builder["strictRoot"] = false;
        builder["failIfExtra"] = false;
        builder["stackLimit"] = kMaxDepth;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        Json::Value root;
        if (!reader->parse(begin, end, &root, &errors))
            return false;
        out.swap(root);
        return true;
    } catch (...) {
        // Json::RuntimeError past the depth limit, std::bad_alloc on an absurd document.
        out = Json::Value();
        return false;
    }
}

bool Parse(const std::string& text, Json::Value& out)
{
    return Parse(text.data(), text.data() + text.size(), out);
}

const Json::Value& Member(const Json::Value& value, const char* key)
{
    static const Json::Value null;
    if (!value.isObject())
        return null;
    const Json::Value* found = value.find(key, key + std::char_traits<char>::length(key));
    return found != nullptr ? *found : null;
}

} // namespace devicejson
