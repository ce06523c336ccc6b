// Long random sequences of ticks, clicks, drawer changes and menu commands
// against a library whose every answer is random: the window never leaks or
// double-releases a handle and never shows what the handle contradicts.

#include "support/statemachinedriver.h"

#include <QTest>

class StateMachineTest : public QObject {
    Q_OBJECT

private slots:
    void randomSequencesKeepHandleAndDisplayInAgreement()
    {
        RunCounts counts;
        for (unsigned seed = 1; seed <= 200; ++seed) {
            const std::string failure = runRandomSequence(seed, 500, counts);
            QVERIFY2(failure.empty(),
                qPrintable(
                    QStringLiteral("seed %1: %2").arg(seed).arg(QString::fromStdString(failure))));
        }
        QCOMPARE(counts.leaked, 0);
        QCOMPARE(counts.doubleReleases, 0);
        QCOMPARE(counts.released, counts.acquired);
        QVERIFY(counts.acquired > 1000); // the runs did connect, often
        qInfo("%lld events, %lld handles acquired, %lld released", counts.events, counts.acquired,
            counts.released);
    }
};

QTEST_MAIN(StateMachineTest)
#include "tst_statemachine.moc"
