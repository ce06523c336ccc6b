// The Windows transports, and the seams through which tests play the
// devices that Wine does not have (spooler queues, USB printers, HID
// drawers).
#pragma once

#include "transports/transport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace drawerdriver {

// Winsock, started once for the process.
bool startWinsock(std::string &error);

// A device opened for overlapped I/O (a USB printer, a HID drawer): one
// read is always under way, so that a device whose answers need a read
// waiting for them (a USB printer's status) gets one, and every wait is
// bounded by waiting on the read's event.
class OverlappedDevice : public Transport {
public:
    // reportSize: the input and output report lengths of a HID device,
    // report ID included (each read and write is one report, the ID
    // dropped from what is read); 0 for a byte stream.
    OverlappedDevice(
        HANDLE device, std::string name, std::size_t inputReport = 0, std::size_t outputReport = 0);
    ~OverlappedDevice() override;

    bool isPresent() const override { return !m_gone; }
    long readAvailable(std::uint8_t *buffer, std::size_t size, std::string &error) override;
    WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake = nullptr) override;

protected:
    long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) override;
    WaitResult waitWritable(Clock::time_point deadline) override;

private:
    void startRead();
    // Takes the read's result if it has ended: true when it has, with
    // bytes or an error.
    bool collectRead();
    void fail(DWORD code, std::string &error, const char *what);

    HANDLE m_device;
    const std::size_t m_inputReport;
    const std::size_t m_outputReport;
    OVERLAPPED m_read {};
    OVERLAPPED m_write {};
    std::vector<std::uint8_t> m_readBuffer;
    std::vector<std::uint8_t> m_writeBuffer;
    std::vector<std::uint8_t> m_received; // read, not yet taken
    bool m_reading = false;
    bool m_writing = false;
    std::size_t m_writeSize = 0; // what the caller asked to write
    DWORD m_readError = 0;
    bool m_gone = false;
};

OpenResult openComPort(const DrawerSettings &settings, bool hold);
OpenResult openSpoolerQueue(const DrawerSettings &settings);
OpenResult openUsbPrinter(const DrawerSettings &settings);
OpenResult openHidDevice(const DrawerSettings &settings);

// The spooler as the driver uses it. Replaceable, for tests.
class SpoolerSystem {
public:
    virtual ~SpoolerSystem() = default;
    // Whether the queue exists and is ready to print; why not, when not.
    virtual bool queueReady(const std::wstring &queue, std::string &why) = 0;
    // One raw job with the bytes.
    virtual bool printRaw(
        const std::wstring &queue, const std::uint8_t *bytes, std::size_t size, std::string &error)
        = 0;
};
// Null: the system's spooler.
void setSpoolerSystem(SpoolerSystem *spooler);
// Whether a queue in this state (GetPrinter's Status and Attributes) takes
// jobs that print now; why not, when not.
bool printerReady(DWORD status, DWORD attributes, std::string &why);

// A USB printer's or a HID device's interface, as SetupDi finds it.
struct FoundDevice {
    std::wstring path; // for CreateFile
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string serial; // the USB device's serial number, from its instance id
    std::size_t inputReport = 0; // HID: the report lengths, report ID included
    std::size_t outputReport = 0;
};
enum class DeviceClass { UsbPrinter, Hid };
std::vector<FoundDevice> findDevices(DeviceClass kind);
// Replaces the search, for tests; null: SetupDi.
using DeviceFinder = std::vector<FoundDevice> (*)(DeviceClass kind);
void setDeviceFinder(DeviceFinder finder);

} // namespace drawerdriver
