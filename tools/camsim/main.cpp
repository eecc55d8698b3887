// camsim --uid UID --password PW --transport tovel|cs2|tutk [--server STRING] [--data DIR]
//        [--search-port P] [--p2p-directory FILE] [--media FILE] [--fps N] [--width W --height H]
//        [--sub-media FILE] [--sub-width W --sub-height H] [--verbose 1|2]
// Prints one line when ready ("camsim ready ..."), then serves until killed; with --verbose 1 it
// also prints a line per request and per talk frame (with 2, each request line ends with the
// request's body on one line). Lines on standard input drive it:
// "alarm JSON" pushes an alarm event, "alarm-picture SECONDS" an alarm picture stamped with that
// time, "drop" closes every session, "hold N" lets N more SD-card record frames go and then holds
// the sending ("hold -1" lifts it), "cut N" ends the next record transfer with the end marker
// after N more frames ("cut -1" lifts it), "refuse CODE..." answers those commands with a failure
// ("refuse" alone ends it; "refuse-bare CODE..." fails them with an empty body, the result alone
// saying no), "show CODE" prints the bodies of the requests with that command so far,
// "mute CODE..." leaves those commands unanswered, "garble CODE..." answers them with a text
// that is not JSON, "decline CODE..." answers those settings sets with "res" 1 (each alone ends
// it), "setdoc NAME JSON" replaces a settings document, "doc NAME" prints one, "defer CODE..." answers
// those commands only once a later "defer" no longer names them, "quit" ends it.
// A hostile camera on request: "deep CODE..." answers those commands with 1,500 nested JSON arrays
// (3001: the login's digest step; "deep" alone ends it), "flood CODE N" sends N replies with that
// code that nobody asked for, "delay CODE..." holds back the answers to those commands and
// "release N" sends the oldest N held answers, "pictures TYPE COUNT BYTES SECONDS" sends COUNT
// unrequested pictures (32 face, 34 alarm) of BYTES bytes stamped SECONDS. Each of these prints
// "done LINE" once it has been carried out.
// A playback's seeks and pauses: "seek-replies now" answers each at once, "seek-replies late"
// just before the answer to the next other record request, "seek-replies none" (the default)
// not at all; "stop-tail N" lets a stopped transfer send N more frames after the stop's answer,
// then its end marker ("stop-tail 0" ends it). Both print "done LINE".
#include "CamSim.h"
#include "DeploymentSettings.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include <poll.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_quit{false};

void onSignal(int)
{
    g_quit = true;
}

int usage()
{
    std::fprintf(stderr, "usage: camsim --uid UID --password PW --transport tovel|cs2|tutk [--server STRING] "
                         "[--data DIR] [--search-port P] [--p2p-directory FILE] [--media FILE] [--fps N] "
                         "[--width W --height H] [--sub-media FILE] [--sub-width W --sub-height H] "
                         "[--verbose 1|2]\n");
    return 2;
}

// The command codes of a line's rest ("1072 1074"); none for an empty rest.
std::vector<uint16_t> commandList(const std::string& rest)
{
    std::vector<uint16_t> codes;
    std::istringstream in(rest);
    int code = 0;
    while (in >> code)
        if (code > 0 && code <= 0xFFFF)
            codes.push_back(static_cast<uint16_t>(code));
    return codes;
}

// "body CODE TEXT" for every request with that command so far (line feeds in TEXT as spaces),
// then "show end".
void showRequests(const camsim::CamSim& camera, int command)
{
    for (const camsim::RecordedRequest& request : camera.requests()) {
        if (request.command != command)
            continue;
        std::string text = request.body;
        for (char& c : text)
            if (c == '\n' || c == '\r')
                c = ' ';
        std::printf("body %d %s\n", command, text.c_str());
    }
    std::printf("show end\n");
    std::fflush(stdout);
}

// "setdoc NAME JSON": the camera stores JSON as its document NAME; answers "show end".
void setDocument(camsim::CamSim& camera, const std::string& rest)
{
    const size_t space = rest.find(' ');
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (space != std::string::npos &&
        reader->parse(rest.data() + space + 1, rest.data() + rest.size(), &value, &errors))
        camera.setDocument(rest.substr(0, space), value);
    std::printf("show end\n");
    std::fflush(stdout);
}

// "doc NAME": prints "doc NAME JSON" (the stored document on one line, null when none), then
// "show end".
void showDocument(const camsim::CamSim& camera, const std::string& name)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::printf("doc %s %s\n", name.c_str(), Json::writeString(writer, camera.document(name)).c_str());
    std::printf("show end\n");
    std::fflush(stdout);
}

