// The library around the device link, as an application sees it through libLumora.so's public
// header: what "DllSysState.log" says (levels, faults that repeat for every picture), and a quiet
// start of the sound devices, chosen with LUMORA_AUDIO_DEVICE.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using sdktest::CameraProcess;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "library-secret";

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesWith(const std::string& text, const std::string& part)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& stem)
        : m_path(std::filesystem::temp_directory_path() / (stem + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(m_path);
        m_old = std::filesystem::current_path();
        std::filesystem::current_path(m_path); // the log file is written here
        deployment::setP2PDirectory((m_path / "devices").string());
    }
    ~ScratchFolder()
    {
        std::filesystem::current_path(m_old);
        std::filesystem::remove_all(m_path);
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_old;
};

bool login(const std::string& uid, ResultRecorder& results)
{
    // The camera may take a moment to be found through its transport's directory.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const size_t before = results.count(4003);
        LoginDev(uid, kPassword, results.callback(4003));
        if (!results.wait(4003, before + 1, 60000))
            return false;
        if (results.calls(4003).back().result == 0)
            return true;
    }
    return false;
}

// An H.264 stream that never decodes: slices that name a picture parameter set never sent.
std::string writeUndecodableMedia(const std::filesystem::path& dir)
{
    std::string stream;
    for (int i = 0; i < 25; ++i) {
        stream += std::string("\x00\x00\x00\x01\x41\x9a", 6);
        for (int b = 0; b < 200; ++b)
            stream += static_cast<char>(((b * 37 + i) & 0x7f) | 0x01);
    }
    const auto path = dir / "broken.h264";
    std::ofstream(path, std::ios::binary) << stream;
    return path.string();
}

std::atomic<uint32_t> g_clockOffset{0};

// ---- The log file

TEST(SdkLog, LevelsMeanSomethingAndAFaultOfEveryPictureIsWrittenOnceWithItsCount)
{
    ScratchFolder dir("lumora-sdklog-");
    deployment::SdkTimings timings;
    timings.pollIntervalMs = 10;
    timings.clock = [] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<uint32_t>(ms.count()) + g_clockOffset.load();
    };
    deployment::setSdkTimings(timings);
    const std::string uid = sdktest::uidFor("cs2", "LOG");
    CameraProcess camera({uid, kPassword, "cs2", "", 0});
    camera.setMedia(writeUndecodableMedia(dir.path()));
    ASSERT_TRUE(camera.start());
    InitLibLumora("", 0);
    ResultRecorder results;
    ASSERT_TRUE(login(uid, results));

    ASSERT_GE(BeginVideo(0, uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_EQ(results.calls(1).back().result, 0);
    // Zoom and pan as a user dragging over the picture does.
    for (int i = 0; i < 200; ++i)
        ScaleImage(i % 2 ? -1.0f : 1.5f, i, i, uid, 0, 0);

    const auto log = dir.path() / "DllSysState.log";
    ASSERT_TRUE(waitUntil([&] { return !linesWith(readFile(log), "ffmpeg: ").empty(); }, 30000)) << readFile(log);
    // Ten minutes later the fault, still there, is written again with the count of the pictures
    // that had it meanwhile.
    g_clockOffset += 11 * 60 * 1000;
    ASSERT_TRUE(waitUntil([&] { return !linesWith(readFile(log), " (repeated ").empty(); }, 30000)) << readFile(log);
    EndVideo(uid, 0, 0, results.callback(2));
    DeInitLibLumora();

    const std::string text = readFile(log);
    SCOPED_TRACE(text);
    const auto decoding = linesWith(text, "ffmpeg: ");
    std::set<std::string> distinct;
    for (const auto& line : decoding) {
        const std::string message = line.substr(line.find(" : ") + 3);
        const size_t repeated = message.find(" (repeated ");
        if (repeated == std::string::npos) {
            EXPECT_TRUE(distinct.insert(message).second) << "written twice without a count: " << message;
            EXPECT_NE(line.find(" WARN : "), std::string::npos) << line;
        } else {
            EXPECT_EQ(distinct.count(message.substr(0, repeated)), 1u) << "a count without its first line: " << line;
            EXPECT_GE(std::atoi(message.c_str() + repeated + 11), 1) << line;
        }
    }
    EXPECT_LE(decoding.size(), 4 * distinct.size()) << "one line per picture";
    // Zooming is no fault: nothing of it in the file.
    EXPECT_TRUE(linesWith(text, "size ").empty());
    // A login is an event, not an error.
    EXPECT_EQ(linesWith(text, " INFO : Dev " + uid + " connect success").size(), 1u);
    // Lines carry neither the build's folders nor function signatures.
    EXPECT_TRUE(linesWith(text, LUMORA_SOURCE_DIR).empty());
    EXPECT_TRUE(linesWith(text, "::").empty());
}

// ---- Sound devices

struct SoundCase {
    const char* name;
    const char* device; // LUMORA_AUDIO_DEVICE, or null to leave it unset
    const char* logged; // a line the log must hold ("" for none)
};

const SoundCase kSoundCases[] = {
    {"probed", nullptr, ""},
    {"null", "null", "sound device from LUMORA_AUDIO_DEVICE: \"null\""},
    {"unknown name", "NoSuchSoundCard", "no sound device named \"NoSuchSoundCard\""},
};

// A child process that starts the library, logs in and listens, its standard error in a file.
// Exit status 0 when listening started.
int listenInChild(const std::string& uid, const SoundCase& c, const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const int err = ::open((folder / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, STDERR_FILENO);
        ::chdir(folder.c_str());
        if (c.device)
            ::setenv("LUMORA_AUDIO_DEVICE", c.device, 1);
        else
            ::unsetenv("LUMORA_AUDIO_DEVICE");
        InitLibLumora("", 0);
        ResultRecorder results;
        if (!login(uid, results))
            ::_exit(2);
        if (BeginVideo(0, uid, 0, 0, results.callback(1)) < 0 || !results.wait(1))
            ::_exit(3);
        if (BeginAudio(uid, 0, 0, results.callback(2)) < 0 || !results.wait(2) || results.calls(2).back().result != 0)
            ::_exit(4);
        EndAudio(uid, 0, 0, results.callback(3));
        results.wait(3);
        DeInitLibLumora();
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(SdkSound, ListeningStartsWithoutAWordOnStandardError)
{
    ScratchFolder dir("lumora-sdksound-");
    const std::string uid = sdktest::uidFor("cs2", "SND");
    CameraProcess camera({uid, kPassword, "cs2", "", 0});
    ASSERT_TRUE(camera.start());
    for (const SoundCase& c : kSoundCases) {
        SCOPED_TRACE(c.name);
        const auto folder = dir.path() / (std::string("child-") + (c.device ? c.device : "probed"));
        ASSERT_EQ(listenInChild(uid, c, folder), 0);
        EXPECT_EQ(readFile(folder / "stderr.txt"), "");
        const std::string log = readFile(folder / "DllSysState.log");
        if (*c.logged) {
            EXPECT_FALSE(linesWith(log, c.logged).empty()) << log;
        }
        if (c.device && std::string(c.device) == "null") {
            EXPECT_TRUE(linesWith(log, "ALSA").empty() && linesWith(log, "sound system: ").empty())
                << "the null device probes nothing\n" << log;
        }
    }
}

} // namespace
