// The device's answers about its recordings (record path, folder count, a page of entries) and a
// recording's name read as its length: any bytes.
#include "RecordFileRequest.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)RecordFileRequest::ParseRecordPath(text);
    (void)RecordFileRequest::ParseListCount(text);
    for (const RecordFileRequest::PageEntry& entry : RecordFileRequest::ParsePage(text))
        (void)RecordFileRequest::RecordLength(entry.name);
    (void)RecordFileRequest::RecordLength(text);
    return 0;
}
