// The library's client of the drawer service: it follows the drawers'
// properties the service pushes, so that handles and status answer at once,
// and fires a drawer by calling the service's Open.
#pragma once

#include "client/drawerstate.h"
#include "client/sdbusref.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

namespace drawerdriver {

class ServiceClient {
public:
    // A client on the system bus, or null when there is no bus to reach.
    static std::unique_ptr<ServiceClient> connect();
    ~ServiceClient();
    ServiceClient(const ServiceClient &) = delete;
    ServiceClient &operator=(const ServiceClient &) = delete;

    // The service has an owner on the bus, or the bus can start it.
    bool serviceAvailable();
    // False once the bus connection is lost for good.
    bool connected();

    std::int32_t acquire(std::uint8_t drawerNumber);
    void release(std::int32_t handle);
    std::int16_t status(std::int32_t handle);
    std::int16_t open(std::int32_t handle);

private:
    explicit ServiceClient(BusRef bus);
    void run();
    void wake();
    void requestStates();
    void retryIfDue();
    bool retryPending() const;
    void followOwner(const std::string &owner);
    void forgetStates();
    int callOpen(int number, std::optional<std::chrono::steady_clock::time_point> deadline,
        std::chrono::steady_clock::time_point end, sd_bus_error *error);

    static int onOwnerChanged(sd_bus_message *signal, void *userdata, sd_bus_error *);
    static int onPropertiesChanged(sd_bus_message *signal, void *userdata, sd_bus_error *);
    static int onManagedObjects(sd_bus_message *reply, void *userdata, sd_bus_error *);

    // The bus is used by the worker thread and by open(), one at a time.
    std::mutex m_busMutex;
    BusRef m_bus;
    int m_wake = -1;
    std::atomic<bool> m_stop {false};
    std::thread m_worker;
    sd_bus_slot *m_changesMatch = nullptr; // signals from the current owner only
    sd_bus_slot *m_loadCall = nullptr; // the GetManagedObjects still due

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bus::Drawers m_drawers;
    std::string m_owner; // the service's unique name; empty while it has none
    bool m_loaded = false; // m_drawers holds what the running service told
    bool m_loading = false;
    bool m_waitedOnce = false;
    std::chrono::steady_clock::time_point m_requested {};
    // A lost answer is asked for again at m_retryAt, further apart each time.
    int m_failedLoads = 0;
    std::chrono::steady_clock::time_point m_retryAt {};
    bool m_disconnected = false;
    bool m_activatable = false;
    std::chrono::steady_clock::time_point m_activatableChecked {};
    std::map<std::int32_t, int> m_held; // handle to drawer index
    std::int32_t m_nextHandle = 1;
};

} // namespace drawerdriver
