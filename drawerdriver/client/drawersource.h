// Where the library's drawers come from: the drawer service, when the system
// bus has it or can start it, otherwise the library's own monitors. The
// choice is made at the first GetDrawerHandle and again whenever no handle
// is held; KESTRIN_DRAWERS_CONF always means the library's own monitors.
#pragma once

#include "client/serviceclient.h"
#include "monitor/drawerbank.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

namespace drawerdriver {

class DrawerSource {
public:
    std::int32_t acquire(std::uint8_t drawerNumber);
    void release(std::int32_t handle);
    std::int16_t status(std::int32_t handle);
    std::int16_t open(std::int32_t handle);
    // At exit: the library's own monitors let their devices go.
    void shutdown();

private:
    struct Current {
        std::shared_ptr<DrawerBank> bank;
        std::shared_ptr<ServiceClient> client; // null: the bank serves
    };
    void choose();
    Current current();

    std::mutex m_mutex;
    // Each call works on its own reference, so a choice made meanwhile
    // never pulls the source from under it.
    std::shared_ptr<DrawerBank> m_bank;
    std::shared_ptr<ServiceClient> m_client;
    bool m_useService = false;
    std::chrono::steady_clock::time_point m_lastConnect {};
    std::set<std::int32_t> m_held;
};

} // namespace drawerdriver
