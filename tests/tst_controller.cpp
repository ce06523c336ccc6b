// The connection state machine against a scripted drawer library: which calls
// each event makes, in which order, and what the window shows afterwards.

#include "app/mainform.h"
#include "controller/global.h"
#include "fakedrawerlibrary.h"
#include "formprobe.h"

#include <QTest>

#include <memory>

class ControllerTest : public QObject {
    Q_OBJECT

private:
    FakeDrawerLibrary library;
    std::unique_ptr<MainForm> form;
    int endCalls = 0;

    FormProbe probe() const { return FormProbe {form.get()}; }

    // A window whose timer stands still, so that every tick is the test's own.
    void createForm()
    {
        form = std::make_unique<MainForm>(library, [this] { ++endCalls; });
        probe().timer()->stop();
    }

    // The window with a handle held and the drawer shown closed.
    void connectTo(std::int32_t handle)
    {
        library.handleAnswers = {handle};
        library.statusAnswer = 1;
        form->Timer1_Timer();
        probe().timer()->stop();
        library.takeCalls();
    }

private slots:
    void init()
    {
        library = FakeDrawerLibrary();
        Global::DrawerNumber = 0;
        endCalls = 0;
        createForm();
    }

    void cleanup()
    {
        library.duringCall = nullptr;
        form.reset();
    }

    void loadShowsDisconnectedWithoutCallingTheLibrary()
    {
        QVERIFY(probe().showsDisconnected());
        QCOMPARE(form->drawerHandle(), 0);
        QVERIFY(library.calls.isEmpty());
    }

    void tickWithoutDeviceReleasesTheFailureValue_data()
    {
        QTest::addColumn<int>("failure");
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -7;
    }

    void tickWithoutDeviceReleasesTheFailureValue()
    {
        QFETCH(int, failure);
        library.handleAnswer = failure;
        for (int tick = 0; tick < 3; ++tick) {
            form->Timer1_Timer();
            QCOMPARE(library.takeCalls(),
                QStringList({
                    QStringLiteral("GetDrawerHandle(0)=%1").arg(failure),
                    QStringLiteral("ReleaseDrawerHandle(%1)").arg(failure),
                }));
            QVERIFY(probe().showsDisconnected());
            QCOMPARE(form->drawerHandle(), 0);
            QVERIFY(probe().timer()->isActive());
        }
    }

    void deviceAtStartIsAskedTwiceOnTheFirstRefreshOnlyOnce()
    {
        library.handleAnswers = {42};
        library.statusAnswer = 1;
        form->Timer1_Timer();
        QCOMPARE(library.takeCalls(),
            QStringList(
                {"GetDrawerHandle(0)=42", "GetDrawerStatus(42)=1", "GetDrawerStatus(42)=1"}));
        QVERIFY(probe().showsConnected());
        QCOMPARE(probe().drawerState(), "Closed");

        form->Timer1_Timer();
        form->Timer1_Timer();
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerStatus(42)=1", "GetDrawerStatus(42)=1"}));
    }

