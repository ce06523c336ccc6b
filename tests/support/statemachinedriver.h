// Drives the drawer window with random events against a drawer library whose
// every answer is random, and checks after each event that the handle and
// the display agree with what the library said. Shared by the test suite
// (fixed seeds) and the soak program (a million events).
#pragma once

#include "app/formunits.h"
#include "app/mainform.h"
#include "app/shape.h"
#include "controller/global.h"
#include "drawer/drawerlibrary.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

// The library's view of the run: what it handed out, what came back, and
// anything that should never happen.
class RandomDrawerLibrary : public DrawerLibrary {
public:
    explicit RandomDrawerLibrary(std::mt19937 &random) : m_random(random) { }

    std::int32_t GetDrawerHandle(std::uint8_t drawerNumber) override
    {
        noteCall("GetDrawerHandle");
        if (drawerNumber > 7)
            fault("GetDrawerHandle with drawer number " + std::to_string(drawerNumber));
        switch (pick(3)) {
        case 0:
            return 0;
        case 1:
            return -std::int32_t(1 + pick(1000));
        default:
            live.insert(nextHandle);
            ++acquired;
            return nextHandle++;
        }
    }

    void ReleaseDrawerHandle(std::int32_t handle) override
    {
        noteCall("ReleaseDrawerHandle");
        if (handle <= 0)
            return;
        if (live.erase(handle) == 1) {
            ++released;
        } else if (handle < nextHandle) {
            ++doubleReleases;
            fault("handle " + std::to_string(handle) + " released twice");
        } else {
            fault("release of handle " + std::to_string(handle) + ", never given");
        }
    }

    std::int16_t GetDrawerStatus(std::int32_t handle) override
    {
        noteCall("GetDrawerStatus");
        checkLive(handle, "GetDrawerStatus");
        static constexpr std::int16_t answers[] = {0, 1, 2, 3, -1, 255, 32767, -32768};
        lastStatus = answers[pick(std::size(answers))];
        return lastStatus;
    }

    std::int16_t OpenDrawer(std::int32_t handle) override
    {
        noteCall("OpenDrawer");
        checkLive(handle, "OpenDrawer");
        return pick(3) == 0 ? 0 : std::int16_t(1 + pick(5));
    }

    std::set<std::int32_t> live;
    std::int32_t nextHandle = 1;
    std::int16_t lastStatus = 0;
    bool ended = false;
    long long acquired = 0;
    long long released = 0;
    long long doubleReleases = 0;
    std::string firstFault;

private:
    unsigned pick(unsigned n)
    {
        return std::uniform_int_distribution<unsigned>(0, n - 1)(m_random);
    }
    void noteCall(const char *function)
    {
        if (ended)
            fault(std::string(function) + " called after the program ended");
    }
    void checkLive(std::int32_t handle, const char *function)
    {
        if (!live.count(handle))
            fault(std::string(function) + " on handle " + std::to_string(handle)
                + ", which is not held");
    }
    void fault(const std::string &what)
    {
        if (firstFault.empty())
            firstFault = what;
    }

    std::mt19937 &m_random;
};

struct RunCounts {
    long long events = 0;
    long long acquired = 0;
    long long released = 0;
    long long leaked = 0;
    long long doubleReleases = 0;
};

