#include "client/drawersource.h"

#include "config/logwriter.h"

#include <cstdlib>

namespace drawerdriver {

namespace {
// How often a process without a bus connection tries to make one.
constexpr auto ConnectRetry = std::chrono::seconds(5);
} // namespace

void DrawerSource::choose()
{
    const bool ownFile = std::getenv("KESTRIN_DRAWERS_CONF") != nullptr;
    if (m_client && (ownFile || !m_client->connected()))
        m_client.reset();
    const auto now = std::chrono::steady_clock::now();
    if (!ownFile && !m_client
        && (m_lastConnect == decltype(now) {} || now - m_lastConnect >= ConnectRetry)) {
        m_lastConnect = now;
        m_client = ServiceClient::connect();
    }
    m_useService = m_client && m_client->serviceAvailable();
    // A process never opens a device the service serves: its own monitors
    // go the moment it follows the service.
    if (m_useService)
        m_bank.reset();
    else if (!m_bank)
        m_bank = std::make_shared<DrawerBank>();
}

void DrawerSource::shutdown()
{
    if (const std::shared_ptr<DrawerBank> bank = current().bank)
        bank->shutdown();
    else // a line the service's client told is written before the process ends
        flushLogLines(std::chrono::milliseconds(100));
}

DrawerSource::Current DrawerSource::current()
{
    std::lock_guard guard(m_mutex);
    return {m_bank, m_useService ? m_client : nullptr};
}

std::int32_t DrawerSource::acquire(std::uint8_t drawerNumber)
{
    std::shared_ptr<DrawerBank> bank;
    std::shared_ptr<ServiceClient> client;
    {
        std::lock_guard guard(m_mutex);
        if (m_held.empty())
            choose();
        bank = m_bank;
        client = m_useService ? m_client : nullptr;
    }
    const std::int32_t handle
        = client ? client->acquire(drawerNumber) : bank->acquire(drawerNumber);
    if (handle > 0) {
        std::lock_guard guard(m_mutex);
        m_held.insert(handle);
    }
    return handle;
}

void DrawerSource::release(std::int32_t handle)
{
    std::shared_ptr<DrawerBank> bank;
    std::shared_ptr<ServiceClient> client;
    {
        std::lock_guard guard(m_mutex);
        if (!m_held.erase(handle))
            return; // 0, negative and unknown handles
        bank = m_bank;
        client = m_useService ? m_client : nullptr;
    }
    if (client)
        client->release(handle);
    else if (bank)
        bank->release(handle);
}

std::int16_t DrawerSource::status(std::int32_t handle)
{
    const auto [bank, client] = current();
    return client ? client->status(handle) : bank ? bank->status(handle) : 0;
}

std::int16_t DrawerSource::open(std::int32_t handle)
{
    const auto [bank, client] = current();
    return client ? client->open(handle) : bank ? bank->open(handle) : 0;
}

} // namespace drawerdriver
