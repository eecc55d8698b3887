// Reading and writing the devices' settings documents. Replies come from the network: a text
// that is not a JSON object, or nests deeper than a settings document ever does, is refused, and
// nothing here throws. A member of the wrong type reads as missing (the fallback), never as a
// converted value: a boolean "IP" does not become "true" in an address field.
//
//   const std::optional<Json::Value> root = ParseDeviceText(text);
//   const Json::Value& eth = MemberObject(*root, "NetWork.Eth");
//   check->setChecked(MemberBool(eth, "DhcpEnble"));
#pragma once

#include <QString>
#include <json/json.h>
#include <optional>
#include <string>

// The root object of a device text; nothing when the text does not parse, is not an object or
// nests deeper than kMaxDeviceTextDepth.
std::optional<Json::Value> ParseDeviceText(const std::string& text);
inline constexpr int kMaxDeviceTextDepth = 32;

// obj[key] when obj is an object holding an object there; a null value otherwise.
const Json::Value& MemberObject(const Json::Value& obj, const char* key);
// obj[key] when obj is an object holding an array there; a null value otherwise.
const Json::Value& MemberArray(const Json::Value& obj, const char* key);
// A boolean member; an integer member counts as true when not 0.
bool MemberBool(const Json::Value& obj, const char* key, bool fallback = false);
// An integer member that fits an int (a whole double counts; a boolean does not).
int MemberInt(const Json::Value& obj, const char* key, int fallback = 0);
bool HasInt(const Json::Value& obj, const char* key);
// A string member as window text (narrow device text, UTF-8 on this platform).
QString MemberText(const Json::Value& obj, const char* key, const QString& fallback = QString());
bool HasString(const Json::Value& obj, const char* key);

// The two writers of the pages: compact on one line, or indented by 3 spaces.
std::string WriteCompact(const Json::Value& value);
std::string WriteStyled(const Json::Value& value);
