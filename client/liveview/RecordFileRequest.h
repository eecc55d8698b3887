// The documents of device recordings: the record-file request that every operation on one
// recording carries (play, end, seek, pause, download, stop download), the listing and paging
// requests of a card folder, and the readers of the device's answers to them.
//
// Every document is written with the compact writer (one line, members in key order, a final
// line feed). The readers take device bytes: anything that does not parse, or lacks the member
// asked for, gives the empty answer, never an exception. No Qt here, so the fuzz target links it
// alone. Thread: any.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace RecordFileRequest {

enum Op : int {
    kPlay = 0,
    kEnd = 6, // ends a playback or stops a download
    kSeek = 8,
    kDownload = 10,
    kPause = 20, // the same request pauses and resumes
};

// {"op","p","sh":0,"si":0,"sl":0,"t"} plus "stm" (op 8: microseconds, 64-bit unsigned) or "n"
// (op 10: the record's name).
std::string Build(int op, const std::string& path, const std::string& uid, std::optional<uint64_t> seekUs = std::nullopt,
                  const std::string& name = std::string());

// A seek to a slider position in seconds: "stm" = seconds x 1000000, computed in 64 bits.
uint64_t SeekMicroseconds(uint32_t seconds);

// {"e":240000,"m":1,"p":folder,"si":0,"st":0}: how many entries a card folder holds.
std::string ListRequest(const std::string& folder);
// {"c":count,"p":folder,"s":start}: `count` entries of the folder from index `start`.
std::string PageRequest(const std::string& folder, int start, int count);

// The readers give nothing for an answer that does not parse, that is not the document asked for,
// or that refuses the request ("ret" not 0).
//
// "Rec.Conf"."DiskInfo"."Path" of a record-settings answer (an empty string when "Rec.Conf" lacks
// it).
std::optional<std::string> ParseRecordPath(const std::string& text);
// "li"."n" of a listing answer as an integer (0 when "li" lacks it).
std::optional<int> ParseListCount(const std::string& text);

struct PageEntry {
    std::string name; // "n"; empty when missing
    // sh x 256 + sl computed as a 32-bit signed integer (wrapping), widened.
    int64_t value = 0;
};
// Whether a record-file answer accepts the request: result 0 and no "ret" other than 0 in a text
// that parses (an empty or unparsable text with result 0 counts as accepted).
bool Accepted(int result, const std::string& text);

// The entries of "dir"."l" in order; an empty list when there are none.
std::vector<PageEntry> ParsePage(const std::string& text);

// Length in seconds of a recording named "HHMMSS-HHMMSS...": end time minus start time, without a
// wrap at midnight; 0 when there is no "-" after the first character. Non-digits read as 0.
int RecordLength(const std::string& name);

} // namespace RecordFileRequest
