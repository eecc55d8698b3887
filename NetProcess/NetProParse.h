// The per-device protocol engine between the SDK core and one link: sends command messages (whole
// on CS2 and libTovel, packetised on ThroughTek), talk audio and raw user data, and reads one
// command message or one media frame per call, handing what it read to callbacks. It never loops
// by itself: the SDK's polling and stream tasks call the readers.
//
// Threads: ReadIOData runs on the reply poller, each media reader on one stream task at a time,
// the senders on application and audio threads. Each reader owns its buffers; every send builds
// its message in its own buffer, so concurrent sends never mix their bytes.
#pragma once

#include "NetCallbacks.h"
#include "NetRWrite.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NetProParse {
public:
    // Largest frame a reader assembles; a chunk header claiming more is refused.
    static constexpr uint32_t kMaxFrameSize = 16u * 1024u * 1024u;
    // Largest command body a reader accepts.
    static constexpr uint32_t kMaxBodySize = 4u * 1024u * 1024u;

    // Largest command or user-data body this link sends in one message: what one write of the
    // transport carries with the header and the device's reader accepts (kMaxBodySize), or on
    // ThroughTek what a one-byte packet count can carry. A larger body is refused with
    // kLumoraRequestTooLarge before anything is written, so the link stays up.
    std::size_t maxSendBody() const;

    NetProParse(std::string uid, AVDataCallback avData, IODataCallback io);
    NetProParse(const NetProParse&) = delete;
    NetProParse& operator=(const NetProParse&) = delete;

    int Connect(const std::string& uid, int& connectionType);
    int SendIOCtrl(unsigned short command, const std::string& body);
    int SendIOCtrlTutkImple(unsigned short command, const std::string& body);
    int SendUserData(const char* data, int length);
    int SendAudioFrame(std::vector<char> frame);

    int ReadIOData(int, int slot);
    int ReadVAData(int slot, int kind, int mediaType, AVDataCallback callback);
    int ReadRecData(int slot, int mediaType, int, AVDataCallback callback);
    int ReadSnapPicData(int slot, int channel, AVDataCallback callback);

    void SetVADataCallback(AVDataCallback avData, IODataCallback io);
    void SetRecDataCallback(AVDataCallback callback);
    void SetSnapDataCallback(AVDataCallback callback);

    bool LinkUp() const { return m_link && m_link->handle() >= 0; }
    void CloseLink();
    // Sets the link's abandon flag (1 live/record, 5 pictures) or its audio flag.
    void SetAbandon(int value);
    void SetAudioAbandon(int value);
    // Ends the waiting record media read (chunks, ThroughTek frames) or the waiting ThroughTek
    // record-audio read alone.
    void AbandonRecordMedia();
    void AbandonRecordAudio();
    void StopTalkChannel();
    NetRWrite* link() { return m_link.get(); }
    uint16_t lastCommand() const { return m_lastCommand.load(); }
    // Command messages whose header ReadIOData has read so far (a call that found nothing leaves
    // it), so that a poller can read until the channel is empty.
    uint64_t messagesRead() const { return m_messagesRead.load(); }

private:
    // One media reader's buffers (live, record, pictures).
    struct MediaReader {
        std::vector<char> frame;
        std::vector<char> chunk;
    };

    bool tutk() const;
    IODataCallback ioCallback();
    // The code a read error is reported under: the login request's errors go to the login reply.
    int errorCode() const;
    void reportIo(int code, int result, int slot);
    // True (and the loss reported once) when the link is missing or down.
    bool reportLinkDown(const AVDataCallback& callback, int kind, int slot);
    int readIODataTutk(int slot);
    int readChunkedFrame(MediaReader& reader, int channel, int kind, int slot, const AVDataCallback& callback);
    int readTutkFrame(MediaReader& reader, int channel, int kind, int slot, bool audio, bool pictures,
                      const AVDataCallback& callback);

    std::string m_uid;
    std::unique_ptr<NetRWrite> m_link;
    std::mutex m_callbackMutex;
    AVDataCallback m_avData;
    AVDataCallback m_recData;
    AVDataCallback m_picData;
    IODataCallback m_io;
    std::atomic<uint16_t> m_lastCommand{0};
    std::atomic<uint64_t> m_messagesRead{0};
    std::mutex m_tutkSendMutex;

    // Owned by the reply poller.
    std::vector<char> m_ioBuffer;
    int m_readLink = 0; // the link number ReadIOData reports under (NetRWrite::linkId)
    // Each owned by the stream task that reads that kind.
    MediaReader m_live;
    MediaReader m_record;
    MediaReader m_picture;
    // The picture poll and a running face stream both read channel 5: one picture is read by
    // one of them at a time, the other finds nothing this pass.
    std::mutex m_pictureReadLock;
    // ThroughTek audio for the live and record readers, each its own.
    MediaReader m_liveAudio;
    MediaReader m_recordAudio;
};
