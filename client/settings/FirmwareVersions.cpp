#include "FirmwareVersions.h"

#include <array>
#include <cctype>
#include <climits>
#include <memory>
#include <tuple>

namespace {

constexpr int kMaxDocumentDepth = 32;

// The leading decimal integer of text as atoi reads it (blanks, a sign, digits), saturated at
// the int range; 0 when there is none. pos moves past what was read.
int leadingInt(const std::string& text, size_t& pos, bool* found = nullptr)
{
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long long value = 0;
    bool any = false;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        any = true;
        if (value <= INT_MAX)
            value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    if (found)
        *found = any;
    if (value > INT_MAX)
        value = negative ? static_cast<long long>(INT_MAX) + 1 : INT_MAX;
    return static_cast<int>(negative ? -value : value);
}

// Up to N dot-separated numbers as "%d.%d..." reads them; the ones not read stay 0.
template <size_t N> std::array<int, N> dottedNumbers(const std::string& text)
{
    std::array<int, N> numbers{};
    size_t pos = 0;
    for (size_t i = 0; i < N; ++i) {
        bool found = false;
        numbers[i] = leadingInt(text, pos, &found);
        if (!found) {
            numbers[i] = 0;
            break;
        }
        if (pos >= text.size() || text[pos] != '.')
            break;
        ++pos;
    }
    return numbers;
}

std::optional<std::string> versionText(const std::optional<Json::Value>& part)
{
    if (!part)
        return std::nullopt;
    const Json::Value& version = part->get("Version", Json::Value());
    if (!version.isString())
        return std::nullopt;
    return version.asString();
}

Json::Value copied(const Json::Value& element, const char* key)
{
    return element.get(key, Json::Value());
}

} // namespace

std::optional<Json::Value> ParseVersionDocument(const std::string& bytes)
{
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = kMaxDocumentDepth;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &errors))
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!root.isObject())
        return std::nullopt;
    const Json::Value& direct = root.get("Direct", Json::Value());
    if (!direct.isArray() || direct.empty() || !direct[0u].isObject())
        return std::nullopt;
    return direct[0u];
}

bool CompareVersions(const std::string& deviceVersion, const PublishedFirmware& published)
{
    const std::array<int, 5> device = dottedNumbers<5>(deviceVersion);
    if (const auto custom = versionText(published.custom)) {
        size_t pos = 0;
        if (leadingInt(*custom, pos) > device[0])
            return true;
    }
    if (const auto vendor = versionText(published.vendor)) {
        size_t pos = 0;
        if (leadingInt(*vendor, pos) > device[1])
            return true;
    }
    if (const auto system = versionText(published.system)) {
        const std::array<int, 3> x = dottedNumbers<3>(*system);
        if (std::tie(x[0], x[1], x[2]) > std::tie(device[2], device[3], device[4]))
            return true;
    }
    return false;
}

Json::Value UpgradeBody(const PublishedFirmware& published)
{
    Json::Value body(Json::objectValue);
    if (published.custom) {
        Json::Value& info = body["UpgradeCustomInfo"];
        info["version"] = copied(*published.custom, "Version");
        info["customcheck"] = copied(*published.custom, "CustomCheck");
    }
    if (published.vendor) {
        Json::Value& info = body["UpgradeVendorInfo"];
        info["version"] = copied(*published.vendor, "Version");
        info["vendorcheck"] = copied(*published.vendor, "VendorCheck");
    }
    if (published.system) {
        Json::Value& info = body["UpgradeSystemInfo"];
        info["version"] = copied(*published.system, "Version");
        info["systemcheck"] = copied(*published.system, "SystemCheck");
        info["usrcheck"] = copied(*published.system, "UsrCheck");
        info["webcheck"] = copied(*published.system, "WebCheck");
    }
    return body;
}

std::string VersionDocumentAddress(const std::string& prefix, const std::string& type)
{
    return prefix + type + "msg.json";
}
