// The simulated drawer bank: its state file, the library's answers, and the
// control tool changing them from another process.

#include "simstate.h"
#include "support/drawerfunctions.h"
#include "support/simtool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
const QString BinDir = QStringLiteral(KESTRIN_BIN_DIR);
}

class SimulatorTest : public QObject {
    Q_OBJECT

private:
    DrawerFunctions simulator;
    std::unique_ptr<QTemporaryDir> home;
    QString statePath;

    // The tool finds the state file through KESTRIN_SIM_STATE, like the
    // library in this process.
    SimToolResult tool(const QStringList &arguments) { return runSimTool(arguments); }

    void writeState(const QByteArray &text)
    {
        QFile file(statePath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

private slots:
    void initTestCase()
    {
        const QString error
            = simulator.load(QDir(BinDir).filePath(QStringLiteral("libKestrinPOS_USB.so")));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // Every test gets a state file of its own; the tool finds it the same way.
    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        statePath = home->filePath(QStringLiteral("sim.state"));
        qputenv("KESTRIN_SIM_STATE", statePath.toLocal8Bit());
    }

    void stateRoundTripsThroughItsText()
    {
        sim::State state = sim::State::defaults();
        state.delayMs = 250;
        state.autoCloseSeconds = 0;
        state.trace = true;
        state.drawers[4] = {true, true, true, 1234567};
        state.allocateHandle(4);
        state.allocateHandle(0);
        const auto parsed = sim::parse(sim::serialize(state));
        QVERIFY(parsed);
        QCOMPARE(sim::serialize(*parsed), sim::serialize(state));
        QCOMPARE(parsed->drawerOf(1), 4);
        QCOMPARE(parsed->nextHandle, 3);
    }

    void malformedStateTextIsRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QByteArray good = QByteArray::fromStdString(sim::serialize(sim::State::defaults()));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("wrong first line") << QByteArray(good).replace("sim 1", "sim 2");
        QTest::newRow("truncated") << good.left(good.size() - 5);
        QTest::newRow("drawer missing") << QByteArray(good).replace("drawer 8", "drawer 7");
        QTest::newRow("unknown key") << good + "colour blue\n";
        QTest::newRow("negative delay") << QByteArray(good).replace("delay 0", "delay -5");
        QTest::newRow("huge delay")
            << QByteArray(good).replace("delay 0", "delay 99999999999999999999");
        QTest::newRow("handle zero") << good + "handle 0 1\n";
        QTest::newRow("handle on drawer 9") << good + "handle 5 9\n";
        QTest::newRow("bad flag") << QByteArray(good).replace("plugged=1", "plugged=2");
        QTest::newRow("nul byte") << QByteArray(good).replace("delay 0", QByteArray("delay \0", 7));
        QTest::newRow("oversized") << good + QByteArray(70000, '\n');
    }

    void malformedStateTextIsRefused()
    {
        QFETCH(QByteArray, text);
        QVERIFY(!sim::parse(std::string_view(text.constData(), std::size_t(text.size()))));
    }

    void defaultsHaveTheFirstTwoDrawersPluggedAndClosed()
    {
        for (int drawer = 0; drawer < 8; ++drawer) {
            const std::int32_t handle = simulator.getHandle(std::uint8_t(drawer));
            if (drawer < 2) {
                QVERIFY(handle > 0);
                QCOMPARE(simulator.status(handle), std::int16_t(1));
            } else {
                QCOMPARE(handle, 0);
            }
        }
        QVERIFY(simulator.getHandle(8) < 0);
        QVERIFY(simulator.getHandle(255) < 0);
    }

    void handlesAreNeverReusedAndStaleOnesGetNoAnswer()
    {
        const std::int32_t first = simulator.getHandle(0);
        simulator.release(first);
        const std::int32_t second = simulator.getHandle(0);
        QVERIFY(second > first);
        QCOMPARE(simulator.status(first), std::int16_t(0));
        QCOMPARE(simulator.openDrawer(first), std::int16_t(0));
        QCOMPARE(simulator.status(second), std::int16_t(1));
        QCOMPARE(simulator.status(12345), std::int16_t(0));

        // Releasing nothing, a failure value, a stranger or a stale handle
        // leaves the live one alone.
        for (std::int32_t bogus : {0, -1, -2147483647 - 1, 12345, first})
            simulator.release(bogus);
        QCOMPARE(simulator.status(second), std::int16_t(1));

        QCOMPARE(tool({"reset"}).exitCode, 0);
        QCOMPARE(simulator.status(second), std::int16_t(0));
        QVERIFY(simulator.getHandle(0) > second);
    }

    void openedDrawerClosesByItselfAfterTheAutoCloseTime()
    {
        QCOMPARE(tool({"auto-close", "1"}).exitCode, 0);
        const std::int32_t handle = simulator.getHandle(1);
        QVERIFY(simulator.openDrawer(handle) != 0);
        QCOMPARE(simulator.status(handle), std::int16_t(2));
        QTRY_COMPARE_WITH_TIMEOUT(simulator.status(handle), std::int16_t(1), 5000);
    }

    void toolChangesWhatTheLibraryAnswers()
    {
        QCOMPARE(simulator.getHandle(2), 0);
        QCOMPARE(tool({"plug", "3"}).exitCode, 0);
        const std::int32_t handle = simulator.getHandle(2);
        QVERIFY(handle > 0);
        QCOMPARE(tool({"open", "3"}).exitCode, 0);
        QCOMPARE(simulator.status(handle), std::int16_t(2));
        QCOMPARE(tool({"close", "3"}).exitCode, 0);
        QCOMPARE(simulator.status(handle), std::int16_t(1));

        QCOMPARE(tool({"mute", "3"}).exitCode, 0);
        const std::int32_t muted = simulator.getHandle(2);
        QVERIFY(muted > handle);
        QCOMPARE(simulator.status(muted), std::int16_t(0));
        QCOMPARE(simulator.openDrawer(muted), std::int16_t(0));
        QCOMPARE(tool({"unmute", "3"}).exitCode, 0);
        QCOMPARE(simulator.status(muted), std::int16_t(1));

        QCOMPARE(tool({"unplug", "3"}).exitCode, 0);
        QCOMPARE(simulator.status(muted), std::int16_t(0));
        QCOMPARE(simulator.getHandle(2), 0);

        const SimToolResult table = tool({"status"});
        QCOMPARE(table.exitCode, 0);
        QVERIFY(table.out.contains(QLatin1String("#3       unplugged")));
        QVERIFY(table.out.contains(statePath));
    }

    void traceRecordsEveryCall()
    {
        QCOMPARE(tool({"trace", "on"}).exitCode, 0);
        const QString tracePath = tool({"trace"}).out.trimmed();
        QCOMPARE(tracePath, statePath + QLatin1String(".trace"));
        const std::int32_t handle = simulator.getHandle(0);
        simulator.status(handle);
        simulator.release(handle);
        QFile trace(tracePath);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QStringList lines
            = QString::fromUtf8(trace.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        const QStringList words[] = {lines[0].split(' '), lines[1].split(' '), lines[2].split(' ')};
        QCOMPARE(words[0].mid(1), QStringList({"GetDrawerHandle", "0", QString::number(handle)}));
        QCOMPARE(words[1].mid(1), QStringList({"GetDrawerStatus", QString::number(handle), "1"}));
        QCOMPARE(
            words[2].mid(1), QStringList({"ReleaseDrawerHandle", QString::number(handle), "-"}));
        QVERIFY(words[0][0].toLongLong() > 0);
        QVERIFY(words[0][0].toLongLong() <= words[2][0].toLongLong());
    }

    void delayMakesEveryCallTakeThatLong()
    {
        QCOMPARE(tool({"delay", "150"}).exitCode, 0);
        QElapsedTimer clock;
        clock.start();
        simulator.status(1);
        QVERIFY(clock.elapsed() >= 150);
    }

    void malformedStateFileMeansTheDefaults()
    {
        writeState("kestrin-drawer-sim 1\ndelay banana\n");
        const SimToolResult table = tool({"status"});
        QCOMPARE(table.exitCode, 0);
        QVERIFY(table.err.contains(QLatin1String("not a valid state file")));
        QVERIFY(table.out.contains(QLatin1String("#1       plugged")));
        QVERIFY(simulator.getHandle(0) > 0);
        QCOMPARE(simulator.getHandle(2), 0);
    }

    void stateFileIsPrivate()
    {
        QVERIFY(simulator.getHandle(0) > 0);
        QCOMPARE(QFile::permissions(statePath)
                & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
            QFileDevice::Permissions());
    }

    void symbolicLinkInPlaceOfTheStateFileIsNeverFollowed()
    {
        const QString target = home->filePath(QStringLiteral("target"));
        writeState(QByteArray::fromStdString(sim::serialize(sim::State::defaults())));
        QVERIFY(QFile::rename(statePath, target));
        QVERIFY(QFile::link(target, statePath));
        const QByteArray before = [&] {
            QFile file(target);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();

        QVERIFY(simulator.getHandle(0) > 0); // the defaults, held in memory
        const SimToolResult plug = tool({"plug", "5"});
        QCOMPARE(plug.exitCode, 1);
        QVERIFY2(plug.err.contains(QLatin1String("symbolic link"))
                || plug.err.contains(QLatin1String("refusing")),
            qPrintable(plug.err));

        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QVERIFY(QFileInfo(statePath).isSymLink());
    }

    void busyStateFileNeverFreezesTheHost()
    {
        const QByteArray lockPath = (statePath + QLatin1String(".lock")).toLocal8Bit();
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(simulator.getHandle(0), 0); // a busy device answers nothing
        const qint64 took = clock.elapsed();
        ::close(fd);
        QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        QVERIFY(simulator.getHandle(0) > 0);
    }

    void toolRefusesBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("plug without drawer") << QStringList {"plug"};
        QTest::newRow("drawer 0") << QStringList {"plug", "0"};
        QTest::newRow("drawer 9") << QStringList {"open", "9"};
        QTest::newRow("drawer -1") << QStringList {"close", "-1"};
        QTest::newRow("drawer word") << QStringList {"mute", "three"};
        QTest::newRow("drawer huge") << QStringList {"unplug", "99999999999999999999"};
        QTest::newRow("drawer with tail") << QStringList {"plug", "3x"};
        QTest::newRow("negative delay") << QStringList {"delay", "-1"};
        QTest::newRow("long delay") << QStringList {"delay", "60001"};
        QTest::newRow("auto-close words") << QStringList {"auto-close", "soon"};
        QTest::newRow("trace maybe") << QStringList {"trace", "maybe"};
        QTest::newRow("unknown") << QStringList {"frobnicate"};
        QTest::newRow("status extra") << QStringList {"status", "now"};
        QTest::newRow("too many") << QStringList {"plug", "1", "2"};
    }

    void toolRefusesBadArguments()
    {
        QFETCH(QStringList, arguments);
        const SimToolResult result = tool(arguments);
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.err.contains(QLatin1String("usage: kestrin-drawer-sim")));
        QVERIFY(!QFile::exists(statePath));
    }
};

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
