#include "NetProParse.h"

#include "NetLog.h"
#include "NetProtocol.h"
#include "PlatformThread.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kLoginRequest = 3001;
constexpr int kLoginReply = 4003;
constexpr int kSnapPush = 1475;
constexpr int kUserData = 1509;
constexpr int kIoBufferSize = 4096;
constexpr int kChunkBufferSize = 102400;
constexpr int kTutkFrameBuffer = 524288;
constexpr int kTutkAudioBuffer = 1024;
constexpr int kTutkSendBusy = -20021;
constexpr int kAvTimeout = -20011;
constexpr int kAvNotReady = -20012;
constexpr int kAvIncomplete = -20013;
constexpr int kAvLostFrame = -20014;

bool bigReply(int code)
{
    return code == 1053 || code == 1069 || code == kSnapPush;
}

// Whether a message without a body goes to the IO callback. An empty picture push carries
// nothing; an empty one with a negative result is a device refusing a face-picture or snapshot
// request, and that refusal is the answer its caller waits for.
bool answersRequest(int code, int32_t result)
{
    return code != kSnapPush || result < 0;
}

} // namespace

NetProParse::NetProParse(std::string uid, AVDataCallback avData, IODataCallback io)
    : m_uid(std::move(uid)), m_link(std::make_unique<NetRWrite>()), m_avData(std::move(avData)), m_io(std::move(io))
{
}

bool NetProParse::tutk() const
{
    return TransportForUid(m_uid) == LinkTransport::Tutk;
}

int NetProParse::Connect(const std::string& uid, int& connectionType)
{
    if (!m_link)
        return -1;
    return m_link->Connect(uid, connectionType);
}

void NetProParse::CloseLink()
{
    if (m_link)
        m_link->Close();
}

void NetProParse::SetAbandon(int value)
{
    if (m_link)
        m_link->setAbandon(value);
}

void NetProParse::SetAudioAbandon(int value)
{
    if (m_link)
        m_link->setAudioAbandon(value);
}

void NetProParse::AbandonRecordMedia()
{
    if (m_link)
        m_link->abandonRecordMedia();
}

void NetProParse::AbandonRecordAudio()
{
    if (m_link)
        m_link->abandonRecordAudio();
}

void NetProParse::StopTalkChannel()
{
    if (m_link)
        m_link->StopTalkChannel();
}

IODataCallback NetProParse::ioCallback()
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    return m_io;
}

void NetProParse::SetVADataCallback(AVDataCallback avData, IODataCallback io)
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    if (avData)
        m_avData = std::move(avData);
    if (io)
        m_io = std::move(io);
}

void NetProParse::SetRecDataCallback(AVDataCallback callback)
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_recData = std::move(callback);
}

void NetProParse::SetSnapDataCallback(AVDataCallback callback)
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_picData = std::move(callback);
}

std::size_t NetProParse::maxSendBody() const
{
    if (tutk())
        return kTutkMaxPackets * static_cast<std::size_t>(kTutkPacketBody);
    return std::min<std::size_t>(kMaxBodySize, MaxWriteForUid(m_uid) - kDevMsgHeaderSize);
}

int NetProParse::SendIOCtrl(unsigned short command, const std::string& body)
{
    if (!m_link || m_link->handle() < 0)
        return -1;
    if (body.size() > maxSendBody()) {
        NETLOG("command " << command << " refused: body of " << body.size() << " bytes, the link carries "
                          << maxSendBody());
        return kLumoraRequestTooLarge;
    }
    if (tutk())
        return SendIOCtrlTutkImple(command, body);
    m_lastCommand.store(command);
    const std::vector<char> message = BuildCommandMessage(command, body, m_link->handle());
    if (m_link->handle() < 0)
        return -11;
    return m_link->Write(kChannelCommand, message.data(), static_cast<int>(message.size()));
}

