// The drawer controller alone, against a scripted view and library, with no
// window: the order in which each event writes the display states and calls
// the library, and how the program's end stops everything.

#include "controller/drawercontroller.h"
#include "controller/global.h"
#include "drawer/vendordrawerlibrary.h"
#include "fakedrawerlibrary.h"
#include "support/scriptedview.h"

#include <QTest>

#include <algorithm>
#include <functional>
#include <optional>

using Handler = void (DrawerController::*)();
Q_DECLARE_METATYPE(Handler)
using Event = std::function<void(DrawerController &)>;
Q_DECLARE_METATYPE(Event)

namespace {
const QStringList Disconnected = {"Status caption USB Device NOT Connected!", "Status text 255",
    "Shape1 border 0", "Shape1 fill 0", "Label2 caption Offline", "Open_Button disabled",
    "Status_Button disabled", "mnuCashDrawer disabled"};
const QStringList Connected = {"Status caption USB Device Connected", "Status text 65280",
    "Open_Button enabled", "Status_Button enabled", "mnuCashDrawer enabled"};
const QStringList Open = {"Label2 caption Open", "Shape1 fill 65280", "Shape1 border 65280"};
const QStringList Closed = {"Label2 caption Closed", "Shape1 fill 255", "Shape1 border 255"};
const Handler ExitPaths[] = {&DrawerController::Form_Terminate, &DrawerController::Form_Unload,
    &DrawerController::mnuExit_Click};
const QStringList ExitPathNames = {"Form_Terminate", "Form_Unload", "mnuExit_Click"};

QStringList seq(std::initializer_list<QStringList> parts)
{
    QStringList all;
    for (const QStringList &part : parts)
        all += part;
    return all;
}
} // namespace

class DrawerControllerTest : public QObject {
    Q_OBJECT

    FakeDrawerLibrary library;
    ScriptedView view {library.calls};
    std::optional<DrawerController> controller;

    // Events still on their way to the window once the program is ending.
    void runLateEvents()
    {
        controller->Timer1_Timer();
        controller->Open_Button_Click();
        controller->DrawerOption_Click(3);
        controller->Form_Terminate();
    }

private slots:
    void init()
    {
        library = FakeDrawerLibrary();
        Global::DrawerNumber = 0;
        controller.emplace(library, view);
        controller->Form_Load();
        library.takeCalls();
    }

    void eventsWriteStatesAndCallTheLibraryInOrder_data()
    {
        QTest::addColumn<int>("status"); // for handle 5
        QTest::addColumn<Handler>("event");
        QTest::addColumn<QStringList>("log");
        const QStringList off = {"Timer1 off"}, on = {"Timer1 on"};
        const Handler tick = &DrawerController::Timer1_Timer;
        for (const auto &[status, state] : {std::pair {2, Open}, std::pair {1, Closed}}) {
            const QString asked = QStringLiteral("GetDrawerStatus(5)=%1").arg(status);
            QTest::addRow("tick, device, status %d", status)
                << status << tick
                << seq({off, {"GetDrawerHandle(0)=5"}, Connected, {asked}, state, {asked}, state,
                       on});
        }
        QTest::newRow("open, status silent at connection")
            << 0 << Handler(&DrawerController::Open_Button_Click)
            << seq({{"GetDrawerHandle(0)=5"}, Connected, {"GetDrawerStatus(5)=0"}, Disconnected,
                   {"ReleaseDrawerHandle(5)"}});
    }

    void eventsWriteStatesAndCallTheLibraryInOrder()
    {
        QFETCH(int, status);
        QFETCH(Handler, event);
        QFETCH(QStringList, log);
        library.handleAnswer = 5;
        library.statusAnswer = std::int16_t(status);
        (*controller.*event)();
        QCOMPARE(library.takeCalls(), log);
    }

