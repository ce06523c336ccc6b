// The Windows transports that Wine has no devices for, through their seams:
// the spooler replaced by a fake, and USB printers and HID drawers found by
// a fake search that names named pipes played by this test. The drawers
// are driven through the library's own DrawerBank; the configuration's
// Windows device names are checked against a table.

#include "config/config.h"
#include "monitor/drawerbank.h"
#include "protocols/protocol.h"
#include "transports/serialport_win32.h"
#include "transports/transport_win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <winsock2.h>
#include <winspool.h>

namespace {

using namespace drawerdriver;
using Bytes = std::vector<std::uint8_t>;

int passed = 0;
int failed = 0;

void check(bool ok, const std::string &what)
{
    ok ? ++passed : ++failed;
    if (!ok)
        std::printf("FAIL: %s\n", what.c_str());
}

bool waitFor(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Sleep(20);
    }
    return true;
}

// A device on a named pipe: every message (or chunk) it reads is kept and
// answered with what answer returns. One thread per connection, so that a
// device opened for each exchange finds the next instance waiting.
class PipeDevice {
public:
    PipeDevice(std::wstring name, bool messages, std::function<Bytes(const Bytes &)> answer)
        : m_name(std::move(name)), m_messages(messages), m_answer(std::move(answer))
    {
        std::thread([this] { accept(); }).detach();
    }
    Bytes received()
    {
        std::lock_guard guard(m_mutex);
        return m_received;
    }
    std::vector<std::size_t> sizes()
    {
        std::lock_guard guard(m_mutex);
        return m_sizes;
    }

private:
    void accept()
    {
        const DWORD mode = m_messages ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE;
        for (;;) {
            const HANDLE pipe = CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX, mode,
                PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
            if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
                std::thread([this, pipe] { serve(pipe); }).detach();
            else
                CloseHandle(pipe);
        }
    }
    void serve(HANDLE pipe)
    {
        std::uint8_t buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) {
            const Bytes chunk(buffer, buffer + got);
            {
                std::lock_guard guard(m_mutex);
                m_received.insert(m_received.end(), chunk.begin(), chunk.end());
                m_sizes.push_back(got);
            }
            const Bytes reply = m_answer(chunk);
            DWORD wrote = 0;
            if (!reply.empty())
                WriteFile(pipe, reply.data(), DWORD(reply.size()), &wrote, nullptr);
        }
        CloseHandle(pipe);
    }

    const std::wstring m_name;
    const bool m_messages;
    const std::function<Bytes(const Bytes &)> m_answer;
    std::mutex m_mutex;
    Bytes m_received;
    std::vector<std::size_t> m_sizes;
};

std::atomic<bool> usbDrawerOpen {false};
std::atomic<bool> hidDrawerOpen {false};
constexpr int HidId = 3;
constexpr std::size_t HidOutputReport = 129; // longer than the driver's 121

std::vector<FoundDevice> fakeFinder(DeviceClass kind)
{
    if (kind == DeviceClass::Hid)
        return {{L"\\\\.\\pipe\\kestrin-test-hid", 0x0fe6, 0x9303, {}, 121, HidOutputReport}};
    return {{L"\\\\.\\pipe\\kestrin-test-usb", 0x04b8, 0x0202, "X1", 0, 0}};
}

class FakeSpooler : public SpoolerSystem {
public:
    std::atomic<bool> ready {true};
    std::mutex mutex;
    std::vector<Bytes> jobs;

    bool queueReady(const std::wstring &queue, std::string &why) override
    {
        why = "is paused";
        return ready && queue == L"Front Till";
    }
    bool printRaw(
        const std::wstring &, const std::uint8_t *bytes, std::size_t size, std::string &) override
    {
        std::lock_guard guard(mutex);
        jobs.emplace_back(bytes, bytes + size);
        return true;
    }
};