int NetProParse::SendIOCtrlTutkImple(unsigned short command, const std::string& body)
{
    m_lastCommand.store(command);
    // Packets of one message must not interleave with another message's packets.
    std::lock_guard<std::mutex> lock(m_tutkSendMutex);
    const auto packets = BuildTutkPackets(command, body, m_link->handle());
    if (packets.empty()) {
        NETLOG("tutk command " << command << " refused: body of " << body.size() << " bytes needs more than "
                               << kTutkMaxPackets << " packets");
        return -1;
    }
    const unsigned int type = command + kTutkIoTypeOffset;
    int sent = 0;
    for (const auto& packet : packets) {
        NETLOG_AT(netlog::Level::Debug, "will be send len " << packet.size() - kDevMsgHeaderSize);
        const int length = static_cast<int>(packet.size());
        int rc = m_link->SendIOCtrl(0, type, packet.data(), length);
        if (rc != 0) {
            NETLOG("Send tutk error " << rc);
            if (rc == kTutkSendBusy) {
                platform::sleepMillis(1000);
                rc = m_link->SendIOCtrl(0, type, packet.data(), length);
                if (rc == kTutkSendBusy) {
                    NETLOG("time out second " << kTutkSendBusy);
                    m_link->SendIOCtrlExit();
                    rc = m_link->SendIOCtrl(0, type, packet.data(), length);
                }
            }
            if (rc != 0)
                return -1;
        }
        sent += length - kDevMsgHeaderSize;
        NETLOG_AT(netlog::Level::Debug, "Tutk IO Ctrl Send type " << command << " send len " << kDevMsgHeaderSize + sent);
    }
    return 0;
}

int NetProParse::SendUserData(const char* data, int length)
{
    if (!m_link || m_link->handle() < 0 || length < 0 || (data == nullptr && length > 0))
        return -1;
    if (static_cast<std::size_t>(length) > maxSendBody())
        return kLumoraRequestTooLarge;
    m_lastCommand.store(kUserData);
    const std::vector<char> message =
        BuildCommandMessage(kUserData, std::string(data, data + length), m_link->handle());
    if (m_link->handle() < 0)
        return -11;
    return m_link->Write(kChannelLive, message.data(), static_cast<int>(message.size()));
}

int NetProParse::SendAudioFrame(std::vector<char> frame)
{
    if (!m_link || m_link->handle() < 0 || frame.size() > 0xFFFF)
        return -1;
    MediaChunkHeader h;
    h.frameId = 1;
    h.totalFrameSize = static_cast<uint32_t>(frame.size());
    h.chunkLength = static_cast<uint16_t>(frame.size());
    h.frameType = 20;
    uint8_t header[kMediaChunkHeaderSize];
    EncodeMediaChunkHeader(h, header);
    if (tutk())
        return m_link->SendAudioData(0, frame.data(), static_cast<int>(frame.size()), header, kMediaChunkHeaderSize);
    std::vector<char> message(kMediaChunkHeaderSize + frame.size());
    std::memcpy(message.data(), header, kMediaChunkHeaderSize);
    if (!frame.empty())
        std::memcpy(message.data() + kMediaChunkHeaderSize, frame.data(), frame.size());
    if (m_link->handle() < 0)
        return -11;
    return m_link->Write(kChannelLive, message.data(), static_cast<int>(message.size()));
}

int NetProParse::errorCode() const
{
    const int last = m_lastCommand.load();
    return last == kLoginRequest ? kLoginReply : last;
}

void NetProParse::reportIo(int code, int result, int slot)
{
    if (auto io = ioCallback()) {
        std::vector<char> empty;
        io(code, result, empty, 0, m_uid, m_readLink, slot);
    }
}

