// The vendor P2P stand-ins over loopback: the calls and result codes the device link relies on.
#include "DeploymentSettings.h"
#include "AVAPIs.h"
#include "IOTCAPIs.h"
#include "LoopLink.h"
#include "PPCS_API.h"
#include "VendorFaults.h"
#include "WaitUntil.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every test gets its own directory file, so tests may run in parallel processes.
class VendorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A parameterised test's name holds a '/', which a file name cannot.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        m_path = std::filesystem::temp_directory_path() / ("lumora-dir-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove(m_path);
        deployment::setP2PDirectory(m_path.string());
        vendor::clearFaults();
    }
    void TearDown() override
    {
        vendor::setReaderStallLimit(vendor::kDefaultReaderStallMs);
        vendor::setSessionBufferLimit(vendor::kMaxBuffered);
        vendor::clearFaults();
        std::filesystem::remove(m_path);
    }
    std::filesystem::path m_path;
};

std::string uniqueId(const char* stem)
{
    static std::atomic<int> n{0};
    return std::string(stem) + std::to_string(::getpid() % 10000) + "X" + std::to_string(n++);
}

using Cs2Test = VendorTest;
using ListenerTest = VendorTest;

// A raw TCP client of a listener, for hellos that the stand-ins' own connect never sends.
int rawConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the peer has closed the connection (read returns end of stream or an error).
bool closedByPeer(int fd)
{
    char byte = 0;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

// Clients that send part of a hello, or nothing, hold up no other client: the next one is accepted
// while they wait, and each is turned away at its own deadline.
TEST_F(ListenerTest, StalledHellosHoldUpNobody)
{
    const std::string id = uniqueId("HOWLSN");
    vendor::LoopListener listener;
    ASSERT_TRUE(listener.open(id));
    listener.setHelloTimeout(60000);
    const int oneByte = rawConnect(listener.port());
    const int silent = rawConnect(listener.port());
    ASSERT_GE(oneByte, 0);
    ASSERT_GE(silent, 0);
    ASSERT_EQ(::send(oneByte, "\0", 1, MSG_NOSIGNAL), 1);

    auto client = std::async(std::launch::async, [&] {
        vendor::ConnectError error = vendor::ConnectError::Refused;
        auto session = vendor::connectTo(id, nullptr, error);
        return session != nullptr && error == vendor::ConnectError::None;
    });
    std::shared_ptr<vendor::LoopSession> accepted;
    for (int i = 0; i < 3 && !accepted; ++i)
        accepted = listener.accept(20000);
    ASSERT_NE(accepted, nullptr);
    EXPECT_TRUE(client.get());
    EXPECT_EQ(listener.pendingHellos(), 2u);

    // With the deadline shortened, the next wait turns both away.
    listener.setHelloTimeout(0);
    auto stale = std::async(std::launch::async, [&] { return listener.accept(-1); });
    EXPECT_TRUE(closedByPeer(oneByte));
    EXPECT_TRUE(closedByPeer(silent));
    listener.breakWait();
    EXPECT_EQ(stale.get(), nullptr);
    ::close(oneByte);
    ::close(silent);
}

struct BadHelloCase {
    const char* name;
    std::vector<unsigned char> bytes;
    bool endsStream = false; // the client closes its side after the bytes
};

class BadHello : public VendorTest, public ::testing::WithParamInterface<BadHelloCase> {};

// A first message that is not a hello naming this UID is turned away at once.
TEST_P(BadHello, IsTurnedAwayAtOnce)
{
    const std::string id = uniqueId("HOWBAD");
    vendor::LoopListener listener;
    ASSERT_TRUE(listener.open(id));
    listener.setHelloTimeout(60000);
    const int fd = rawConnect(listener.port());
    ASSERT_GE(fd, 0);
    const auto& bytes = GetParam().bytes;
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    if (GetParam().endsStream)
        ::shutdown(fd, SHUT_WR);
    auto waiting = std::async(std::launch::async, [&] { return listener.accept(-1); });
    EXPECT_TRUE(closedByPeer(fd));
    listener.breakWait();
    EXPECT_EQ(waiting.get(), nullptr);
    EXPECT_EQ(listener.pendingHellos(), 0u);
    ::close(fd);
}

// Header: kind, channel, u32 type, u32 info length, u32 data length (big-endian), then the bytes.
INSTANTIATE_TEST_SUITE_P(
    Vendor, BadHello,
    ::testing::Values(BadHelloCase{"streamKind", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'x'}},
                      BadHelloCase{"hugeUid", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}},
                      BadHelloCase{"hugeInfo", {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}},
                      BadHelloCase{"otherUid", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'n', 'o'}},
                      BadHelloCase{"closedEarly", {0, 0, 0}, true}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(Cs2Test, UnknownIdFailsWithoutContactingAnything)
{
    char init[] = "ABCDEFGHIJKLMNOP";
    ASSERT_EQ(PPCS_Initialize(init), PPCS_SUCCESSFUL);
    EXPECT_EQ(PPCS_Connect("HOWNOBODY", 1, 0), PPCS_ERR_INVALID_ID);
    EXPECT_LT(PPCS_Read(12345, 0, init, nullptr, 0), 0);
}

