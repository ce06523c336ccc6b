// A receipt printer's port, opened for its drawer-kick connector: a USB
// printer-class device (/dev/usb/lpN) or a USB-serial one (/dev/ttyUSBN,
// /dev/ttyACMN).
#pragma once

#include "config.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drawerdriver {

// The longest any call waits for the printer, so the window never freezes.
inline constexpr int AnswerTimeoutMs = 200;

// ESC p m t1 t2 for the configured connector(s), times in printer units.
std::vector<std::uint8_t> kickCommand(const DrawerSettings &settings);
// DLE EOT 1: "transmit printer status", answered in real time.
inline constexpr std::uint8_t StatusRequest[] = {0x10, 0x04, 0x01};
// A printer-status byte has bits 0 and 7 clear and bits 1 and 4 set.
constexpr bool isPrinterStatus(std::uint8_t byte)
{
    return (byte & 0x93) == 0x12;
}
// 2 (open) or 1 (closed) from the drawer-sensor bit (pin 3 level, bit 2).
int drawerState(std::uint8_t statusByte, Sensor sensor);

class PrinterPort {
public:
    // Opens the device non-blocking, without a controlling terminal and
    // close-on-exec, takes it for this process alone, and sets a serial one
    // raw at the configured speed. Empty, with error set, on failure.
    static std::unique_ptr<PrinterPort> open(const DrawerSettings &settings, std::string &error);
    ~PrinterPort();
    PrinterPort(const PrinterPort &) = delete;
    PrinterPort &operator=(const PrinterPort &) = delete;

    // The printer-status byte, or -1: no answer in time, an answer that is
    // not a printer-status byte, or the device gone.
    int requestStatus();
    // Whether the device is still the one opened: its node is there, and the
    // port reports no hang-up or error.
    bool isPresent() const;
    // Writes all of bytes within the time limit.
    bool writeAll(const std::vector<std::uint8_t> &bytes);

private:
    PrinterPort(int fd, std::string device, bool serial);
    void discardInput();

    int m_fd;
    std::string m_device;
    bool m_serial;
};

} // namespace drawerdriver
