// Test media: temporary folders, H.264 elementary streams made with the ffmpeg command line and
// split into access units, and ffprobe's view of a file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mediatest {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Runs a shell command; its standard output, or "" when it failed (exit status not 0).
std::string runCommand(const std::string& command, int* status = nullptr);

std::vector<char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<char>& bytes);
bool fileExists(const std::string& path);

// Splits an Annex B H.264 stream into access units (each keeps its start codes; parameter sets
// and SEI open the access unit of the slice they precede).
std::vector<std::vector<char>> splitAccessUnits(const std::vector<char>& stream);

// An H.264 elementary stream of `frames` test-pattern pictures made by ffmpeg (libx264, no
// B-frames, a key frame with SPS and PPS every `gop` frames), split into access units.
std::vector<std::vector<char>> makeH264(const std::string& folder, int width, int height, int fps, int frames,
                                        int gop = 10);

// ffprobe's "key=value" entries of each stream of a file, stream by stream, counting frames.
std::vector<std::map<std::string, std::string>> probeStreams(const std::string& path);

// Polls `condition` until it holds or timeoutMs passed; true when it held. For waits on effects
// that have no event to wait on (a file growing, another process's output).
template <class Condition> bool waitUntil(Condition condition, int timeoutMs = 20000);
bool waitStep(long long startMs, int timeoutMs); // false once the time is up (sleeps a poll step)
long long nowMs();

template <class Condition> bool waitUntil(Condition condition, int timeoutMs)
{
    const long long start = nowMs();
    while (!condition()) {
        if (!waitStep(start, timeoutMs))
            return condition();
    }
    return true;
}

uint32_t le32(const std::vector<char>& bytes, std::size_t offset);
std::string tag(const std::vector<char>& bytes, std::size_t offset);

} // namespace mediatest