int NetProParse::ReadIOData(int, int slot)
{
    // Taken before the handle: whatever this call reads or fails on belongs to this link, even
    // when another thread closes it meanwhile and connects the next one.
    m_readLink = m_link ? m_link->linkId() : 0;
    if (!m_link || m_link->handle() < 0) {
        const int h = m_link ? m_link->handle() : NetRWrite::kLossReported;
        if (h != NetRWrite::kNeverConnected && h != NetRWrite::kLossReported && ioCallback() &&
            m_link->markLossReported(h)) {
            // The loss is that of the link the last Close ended, not of one connecting now.
            m_readLink = m_link->closedLinkId();
            reportIo(m_lastCommand.load(), -1, slot);
        }
        return -1;
    }
    if (tutk())
        return readIODataTutk(slot);

    m_ioBuffer.assign(kIoBufferSize, 0);
    int n = 4;
    int rc = m_link->Read(kChannelCommand, m_ioBuffer.data(), n);
    if (rc != 0) {
        reportIo(errorCode(), rc, slot);
        return rc;
    }
    if (n < 1)
        return 0;
    if (DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(m_ioBuffer.data())).magic != kDevMagic ||
        n < 4) {
        // Without the magic the stream cannot be trusted any further: drop the link, and the next
        // poll reports the loss once so that the SDK reconnects.
        NETLOG("bad command magic on " << m_uid);
        m_link->Close();
        return 0;
    }
    n = kDevMsgHeaderSize - 4;
    rc = m_link->Read(kChannelCommand, m_ioBuffer.data() + 4, n);
    if (rc != 0) {
        reportIo(errorCode(), rc, slot);
        return rc;
    }
    if (n < 1)
        return 0;
    const DevMsgHeader header = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(m_ioBuffer.data()));
    const int code = header.command;
    const int64_t bodyLength = header.bodyLength();
    ++m_messagesRead;
    if (header.headerLength != kDevMsgHeaderSize || bodyLength < 0 || bodyLength > kMaxBodySize) {
        NETLOG("bad command header on " << m_uid << " header " << header.headerLength << " total " << header.totalLength);
        m_link->Close();
        return 0;
    }
    if (bodyLength == 0) {
        if (answersRequest(code, header.result))
            reportIo(code, header.result, slot);
        return 0;
    }
    auto io = ioCallback();
    if (bigReply(code) || bodyLength > kIoBufferSize) {
        std::vector<char> body(static_cast<size_t>(bodyLength));
        n = static_cast<int>(bodyLength);
        rc = m_link->Read(kChannelCommand, body.data(), n);
        if (rc == 0 && n != bodyLength)
            rc = -1; // the link went down part-way through the body
        if (rc != 0) {
            reportIo(code, rc, slot);
            return rc;
        }
        if (io)
            io(code, 0, body, static_cast<unsigned>(bodyLength), m_uid, m_readLink, slot);
        return 0;
    }
    std::fill(m_ioBuffer.begin(), m_ioBuffer.begin() + 2048, 0);
    n = static_cast<int>(bodyLength);
    rc = m_link->Read(kChannelCommand, m_ioBuffer.data(), n);
    if (rc == 0 && n != bodyLength)
        rc = -1;
    if (rc != 0) {
        reportIo(code, rc, slot);
        return rc;
    }
    if (io)
        io(code, 0, m_ioBuffer, static_cast<unsigned>(n), m_uid, m_readLink, slot);
    return rc;
}

int NetProParse::readIODataTutk(int slot)
{
    char packet[1024];
    std::vector<char> body;
    int64_t bodyLength = -1;
    int64_t position = 0;
    int code = 0;
    uint32_t lastProgress = platform::tickMillis();
    for (;;) {
        unsigned int type = 0;
        const int rc = m_link->RecvIOCtrl(0, &type, packet, sizeof packet, 0);
        if (rc == kAvTimeout) {
            if (bodyLength < 0)
                return 0;
            if (platform::tickMillis() - lastProgress > m_link->stallLimitMs()) {
                NETLOG("Read tutk frame erro stalled");
                m_link->Close();
                reportIo(errorCode(), -1, slot);
                return -1;
            }
            continue;
        }
        if (rc < 0) {
            NETLOG("Read tutk frame erro " << rc);
            reportIo(errorCode(), rc, slot);
            return rc;
        }
        lastProgress = platform::tickMillis();
        if (rc < kDevMsgHeaderSize || rc > static_cast<int>(sizeof packet) ||
            DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(packet)).magic != kDevMagic) {
            NETLOG(" read io frame erro nRet " << rc);
            reportIo(errorCode(), rc, slot);
            return -1;
        }
        const DevMsgHeader header = DecodeDevMsgHeader(reinterpret_cast<const uint8_t*>(packet));
        NETLOG_AT(netlog::Level::Debug, "the msg_len " << header.totalLength << " header len " << header.headerLength << " paknum "
                              << int(header.packetCount) << " pakid " << int(header.packetIndex));
        const int64_t length = header.bodyLength();
        if (header.headerLength != kDevMsgHeaderSize || length < 0 || length > kMaxBodySize) {
            NETLOG(" read io frame erro nRet " << rc);
            reportIo(errorCode(), -1, slot);
            return -1;
        }
        if (bodyLength < 0) {
            ++m_messagesRead;
            code = header.command;
            bodyLength = length;
            if (bodyLength == 0) {
                NETLOG("the total len is zero");
                if (answersRequest(code, header.result))
                    reportIo(code, header.result, slot);
                else
                    NETLOG_AT(netlog::Level::Debug, "Snap should be deal with");
                return 0;
            }
            body.assign(static_cast<size_t>(bodyLength), 0);
        } else if (header.command != code || length != bodyLength) {
            // A packet of another message in the middle of this one: the message cannot be whole.
            NETLOG(" read io frame erro nRet " << rc);
            reportIo(code, -1, slot);
            return -1;
        }
        const int64_t slice = std::min<int64_t>(rc - kDevMsgHeaderSize, bodyLength - position);
        std::memcpy(body.data() + position, packet + kDevMsgHeaderSize, static_cast<size_t>(slice));
        position += slice;
        if (position >= bodyLength) {
            NETLOG_AT(netlog::Level::Debug, "Get tutk frame rect ");
            if (auto io = ioCallback())
                io(code, 0, body, static_cast<unsigned>(bodyLength), m_uid, m_readLink, slot);
            return 0;
        }
    }
}

