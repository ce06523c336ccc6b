// Device nodes on POSIX: who may open them and how a user gets the right
// to, and who holds one.
#include "setup_posix.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace {

bool isUserInGroup(gid_t group)
{
    const passwd *user = ::getpwuid(::getuid());
    if (!user)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(std::size_t(std::max(count, 1)));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(std::size_t(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

} // namespace

std::string accessAdvice(const std::string &path, const std::optional<UsbIdentity> &identity)
{
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(path, failed);
    const std::string name
        = failed ? std::filesystem::path(path).filename().string() : real.filename().string();
    if (name.rfind("hidraw", 0) == 0) {
        const auto usb = identity ? identity : usbIdentity("/sys", "hidraw", name);
        const std::string vendor = usb ? usb->vendor : "VVVV";
        const std::string product = usb ? usb->product : "PPPP";
        std::string advice = "install a udev rule that gives the logged-in user the drawer";
        if (!usb)
            advice += " (its ids from: udevadm info --attribute-walk --name=" + path + ")";
        return advice + ":\n  echo 'SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + vendor
            + "\", ATTRS{idProduct}==\"" + product
            + "\", TAG+=\"uaccess\"' | sudo tee /etc/udev/rules.d/60-kestrin-drawer-hid.rules\n"
              "  sudo udevadm control --reload && sudo udevadm trigger";
    }
    struct stat node = {};
    const bool known = ::stat(path.c_str(), &node) == 0;
    std::string group;
    if (known && node.st_gid != 0 && (node.st_mode & 0060) == 0060)
        if (const struct group *entry = ::getgrgid(node.st_gid))
            group = entry->gr_name;
    const bool byGroup = !group.empty();
    if (!byGroup && name.rfind("lp", 0) == 0)
        group = "lp";
    else if (!byGroup && name.rfind("tty", 0) == 0)
        group = "dialout";
    if (group.empty())
        return "ask the administrator for read and write access to " + path
            + ", or run the tool with sudo";
    std::string advice;
    const struct group *entry = ::getgrnam(group.c_str());
    if (entry && isUserInGroup(entry->gr_gid))
        advice = "you are in the group " + group
            + ", but this login is not yet: log out and in again (or start a shell in the "
              "group with: newgrp "
            + group + ")";
    else
        advice = "join the group " + group + ": sudo usermod -aG " + group
            + " $USER, then log out and in again";
    if (!byGroup)
        advice += ".\nThe device is not open to that group yet: install a udev rule that gives "
                  "it the group (see /usr/share/doc/kestrin-drawer/examples/"
                  "60-kestrin-drawer.rules.sample)";
    return advice;
}

std::string holdersText(const std::string &path)
{
    const std::string holders = printable(deviceHolders(path));
    if (!holders.empty())
        return "held by process " + holders;
    if (::geteuid() != 0)
        return "held by another process (which one, the system shows only to root: run the "
               "command again with sudo)";
    return "held by another process";
}

int checkLocalDevice(const std::string &path)
{
    struct stat node = {};
    if (::stat(path.c_str(), &node) != 0 && errno != EACCES) {
        std::string why = path + " does not exist";
        if (::lstat(path.c_str(), &node) == 0 && S_ISLNK(node.st_mode))
            why = path + " is a link to a device that is not there";
        tell(why + ": is the device plugged in and switched on?\n" + toolCommand()
            + " detect lists the devices there are.");
        return NotFound;
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        tell("you may not open " + path + ": " + accessAdvice(path));
        return Permission;
    }
    if (node.st_mode != 0 && !S_ISCHR(node.st_mode)) {
        tell(path + " is " + fileKind(node.st_mode)
            + ": a drawer's device is a character device; nothing was sent to it.\n" + toolCommand()
            + " detect lists the devices there are.");
        return Usage;
    }
    return Done;
}

std::string readAccessAdvice(const std::string &path)
{
    return "The library reads it as the user of the window, so it must be readable by all:\n"
           "  sudo chmod a+r "
        + shellQuoted(path);
}

} // namespace drawerdriver::setup
