// The built program on the simulated drawer when the drawer misbehaves: a
// library that takes 300 ms per call, and a device plugged and unplugged
// every quarter of a second for half a minute. The simulator's trace shows
// what the program asked and when.

#include "support/simulatedinstall.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <map>

class FaultTest : public QObject {
    Q_OBJECT

private slots:
    void slowLibraryNeverOverlapsCallsOrPilesUpTicks()
    {
        SimulatedInstall install;
        QVERIFY(install.tool({"delay", "300"}));
        QVERIFY(install.tool({"trace", "on"}));
        QVERIFY(install.start());
        QTRY_VERIFY_WITH_TIMEOUT(install.count(QStringLiteral("GetDrawerStatus")) >= 8, 20000);
        QVERIFY(install.terminate());

        const QList<TraceCall> calls = install.trace();
        // One call at a time: each starts after the previous one's 300 ms.
        for (qsizetype i = 1; i < calls.size(); ++i)
            QVERIFY2(calls[i].micros - calls[i - 1].micros >= 300'000,
                qPrintable(QStringLiteral("call %1 began %2 us after the one before")
                               .arg(i)
                               .arg(calls[i].micros - calls[i - 1].micros)));

        // The first refresh asks twice; from then on every status call is a
        // tick of its own, begun a full interval after the previous refresh
        // ended.
        QList<qint64> statusStarts;
        for (const TraceCall &call : calls)
            if (call.function == QLatin1String("GetDrawerStatus"))
                statusStarts << call.micros;
        QList<qint64> intervals;
        for (qsizetype i = 2; i < statusStarts.size(); ++i)
            intervals << statusStarts[i] - statusStarts[i - 1];
        QVERIFY(intervals.size() >= 5);
        std::sort(intervals.begin(), intervals.end());
        qInfo("tick to tick with a 300 ms library: min %.1f ms, median %.1f ms, max %.1f ms",
            intervals.first() / 1000.0, intervals[intervals.size() / 2] / 1000.0,
            intervals.last() / 1000.0);
        QVERIFY2(intervals.first() >= 400'000 - 1'000, "a tick began before a full interval");
        QVERIFY2(intervals.last() < 2'000'000, "polling stalled");
    }

    void flappingDeviceLeaksNoHandle()
    {
        SimulatedInstall install;
        QVERIFY(install.tool({"trace", "on"}));
        QVERIFY(install.start());
        QTRY_VERIFY_WITH_TIMEOUT(install.count(QStringLiteral("GetDrawerStatus")) >= 1, 10000);

        // Plug and unplug "Drawer #1" every 250 ms for 30 seconds.
        int flips = 0;
        QTimer flapper;
        connect(&flapper, &QTimer::timeout, this, [&] {
            install.tool({flips % 2 ? "plug" : "unplug", "1"});
            ++flips;
        });
        flapper.start(250);
        QTRY_VERIFY_WITH_TIMEOUT(flips >= 120, 60000);
        flapper.stop();
        QVERIFY(install.terminate());

        std::map<qint64, int> releases; // positive handle -> times released
        qsizetype acquired = 0;
        const QList<TraceCall> calls = install.trace();
        for (const TraceCall &call : calls) {
            if (call.function == QLatin1String("GetDrawerHandle") && call.result.toLongLong() > 0) {
                ++acquired;
                releases.emplace(call.result.toLongLong(), 0);
            }
        }
        for (const TraceCall &call : calls) {
            if (call.function != QLatin1String("ReleaseDrawerHandle") || call.argument <= 0)
                continue;
            QVERIFY2(releases.count(call.argument), "released a handle never given");
            ++releases[call.argument];
        }
        for (const auto &[handle, times] : releases)
            QVERIFY2(times == 1,
                qPrintable(QStringLiteral("handle %1 released %2 times").arg(handle).arg(times)));
        qInfo("flapping for 30 s: %d flips, %lld handles acquired, all released once, %lld calls",
            flips, qlonglong(acquired), qlonglong(calls.size()));
        QVERIFY(acquired >= 20); // it did reconnect, again and again
    }
};

QTEST_GUILESS_MAIN(FaultTest)
#include "tst_faults.moc"