bool NetProParse::reportLinkDown(const AVDataCallback& callback, int kind, int slot)
{
    if (m_link && m_link->handle() >= 0)
        return false;
    const int h = m_link ? m_link->handle() : NetRWrite::kLossReported;
    if (h != NetRWrite::kNeverConnected && h != NetRWrite::kLossReported && m_link->markLossReported(h)) {
        if (callback) {
            std::vector<char> empty;
            callback(-1, -1, empty, 0, m_uid, kind, 0, slot);
        }
    }
    return true;
}

int NetProParse::readChunkedFrame(MediaReader& reader, int channel, int kind, int slot, const AVDataCallback& callback)
{
    if (reader.chunk.size() < kChunkBufferSize)
        reader.chunk.assign(kChunkBufferSize, 0);
    auto report = [&](int p1, int p2, uint64_t pts) {
        if (callback) {
            std::vector<char> empty;
            callback(p1, p2, empty, 0, m_uid, kind, pts, slot);
        }
    };
    uint32_t total = 0;
    uint32_t received = 0;
    uint32_t frameId = 0;
    bool bad = false;
    for (;;) {
        uint8_t headerBytes[kMediaChunkHeaderSize];
        int n = kMediaChunkHeaderSize;
        // A picture's next chunk header is part of the picture begun: it is waited for, not
        // looked for (a look finding nothing would drop the chunks read so far).
        const bool pictureBegun = channel == kChannelPicture && total != 0;
        int rc = pictureBegun ? m_link->ReadContinued(channel, reinterpret_cast<char*>(headerBytes), n)
                              : m_link->Read(channel, reinterpret_cast<char*>(headerBytes), n);
        if (rc != 0 && rc != -3) {
            report(rc, rc, 0);
            return rc;
        }
        if (n == 0) {
            // Abandoned by a stream stop (0), or nothing there: pictures come back later, the
            // media channels wait on.
            if (rc == 0 || channel == kChannelPicture)
                return rc;
            continue;
        }
        const MediaChunkHeader header = DecodeMediaChunkHeader(headerBytes);
        if (header.magic != kDevMagic) {
            NETLOG("bad media magic on channel " << channel << " of " << m_uid);
            m_link->Close();
            return -5;
        }
        const uint64_t pts = header.pts();
        if (header.totalFrameSize > kMaxFrameSize) {
            NETLOG("media frame too large on channel " << channel << ": " << header.totalFrameSize);
            m_link->Close();
            return -5;
        }
        if (total == 0) {
            total = header.totalFrameSize;
            frameId = header.frameId;
            if (reader.frame.size() < total)
                reader.frame.resize(std::max<size_t>(total, 524288));
        } else if (header.totalFrameSize != total || header.frameId != frameId) {
            bad = true;
        }
        if (header.chunkLength == 0) {
            if (total == 0)
                report(0, 0, pts);
            return 0;
        }
        // A chunk of the frame begun that fits it is read straight into its place; any other
        // (of another frame, or running past this one's end) is read into the scratch buffer and
        // dropped with the frame.
        const bool fits = !bad && static_cast<uint64_t>(received) + header.chunkLength <= total;
        n = header.chunkLength;
        rc = m_link->Read(channel, fits ? reader.frame.data() + received : reader.chunk.data(), n);
        if (rc != 0 && rc != -3) {
            report(rc, rc, pts);
            return rc;
        }
        if (n == 0)
            continue;
        if (!fits || received + static_cast<uint32_t>(n) > total) {
            total = 0;
            received = 0;
            bad = false;
            continue;
        }
        received += static_cast<uint32_t>(n);
        if (received == total) {
            if (callback)
                callback(header.frameType, 0, reader.frame, total, m_uid, kind, pts, slot);
            return 0;
        }
    }
}