    void statusAnswerDecidesWhatIsShown_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("color");
        QTest::newRow("2 is open") << 2 << "Open" << FormUnits::Green;
        QTest::newRow("1 is closed") << 1 << "Closed" << FormUnits::Red;
        QTest::newRow("3 is closed") << 3 << "Closed" << FormUnits::Red;
        QTest::newRow("-1 is closed") << -1 << "Closed" << FormUnits::Red;
        QTest::newRow("32767 is closed") << 32767 << "Closed" << FormUnits::Red;
    }

    void statusAnswerDecidesWhatIsShown()
    {
        QFETCH(int, answer);
        QFETCH(QString, shown);
        QFETCH(int, color);
        connectTo(9);
        library.statusAnswer = std::int16_t(answer);
        form->Timer1_Timer();
        QCOMPARE(
            library.takeCalls(), QStringList {QStringLiteral("GetDrawerStatus(9)=%1").arg(answer)});
        QCOMPARE(probe().drawerState(), shown);
        QCOMPARE(probe().fill(), color);
        QCOMPARE(probe().border(), color);
        QVERIFY(probe().showsConnected());
        QCOMPARE(form->drawerHandle(), 9);
    }

    void deviceLostWhileConnectedGoesOfflineAndRetriesNextTick()
    {
        connectTo(9);
        library.statusAnswer = 0;
        library.handleAnswer = 0;
        form->Timer1_Timer();
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerStatus(9)=0", "ReleaseDrawerHandle(9)"}));
        QVERIFY(probe().showsDisconnected());
        QCOMPARE(form->drawerHandle(), 0);

        form->Timer1_Timer();
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerHandle(0)=0", "ReleaseDrawerHandle(0)"}));
    }

    void handleGivenButStatusSilentReleasesThatHandleEachTick()
    {
        library.handleAnswers = {5, 6};
        library.statusAnswer = 0;
        form->Timer1_Timer();
        QCOMPARE(library.takeCalls(),
            QStringList(
                {"GetDrawerHandle(0)=5", "GetDrawerStatus(5)=0", "ReleaseDrawerHandle(5)"}));
        QVERIFY(probe().showsDisconnected());
        form->Timer1_Timer();
        QCOMPARE(library.takeCalls(),
            QStringList(
                {"GetDrawerHandle(0)=6", "GetDrawerStatus(6)=0", "ReleaseDrawerHandle(6)"}));
    }

    void onlineWithoutHandleIsATickWithoutTouchingTheTimer()
    {
        library.handleAnswer = 0;
        QTimer *timer = probe().timer();
        bool timerRanDuringCall = true;
        library.duringCall = [&] { timerRanDuringCall = timer->isActive(); };
        timer->start();
        form->findChild<QAction *>("mnuOnline")->trigger();
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerHandle(0)=0", "ReleaseDrawerHandle(0)"}));
        QVERIFY(timerRanDuringCall);
    }

    void onlineWithHandleIsOneStatusRefresh()
    {
        connectTo(3);
        form->findChild<QAction *>("mnuOnline")->trigger();
        QCOMPARE(library.takeCalls(), QStringList {"GetDrawerStatus(3)=1"});
    }

    void timerIsOffForTheWholeRefreshAndStartsAfresh()
    {
        library.handleAnswers = {4};
        QTimer *timer = probe().timer();
        timer->start();
        QList<bool> activeDuringCalls;
        library.duringCall = [&] { activeDuringCalls << timer->isActive(); };
        form->Timer1_Timer();
        QCOMPARE(activeDuringCalls, QList<bool>({false, false, false}));
        QVERIFY(timer->isActive());
        QCOMPARE(timer->remainingTime() > 90, true);
    }

    void realTimerPollsAboutTenTimesASecond()
    {
        library.handleAnswers = {8};
        probe().timer()->start();
        QTRY_VERIFY_WITH_TIMEOUT(library.calls.size() >= 6, 3000);
        QCOMPARE(library.calls.first(), "GetDrawerHandle(0)=8");
        QVERIFY(probe().showsConnected());
    }

    void openWhileConnectedCallsOpenOnceAndLeavesTheIndicator()
    {
        connectTo(11);
        QTest::mouseClick(probe().find<QPushButton>("Open_Button"), Qt::LeftButton);
        QCOMPARE(library.takeCalls(), QStringList {"OpenDrawer(11)=1"});
        QCOMPARE(probe().drawerState(), "Closed");
        QCOMPARE(probe().fill(), FormUnits::Red);

        library.statusAnswer = 2;
        form->Timer1_Timer();
        QCOMPARE(probe().drawerState(), "Open");
        QCOMPARE(probe().fill(), FormUnits::Green);
    }

    void openThatGetsNoAnswerGoesOffline()
    {
        connectTo(11);
        library.openAnswer = 0;
        form->findChild<QAction *>("mnuOpenDrawer")->trigger();
        QCOMPARE(library.takeCalls(), QStringList({"OpenDrawer(11)=0", "ReleaseDrawerHandle(11)"}));
        QVERIFY(probe().showsDisconnected());
    }

    void openWithoutHandleConnectsFirst()
    {
        library.handleAnswers = {12};
        form->findChild<QAction *>("mnuOpenDrawer")->trigger();
        QCOMPARE(library.takeCalls(),
            QStringList({"GetDrawerHandle(0)=12", "GetDrawerStatus(12)=1", "OpenDrawer(12)=1"}));
    }

    void statusMenuItemRefreshes()
    {
        connectTo(13);
        form->findChild<QAction *>("mnuStatusDrawer")->trigger();
        QTest::mouseClick(probe().find<QPushButton>("Status_Button"), Qt::LeftButton);
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerStatus(13)=1", "GetDrawerStatus(13)=1"}));
    }

    void shortcutsRunTheCashDrawerItems()
    {
        connectTo(14);
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(form.get(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(library.takeCalls(), QStringList({"OpenDrawer(14)=1", "GetDrawerStatus(14)=1"}));
    }

    void switchingDrawersReleasesThenAcquiresTheNewNumber()
    {
        connectTo(20);
        library.handleAnswer = 0;
        QTest::mouseClick(probe().drawerOption(2), Qt::LeftButton);
        QCOMPARE(library.takeCalls(),
            QStringList(
                {"ReleaseDrawerHandle(20)", "GetDrawerHandle(2)=0", "ReleaseDrawerHandle(0)"}));
        QCOMPARE(Global::DrawerNumber, 2);
        QVERIFY(probe().showsDisconnected());

        form->Timer1_Timer();
        QCOMPARE(
            library.takeCalls(), QStringList({"GetDrawerHandle(2)=0", "ReleaseDrawerHandle(0)"}));
    }

    void switchingDrawersWithoutHandleReleasesNothing()
    {
        library.handleAnswers = {0, 30};
        form->Timer1_Timer();
        library.takeCalls();
        QTest::mouseClick(probe().drawerOption(7), Qt::LeftButton);
        QCOMPARE(library.takeCalls(),
            QStringList(
                {"GetDrawerHandle(7)=30", "GetDrawerStatus(30)=1", "GetDrawerStatus(30)=1"}));
        QVERIFY(probe().showsConnected());
    }

    void exitReleasesAHeldHandleExactlyOnce_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("connected");
        for (const char *path : {"menu", "close", "destroy"}) {
            QTest::addRow("%s, handle held", path) << QString::fromLatin1(path) << true;
            QTest::addRow("%s, no handle", path) << QString::fromLatin1(path) << false;
        }
    }

    void exitReleasesAHeldHandleExactlyOnce()
    {
        QFETCH(QString, path);
        QFETCH(bool, connected);
        if (connected)
            connectTo(77);
        else
            form->Timer1_Timer();
        library.takeCalls();
        form->show();

        if (path == QLatin1String("menu"))
            form->findChild<QAction *>("mnuExit")->trigger();
        else if (path == QLatin1String("close"))
            QVERIFY(form->close());
        QTimer *timer = probe().timer();
        if (path != QLatin1String("destroy"))
            QVERIFY(!timer->isActive());
        // Whatever comes after the first exit path (here the window's
        // destruction) runs no second exit.
        form.reset();

        QCOMPARE(endCalls, 1);
        QCOMPARE(library.takeCalls(),
            connected ? QStringList {"ReleaseDrawerHandle(77)"} : QStringList());
    }
};

QTEST_MAIN(ControllerTest)
#include "tst_controller.moc"