    void exitReleasesOnceWhicheverPathsCome_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QStringList>("paths");
        QList<QStringList> orders;
        for (const QString &path : ExitPathNames)
            orders << QStringList {path} << QStringList {path, path};
        QStringList order = ExitPathNames;
        do
            orders << order;
        while (std::next_permutation(order.begin(), order.end()));
        for (const QStringList &paths : std::as_const(orders))
            for (bool connected : {true, false})
                QTest::addRow(
                    "%s, %s", qPrintable(paths.join(", ")), connected ? "handle held" : "no handle")
                    << connected << paths;
    }

    void exitReleasesOnceWhicheverPathsCome()
    {
        QFETCH(bool, connected);
        QFETCH(QStringList, paths);
        library.handleAnswer = connected ? 77 : 0;
        controller->Timer1_Timer();
        library.takeCalls();
        for (const QString &path : paths)
            (*controller.*ExitPaths[ExitPathNames.indexOf(path)])();
        QCOMPARE(library.takeCalls(),
            seq({connected ? QStringList {"ReleaseDrawerHandle(77)"} : QStringList(),
                {"Timer1 off", "end"}}));
        // Nothing that comes later reaches the library or the window.
        runLateEvents();
        QCOMPARE(library.takeCalls(), QStringList());
    }

    // A library that runs the window's messages during a call lets the user's
    // Exit run in the middle of it: after that nothing more is painted or
    // called, the timer stays off, and a handle that arrives is given back.
    void exitDuringALibraryCallEndsEverything_data()
    {
        QTest::addColumn<Event>("event");
        QTest::addColumn<QString>("call"); // the one Exit runs in
        QTest::addColumn<QStringList>("log");
        const QStringList end = {"Timer1 off", "end"};
        QTest::newRow("tick, handle arriving")
            << Event(&DrawerController::Timer1_Timer) << "GetDrawerHandle"
            << seq({{"Timer1 off", "GetDrawerHandle(0)=5"}, end, {"ReleaseDrawerHandle(5)"}});
        QTest::newRow("tick, status")
            << Event(&DrawerController::Timer1_Timer) << "GetDrawerStatus"
            << seq({{"Timer1 off", "GetDrawerStatus(5)=0", "ReleaseDrawerHandle(5)"}, end});
        QTest::newRow("open") << Event(&DrawerController::Open_Button_Click) << "OpenDrawer"
                              << seq({{"OpenDrawer(5)=0", "ReleaseDrawerHandle(5)"}, end});
        QTest::newRow("another drawer")
            << Event([](DrawerController &c) { c.DrawerOption_Click(1); }) << "ReleaseDrawerHandle"
            << seq({{"ReleaseDrawerHandle(5)"}, end});
    }

    void exitDuringALibraryCallEndsEverything()
    {
        QFETCH(Event, event);
        QFETCH(QString, call);
        QFETCH(QStringList, log);
        library.handleAnswer = 5;
        if (call != "GetDrawerHandle")
            controller->Timer1_Timer();
        library.takeCalls();
        // Failures, so that only the end keeps the controller from going on.
        library.statusAnswer = library.openAnswer = 0;
        library.duringCall = [&] {
            if (library.calls.constLast().startsWith(call) && !controller->hasEnded())
                controller->mnuExit_Click();
        };
        event(*controller);
        QCOMPARE(library.takeCalls(), log);
        runLateEvents();
        QCOMPARE(library.takeCalls(), QStringList());
    }

    // Until the error's message box has ended the program, its modal loop
    // goes on delivering ticks: none may call the library again.
    void errorLeavesTheTimerOffAndRunsNothingMore_data()
    {
        QTest::addColumn<Handler>("event");
        QTest::newRow("tick") << Handler(&DrawerController::Timer1_Timer);
        QTest::newRow("open") << Handler(&DrawerController::Open_Button_Click);
    }

    void errorLeavesTheTimerOffAndRunsNothingMore()
    {
        QFETCH(Handler, event);
        library.handleAnswers = {9};
        controller->Timer1_Timer();
        // The event's first call is to a function the library lacks.
        library.duringCall = [] { throw DrawerLibraryError("missing"); };
        QVERIFY_THROWS_EXCEPTION(DrawerLibraryError, (*controller.*event)());
        QCOMPARE(library.takeCalls().constLast(), "Timer1 off");
        // Exit does not run on this path either: the handle is not given back.
        runLateEvents();
        QCOMPARE(library.takeCalls(), QStringList());
    }
};

QTEST_GUILESS_MAIN(DrawerControllerTest)
#include "tst_drawercontroller.moc"
