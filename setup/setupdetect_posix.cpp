// detect on POSIX: the device nodes a drawer may hang on, with their USB
// identity from sysfs, their stable names, access and holders. Device nodes
// are only looked at, never written to: a serial port is not even opened,
// since opening raises its modem lines. KESTRIN_SETUP_ROOT puts /dev and
// /sys elsewhere, for tests.
#include "setup_posix.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    line.resize(std::min<std::size_t>(line.size(), 128));
    std::replace_if(
        line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string lowerHex4(std::string_view digits)
{
    std::string text(digits.substr(digits.size() > 4 ? digits.size() - 4 : 0));
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A HID device's own uevent: HID_ID=0003:00001A2B:00003C4D, HID_NAME=...
std::optional<UsbIdentity> fromUevent(const fs::path &file)
{
    std::ifstream in(file);
    std::optional<UsbIdentity> found;
    std::string name;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("HID_ID=", 0) == 0) {
            const auto first = line.find(':');
            const auto second = line.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos)
                continue;
            found = UsbIdentity {lowerHex4(line.substr(first + 1, second - first - 1)),
                lowerHex4(line.substr(second + 1)), {}};
        } else if (line.rfind("HID_NAME=", 0) == 0) {
            name = line.substr(9, 128);
        }
    }
    if (found)
        found->name = name;
    return found;
}

// The names in a folder that are the prefix and a number, in number order.
std::vector<std::string> numberedNames(const fs::path &folder, const std::string &prefix)
{
    std::vector<std::pair<long, std::string>> names;
    std::error_code failed;
    for (const auto &entry : fs::directory_iterator(folder, failed)) {
        const std::string name = entry.path().filename();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0
            || name.size() > prefix.size() + 6
            || !std::all_of(name.begin() + long(prefix.size()), name.end(), ::isdigit))
            continue;
        names.emplace_back(std::atol(name.c_str() + prefix.size()), name);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> sorted;
    for (auto &[number, name] : names)
        sorted.push_back(std::move(name));
    return sorted;
}

struct Candidate {
    std::string shown; // the node as the user sees it: /dev/ttyUSB0
    std::string real; // where to look at it (the same, but for a test root)
    std::string kind;
    std::string className; // its sysfs class
    std::string protocols;
    std::string byId; // its /dev/serial/by-id link
};

class Detection {
public:
    Detection()
    {
        const char *root = std::getenv("KESTRIN_SETUP_ROOT");
        m_root = root && *root ? root : "";
        m_dev = m_root + "/dev";
        m_sys = m_root + "/sys";
    }

    int run()
    {
        collect();
        if (m_found.empty()) {
            say("No USB printer, serial port or HID device found under /dev.\n"
                "For a printer on the network: %s detect --network HOST[:PORT]\n",
                toolCommand().c_str());
            return NotFound;
        }
        for (const Candidate &candidate : m_found)
            show(candidate);
        say("\nTo make one of them drawer N:\n  %s set N device=PATH [protocol=P]\n"
            "then check it with: %s probe N\n",
            toolCommand().c_str(), toolCommand().c_str());
        return Done;
    }

private:
    std::string key(const std::string &real) const
    {
        std::error_code failed;
        const fs::path canonical = fs::canonical(real, failed);
        return failed ? real : canonical.string();
    }

    void add(Candidate candidate)
    {
        if (!m_seen.insert(key(candidate.real)).second)
            return;
        m_found.push_back(std::move(candidate));
    }

    Candidate serialCandidate(const std::string &name) const
    {
        const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        return Candidate {"/dev/" + name, m_dev + "/" + name,
            usb ? "USB serial port" : "Serial port", "tty",
            "a printer (escpos, star) or a trigger box (trigger)", {}};
    }

    // A built-in serial port that is really there: its UART type known.
    bool isRealPort(const std::string &name) const
    {
        const std::string type = firstLine(fs::path(m_sys) / "class/tty" / name / "type");
        return !type.empty() && type != "0";
    }

    void collect()
    {
        for (const std::string &name : numberedNames(m_dev + "/usb", "lp"))
            add({"/dev/usb/" + name, m_dev + "/usb/" + name, "USB printer", "usbmisc",
                "escpos or star", {}});

        // The serial ports by their USB identity, and the nodes they name.
        std::error_code failed;
        const std::string devKey = key(m_dev);
        std::vector<fs::path> links;
        for (const auto &entry : fs::directory_iterator(m_dev + "/serial/by-id", failed))
            links.push_back(entry.path());
        std::sort(links.begin(), links.end());
        for (const fs::path &link : links) {
            const std::string target = key(link);
            if (target.compare(0, devKey.size() + 1, devKey + "/") != 0)
                continue;
            const std::string name = target.substr(devKey.size() + 1);
            if (name.find('/') != std::string::npos)
                continue;
            Candidate candidate = serialCandidate(name);
            candidate.byId = "/dev/serial/by-id/" + link.filename().string();
            if (name.rfind("ttyS", 0) != 0 || isRealPort(name))
                add(std::move(candidate));
        }
        for (const char *prefix : {"ttyUSB", "ttyACM"})
            for (const std::string &name : numberedNames(m_dev, prefix))
                add(serialCandidate(name));
        for (const std::string &name : numberedNames(m_dev, "ttyS"))
            if (isRealPort(name))
                add(serialCandidate(name));
        for (const std::string &name : numberedNames(m_dev, "hidraw"))
            add({"/dev/" + name, m_dev + "/" + name, "HID device", "hidraw", "hid", {}});

        // Links a udev rule made in /dev itself, by what they point to.
        for (const auto &entry : fs::directory_iterator(m_dev, failed)) {
            std::error_code unreadable;
            if (!entry.is_symlink(unreadable))
                continue;
            const fs::path target = fs::read_symlink(entry.path(), unreadable);
            if (unreadable || target.string().rfind("/proc", 0) == 0)
                continue;
            m_links[key(entry.path())].push_back("/dev/" + entry.path().filename().string());
        }
        for (auto &[node, names] : m_links)
            std::sort(names.begin(), names.end());
    }