// "seek-replies now|late|none" and "stop-tail N": how the camera's playback answers seeks and
// pauses and ends after a stop; prints "done LINE".
void playbackHabits(camsim::CamSim& camera, const std::string& line)
{
    if (line.rfind("stop-tail ", 0) == 0) {
        camera.setStopTail(std::atoi(line.c_str() + 10));
    } else {
        const std::string mode = line.substr(13);
        camera.setSeekReplies(mode == "now"    ? camsim::CamSim::SeekReplies::kNow
                              : mode == "late" ? camsim::CamSim::SeekReplies::kLate
                                               : camsim::CamSim::SeekReplies::kNone);
    }
    std::printf("done %s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    camsim::CamSimOptions options;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (arg == "--uid")
            options.uid = value;
        else if (arg == "--password")
            options.password = value;
        else if (arg == "--transport")
            options.transport = value;
        else if (arg == "--server")
            options.server = value;
        else if (arg == "--data")
            options.dataDir = value;
        else if (arg == "--search-port")
            options.searchPort = std::atoi(value.c_str());
        else if (arg == "--p2p-directory")
            deployment::setP2PDirectory(value);
        else if (arg == "--media")
            options.mediaFile = value;
        else if (arg == "--fps")
            options.fps = std::atoi(value.c_str());
        else if (arg == "--width")
            options.width = std::atoi(value.c_str());
        else if (arg == "--height")
            options.height = std::atoi(value.c_str());
        else if (arg == "--sub-width")
            options.subWidth = std::atoi(value.c_str());
        else if (arg == "--sub-height")
            options.subHeight = std::atoi(value.c_str());
        else if (arg == "--sub-media")
            options.subMediaFile = value;
        else if (arg == "--verbose") {
            verbose = value == "1" || value == "2";
            options.observeBodies = value == "2";
        }
        else
            return usage();
    }
    if (options.uid.empty())
        return usage();

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    camsim::CamSim camera(options);
    if (verbose)
        camera.setObserver([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
    std::string error;
    if (!camera.start(error)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("camsim ready uid=%s transport=%s\n", options.uid.c_str(), options.transport.c_str());
    std::fflush(stdout);

    // Standard input is read here, on the main thread, with a short poll so that a signal or
    // "quit" ends the loop; nothing touches the camera once it stops.
    std::string pending;
    bool inputOpen = true;
    while (!g_quit) {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(inputOpen ? &fd : nullptr, inputOpen ? 1 : 0, 100);
        if (ready <= 0 || !inputOpen)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            if (got == 0 || (errno != EINTR && errno != EAGAIN))
                inputOpen = false;
            continue;
        }
        pending.append(chunk, static_cast<size_t>(got));
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.rfind("alarm ", 0) == 0)
                camera.pushAlarm(line.substr(6));
            else if (line.rfind("alarm-picture ", 0) == 0)
                camera.pushAlarmPicture(std::strtoull(line.c_str() + 14, nullptr, 10));
            else if (line.rfind("hold ", 0) == 0)
                camera.setRecordHold(std::atoi(line.c_str() + 5));
            else if (line.rfind("cut ", 0) == 0)
                camera.setRecordCut(std::atoi(line.c_str() + 4));
            else if (line.rfind("refuse-bare", 0) == 0)
                camera.setRefused(commandList(line.substr(11)), true);
            else if (line.rfind("refuse", 0) == 0)
                camera.setRefused(commandList(line.substr(6)));
            else if (line.rfind("mute", 0) == 0)
                camera.setMuted(commandList(line.substr(4)));
            else if (line.rfind("garble", 0) == 0)
                camera.setGarbled(commandList(line.substr(6)));
            else if (line.rfind("decline", 0) == 0)
                camera.setDeclined(commandList(line.substr(7)));
            else if (line.rfind("defer", 0) == 0)
                camera.setDeferred(commandList(line.substr(5)));
            else if (line.rfind("setdoc ", 0) == 0)
                setDocument(camera, line.substr(7));
            else if (line.rfind("doc ", 0) == 0)
                showDocument(camera, line.substr(4));
            else if (line.rfind("show ", 0) == 0)
                showRequests(camera, std::atoi(line.c_str() + 5));
            else if (line.rfind("deep", 0) == 0)
                camera.setDeepReplies(commandList(line.substr(4)));
            else if (line.rfind("flood ", 0) == 0) {
                std::istringstream in(line.substr(6));
                int code = 0;
                int count = 0;
                if (in >> code >> count && code > 0 && code <= 0xFFFF)
                    camera.pushReplies(static_cast<uint16_t>(code), count);
            } else if (line.rfind("delay", 0) == 0)
                camera.setHeldReplies(commandList(line.substr(5)));
            else if (line.rfind("release ", 0) == 0)
                camera.releaseHeld(std::atoi(line.c_str() + 8));
            else if (line.rfind("pictures ", 0) == 0) {
                std::istringstream in(line.substr(9));
                int type = 0;
                int count = 0;
                size_t bytes = 0;
                uint64_t seconds = 0;
                if (in >> type >> count >> bytes >> seconds)
                    camera.pushPictures(type, count, bytes, seconds);
            } else if (line.rfind("seek-replies ", 0) == 0 || line.rfind("stop-tail ", 0) == 0) {
                playbackHabits(camera, line);
            } else if (line == "drop")
                camera.dropSessions();
            else if (line == "quit")
                g_quit = true;
            for (const char* hostile : {"deep", "flood ", "delay", "release ", "pictures "})
                if (line.rfind(hostile, 0) == 0) {
                    std::printf("done %s\n", line.c_str());
                    std::fflush(stdout);
                }
        }
    }
    camera.stop();
    return 0;
}
