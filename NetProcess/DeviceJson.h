// The one reader of JSON texts that come from a device (and of the application's request texts):
// a text nested deeper than kMaxDepth, malformed or cut short is refused, and no exception ever
// leaves the parse. jsoncpp throws on some limits even through its CharReader, and a throw that
// escapes a reply handler would end the task that polls every device.
#pragma once

#include <cstddef>
#include <json/json.h>
#include <string>

namespace devicejson {

// Deeper than any document a camera sends (they nest four or five levels).
inline constexpr int kMaxDepth = 64;

// Reads the text as the device library always has (comments allowed, any root, trailing bytes
// ignored). False, with `out` null, for anything that is not such a document.
bool Parse(const char* begin, const char* end, Json::Value& out);
bool Parse(const std::string& text, Json::Value& out);

// The member `key` of an object; a null value when `value` is not an object (jsoncpp's own
// operator[] throws on arrays and scalars).
const Json::Value& Member(const Json::Value& value, const char* key);

} // namespace devicejson
