#include "config/devicename_win32.h"
#include "config/text_win32.h"
#include "transports/transport_win32.h"

#include <atomic>

#include <winspool.h>

namespace drawerdriver {

namespace {

// What makes a queue not ready, as GetPrinter reports it.
constexpr DWORD NotReady = PRINTER_STATUS_OFFLINE | PRINTER_STATUS_PAUSED | PRINTER_STATUS_ERROR
    | PRINTER_STATUS_NOT_AVAILABLE | PRINTER_STATUS_PENDING_DELETION | PRINTER_STATUS_SERVER_UNKNOWN
    | PRINTER_STATUS_USER_INTERVENTION;

std::string whyNotReady(DWORD status, DWORD attributes)
{
    if (attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE)
        return "is set to use the printer offline";
    if (status & PRINTER_STATUS_PAUSED)
        return "is paused";
    if (status & (PRINTER_STATUS_OFFLINE | PRINTER_STATUS_NOT_AVAILABLE))
        return "is offline (is the printer on and plugged in?)";
    if (status & PRINTER_STATUS_PENDING_DELETION)
        return "is being deleted";
    return "reports an error (status " + std::to_string(status) + ")";
}

} // namespace

bool printerReady(DWORD status, DWORD attributes, std::string &why)
{
    if ((status & NotReady) || (attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE)) {
        why = whyNotReady(status, attributes);
        return false;
    }
    return true;
}

namespace {

class SystemSpooler : public SpoolerSystem {
public:
    bool queueReady(const std::wstring &queue, std::string &why) override
    {
        HANDLE printer = nullptr;
        if (!OpenPrinterW(const_cast<wchar_t *>(queue.c_str()), &printer, nullptr)) {
            why = "cannot be opened: " + systemMessage(GetLastError());
            return false;
        }
        DWORD needed = 0;
        GetPrinterW(printer, 2, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed ? needed : 1);
        const bool read = GetPrinterW(printer, 2, buffer.data(), needed, &needed);
        ClosePrinter(printer);
        if (!read) {
            why = "does not say its state: " + systemMessage(GetLastError());
            return false;
        }
        const auto *info = reinterpret_cast<const PRINTER_INFO_2W *>(buffer.data());
        return printerReady(info->Status, info->Attributes, why);
    }

    bool printRaw(const std::wstring &queue, const std::uint8_t *bytes, std::size_t size,
        std::string &error) override
    {
        HANDLE printer = nullptr;
        if (!OpenPrinterW(const_cast<wchar_t *>(queue.c_str()), &printer, nullptr)) {
            error = systemMessage(GetLastError());
            return false;
        }
        DOC_INFO_1W document {};
        wchar_t name[] = L"Cash drawer";
        wchar_t type[] = L"RAW";
        document.pDocName = name;
        document.pDatatype = type;
        bool ok = StartDocPrinterW(printer, 1, reinterpret_cast<BYTE *>(&document)) != 0;
        if (ok && StartPagePrinter(printer)) {
            DWORD wrote = 0;
            ok = WritePrinter(printer, const_cast<std::uint8_t *>(bytes), DWORD(size), &wrote)
                && wrote == size;
            EndPagePrinter(printer);
        } else {
            ok = false;
        }
        if (!ok)
            error = systemMessage(GetLastError());
        EndDocPrinter(printer);
        ClosePrinter(printer);
        return ok;
    }
};

SystemSpooler systemSpooler;
std::atomic<SpoolerSystem *> spooler {&systemSpooler};

// A spooler queue: kicks go out as raw jobs; nothing is ever read. It is
// there while the spooler says the queue is ready, which is all it knows.
class SpoolerQueue : public Transport {
public:
    SpoolerQueue(std::wstring queue, std::string name)
        : Transport(std::move(name)), m_queue(std::move(queue))
    {
    }

    bool isPresent() const override
    {
        std::string why;
        return spooler.load()->queueReady(m_queue, why);
    }
    long readAvailable(std::uint8_t *, std::size_t, std::string &) override { return 0; }
    WaitResult waitReadable(Clock::time_point deadline, const WakeSignal *wake) override
    {
        return wake ? wake->wait(deadline) : WakeSignal().wait(deadline);
    }
    void discardInput() override { }

protected:
    // The bytes as one job, whole or not at all.
    long writeSome(const std::uint8_t *bytes, std::size_t size, std::string &error) override
    {
        if (spooler.load()->printRaw(m_queue, bytes, size, error))
            return long(size);
        error = "cannot print to " + m_name + ": " + error;
        return -1;
    }
    WaitResult waitWritable(Clock::time_point) override { return {}; }

private:
    std::wstring m_queue;
};

} // namespace

void setSpoolerSystem(SpoolerSystem *replacement)
{
    spooler = replacement ? replacement : &systemSpooler;
}

OpenResult openSpoolerQueue(const DrawerSettings &settings)
{
    OpenResult result;
    const std::string &name = settings.endpoint.path;
    const std::wstring queue = widen(name.substr(SpoolerPrefix.size()));
    std::string why;
    // OpenPrinter succeeds for an unplugged printer, whose jobs would wait
    // in the queue: the queue's state is what counts.
    if (!spooler.load()->queueReady(queue, why)) {
        result.error = "the printer queue " + name.substr(SpoolerPrefix.size()) + " " + why;
        result.failure = OpenFailure::Gone;
        return result;
    }
    result.transport = std::make_unique<SpoolerQueue>(queue, name);
    return result;
}

} // namespace drawerdriver
