// The simulated camera: one device protocol engine behind any of the three transports. It answers
// the login challenge, keeps one settings document per command family (loaded from JSON files),
// answers gets with the stored document and stores sets, streams live media, pictures and SD-card
// recordings, receives talk audio, pushes alarms on request and answers the LAN probe. It records
// every request so that tests can check what the SDK sent.
#pragma once

#include "DeviceLink.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <json/json.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class UdpSocket;
}

namespace camsim {

struct CamSimOptions {
    std::string uid;
    std::string password;
    std::string transport = "tovel"; // tovel, cs2 or tutk
    std::string server;              // libTovel server string
    std::string dataDir;             // settings/*.json, sd/ (recordings), pictures
    std::string mediaFile;           // Annex-B H.264 or H.265; synthetic frames when empty
    int searchPort = 0;              // UDP port of the LAN probe; 0: no answers
    int fps = 25;
    int width = 1280;                // main stream (stream 0)
    int height = 720;
    // Sub stream (stream 1): its own size (0: half the main stream's) and its own Annex-B file
    // (empty: the main stream's file, or synthetic frames when that is empty too).
    int subWidth = 0;
    int subHeight = 0;
    std::string subMediaFile;
    bool observeBodies = false;      // request lines of the observer carry the body
};

struct RecordedRequest {
    uint16_t command = 0;
    std::string body;
};

class CamSim {
public:
    explicit CamSim(CamSimOptions options);
    ~CamSim();
    CamSim(const CamSim&) = delete;
    CamSim& operator=(const CamSim&) = delete;

    bool start(std::string& error);
    void stop();

