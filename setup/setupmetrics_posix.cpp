// kestrin-drawer-setup metrics on|off: links the drawer service's metrics
// file into the folder node-exporter reads ([service] metrics-dir), or takes
// the link out. That folder belongs to node-exporter's package: the tool
// adds or removes its one link there and changes nothing else.
#include "setup_posix.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drawerdriver::setup {

namespace {

// Where the service writes the file: in its state folder, systemd's
// StateDirectory, or the one STATE_DIRECTORY names as for the service.
std::string serviceMetricsFile()
{
    std::string state = "/var/lib/kestrin-drawer";
    if (const char *named = std::getenv("STATE_DIRECTORY"); named && *named == '/')
        state = std::string(named).substr(0, std::string(named).find(':'));
    return state + "/metrics/" + MetricsFileName;
}

// The link's target, or empty where the name is no link.
std::string linkTarget(int dir)
{
    char target[PATH_MAX] = {};
    const ssize_t length = ::readlinkat(dir, MetricsFileName, target, sizeof target - 1);
    return length > 0 ? std::string(target, std::size_t(length)) : std::string();
}

int refuseFolder(const std::string &folder, int error)
{
    if (error == ENOENT) {
        tell("the folder node-exporter reads, " + folder
            + ", does not exist: install prometheus-node-exporter, or name its folder with\n  "
            + toolCommand() + " set service metrics-dir=FOLDER");
        return NotFound;
    }
    tell("cannot use " + folder + " as the folder node-exporter reads: "
        + (error == ELOOP || error == ENOTDIR ? "it is a link or no folder" : std::strerror(error))
        + "; name the folder itself with\n  " + toolCommand() + " set service metrics-dir=FOLDER");
    return error == EACCES ? Permission : NotFound;
}

// Made or taken out: Done, or the refusal told.
int changeLink(int dir, bool on, const std::string &shown, const std::string &target)
{
    const int r = on ? ::symlinkat(target.c_str(), dir, MetricsFileName)
                     : ::unlinkat(dir, MetricsFileName, 0);
    if (r == 0)
        return Done;
    if (errno == EACCES || errno == EPERM || errno == EROFS) {
        tell("cannot change " + shown + ": " + std::strerror(errno) + "; run:\n  "
            + withSudo({"metrics", on ? "on" : "off"}));
        return Permission;
    }
    tell("cannot change " + shown + ": " + std::strerror(errno));
    return NoAnswer;
}

} // namespace

int metrics(const Arguments &arguments)
{
    if (arguments.size() != 1 || (arguments[0] != "on" && arguments[0] != "off")) {
        tell("metrics takes on or off: such as\n  " + toolCommand() + " metrics on");
        return Usage;
    }
    const bool on = arguments[0] == "on";
    const std::string folder = loadDrawerConfig(drawerConfigPath()).service.metricsDir;
    const std::string shown = folder + "/" + MetricsFileName;
    const std::string target = serviceMetricsFile();
    // Never through a link: every change below is relative to this folder.
    const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return refuseFolder(folder, errno);
    struct stat node = {};
    const bool exists = ::fstatat(dir, MetricsFileName, &node, AT_SYMLINK_NOFOLLOW) == 0;
    const bool ours = exists && S_ISLNK(node.st_mode) && linkTarget(dir) == target;
    int status = Done;
    if (exists && !ours) {
        tell(shown + " is there and is not the drawer service's link to " + target
            + "; it is left as it is: remove it first if it is an old one");
        status = Permission;
    } else if (exists != on) {
        status = changeLink(dir, on, shown, target);
    }
    ::close(dir);
    if (status != Done)
        return status;
    if (on)
        say("node-exporter finds the drawers' metrics: %s links to %s.\n", printable(shown).c_str(),
            printable(target).c_str());
    else
        say("node-exporter no longer finds the drawers' metrics: %s is %s.\n",
            printable(shown).c_str(), exists ? "taken out" : "not there");
    return Done;
}

} // namespace drawerdriver::setup
