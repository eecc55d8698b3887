#include "SettingsJson.h"

#include <cmath>
#include <limits>
#include <memory>

namespace {

const Json::Value& nullValue()
{
    static const Json::Value kNull;
    return kNull;
}

const Json::Value* member(const Json::Value& obj, const char* key)
{
    if (!obj.isObject())
        return nullptr;
    return obj.find(key, key + std::char_traits<char>::length(key));
}

} // namespace

std::optional<Json::Value> ParseDeviceText(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = kMaxDeviceTextDepth;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
            return std::nullopt;
    } catch (const std::exception&) {
        // jsoncpp throws past its stack limit even through a CharReader.
        return std::nullopt;
    }
    if (!root.isObject())
        return std::nullopt;
    return root;
}

const Json::Value& MemberObject(const Json::Value& obj, const char* key)
{
    const Json::Value* v = member(obj, key);
    return v != nullptr && v->isObject() ? *v : nullValue();
}

const Json::Value& MemberArray(const Json::Value& obj, const char* key)
{
    const Json::Value* v = member(obj, key);
    return v != nullptr && v->isArray() ? *v : nullValue();
}

bool MemberBool(const Json::Value& obj, const char* key, bool fallback)
{
    const Json::Value* v = member(obj, key);
    if (v == nullptr)
        return fallback;
    if (v->isBool())
        return v->asBool();
    if (v->isInt64())
        return v->asInt64() != 0;
    if (v->isUInt64())
        return v->asUInt64() != 0;
    return fallback;
}

bool HasInt(const Json::Value& obj, const char* key)
{
    const Json::Value* v = member(obj, key);
    if (v == nullptr || v->isBool())
        return false;
    if (v->isInt())
        return true;
    if (v->isDouble()) {
        const double d = v->asDouble();
        return std::isfinite(d) && d == std::floor(d) && d >= std::numeric_limits<int>::min() &&
               d <= std::numeric_limits<int>::max();
    }
    return false;
}

int MemberInt(const Json::Value& obj, const char* key, int fallback)
{
    if (!HasInt(obj, key))
        return fallback;
    const Json::Value* v = member(obj, key);
    return v->isInt() ? v->asInt() : static_cast<int>(v->asDouble());
}

bool HasString(const Json::Value& obj, const char* key)
{
    const Json::Value* v = member(obj, key);
    return v != nullptr && v->isString();
}

QString MemberText(const Json::Value& obj, const char* key, const QString& fallback)
{
    const Json::Value* v = member(obj, key);
    if (v == nullptr || !v->isString())
        return fallback;
    const char* begin = nullptr;
    const char* end = nullptr;
    v->getString(&begin, &end);
    return QString::fromUtf8(begin, static_cast<qsizetype>(end - begin));
}

std::string WriteCompact(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

std::string WriteStyled(const Json::Value& value)
{
    Json::StyledWriter writer;
    return writer.write(value);
}