    std::vector<RecordedRequest> requests() const;
    // Waits until a request with that command has arrived (counting from the start).
    bool waitForRequest(uint16_t command, int timeoutMs, RecordedRequest* out = nullptr);
    std::vector<Uplink> uplinks() const;
    bool waitForUplinks(size_t count, int timeoutMs);
    Json::Value document(const std::string& name) const;
    std::string password() const;
    int loggedInSessions() const { return m_loggedIn.load(); }
    // Sessions still open and session threads not yet joined; both fall back to zero once the
    // viewers have gone (finished sessions are reaped while the camera serves).
    size_t openSessions() const;
    size_t sessionThreads() const;
    // Sends an alarm event (1502) with this JSON body to every logged-in session.
    void pushAlarm(const std::string& body);
    // An alarm picture (type 34) on the picture channel of every logged-in session; its time
    // stamp is `seconds` since 1970 (UTC), which names the file the application writes.
    void pushAlarmPicture(uint64_t seconds);
    // Closes every session link at once (a device that drops off the network).
    void dropSessions();
    // Requests with these command codes are recorded but never answered (a device that stays
    // silent), until the next call.
    void setMuted(std::vector<uint16_t> commands);
    // Requests with these command codes are recorded and answered with a failure (result -1,
    // {"ret":-1,"res":-1}), until the next call; `bare`: with an empty body, the result alone
    // saying no.
    void setRefused(std::vector<uint16_t> commands, bool bare = false);
    // Requests with these command codes are answered with a text that is not JSON (result 0),
    // until the next call.
    void setGarbled(std::vector<uint16_t> commands);
    // Settings sets with these command codes are answered {"res":1} (the device declines) and
    // nothing is stored, until the next call.
    void setDeclined(std::vector<uint16_t> commands);
    // Requests with these command codes are recorded and answered only once a later call no
    // longer names them, after the requests that came meanwhile (a device that answers late).
    void setDeferred(std::vector<uint16_t> commands);
    // Replaces a stored settings document (what later gets of it answer).
    void setDocument(const std::string& name, const Json::Value& value);
    // A hostile camera, for the tests that show one device cannot harm the others:
    // Replies to these commands become 1,500 nested JSON arrays (for the login, the answer to the
    // digest step), until the next call.
    void setDeepReplies(std::vector<uint16_t> commands);
    // Sends `count` replies with this code (body {"ret":0}) that nobody asked for to every
    // logged-in session, back to back.
    void pushReplies(uint16_t code, int count);
    // Requests with these commands are recorded but their answers are held back, in arrival
    // order, until releaseHeld lets the oldest `count` go (a device that answers late).
    void setHeldReplies(std::vector<uint16_t> commands);
    void releaseHeld(int count);
    size_t heldReplies() const;
    // `count` pictures nobody asked for (type 32 face, 34 alarm) of `bytes` bytes each on the
    // picture channel of every logged-in session, all stamped `seconds` since 1970.
    void pushPictures(int type, int count, size_t bytes, uint64_t seconds);
    // Called on a session thread for every request ("request CODE BYTES") and every uplink frame
    // ("uplink TYPE BYTES", "uplink command CODE BYTES"); set before start.
    void setObserver(std::function<void(const std::string&)> observer) { m_observer = std::move(observer); }
    // SD-card recordings: frames (play) or pieces (download) sent so far over all sessions,
    // whether a playback is paused, and a hold: after `frames` more record frames the sending
    // stops until the hold is lifted with -1 (a device that stalls mid-transfer).
    uint64_t recordFramesSent() const { return m_recordSent.load(); }
    bool recordPaused() const { return m_recordPaused.load(); }
    void setRecordHold(int frames);
    // After `frames` more record frames the transfer ends with the end-of-stream marker, as if
    // the recording ended there (a device that cuts a download short); -1 lifts it.
    void setRecordCut(int frames);
    // Audio frames sent with SD-card playbacks so far (playback carries the A-law track).
    uint64_t recordAudioSent() const { return m_recordAudioSent.load(); }
    // Answers to a playback's seeks and pauses (record operations 8 and 20), which the camera
    // otherwise leaves unanswered: kNow answers each at once (reply 1079, {"ret":0}); kLate
    // answers each only just before the answer to the session's next other record request (a
    // camera that takes its time to find the new place), so that it arrives after that request
    // was sent.
    enum class SeekReplies { kNone, kNow, kLate };
    void setSeekReplies(SeekReplies mode) { m_seekReplies.store(mode); }
    // A transfer told to stop (operation 6) still sends up to `frames` more of its pictures or
    // pieces, the ones its sender had queued, after the stop has been answered, and then its end
    // marker; a start that comes meanwhile waits for that end. 0 (the default): the stop is
    // answered once the transfer has ended.
    void setStopTail(int frames) { m_stopTail.store(frames < 0 ? 0 : frames); }
    // Preset positions: what the camera lists (1476), in list order; adds (1478) with BitID -1 or
    // below 1 take the lowest free id, others replace or add that id; Type 1 of 1480 deletes, Type 0
    // moves the camera there (lastRecalledPreset). A delete of an id the camera lacks is refused.
    struct Preset {
        int bitId = 0;
        std::string desc;
    };
    std::vector<Preset> presets() const;
    void setPresets(std::vector<Preset> presets);
    int lastRecalledPreset() const { return m_recalled.load(); }
    // The SD-card root the camera reports ("Rec.Conf"."DiskInfo"."Path").
    static constexpr const char* kSdRoot = "/mnt/s0/media/sensor0";

    // The live frames the camera sends when it has no media file: frame i of the stream.
    static std::vector<char> syntheticFrame(uint32_t index);
    static bool syntheticKeyFrame(uint32_t index) { return index % 25 == 0; }
    // The audio frame (320 A-law bytes) it sends after video frame i when audio is on.
    static std::vector<char> syntheticAudio(uint32_t index);
    // Splits an Annex-B stream into access units: parameter sets and SEI attach to the next
    // picture, every picture slice starts a unit of its own.
    static std::vector<std::vector<char>> splitAccessUnits(const std::vector<char>& data, bool h265);

private:
    struct Session;

