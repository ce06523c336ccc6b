// kestrin-drawer-setup allow USER: lets a user open drawers through the
// drawer service, whose bus policy allows root and the group kestrin-drawer.
#include "setup_posix.h"

#include "busapi.h"

#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace drawerdriver::setup {

namespace {

bool inGroup(const passwd &user, const group &drawerGroup)
{
    if (user.pw_gid == drawerGroup.gr_gid)
        return true;
    for (char **member = drawerGroup.gr_mem; *member; ++member)
        if (std::strcmp(*member, user.pw_name) == 0)
            return true;
    return false;
}

// usermod, not an edit of /etc/group here: it keeps the shadow file and
// the database's locks right.
bool addToGroup(const std::string &user)
{
    const char *argv[] = {"usermod", "-aG", bus::DrawerGroup, user.c_str(), nullptr};
    pid_t pid = -1;
    int status = 0;
    return posix_spawnp(&pid, "usermod", nullptr, nullptr, const_cast<char **>(argv), environ) == 0
        && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int allow(const Arguments &arguments)
{
    if (arguments.size() != 1) {
        tell("allow takes one user name: kestrin-drawer-setup allow USER");
        return Usage;
    }
    const std::string &name = arguments.front();
    const passwd *user = ::getpwnam(name.c_str());
    if (!user) {
        tell("there is no user '" + name + "'");
        return NotFound;
    }
    const group *drawerGroup = ::getgrnam(bus::DrawerGroup);
    if (!drawerGroup) {
        tell(std::string("there is no group ") + bus::DrawerGroup
            + ": it comes with the kestrin-drawer package's drawer service");
        return NotFound;
    }
    if (inGroup(*user, *drawerGroup)) {
        say("%s may already open drawers (group %s).\n", name.c_str(), bus::DrawerGroup);
        return Done;
    }
    if (::geteuid() != 0) {
        tell("only root may add users to the group " + std::string(bus::DrawerGroup) + "; run:\n  "
            + withSudo({"allow", name}));
        return Permission;
    }
    if (!addToGroup(name)) {
        tell("usermod could not add " + name + " to the group " + bus::DrawerGroup);
        return NoAnswer;
    }
    say("%s may now open drawers through the drawer service, from their next login.\n",
        name.c_str());
    return Done;
}

} // namespace drawerdriver::setup