// Windows device names: which the file takes, under which key.
void checkDeviceNames()
{
    struct Row {
        const char *settings;
        const char *key; // nullptr: refused
    };
    const Row rows[] = {
        {"device = COM5", "COM5"},
        {"device = \\\\.\\com12", "COM12"},
        {"device = COM0", nullptr},
        {"device = COM256", nullptr},
        {"device = /dev/ttyUSB0", nullptr},
        {"device = printer:Front Till", "printer:Front Till"},
        {"device = printer:", nullptr},
        {"device = printer:Front Till\nsensor = open-high", nullptr},
        {"device = usb:04B8:0202:X1", "usb:04b8:0202:X1"},
        {"device = usb:4b8:202", nullptr},
        {"device = usb:04b8:0202\nprotocol = trigger", nullptr},
        {"device = hid:0FE6:9303\nprotocol = hid\nid = 3", "hid:0fe6:9303"},
        {"device = hid:0fe6:9303", nullptr},
        {"device = COM5\nprotocol = hid\nid = 3", nullptr},
        {"device = COM7\nprotocol = trigger\nspeed = 1200", "COM7"},
    };
    for (const Row &row : rows) {
        const DrawerConfig config
            = parseDrawerConfig(std::string("[drawer 1]\n") + row.settings + "\n", "test.conf");
        const auto &drawer = config.drawers[0];
        check(
            row.key ? drawer && deviceKey(*drawer) == row.key : !drawer && !config.problems.empty(),
            std::string("device name: ") + row.settings);
    }
}

bool modemBits(HANDLE, DWORD *bits)
{
    *bits = MS_DSR_ON | MS_RING_ON;
    return true;
}

void checkModemLines()
{
    setModemStatusReader(modemBits);
    CommPort port(CreateEventW(nullptr, TRUE, FALSE, nullptr), "COM9");
    std::string error;
    check(port.lineLevel(SensorLine::Dsr, error) == true, "DSR up");
    check(port.lineLevel(SensorLine::Ri, error) == true, "RI up");
    check(port.lineLevel(SensorLine::Cts, error) == false, "CTS down");
    check(port.lineLevel(SensorLine::Dcd, error) == false, "DCD down");
    setModemStatusReader(nullptr);
    // The real call on something that is no port fails, and says so.
    check(!port.lineLevel(SensorLine::Dsr, error) && error.find("COM9") != std::string::npos,
        "a failed modem line read is no level");
}

// DTR and RTS stay up (some drawers draw their power from them), the speed
// is the one set, and no handshake a previous program left can stall a kick.
void checkSerialSettings()
{
    for (const int speed : {1200, 19200}) {
        DCB dcb {};
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fDsrSensitivity = TRUE;
        dcb.fOutX = TRUE;
        setUpDcb(dcb, speed);
        check(dcb.BaudRate == DWORD(speed) && dcb.fDtrControl == DTR_CONTROL_ENABLE
                && dcb.fRtsControl == RTS_CONTROL_ENABLE && !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow
                && !dcb.fDsrSensitivity && !dcb.fOutX,
            "serial settings at " + std::to_string(speed) + " baud");
    }
}

// Which spooler states take a kick that prints now.
void checkQueueStates()
{
    struct Row {
        DWORD status;
        DWORD attributes;
        bool ready;
    };
    const Row rows[] = {
        {0, 0, true},
        {PRINTER_STATUS_PRINTING | PRINTER_STATUS_BUSY, 0, true},
        {PRINTER_STATUS_PAUSED, 0, false},
        {PRINTER_STATUS_OFFLINE, 0, false},
        {PRINTER_STATUS_ERROR, 0, false},
        {PRINTER_STATUS_USER_INTERVENTION, 0, false},
        {0, PRINTER_ATTRIBUTE_WORK_OFFLINE, false},
    };
    for (const Row &row : rows) {
        std::string why;
        check(
            printerReady(row.status, row.attributes, why) == row.ready && why.empty() == row.ready,
            "queue status " + std::to_string(row.status) + ", attributes "
                + std::to_string(row.attributes));
    }
}

// A connection attempt that gets no answer gives up at its limit: a
// listener whose queue is full drops the handshake.
void checkConnectLimit()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr *>(&address), length);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    for (int i = 0; i < 3; ++i) {
        const SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        connect(filler, reinterpret_cast<sockaddr *>(&address), length);
    }
    static NetworkAddress target;
    std::memcpy(&target.address, &address, sizeof address);
    target.length = length;
    static std::atomic<int> failure {-1}; // outlives a connect that never ends
    std::thread([] {
        failure = int(connectNetwork(Endpoint {{}, "127.0.0.1", 9100}, target, 200).failure);
    }).detach();
    check(waitFor([] { return failure >= 0; }) && failure == int(OpenFailure::Busy),
        "a connection attempt without an answer ends at its limit");
}

} // namespace

