// One link from the SDK to one device over whichever P2P transport its UID selects: a UID of
// exactly 20 characters goes to ThroughTek, one containing "HOW" to CS2, any other to libTovel.
// The choice is made again on every call from the stored UID (empty after Close, so a closed link
// selects libTovel). The link frames nothing itself and never reconnects by itself.
//
// Threads: the reply poller reads channel 0, stream tasks read 1, 4 and 5, application threads
// write and may Close at any time. The handle and the abandon flags are atomics so that a Close
// or a stream stop is seen by a reader at its next pass.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

enum class LinkTransport { Tovel, Cs2, Tutk };

LinkTransport TransportForUid(const std::string& uid);

// Longest UID any transport accepts (the libTovel id limit; LAN answers carry no longer ones).
inline constexpr std::size_t kMaxDeviceUidLength = 63;

// Most bytes one Write carries on the transport the UID selects (libTovel's ORLIX_MAX_TRANSFER, the
// CS2 library's largest message); 0 for ThroughTek, whose commands go out in IO-control packets.
std::size_t MaxWriteForUid(const std::string& uid);

// True for a text that can name a device on some transport: 1 to kMaxDeviceUidLength characters,
// each an ASCII letter, digit, '-', '_' or '.', and not "." or "..". Such a UID is also a safe
// single folder name: no path separators and no dot segments.
bool IsDeviceUid(const std::string& uid);

class NetRWrite {
public:
    // Handle values besides a transport's handle (0 or more).
    static constexpr int kNeverConnected = -100;
    static constexpr int kClosed = -1;
    static constexpr int kLossReported = -200;

    NetRWrite() = default;
    ~NetRWrite();
    NetRWrite(const NetRWrite&) = delete;
    NetRWrite& operator=(const NetRWrite&) = delete;

    // Start and stop all three transports for the process.
    static void InitNetRW(const char* serverString, int region);
    static void DeInitNetRW();

    // 0 when already connected; the new handle on success; -1 (ThroughTek) or -3 on failure.
    int Connect(const std::string& uid, int& connectionType);
    void Close();
    // Reads exactly `length` bytes on a channel (CS2 or libTovel); `length` returns the count read.
    // 0 success, -3 nothing arrived (see the channel rules), other negatives close the link.
    int Read(int channel, char* buffer, int& length);
    // Read for the next piece of a message that has begun (a picture's next chunk header): never
    // a look that finds nothing, it waits like any mid-message read, within the stall limit.
    int ReadContinued(int channel, char* buffer, int& length);
    int Write(int channel, const char* data, int length);

    // ThroughTek only; -1 on another transport.
    int SendIOCtrl(int, unsigned int type, const char* data, int length);
    int RecvIOCtrl(int, unsigned int* type, char* buffer, int, unsigned int);
    int RecvFrameData2(int channel, char* buffer, int, int* actualSize, int* expectedSize, char* frameInfo, int,
                       int* frameInfoSize, unsigned int* frameIndex);
    int RecvAudioData(int channel, char* buffer, int, char* frameInfo, int, unsigned int* frameIndex);
    int SendAudioData(int, const char* data, int length, const void* frameInfo, int);
    // avSendIOCtrlExit on the IO channel (the ThroughTek sender's last resort).
    void SendIOCtrlExit();
    // Stops the talk channel of a ThroughTek link.
    void StopTalkChannel();

    int handle() const { return m_handle.load(); }
    void setHandle(int handle) { m_handle.store(handle); }
    // Marks a loss reported, unless the handle is no longer `from` (a connect has replaced it).
    bool markLossReported(int from) { return m_handle.compare_exchange_strong(from, kLossReported); }
    // Closes the link only while its handle is still `h`: a read that failed on a handle another
    // thread has closed meanwhile must not end the link connected after it.
    void closeHandle(int h);