// One random run of `events` events ending with one of the three exit paths.
// Returns an empty string when every check held, or what went wrong first.
inline std::string runRandomSequence(unsigned seed, int events, RunCounts &counts)
{
    std::mt19937 random(seed);
    RandomDrawerLibrary library(random);
    Global::DrawerNumber = 0;
    bool endedByExit = false;
    auto form = std::make_unique<MainForm>(library, [&] {
        library.ended = true;
        endedByExit = true;
    });
    auto *timer = form->findChild<QTimer *>(QStringLiteral("Timer1"));
    timer->stop(); // ticks are the run's own
    auto *status = form->findChild<QLabel *>(QStringLiteral("Status"));
    auto *label2 = form->findChild<QLabel *>(QStringLiteral("Label2"));
    auto *shape = form->findChild<Shape *>(QStringLiteral("Shape1"));
    auto *openButton = form->findChild<QPushButton *>(QStringLiteral("Open_Button"));
    auto *statusButton = form->findChild<QPushButton *>(QStringLiteral("Status_Button"));
    auto *cashDrawer = form->findChild<QMenu *>(QStringLiteral("mnuCashDrawer"));
    const auto action
        = [&](const char *name) { return form->findChild<QAction *>(QLatin1String(name)); };
    QList<QRadioButton *> options(8);
    for (QRadioButton *option : form->findChildren<QRadioButton *>(QStringLiteral("DrawerOption")))
        options[option->property("index").toInt()] = option;

    const auto check = [&](const std::string &after) -> std::string {
        if (!library.firstFault.empty())
            return library.firstFault + " (after " + after + ")";
        const std::int32_t handle = form->drawerHandle();
        const QColor textColor = status->palette().color(QPalette::WindowText);
        const bool commandsEnabled = openButton->isEnabled() && statusButton->isEnabled()
            && cashDrawer->menuAction()->isEnabled();
        const bool commandsDisabled = !openButton->isEnabled() && !statusButton->isEnabled()
            && !cashDrawer->menuAction()->isEnabled();
        if (handle == 0) {
            if (status->text() != QLatin1String("USB Device NOT Connected!")
                || textColor != FormUnits::bgrColor(FormUnits::Red)
                || label2->text() != QLatin1String("Offline")
                || shape->fillColor() != FormUnits::Black
                || shape->borderColor() != FormUnits::Black || !commandsDisabled)
                return "no handle held, but the window does not show Disconnected (after " + after
                    + ")";
            return {};
        }
        if (handle < 0 || !library.live.count(handle))
            return "the window holds handle " + std::to_string(handle)
                + ", which the library did not give or took back (after " + after + ")";
        const bool open = library.lastStatus == 2;
        const int color = open ? FormUnits::Green : FormUnits::Red;
        if (status->text() != QLatin1String("USB Device Connected")
            || textColor != FormUnits::bgrColor(FormUnits::Green) || !commandsEnabled)
            return "a handle is held, but the window does not show Connected (after " + after + ")";
        if (label2->text() != QLatin1String(open ? "Open" : "Closed") || shape->fillColor() != color
            || shape->borderColor() != color)
            return "the drawer shows " + label2->text().toStdString()
                + ", not the library's last answer (after " + after + ")";
        return {};
    };

    std::string failure;
    for (int event = 0; event < events && failure.empty(); ++event) {
        std::string name;
        switch (std::uniform_int_distribution<int>(0, 8)(random)) {
        case 0:
        case 1:
            name = "tick";
            form->Timer1_Timer();
            timer->stop();
            break;
        case 2:
            name = "Cash Drawer Status";
            statusButton->click();
            break;
        case 3:
            name = "Open Cash Drawer";
            openButton->click();
            break;
        case 4:
        case 5: {
            const int index = std::uniform_int_distribution<int>(0, 7)(random);
            name = "Drawer #" + std::to_string(index + 1);
            options[index]->click();
            break;
        }
        case 6:
            name = "Online";
            action("mnuOnline")->trigger();
            break;
        case 7:
            name = "Open Drawer";
            action("mnuOpenDrawer")->trigger();
            break;
        default:
            name = "Get Status of Drawer";
            action("mnuStatusDrawer")->trigger();
            break;
        }
        ++counts.events;
        failure = check("event " + std::to_string(event) + ", " + name);
    }

    if (failure.empty()) {
        const int path = std::uniform_int_distribution<int>(0, 2)(random);
        if (path == 0)
            action("mnuExit")->trigger();
        else if (path == 1)
            form->close();
        form.reset(); // the third path, and what follows the other two
        ++counts.events;
        if (!endedByExit)
            failure = "the program did not end";
        else if (!library.firstFault.empty())
            failure = library.firstFault + " (at exit)";
        else if (!library.live.empty())
            failure = std::to_string(library.live.size()) + " handle(s) never released";
    }
    counts.acquired += library.acquired;
    counts.released += library.released;
    counts.leaked += library.live.size();
    counts.doubleReleases += library.doubleReleases;
    return failure;
}
