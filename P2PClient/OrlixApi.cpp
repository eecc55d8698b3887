// The Orlix_* exports of libTovel: a thin shell over the process's one P2PClient. Every export
// counts itself in at a process-wide gate while it uses the client, so that Orlix_DeInitialize can
// clear the pointer, wake every waiter, wait until no export is inside and only then destroy the
// client. Every export catches everything and answers with a code.
#include "Orlix.h"

#include "DeploymentSettings.h"
#include "P2PClient.h"
#include "PeerUtils.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>

namespace {

class ProcessGate {
public:
    // Runs f(client) counted in; -1 without a client.
    template <class F>
    int call(F&& f)
    {
        P2PClient* client;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            client = m_client;
            if (!client)
                return ORLIX_ERROR_NOT_INITIALIZED;
            ++m_inside;
        }
        struct CountOut {
            ProcessGate& gate;
            ~CountOut() { gate.countOut(); }
        } countOut{*this};
        return f(*client);
    }

    int initialize(const char* serverString, const char* v6a, const char* v6b, const char* v6c)
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle);
        P2PClient* client;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_client) {
                m_client = new P2PClient();
                if (const uint32_t linkTimeoutMs = deployment::tovelLinkTimeoutMs(); linkTimeoutMs > 0)
                    m_client->SetLinkTimeout(linkTimeoutMs); // a process that shortened it
            }
            client = m_client;
        }
        // A second initialise keeps the running peer and only re-reads the servers.
        return client->Initialize(serverString, v6a, v6b, v6c);
    }

    void deinitialize()
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycle);
        P2PClient* client;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            client = m_client;
            m_client = nullptr; // exports from here on answer -1
        }
        if (!client)
            return;
        client->WakeAll();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_drained.wait(lock, [this] { return m_inside == 0; });
        }
        delete client;
    }

private:
    void countOut()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_inside == 0)
            m_drained.notify_all();
    }

    std::mutex m_lifecycle; // serialises initialise and de-initialise
    std::mutex m_mutex;     // guards the pointer and the count
    std::condition_variable m_drained;
    P2PClient* m_client = nullptr;
    int m_inside = 0;
};

// Never destroyed: exports may run while the process exits.
ProcessGate& gate()
{
    static ProcessGate* instance = new ProcessGate();
    return *instance;
}

template <class F>
int guarded(int failure, F&& f) noexcept
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ORLIX_ERROR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        P2PNet::Log(P2PNet::LogLevel::Error, "%s", error.what());
        return failure;
    } catch (...) {
        return failure;
    }
}

template <class F>
int withClient(int failure, F&& f) noexcept
{
    return guarded(failure, [&] { return gate().call(f); });
}

} // namespace

extern "C" {

ORLIX_API int Orlix_GetAPIVersion(void)
{
    return ORLIX_API_VERSION;
}

ORLIX_API int Orlix_QueryDID(void)
{
    return 0;
}

ORLIX_API int Orlix_Initialize_IPv6(const char* serverString, const char* server1IPv6, const char* server2IPv6,
                                    const char* server3IPv6)
{
    return guarded(ORLIX_ERROR_NO_SOCKET,
                   [&] { return gate().initialize(serverString, server1IPv6, server2IPv6, server3IPv6); });
}

ORLIX_API int Orlix_Initialize(const char* serverString)
{
    return Orlix_Initialize_IPv6(serverString, nullptr, nullptr, nullptr);
}

ORLIX_API int Orlix_DeInitialize(void)
{
    guarded(0, [] {
        gate().deinitialize();
        return 0;
    });
    return 0;
}

ORLIX_API int Orlix_SetLoginInfo(const char* ownId, const char* password, int mode)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED,
                      [&](P2PClient& client) { return client.SetLoginInfo(ownId, password, mode); });
}

ORLIX_API int Orlix_LoginStatus_Check(void)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [](P2PClient& client) { return client.LoginStatus(); });
}

ORLIX_API int Orlix_NetworkDetect(Orlix_NetworkDetectInfo* info)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [&](P2PClient& client) { return client.NetworkDetect(info); });
}

ORLIX_API int Orlix_Share_Bandwidth(void)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [](P2PClient&) { return 0; });
}

ORLIX_API int Orlix_Listen(const char* ownId, int timeout, int, int, const char* password)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED,
                      [&](P2PClient& client) { return client.Listen(ownId, timeout, password); });
}

ORLIX_API int Orlix_Listen_Break(void)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [](P2PClient& client) { return client.ListenBreak(); });
}

ORLIX_API int Orlix_Connect(const char* deviceId, int lanSearch, int)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED,
                      [&](P2PClient& client) { return client.Connect(deviceId, lanSearch); });
}

ORLIX_API int Orlix_Connect_Break(const char* deviceId)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [&](P2PClient& client) { return client.ConnectBreak(deviceId); });
}

ORLIX_API int Orlix_Check(int handle, Orlix_SessionInfo* info)
{
    static_assert(sizeof(Orlix_SessionInfo) >= kSessionInfoWritten);
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [&](P2PClient& client) {
        // A null record is answered at once, whatever the handle.
        if (!info)
            return 0;
        SessionInfo record{};
        const int result = client.Check(handle, &record);
        if (result == 0)
            std::memcpy(info, &record, kSessionInfoWritten);
        return result;
    });
}

ORLIX_API int Orlix_Close(int handle)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [&](P2PClient& client) { return client.Close(handle); });
}

ORLIX_API int Orlix_ForceClose(int handle)
{
    return Orlix_Close(handle);
}

ORLIX_API int Orlix_Write(int handle, int channel, const char* data, int length)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED,
                      [&](P2PClient& client) { return client.Write(handle, channel, data, length); });
}

ORLIX_API int Orlix_Read(int handle, int channel, char* buffer, int* length, int timeout)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED,
                      [&](P2PClient& client) { return client.Read(handle, channel, buffer, length, timeout); });
}

ORLIX_API int Orlix_Check_Buffer(int handle, int channel, unsigned int* pendingWrite, unsigned int* readable)
{
    return withClient(ORLIX_ERROR_NOT_INITIALIZED, [&](P2PClient& client) {
        return client.CheckBuffer(handle, channel, pendingWrite, readable);
    });
}

} // extern "C"
