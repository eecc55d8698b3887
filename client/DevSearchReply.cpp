#include "DevSearchReply.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kIpOffset = 0, kIpSize = 80;
constexpr std::size_t kMacOffset = 80, kMacSize = 6;
constexpr std::size_t kUidOffset = 88, kUidSize = 64;
constexpr std::size_t kHardwareOffset = 152, kHardwareSize = 16;
constexpr std::size_t kSoftwareOffset = 168;

// The text of a field: from offset up to its NUL, its size or the record's end.
std::string field(const char* record, std::size_t recordLength, std::size_t offset, std::size_t size)
{
    if (offset >= recordLength)
        return {};
    const std::size_t limit = std::min(size, recordLength - offset);
    const char* begin = record + offset;
    const char* end = std::find(begin, begin + limit, '\0');
    return std::string(begin, end);
}

} // namespace

std::optional<DevSearchReply> ParseDevSearchReply(const char* data, std::size_t length)
{
    if (data == nullptr || length < DevSearchReply::kHeaderSize)
        return std::nullopt;
    length = std::min(length, DevSearchReply::kMaxDatagram);
    const char* record = data + DevSearchReply::kHeaderSize;
    const std::size_t recordLength = length - DevSearchReply::kHeaderSize;

    DevSearchReply reply;
    reply.ip = field(record, recordLength, kIpOffset, kIpSize);
    unsigned char mac[kMacSize] = {};
    for (std::size_t i = 0; i < kMacSize && kMacOffset + i < recordLength; ++i)
        mac[i] = static_cast<unsigned char>(record[kMacOffset + i]);
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    reply.mac = text;
    reply.uid = field(record, recordLength, kUidOffset, kUidSize);
    reply.hardware = field(record, recordLength, kHardwareOffset, kHardwareSize);
    reply.software = field(record, recordLength, kSoftwareOffset, DevSearchReply::kMaxDatagram);
    return reply;
}
