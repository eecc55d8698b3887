#include "P2PNetSocket2.h"

namespace P2PNet {

P2PNetSocket2::~P2PNetSocket2() = default;

} // namespace P2PNet
