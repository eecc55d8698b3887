// Built when libTovel is not part of the build: the camera serves the two other transports only.
#include "DeviceLink.h"

namespace camsim {

std::unique_ptr<Acceptor> makeTovelAcceptor(const std::string&, const std::string&, const std::string&, std::string& error)
{
    error = "this build has no libTovel";
    return nullptr;
}

} // namespace camsim
