// The simulated camera's libTovel side: registers as a device and accepts sessions.
#include "DeviceLink.h"

#include "Orlix.h"

#include <algorithm>
#include <atomic>

namespace camsim {

namespace {

class TovelAcceptor : public Acceptor {
public:
    TovelAcceptor(std::string uid, std::string password) : m_uid(std::move(uid)), m_password(std::move(password)) {}
    ~TovelAcceptor() override { Orlix_DeInitialize(); }

    std::unique_ptr<DeviceLink> accept(int timeoutMs) override
    {
        if (m_stopped)
            return nullptr;
        const int h = Orlix_Listen(m_uid.c_str(), std::max(1, timeoutMs / 100), 0, 0, m_password.c_str());
        if (h < 0)
            return nullptr;
        StreamOps ops;
        // Waits are in 100 ms units and a wait of 0 asks for whatever is there now: a shorter
        // wait than one unit waits one unit (the read returns as soon as data comes), so that a
        // reader waiting for the viewer's next request sleeps instead of spinning.
        ops.read = [h](int channel, char* buffer, int* length, int readTimeoutMs) {
            const int units = readTimeoutMs > 0 ? std::max(1, readTimeoutMs / 100) : 0;
            return Orlix_Read(h, channel, buffer, length, units);
        };
        ops.write = [h](int channel, const char* data, int length) { return Orlix_Write(h, channel, data, length); };
        ops.close = [h] { Orlix_Close(h); };
        return makeStreamLink(std::move(ops));
    }

    void stop() override
    {
        m_stopped = true;
        Orlix_Listen_Break();
    }

private:
    std::string m_uid;
    std::string m_password;
    std::atomic<bool> m_stopped{false};
};

} // namespace

std::unique_ptr<Acceptor> makeTovelAcceptor(const std::string& uid, const std::string& password,
                                            const std::string& serverString, std::string& error)
{
    if (Orlix_Initialize(serverString.c_str()) < 0) {
        error = "libTovel could not start";
        return nullptr;
    }
    if (Orlix_SetLoginInfo(uid.c_str(), password.c_str(), 2) < 0) {
        error = "libTovel refused the device id";
        return nullptr;
    }
    return std::make_unique<TovelAcceptor>(uid, password);
}

} // namespace camsim