int NetProParse::readTutkFrame(MediaReader& reader, int channel, int kind, int slot, bool audio, bool pictures,
                               const AVDataCallback& callback)
{
    const size_t bufferSize = audio ? kTutkAudioBuffer : kTutkFrameBuffer;
    if (reader.chunk.size() < bufferSize)
        reader.chunk.assign(bufferSize, 0);
    auto report = [&](int p1, int p2, uint64_t pts) {
        if (callback) {
            std::vector<char> empty;
            callback(p1, p2, empty, 0, m_uid, kind, pts, slot);
        }
    };
    bool lost = false;
    for (;;) {
        char info[1024] = {};
        int infoSize = 0;
        unsigned int frameIndex = 0;
        int rc = 0;
        if (audio) {
            rc = m_link->RecvAudioData(channel, reader.chunk.data(), kTutkAudioBuffer, info, sizeof info, &frameIndex);
            infoSize = kMediaChunkHeaderSize;
        } else {
            int actual = 0;
            int expected = 0;
            rc = m_link->RecvFrameData2(channel, reader.chunk.data(), kTutkFrameBuffer, &actual, &expected, info,
                                        sizeof info, &infoSize, &frameIndex);
        }
        if (rc == kAvNotReady || rc == kAvTimeout) {
            // The receive calls wait for a frame inside the library for a moment, as the CS2 and
            // libTovel reads do: asking again waits on the transport, not on a timer. A stop
            // comes back from them as an empty frame (below).
            if (pictures)
                return rc;
            continue;
        }
        if (rc == kAvIncomplete || rc == kAvLostFrame) {
            lost = true;
            NETLOG_REPEATING(netlog::Level::Warn, "tutk frame lost " << rc << " on channel " << channel);
            continue;
        }
        if (rc < 0) {
            report(rc, rc, 0);
            NETLOG("tutk frame read error " << rc);
            return rc;
        }
        if (rc == 0 && infoSize == 0) {
            // Abandoned by a stop: the read gives its worker back empty. On the record channel an
            // empty frame is the end of a transfer, so an abandoned frame read there delivers
            // nothing, as on the other transports.
            if (channel != kChannelRecord)
                report(0, 0, 0);
            return 0;
        }
        if (infoSize < kMediaChunkHeaderSize)
            continue; // no frame information: nothing tells what this frame is
        const MediaChunkHeader header = DecodeMediaChunkHeader(reinterpret_cast<const uint8_t*>(info));
        if (lost && !header.isAudio() && header.frameType != 5)
            continue;
        lost = false;
        const uint64_t pts = header.pts();
        if (rc == 0 || header.totalFrameSize == 0) {
            report(rc, rc, pts);
            return 0;
        }
        // The frame is what arrived: never more than the receive buffer holds.
        const size_t length = std::min<size_t>(static_cast<size_t>(rc), reader.chunk.size());
        std::vector<char> frame(reader.chunk.begin(), reader.chunk.begin() + static_cast<std::ptrdiff_t>(length));
        if (callback)
            callback(header.frameType, 0, frame, static_cast<unsigned>(length), m_uid, kind, pts, slot);
        return 0;
    }
}

int NetProParse::ReadVAData(int slot, int kind, int mediaType, AVDataCallback callback)
{
    if (!callback) {
        std::lock_guard<std::mutex> lock(m_callbackMutex);
        callback = m_avData;
    }
    if (reportLinkDown(callback, kind, slot))
        return -1;
    if (tutk()) {
        const bool audio = mediaType >= 20;
        return readTutkFrame(audio ? m_liveAudio : m_live, kind == 0 ? 1 : kind, kind, slot, audio, false, callback);
    }
    return readChunkedFrame(m_live, kChannelLive, kind, slot, callback);
}

int NetProParse::ReadRecData(int slot, int mediaType, int, AVDataCallback callback)
{
    if (!callback) {
        std::lock_guard<std::mutex> lock(m_callbackMutex);
        callback = m_recData;
    }
    if (reportLinkDown(callback, 4, slot))
        return -1;
    if (tutk()) {
        const bool audio = mediaType >= 20;
        return readTutkFrame(audio ? m_recordAudio : m_record, kChannelRecord, 4, slot, audio, false, callback);
    }
    return readChunkedFrame(m_record, kChannelRecord, 4, slot, callback);
}

int NetProParse::ReadSnapPicData(int slot, int channel, AVDataCallback callback)
{
    if (!callback) {
        std::lock_guard<std::mutex> lock(m_callbackMutex);
        callback = m_picData;
    }
    if (reportLinkDown(callback, channel, slot))
        return -1;
    std::unique_lock<std::mutex> reading(m_pictureReadLock, std::try_to_lock);
    if (!reading.owns_lock())
        return -3;
    if (tutk())
        return readTutkFrame(m_picture, channel, channel, slot, false, true, callback);
    return readChunkedFrame(m_picture, channel, channel, slot, callback);
}
