#include "SocketLibrary.h"

#include "UdpSocket.h"

namespace P2PNet {

int SocketLibrary::Acquire()
{
    return platform::netStartup();
}

int SocketLibrary::Release()
{
    return platform::netCleanup();
}

int SocketLibrary::Users()
{
    return platform::netUsers();
}

} // namespace P2PNet
