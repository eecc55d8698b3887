#include "ClientWire.h"

#include "BitStream.h"

void ByteWriter::address(const P2PNet::SystemAddress& address)
{
    P2PNet::BitStream stream;
    address.Serialize(stream);
    bytes(stream.GetData(), stream.GetNumberOfBytesUsed());
}

bool ByteReader::address(P2PNet::SystemAddress& address)
{
    if (remaining() == 0)
        return false;
    P2PNet::BitStream stream(current(), static_cast<uint32_t>(remaining()), false);
    P2PNet::SystemAddress read;
    if (!read.Deserialize(stream))
        return false;
    // Every field before and inside the address lies on a byte boundary.
    if (!skip((stream.GetReadPosition() + 7) / 8))
        return false;
    address = read;
    return true;
}
