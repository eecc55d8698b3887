// The one place that names the peer's implementation.
#include "P2PClient.h"

#include "P2PPeer.h"

std::unique_ptr<P2PNet::P2PPeerInterface> P2PClient::makePeer()
{
    return std::make_unique<P2PNet::P2PPeer>();
}
