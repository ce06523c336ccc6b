// Holders for sd-bus and sd-event objects, for the service and its C++
// clients: each gives up its reference when it goes out of scope, as
// systemd's own _cleanup_ attributes do for C.
#pragma once

#include <utility>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace drawerdriver {

template<typename T, T *(*Unref)(T *)> class SdRef {
public:
    SdRef() = default;
    explicit SdRef(T *object) : m_object(object) { }
    ~SdRef() { Unref(m_object); } // every unref function takes null
    SdRef(SdRef &&other) noexcept : m_object(std::exchange(other.m_object, nullptr)) { }
    SdRef &operator=(SdRef other) noexcept
    {
        std::swap(m_object, other.m_object);
        return *this;
    }

    // Used where the C functions take the object.
    operator T *() const { return m_object; }
    // For the functions that hand out a new reference: drops the one held.
    T **out()
    {
        *this = SdRef();
        return &m_object;
    }

private:
    T *m_object = nullptr;
};

using BusRef = SdRef<sd_bus, sd_bus_flush_close_unref>;
using MessageRef = SdRef<sd_bus_message, sd_bus_message_unref>;
using CredsRef = SdRef<sd_bus_creds, sd_bus_creds_unref>;
using SlotRef = SdRef<sd_bus_slot, sd_bus_slot_unref>;
using EventRef = SdRef<sd_event, sd_event_unref>;
using EventSourceRef = SdRef<sd_event_source, sd_event_source_unref>;

} // namespace drawerdriver
