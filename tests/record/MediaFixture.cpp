#include "MediaFixture.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace mediatest {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "lumora-media-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string runCommand(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status)
            *status = -1;
        return output;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    const int rc = ::pclose(pipe);
    const int code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    if (status)
        *status = code;
    return code == 0 ? output : std::string();
}

std::vector<char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::vector<char>> splitAccessUnits(const std::vector<char>& s)
{
    // Start positions of NAL units (at their start code).
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<std::vector<char>> units;
    std::vector<char> current;
    bool currentHasSlice = false;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t begin = starts[k];
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : s.size();
        std::size_t header = begin;
        while (s[header] == 0)
            ++header;
        ++header; // past the 1 of the start code
        if (header >= end)
            continue;
        const int type = s[header] & 0x1F;
        const bool slice = type == 1 || type == 5;
        const bool firstSlice = slice && header + 1 < end && (static_cast<unsigned char>(s[header + 1]) & 0x80);
        const bool opensUnit = type == 6 || type == 7 || type == 8 || type == 9 || firstSlice;
        if (opensUnit && currentHasSlice) {
            units.push_back(std::move(current));
            current.clear();
            currentHasSlice = false;
        }
        // Every access unit starts with a 4-byte start code, as the devices send them.
        if (current.empty() && header - begin == 3)
            current.push_back(0);
        current.insert(current.end(), s.begin() + static_cast<long>(begin), s.begin() + static_cast<long>(end));
        currentHasSlice = currentHasSlice || slice;
    }
    if (!current.empty())
        units.push_back(std::move(current));
    return units;
}

std::vector<std::vector<char>> makeH264(const std::string& folder, int width, int height, int fps, int frames, int gop)
{
    const std::string out = folder + "/fixture-" + std::to_string(width) + "x" + std::to_string(height) + ".h264";
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" << width << "x" << height << ":rate=" << fps
        << " -frames:v " << frames << " -c:v libx264 -pix_fmt yuv420p -bf 0 -g " << gop
        << " -x264-params repeat-headers=1 -f h264 " << out;
    int status = 0;
    runCommand(cmd.str(), &status);
    if (status != 0)
        throw std::runtime_error("ffmpeg failed: " + cmd.str());
    return splitAccessUnits(readFile(out));
}

std::vector<std::map<std::string, std::string>> probeStreams(const std::string& path)
{
    const std::string out = runCommand("ffprobe -v error -count_frames -show_entries "
                                       "stream=index,codec_type,codec_name,codec_tag_string,width,height,"
                                       "nb_read_frames,sample_rate,channels,r_frame_rate,duration -of default=nw=0 '" +
                                       path + "'");
    std::vector<std::map<std::string, std::string>> streams;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            streams.emplace_back();
        } else if (!streams.empty()) {
            const auto eq = line.find('=');
            if (eq != std::string::npos)
                streams.back()[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return streams;
}

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool waitStep(long long startMs, int timeoutMs)
{
    if (nowMs() - startMs >= timeoutMs)
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

uint32_t le32(const std::vector<char>& b, std::size_t o)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(b.at(o))) |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(o + 1))) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(o + 2))) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b.at(o + 3))) << 24;
}

std::string tag(const std::vector<char>& b, std::size_t o) { return std::string(b.begin() + static_cast<long>(o), b.begin() + static_cast<long>(o) + 4); }

} // namespace mediatest
