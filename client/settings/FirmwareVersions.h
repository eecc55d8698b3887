// The firmware version documents an upgrade server publishes, and what the device information
// page makes of them: whether a part is newer than the device's firmware, and the upgrade body.
//
// A version document is a JSON object whose "Direct" array's first element describes the
// published part: "Version" and the part's check values ("SystemCheck", "UsrCheck", "WebCheck";
// "CustomCheck"; "VendorCheck"). The device's firmware version is five numbers a.b.c.d.e: a is the
// custom part's version, b the vendor part's, c.d.e the system part's.
//
// Documents come from the network: nothing here throws, and a document of another shape is
// simply not usable.
#pragma once

#include <json/json.h>
#include <optional>
#include <string>

// The first element of "Direct" of a downloaded document; nothing when the bytes are not a JSON
// object, "Direct" is missing, not an array or empty, or its first element is not an object.
std::optional<Json::Value> ParseVersionDocument(const std::string& bytes);

// What the server publishes: each part whose document was usable.
struct PublishedFirmware {
    std::optional<Json::Value> system;
    std::optional<Json::Value> custom;
    std::optional<Json::Value> vendor;

    bool any() const { return system || custom || vendor; }
};

// True when a published part is newer than the device's: the custom version's leading number
// above a, the vendor's above b, or the system version x.y.z above c.d.e compared as a version
// (2.9.9 is older than 3.4.5). Missing numbers read as 0; a "Version" that is no string makes its
// part not newer.
bool CompareVersions(const std::string& deviceVersion, const PublishedFirmware& published);

// The upgrade body the device is sent: "UpgradeSystemInfo", "UpgradeCustomInfo" and
// "UpgradeVendorInfo" for each usable part, newer or not, with the document's values copied as
// they stand (a missing one as null).
Json::Value UpgradeBody(const PublishedFirmware& published);

// The address of a part's version document: prefix, type and "msg.json" (the fetch refuses one
// that is too long).
std::string VersionDocumentAddress(const std::string& prefix, const std::string& type);