int main()
{
    checkDeviceNames();
    checkModemLines();
    checkSerialSettings();
    checkQueueStates();
    checkConnectLimit();

    FakeSpooler spooler;
    setSpoolerSystem(&spooler);
    setDeviceFinder(fakeFinder);
    PipeDevice usb(L"\\\\.\\pipe\\kestrin-test-usb", false, [](const Bytes &chunk) {
        const bool asked = chunk == Bytes(EscPosStatusRequest, EscPosStatusRequest + 3);
        return asked ? Bytes {std::uint8_t(usbDrawerOpen ? 0x16 : 0x12)} : Bytes {};
    });
    PipeDevice hid(L"\\\\.\\pipe\\kestrin-test-hid", true, [](const Bytes &report) {
        if (report.size() < 3 || report[1] != HidId || report[2] != HidId + 1)
            return Bytes {};
        Bytes answer(121, 0);
        answer[1] = std::uint8_t((HidId << 4) | (hidDrawerOpen ? 0 : 1));
        return answer;
    });
    std::ofstream("tst_win32transports.conf")
        << "[drawer 1]\ndevice = printer:Front Till\n"
           "[drawer 2]\ndevice = usb:04b8:0202:X1\nsensor = open-high\n"
           "[drawer 3]\ndevice = usb:04b8:0202:X2\n"
           "[drawer 4]\ndevice = hid:0fe6:9303\nprotocol = hid\nid = 3\n";
    _putenv_s("KESTRIN_DRAWERS_CONF", "tst_win32transports.conf");

    DrawerBank bank;
    const std::int32_t queue = bank.acquire(0);
    const std::int32_t printer = bank.acquire(1);
    const std::int32_t otherPrinter = bank.acquire(2);
    const std::int32_t drawer = bank.acquire(3);

    check(waitFor([&] { return bank.status(queue) == 1; }), "a ready queue reads closed");
    check(bank.open(queue) == 1, "a kick on a ready queue");
    check(waitFor([&] {
        std::lock_guard guard(spooler.mutex);
        return spooler.jobs.size() == 1 && spooler.jobs[0] == Bytes {0x1B, 0x70, 0, 0x19, 0xFA};
    }),
        "the kick is one raw job");
    spooler.ready = false;
    check(waitFor([&] { return bank.status(queue) == 0; }), "a paused queue is not there");
    check(bank.open(queue) == 0, "no kick on a paused queue");

    check(waitFor([&] { return bank.status(printer) == 1; }), "a USB printer's drawer closed");
    usbDrawerOpen = true;
    check(waitFor([&] { return bank.status(printer) == 2; }), "a USB printer's drawer open");
    check(bank.status(otherPrinter) == 0, "a serial number not plugged in");
    DrawerSettings named;
    named.endpoint.path = "usb:04b8:0202:X2";
    check(openUsbPrinter(named).failure == OpenFailure::Gone, "another serial number is no match");
    named.endpoint.path = "usb:04b8:0203:X1";
    check(openUsbPrinter(named).failure == OpenFailure::Gone, "another product is no match");
    named.endpoint.path = "usb:04b8:0202:X1";
    // The monitor opens the same pipe: its next instance may lag a moment.
    check(waitFor([&] { return openUsbPrinter(named).transport != nullptr; }),
        "the serial number named is a match");

    check(waitFor([&] { return bank.status(drawer) == 1; }), "a HID drawer closed");
    hidDrawerOpen = true;
    check(waitFor([&] { return bank.status(drawer) == 2; }), "a HID drawer open");
    const std::size_t before = hid.received().size();
    check(bank.open(drawer) == 1, "a kick on a HID drawer");
    check(waitFor([&] {
        const Bytes all = hid.received();
        for (std::size_t at = before; at + HidOutputReport <= all.size(); at += HidOutputReport)
            if (all[at] == 0 && all[at + 1] == HidId && all[at + 2] == HidId)
                return true;
        return false;
    }),
        "the HID kick report");
    const auto sizes = hid.sizes();
    check(std::all_of(
              sizes.begin(), sizes.end(), [](std::size_t size) { return size == HidOutputReport; }),
        "every HID report padded to the output report length");

    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    // The pipe threads still wait for connections: end without them.
    ExitProcess(failed == 0 ? 0 : 1);
}