TEST_F(Cs2Test, ChannelsCarryBytesAndTimeOutWithPartialCount)
{
    char init[] = "ABCDEFGHIJKLMNOP";
    ASSERT_EQ(PPCS_Initialize(init), PPCS_SUCCESSFUL);
    const std::string id = uniqueId("HOWCAM");
    auto device = std::async(std::launch::async, [&] { return PPCS_Listen(id.c_str(), 5, 0, 1, ""); });
    // The listener publishes its address before it accepts; retry until it is there.
    int client = -1;
    for (int i = 0; i < 100 && client < 0; ++i) {
        client = PPCS_Connect(id.c_str(), 1, 0);
        if (client < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(client, 0);
    const int server = device.get();
    ASSERT_GE(server, 0);

    st_PPCS_Session info;
    ASSERT_EQ(PPCS_Check(client, &info), PPCS_SUCCESSFUL);
    EXPECT_EQ(reinterpret_cast<const char*>(&info)[81], PPCS_MODE_LAN);

    ASSERT_EQ(PPCS_Write(client, 0, "hello", 5), 5);
    ASSERT_EQ(PPCS_Write(client, 4, "four", 4), 4);
    char buf[16] = {};
    int size = 4;
    EXPECT_EQ(PPCS_Read(server, 4, buf, &size, 1000), PPCS_SUCCESSFUL);
    EXPECT_EQ(std::string(buf, 4), "four");
    size = 8;
    EXPECT_EQ(PPCS_Read(server, 0, buf, &size, 100), PPCS_ERR_TIME_OUT);
    EXPECT_EQ(size, 5) << "a time-out reports the bytes that did arrive";
    EXPECT_EQ(std::string(buf, 5), "hello");

    ASSERT_EQ(PPCS_Close(server), PPCS_SUCCESSFUL);
    // Each read asks for one byte again: a time-out leaves the count at what arrived (none), and a
    // read of zero bytes would succeed at once.
    int rc = PPCS_SUCCESSFUL;
    for (int i = 0; i < 500 && rc != PPCS_ERR_SESSION_CLOSED_REMOTE; ++i) {
        size = 1;
        rc = PPCS_Read(client, 0, buf, &size, 20);
    }
    EXPECT_EQ(rc, PPCS_ERR_SESSION_CLOSED_REMOTE);
    EXPECT_EQ(PPCS_Write(client, 0, "x", 1), PPCS_ERR_SESSION_CLOSED_REMOTE);
    EXPECT_EQ(PPCS_Close(client), PPCS_SUCCESSFUL);
    EXPECT_EQ(PPCS_Write(client, 0, "x", 1), PPCS_ERR_INVALID_SESSION_HANDLE);
}

// A reader that never takes its bytes does not make the session grow without bound: past the
// session's buffer the session ends and the writer learns it.
TEST_F(Cs2Test, UnreadBytesPastTheBufferEndTheSession)
{
    char init[] = "ABCDEFGHIJKLMNOP";
    ASSERT_EQ(PPCS_Initialize(init), PPCS_SUCCESSFUL);
    const std::string id = uniqueId("HOWCAM");
    auto device = std::async(std::launch::async, [&] { return PPCS_Listen(id.c_str(), 5, 0, 1, ""); });
    int client = -1;
    for (int i = 0; i < 100 && client < 0; ++i) {
        client = PPCS_Connect(id.c_str(), 1, 0);
        if (client < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(client, 0);
    const int server = device.get();
    ASSERT_GE(server, 0);

    // Nobody reads: once the session's buffer is full, the writer waits until the reader's side
    // gives up at its (shortened) stall limit.
    vendor::setReaderStallLimit(200);
    const std::string chunk(1024 * 1024, 'b');
    int rc = 0;
    for (int i = 0; i < 256 && rc >= 0; ++i)
        rc = PPCS_Write(client, 2, chunk.data(), static_cast<int>(chunk.size()));
    EXPECT_EQ(rc, PPCS_ERR_SESSION_CLOSED_REMOTE) << "the writer is told once the reader's side gave up";
    PPCS_Close(client);
    PPCS_Close(server);
}

// A reader that falls behind loses nothing: while the session's buffer is full the stand-in reads
// no more from its connection, so the writer waits, and every byte arrives once the reader reads.
TEST_F(ListenerTest, SlowReaderGetsEverythingWhileTheWriterWaits)
{
    constexpr std::size_t kChunk = 1024 * 1024;
    constexpr std::size_t kChunks = 24;
    vendor::setSessionBufferLimit(4 * kChunk);
    const std::string id = uniqueId("HOWSLOW");
    vendor::LoopListener listener;
    ASSERT_TRUE(listener.open(id));
    auto connecting = std::async(std::launch::async, [&] {
        vendor::ConnectError error = vendor::ConnectError::Refused;
        return vendor::connectTo(id, nullptr, error);
    });
    const auto device = listener.accept(20000);
    const auto client = connecting.get();
    ASSERT_NE(device, nullptr);
    ASSERT_NE(client, nullptr);

    std::string sent(kChunk * kChunks, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 2654435761u >> 13);
    auto writer = std::async(std::launch::async, [&] {
        for (std::size_t i = 0; i < kChunks; ++i) {
            vendor::LoopMessage message;
            message.kind = vendor::MsgKind::Stream;
            message.channel = 3;
            message.data.assign(sent.begin() + static_cast<std::ptrdiff_t>(i * kChunk),
                                sent.begin() + static_cast<std::ptrdiff_t>((i + 1) * kChunk));
            if (!client->send(message))
                return false;
        }
        return true;
    });
    ASSERT_TRUE(lumora::test::waitUntil([&] { return device->waitingForRoom(); }));
    std::string got;
    std::vector<char> buffer(kChunk);
    while (got.size() < sent.size()) {
        const int n = device->readStream(3, buffer.data(), static_cast<int>(kChunk), 5000);
        if (n <= 0)
            break;
        got.append(buffer.data(), static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(writer.get());
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    EXPECT_EQ(device->state(), vendor::LinkState::Open);
}

TEST_F(Cs2Test, ForcedResultsAndConnectBreak)
{
    char init[] = "ABCDEFGHIJKLMNOP";
    ASSERT_EQ(PPCS_Initialize(init), PPCS_SUCCESSFUL);
    vendor::forceResult(vendor::FaultCall::PpcsConnect, PPCS_ERR_DEVICE_NOT_ONLINE, 2);
    EXPECT_EQ(PPCS_Connect("HOWA", 1, 0), PPCS_ERR_DEVICE_NOT_ONLINE);
    EXPECT_EQ(PPCS_Connect("HOWA", 1, 0), PPCS_ERR_DEVICE_NOT_ONLINE);
    EXPECT_EQ(PPCS_Connect("HOWA", 1, 0), PPCS_ERR_INVALID_ID);
    EXPECT_EQ(PPCS_Connect_Break(), PPCS_SUCCESSFUL);
}

class TutkTest : public VendorTest {
protected:
    void SetUp() override
    {
        VendorTest::SetUp();
        ASSERT_EQ(IOTC_Initialize2(0), IOTC_ER_NoERROR);
        ASSERT_GT(avInitialize(40), 0);
    }
    void TearDown() override
    {
        avDeInitialize();
        IOTC_DeInitialize();
        VendorTest::TearDown();
    }
};

TEST_F(TutkTest, UnknownUidAndWrongLengthFail)
{
    const int sid = IOTC_Get_SessionID();
    ASSERT_GE(sid, 0);
    EXPECT_LT(IOTC_Connect_ByUID_Parallel("AAAAAAAAAAAAAAAAAAAA", sid), 0);
    EXPECT_LT(IOTC_Connect_ByUID_Parallel("SHORT", sid), 0);
    IOTC_Session_Close(sid);
}

// Only channels 0-7 can ever be read, so only they can be opened; any other is refused at once
// rather than taking data that would wait for ever.
TEST_F(TutkTest, OnlyReadableChannelsOpen)
{
    std::string uid = uniqueId("T");
    uid.resize(20, 'Z');
    ASSERT_EQ(IOTC_Device_Login(uid.c_str(), "cam", "pw"), IOTC_ER_NoERROR);
    auto device = std::async(std::launch::async, [] { return IOTC_Listen(5000); });
    const int sid = IOTC_Get_SessionID();
    ASSERT_GE(sid, 0);
    ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), sid);
    const int dsid = device.get();
    ASSERT_GE(dsid, 0);
    struct ChannelCase {
        unsigned char channel;
        bool opens;
    };
    for (const ChannelCase c : {ChannelCase{0, true}, ChannelCase{7, true}, ChannelCase{8, false},
                                ChannelCase{63, false}, ChannelCase{255, false}}) {
        unsigned int serverType = 0;
        const int client = avClientStart2(sid, "", "", 5, &serverType, c.channel, nullptr);
        const int server = avServStart3(dsid, nullptr, 5, 0, c.channel, nullptr);
        if (c.opens) {
            EXPECT_GE(client, 0) << "channel " << int(c.channel);
            EXPECT_GE(server, 0) << "channel " << int(c.channel);
        } else {
            EXPECT_EQ(client, AV_ER_INVALID_ARG) << "channel " << int(c.channel);
            EXPECT_EQ(server, AV_ER_INVALID_ARG) << "channel " << int(c.channel);
        }
        avClientStop(client);
        avServStop(server);
    }
    IOTC_Session_Close(sid);
    IOTC_Session_Close(dsid);
}

TEST_F(TutkTest, IoCtrlFramesAudioAndTalkChannel)
{
    std::string uid = uniqueId("T");
    uid.resize(20, 'Z');
    ASSERT_EQ(IOTC_Device_Login(uid.c_str(), "cam", "pw"), IOTC_ER_NoERROR);
    auto device = std::async(std::launch::async, [] { return IOTC_Listen(5000); });
    const int sid = IOTC_Get_SessionID();
    ASSERT_GE(sid, 0);
    ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), sid);
    const int dsid = device.get();
    ASSERT_GE(dsid, 0);
    st_SInfo info;
    ASSERT_EQ(IOTC_Session_Check(sid, &info), IOTC_ER_NoERROR);
    EXPECT_EQ(info.Mode, IOTC_MODE_LAN);

    unsigned int serverType = 0;
    const int io = avClientStart2(sid, "", "", 5, &serverType, 0, nullptr);
    const int live = avClientStart2(sid, "", "", 5, &serverType, 1, nullptr);
    const int dio = avServStart3(dsid, nullptr, 5, 0, 0, nullptr);
    const int dlive = avServStart3(dsid, nullptr, 5, 0, 1, nullptr);
    ASSERT_GE(io, 0);
    ASSERT_GE(live, 0);
    ASSERT_GE(dio, 0);
    ASSERT_GE(dlive, 0);

    char buf[2048];
    unsigned int type = 0;
    EXPECT_EQ(avRecvIOCtrl(dio, &type, buf, 1024, 10), AV_ER_TIMEOUT);
    ASSERT_EQ(avSendIOCtrl(io, 3001 + 511, "abc", 3), AV_ER_NoERROR);
    ASSERT_EQ(avRecvIOCtrl(dio, &type, buf, 1024, 1000), 3);
    EXPECT_EQ(type, 3001u + 511u);

    vendor::forceResult(vendor::FaultCall::AvSendIOCtrl, AV_ER_SENDIOCTRL_BUSY, 1);
    EXPECT_EQ(avSendIOCtrl(io, 1, "x", 1), AV_ER_SENDIOCTRL_BUSY);
    EXPECT_EQ(avSendIOCtrl(io, 1, "x", 1), AV_ER_NoERROR);

    const char frameInfo[24] = {'\xCC', '\xBB', '\xAA', 0x55};
    ASSERT_EQ(avSendFrameData(dlive, "frame-bytes", 11, frameInfo, 24), AV_ER_NoERROR);
    int actual = 0, expected = 0, infoSize = 0;
    unsigned int index = 99;
    char infoOut[1024];
    int rc = AV_ER_DATA_NOREADY;
    for (int i = 0; i < 200 && rc == AV_ER_DATA_NOREADY; ++i)
        rc = avRecvFrameData2(live, buf, sizeof buf, &actual, &expected, infoOut, 1024, &infoSize, &index);
    ASSERT_EQ(rc, 11);
    EXPECT_EQ(std::string(buf, 11), "frame-bytes");
    EXPECT_EQ(infoSize, 24);
    EXPECT_EQ(std::memcmp(infoOut, frameInfo, 24), 0);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(avRecvFrameData2(live, buf, sizeof buf, &actual, &expected, infoOut, 1024, &infoSize, &index),
              AV_ER_DATA_NOREADY);

    // Talk: the client serves channel 3, the device receives its audio as a client.
    const int talk = avServStart3(sid, nullptr, 20, 0, 3, nullptr);
    const int dtalk = avClientStart2(dsid, "", "", 5, &serverType, 3, nullptr);
    ASSERT_GE(talk, 0);
    ASSERT_GE(dtalk, 0);
    const std::string pcm(320, 'a');
    ASSERT_EQ(avSendAudioData(talk, pcm.data(), 320, frameInfo, 24), AV_ER_NoERROR);
    rc = AV_ER_DATA_NOREADY;
    for (int i = 0; i < 200 && rc == AV_ER_DATA_NOREADY; ++i)
        rc = avRecvAudioData(dtalk, buf, 1024, infoOut, 1024, &index);
    EXPECT_EQ(rc, 320);

    IOTC_Session_Close(dsid);
    rc = AV_ER_TIMEOUT;
    for (int i = 0; i < 100 && rc == AV_ER_TIMEOUT; ++i)
        rc = avRecvIOCtrl(io, &type, buf, 1024, 20);
    EXPECT_EQ(rc, AV_ER_SESSION_CLOSE_BY_REMOTE);
    IOTC_Session_Close(sid);
}

} // namespace
