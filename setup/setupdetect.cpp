// detect: the devices a drawer may hang on (each platform's in its own
// file), and one network printer on request; no network is ever scanned.
#include "setup.h"

#include <cstdio>

namespace drawerdriver::setup {

namespace {

int detectNetwork(const std::string &address)
{
    const std::string device = address.rfind("tcp://", 0) == 0 ? address : "tcp://" + address;
    DrawerSettings settings;
    std::vector<std::string> given;
    if (const std::string wrong = applySetting(settings, key::Device, device, given);
        !wrong.empty()) {
        tell(wrong + "; the address is HOST[:PORT], such as 192.0.2.10 or printer.local:9100");
        return Usage;
    }
    OpenedDevice opened = openDevice(settings);
    if (!opened.transport)
        return opened.exit;
    const std::string name = printable(opened.transport->name());
    say("%s: connected.\n", name.c_str());
    const auto protocol = makeEscPos(false);
    const Reading reading = readSensor(*opened.transport, *protocol, settings);
    if (!reading.answered) {
        say("It did not answer the status request DLE EOT 1 (10 04 01) within %d ms",
            AnswerLimitMs);
        if (!reading.raw.empty())
            say("; it sent %s%s", hexBytes(reading.raw).c_str(),
                reading.raw.size() >= 32 ? " ..." : "");
        say(".\nIt is no ESC/POS printer, or one that cannot report status (it may "
            "still fire its drawer, with sensor = none).\n");
        return NoAnswer;
    }
    say("It answered the status request DLE EOT 1 (10 04 01) with %s: an ESC/POS "
        "printer,\nits drawer sensor (pin 3) %s.\n"
        "To make it drawer N:\n  %s set N device=%s\n",
        hexBytes(reading.raw).c_str(), levelWord(*reading.level).c_str(), toolCommand().c_str(),
        name.c_str());
    return Done;
}

} // namespace

int detect(const Arguments &arguments)
{
    if (arguments.empty())
        return detectLocal();
    if (arguments.size() == 2 && arguments[0] == "--network")
        return detectNetwork(arguments[1]);
    tell("detect takes nothing, or --network HOST[:PORT]");
    return Usage;
}

} // namespace drawerdriver::setup