    // Each connect attempt numbers the link anew (1 for the first), before the attempt stores its
    // handle, so that what was read on one link is told from what a later link brings.
    int linkId() const { return m_linkId.load(); }
    // The number of the last link a Close ended while it was up (0 when none).
    int closedLinkId() const { return m_closedLinkId.load(); }
    // The link a request made now goes out on: the one that is up, or else the next to connect.
    int requestLinkId() const
    {
        const bool up = m_handle.load() >= 0;
        const int id = m_linkId.load();
        return up ? id : id + 1;
    }
    bool connected() const { return m_connected.load() != 0; }
    std::string uid() const;
    // Abandon flags, one per media reader, so that stopping one stream never ends a read of
    // another. setAbandon: 1 ends a waiting live read (channel 1, ThroughTek frames included),
    // 5 a waiting ThroughTek picture read, -1 clears both (a stream start). setAudioAbandon: 1
    // ends a waiting ThroughTek live-audio read, 4 both record reads (channel 4: the media read
    // of chunks or ThroughTek frames, and the ThroughTek record-audio read), -1 clears all three.
    void setAbandon(int value);
    void setAudioAbandon(int value);
    // The two record readers one at a time: the media read, which alone sees where a transfer
    // ends, and the ThroughTek record-audio read.
    void abandonRecordMedia() { m_abandonRecord.store(1); }
    void abandonRecordAudio() { m_abandonRecordAudio.store(1); }

    // A message that has begun must finish: a channel that then stays silent this long (10 s
    // unless set) is treated as a dead link instead of being waited on for ever. The ThroughTek
    // command reader of NetProParse uses the same limit.
    static constexpr uint32_t kDefaultStallLimitMs = 10000;
    // A media chunk begun when its stream is stopped still comes whole; one that stays cut off
    // this long after the stop (or the stall limit, when shorter) drops the link.
    static constexpr uint32_t kAbandonGraceMs = 1000;
    uint32_t stallLimitMs() const { return m_stallLimitMs.load(); }
    void setStallLimitMs(uint32_t limitMs) { m_stallLimitMs.store(limitMs); }

    // Test seam for feeding the readers from memory (fuzz targets, malformed-input tests). A byte
    // source has the contract of one transport read: fill at most `length` bytes of `buffer` from
    // `channel`, set `length` to the count, and return 0, -3 (nothing there yet; `length` may be
    // part of the request) or another negative code (link broken). Like a transport it waits a
    // moment for bytes (a few milliseconds, ended early when bytes come) before it answers -3:
    // the readers ask again at once. While a source is set the link is detached from every
    // transport whatever its uid: Read takes its bytes from the source,
    // Write accepts and drops everything (returns the length), Close touches no transport. Set it
    // before the link is used and then setHandle(0) (or any handle >= 0) so the link counts as up;
    // the source is not guarded against concurrent replacement.
    using ByteSource = std::function<int(int channel, char* buffer, int& length)>;
    void setByteSource(ByteSource source) { m_byteSource = std::move(source); }

private:
    // Starts a ThroughTek AV channel on first use (index -1 when not started); the AV index or -1.
    int startAvChannel(std::atomic<int>& index, int channelId, const char* failText);
    std::atomic<int>* avIndexFor(int channel);
    int readBytes(int channel, char* buffer, int& length, bool continued);

    std::atomic<int> m_handle{kNeverConnected};
    std::atomic<int> m_linkId{0};
    std::atomic<int> m_closedLinkId{0};
    std::atomic<int> m_connected{0};
    // Each is -1 (none), 0 (after Close) or 1 (abandon the next wait).
    std::atomic<int> m_abandonLive{-1};
    std::atomic<int> m_abandonPicture{-1};
    std::atomic<int> m_abandonLiveAudio{-1};
    std::atomic<int> m_abandonRecord{-1};
    std::atomic<int> m_abandonRecordAudio{-1};
    std::atomic<uint32_t> m_stallLimitMs{kDefaultStallLimitMs};
    mutable std::mutex m_uidMutex;
    std::string m_uid;
    std::mutex m_avMutex;
    std::atomic<int> m_avIo{-1};
    std::atomic<int> m_avLive{-1};
    std::atomic<int> m_avRecord{-1};
    std::atomic<int> m_avPicture{-1};
    std::atomic<int> m_avTalk{-1};
    ByteSource m_byteSource; // test seam, see setByteSource
};
