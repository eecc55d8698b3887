// The alarm event document a camera pushes (device message 1502): any bytes.
#include "AlarmReport.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto report = ParseAlarmReport(reinterpret_cast<const char*>(data), size);
    if (report && report->timeText().empty())
        __builtin_trap();
    return 0;
}