    void acceptLoop();
    // Starts a session thread; the caller holds m_mutex.
    void spawn(std::function<void()> work);
    // Joins the session threads that have finished.
    void reap();
    void serve(std::shared_ptr<Session> session);
    // `released`: an answer held back earlier, already recorded.
    void handle(Session& session, const DevMsgHeader& header, const std::string& body, bool released = false);
    // True when the request is held back (setHeldReplies).
    bool holdBack(const std::shared_ptr<Session>& session, const DevMsgHeader& header, const std::string& body);
    // Answers the session's deferred requests whose commands are no longer deferred.
    void answerDeferred(Session& session);
    void handleLogin(Session& session, const std::string& body);
    void handleStream(Session& session, const std::string& body);
    void handleRecordOp(Session& session, const std::string& body);
    // Preset list, add and operate (go to, delete); false for other commands.
    bool handlePreset(Session& session, uint16_t command, const std::string& body);
    // One picture on the picture channel: type 31 a snapshot, 32 a face picture, 34 an alarm
    // picture (its time stamp in seconds).
    void sendPicture(Session& session, int type, uint64_t pts);
    void liveLoop(std::shared_ptr<Session> session);
    // Reads the session's uplink (talk audio, user data); the caller has set talkRunning.
    void startUplinkReader(Session& session);
    void uplinkLoop(std::shared_ptr<Session> session);
    void recordLoop(std::shared_ptr<Session> session, std::string path, bool download);
    // The file under sd/ that a device path names; empty when it leaves the folder.
    std::string sdFile(const std::string& devicePath) const;
    // Waits while the hold is on; false once the session should stop.
    bool waitRecordHold(Session& session);
    // After a stop: true while the stopped transfer still has queued frames to send (one taken).
    bool takeStopTail(Session& session);
    // Sends the answers of the seeks and pauses answered late (setSeekReplies) still owed.
    void answerLateSeeks(Session& session);
    // Sorted entry names of a device folder.
    std::vector<std::string> sdEntries(const std::string& devicePath) const;
    void searchLoop();
    void record(uint16_t command, const std::string& body);
    void loadDocuments();
    void loadMedia();
    std::string reply(const char* document, const Json::Value& value) const;

    CamSimOptions m_options;
    std::unique_ptr<Acceptor> m_acceptor;
    std::atomic<bool> m_running{false};
    std::thread m_acceptThread;
    std::unique_ptr<platform::UdpSocket> m_searchSocket; // bound in start; its receive is shut down by stop
    std::thread m_searchThread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RecordedRequest> m_requests;
    std::vector<Uplink> m_uplinks;
    std::map<std::string, Json::Value> m_documents;
    Json::Value m_factoryColours; // "CamCfg.info" as loaded, for "SetDefault"
    std::string m_password;
    std::vector<std::shared_ptr<Session>> m_sessions;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> m_threads;
    // One encoder per stream: 0 main, 1 sub.
    struct StreamMedia {
        int width = 0;
        int height = 0;
        std::vector<std::vector<char>> units; // access units of its file; synthetic frames when empty
        bool h265 = false;
    };
    const StreamMedia& streamMedia(int stream) const { return m_streams[stream == 1 ? 1 : 0]; }
    StreamMedia m_streams[2];
    std::atomic<int> m_loggedIn{0};
    std::vector<uint16_t> m_muted;
    std::vector<uint16_t> m_refused;
    std::vector<uint16_t> m_garbled;
    std::vector<uint16_t> m_declined;
    bool m_refusedBare = false;
    std::vector<uint16_t> m_deep;
    std::vector<uint16_t> m_held;
    struct HeldRequest {
        std::weak_ptr<Session> session;
        DevMsgHeader header;
        std::string body;
    };
    std::vector<HeldRequest> m_heldRequests; // guarded by m_mutex
    std::vector<uint16_t> m_deferred;
    std::function<void(const std::string&)> m_observer;
    std::atomic<uint64_t> m_recordSent{0};
    std::atomic<bool> m_recordPaused{false};
    std::atomic<int> m_recordHold{-1}; // frames still allowed before the hold; -1 none
    std::atomic<int> m_recordCut{-1};  // frames still allowed before the cut; -1 none
    std::atomic<uint64_t> m_recordAudioSent{0};
    std::atomic<SeekReplies> m_seekReplies{SeekReplies::kNone};
    std::atomic<int> m_stopTail{0};
    std::vector<Preset> m_presets;      // guarded by m_mutex
    std::atomic<int> m_recalled{0};
};

} // namespace camsim
