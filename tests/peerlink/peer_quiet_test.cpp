// A library writes nothing to standard output: starting a peer (which lists the host's
// addresses) and connecting two peers leaves it empty.
#include "support/PeerLinkHarness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace peerlink {
namespace {

using namespace P2PNet;

TEST(PeerQuiet, StartingAndConnectingWriteNothingToStandardOutput)
{
    std::fflush(stdout);
    char path[] = "/tmp/peer-quiet-XXXXXX";
    const int capture = ::mkstemp(path);
    ASSERT_GE(capture, 0);
    const int saved = ::dup(STDOUT_FILENO);
    ASSERT_GE(::dup2(capture, STDOUT_FILENO), 0);
    {
        const Family& family = families().front();
        TestPeer server;
        TestPeer client;
        EXPECT_EQ(server.start(family.listenFamily, family.listenHost), StartResult::Started);
        EXPECT_EQ(client.start(family.connectFamily, family.connectHost), StartResult::Started);
        server->LoadLocalAddresses();
        EXPECT_TRUE(connectPeers(client, server, family).has_value());
    }
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    const off_t written = ::lseek(capture, 0, SEEK_END);
    ::close(capture);
    ::unlink(path);
    EXPECT_EQ(written, 0);
}

} // namespace
} // namespace peerlink