    std::optional<UsbIdentity> identity(const Candidate &candidate) const
    {
        const std::string name = fs::path(key(candidate.real)).filename();
        if (auto found = usbIdentity(m_sys, candidate.className, name))
            return found;
        if (candidate.className != "hidraw")
            return std::nullopt;
        // Without sysfs, the HID driver tells; opening it sends nothing.
        struct stat node = {};
        if (::stat(candidate.real.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
            return std::nullopt;
        const int fd = ::open(candidate.real.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        std::optional<UsbIdentity> found;
        hidraw_devinfo info = {};
        char productName[128] = {};
        if (::ioctl(fd, HIDIOCGRAWINFO, &info) == 0) {
            char ids[2][8];
            std::snprintf(ids[0], sizeof ids[0], "%04x", unsigned(std::uint16_t(info.vendor)));
            std::snprintf(ids[1], sizeof ids[1], "%04x", unsigned(std::uint16_t(info.product)));
            found = UsbIdentity {ids[0], ids[1], {}};
            if (::ioctl(fd, HIDIOCGRAWNAME(sizeof productName - 1), productName) > 0)
                found->name = productName;
        }
        ::close(fd);
        return found;
    }

    void show(const Candidate &candidate) const
    {
        std::string heading = candidate.kind + " " + candidate.shown;
        if (const auto usb = identity(candidate)) {
            heading += ": vendor " + usb->vendor + ", product " + usb->product;
            if (!usb->name.empty())
                heading += ", \"" + usb->name + "\"";
        }
        say("%s\n", heading.c_str());

        std::string stable = candidate.shown;
        std::string why;
        if (const auto link = m_links.find(key(candidate.real)); link != m_links.end()) {
            stable = link->second.front();
            why = "a udev link: it stays when the device is replugged";
        } else if (!candidate.byId.empty()) {
            stable = candidate.byId;
            why = "it stays when the device is replugged";
        } else if (candidate.shown.rfind("/dev/ttyS", 0) == 0) {
            why = "a built-in port: its name stays";
        } else {
            why = "its number may change when it is replugged; a udev rule gives it a stable "
                  "link, see kestrin-drawer-setup(1)";
        }
        say("  device:   %s\n            (%s)\n", printable(stable).c_str(), why.c_str());
        say("  protocol: %s\n", candidate.protocols.c_str());

        std::string access = "yes, you may open it";
        if (::access(candidate.real.c_str(), R_OK | W_OK) != 0) {
            access = "no: " + accessAdvice(candidate.real, identity(candidate));
            // Wrapped lines line up under the first, as the device's note does.
            for (std::size_t at = 0; (at = access.find('\n', at)) != std::string::npos; at += 13)
                access.insert(at + 1, 12, ' ');
        }
        say("  access:   %s\n", access.c_str());

        const std::string holders = printable(deviceHolders(candidate.real));
        std::string use = "no";
        if (!holders.empty())
            use = "yes, held by process " + holders;
        else if (::geteuid() != 0)
            use = "not by you (other users' processes show only to root: sudo " + toolCommand()
                + " detect)";
        say("  in use:   %s\n", use.c_str());
    }

    std::string m_root;
    std::string m_dev;
    std::string m_sys;
    std::vector<Candidate> m_found;
    std::set<std::string> m_seen;
    std::map<std::string, std::vector<std::string>> m_links;
};

} // namespace

std::optional<UsbIdentity> usbIdentity(
    const std::string &sysRoot, const std::string &className, const std::string &node)
{
    std::error_code failed;
    const fs::path top = fs::canonical(sysRoot, failed);
    if (failed)
        return std::nullopt;
    fs::path at = fs::canonical(fs::path(sysRoot) / "class" / className / node / "device", failed);
    if (failed)
        return std::nullopt;
    std::optional<UsbIdentity> hid;
    for (int up = 0; up < 8 && at != top && at.string().rfind(top.string() + "/", 0) == 0;
         ++up, at = at.parent_path()) {
        if (fs::exists(at / "idVendor", failed)) {
            UsbIdentity usb {
                firstLine(at / "idVendor"), firstLine(at / "idProduct"), firstLine(at / "product")};
            if (usb.name.empty())
                usb.name = firstLine(at / "manufacturer");
            return usb;
        }
        if (!hid && className == "hidraw")
            hid = fromUevent(at / "uevent");
    }
    return hid;
}

int detectLocal()
{
    return Detection().run();
}

} // namespace drawerdriver::setup
