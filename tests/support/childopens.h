// Open calls from processes of their own, as any local account can make
// them: each child (forked, then the given user) connects to the bus
// anew, once for all its calls or once per call, and sends its calls,
// waiting for their answers or hanging up at once. Each connection's
// unique name comes back. The bus is DBUS_SYSTEM_BUS_ADDRESS's.
#pragma once

#include "busapi.h"

#include <string>
#include <utility>
#include <vector>

#include <grp.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

struct ChildOpens {
    std::vector<std::pair<int, std::string>> calls; // drawer, reason
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    bool connectionPerCall = false;
    bool waitForAnswers = true;
};

namespace childopens {

// In the child: its calls, each connection's name written to out.
inline int makeCalls(const ChildOpens &opens, int out)
{
    if (opens.uid != 0
        && (::setgroups(opens.groups.size(), opens.groups.data()) != 0 || ::setgid(opens.gid) != 0
            || ::setuid(opens.uid) != 0))
        return 1;
    sd_bus *bus = nullptr;
    for (const auto &[drawer, reason] : opens.calls) {
        if (!bus && sd_bus_open_system(&bus) < 0)
            return 1;
        const char *name = nullptr;
        sd_bus_get_unique_name(bus, &name);
        const std::string line = std::string(name ? name : "") + '\n';
        if (::write(out, line.data(), line.size()) != ssize_t(line.size()))
            return 1;
        sd_bus_message *call = nullptr;
        sd_bus_message_new_method_call(bus, &call, drawerdriver::bus::ServiceName,
            drawerdriver::bus::drawerPath(drawer).c_str(), drawerdriver::bus::DrawerInterface,
            drawerdriver::bus::OpenMethod);
        sd_bus_message_append(call, "s", reason.c_str());
        if (opens.waitForAnswers) {
            sd_bus_call(bus, call, 0, nullptr, nullptr);
        } else {
            sd_bus_message_set_expect_reply(call, 0);
            sd_bus_send(bus, call, nullptr);
        }
        sd_bus_message_unref(call);
        if (opens.connectionPerCall)
            bus = sd_bus_flush_close_unref(bus);
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}

} // namespace childopens

// Runs the calls in that many children, a few at a time, and returns the
// names of their connections once all have ended; empty if one failed.
inline std::vector<std::string> openFromChildren(const ChildOpens &opens, int children = 1)
{
    std::vector<std::string> names;
    bool failed = false;
    for (int started = 0; started < children;) {
        int pipe[2];
        if (::pipe(pipe) != 0)
            return {};
        // The bus takes only so many connections still authenticating.
        std::vector<pid_t> batch;
        for (; started < children && batch.size() < 16; ++started) {
            const pid_t child = ::fork();
            if (child == 0)
                ::_exit(childopens::makeCalls(opens, pipe[1]));
            batch.push_back(child);
        }
        ::close(pipe[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(got));
        ::close(pipe[0]);
        for (const pid_t child : batch) {
            int status = 0;
            failed = failed || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)
                || WEXITSTATUS(status) != 0;
        }
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1)
            names.push_back(text.substr(at, end - at));
    }
    return failed ? std::vector<std::string> {} : names;
}
