#include "SocketEventHandler.h"

namespace P2PNet {

SocketEventHandler::~SocketEventHandler() = default;

void SocketEventHandler::OnDatagram(RecvBuffer* buffer)
{
    delete buffer;
}

void SocketEventHandler::OnDatagrams(RecvBuffer* const* buffers, int count)
{
    for (int i = 0; i < count; ++i)
        OnDatagram(buffers[i]);
}

void SocketEventHandler::ReturnBuffer(RecvBuffer* buffer)
{
    delete buffer;
}

RecvBuffer* SocketEventHandler::TakeBuffer()
{
    return new RecvBuffer;
}

} // namespace P2PNet
