// The built program as a user starts it: with no drawer library, with a
// library that lacks a function, and on the simulated drawers until it is
// told to terminate.

#include "support/simulatedinstall.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString BinDir = QStringLiteral(KESTRIN_BIN_DIR);
const QString ProbePath = QStringLiteral(FATAL_PROBE);
const QString FullLibraryDir = QStringLiteral(TESTLIB_FULL_DIR);
const QString NoOpenLibraryDir = QStringLiteral(TESTLIB_NOOPEN_DIR);
const QString LibraryFile = QStringLiteral("libKestrinPOS_USB.so");

QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    return env;
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void missingLibraryEndsTheProgramAtTheFirstTick_data()
    {
        QTest::addColumn<bool>("onLoaderPath");
        QTest::newRow("working directory only") << false;
        QTest::newRow("on the loader's path too") << true;
    }

    // The program alone in a folder, started from a folder that holds a
    // library: the planted one must not be taken, not even from the loader's
    // own path.
    void missingLibraryEndsTheProgramAtTheFirstTick()
    {
        QFETCH(bool, onLoaderPath);
        QTemporaryDir home;
        QTemporaryDir work;
        const QString program = home.filePath(QStringLiteral("kestrin-drawer"));
        QVERIFY(QFile::copy(QDir(BinDir).filePath(QStringLiteral("kestrin-drawer")), program));
        QVERIFY(
            QFile::copy(QDir(FullLibraryDir).filePath(LibraryFile), work.filePath(LibraryFile)));
        const QString log = work.filePath(QStringLiteral("calls.log"));
        QProcessEnvironment env = headless();
        env.insert(QStringLiteral("KESTRIN_TESTLIB_LOG"), log);
        if (onLoaderPath)
            env.insert(QStringLiteral("LD_LIBRARY_PATH"), work.path());

        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(work.path());
        process.start(program, {});
        QTRY_VERIFY_WITH_TIMEOUT(
            process.state() == QProcess::NotRunning || QFile::exists(log), 20000);
        QVERIFY2(!QFile::exists(log), "a planted library was called");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QString error = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(error.contains(LibraryFile), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("No such file")), qPrintable(error));
    }

    void missingFunctionEndsTheProgramAtItsFirstCallWithNothingAfter()
    {
        QTemporaryDir work;
        const QString log = work.filePath(QStringLiteral("calls.log"));
        QProcessEnvironment env = headless();
        env.insert(QStringLiteral("KESTRIN_TESTLIB_LOG"), log);

        QProcess process;
        process.setProcessEnvironment(env);
        process.start(ProbePath, {NoOpenLibraryDir});
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 1);
        const QString error = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(error.contains(QLatin1String("OpenDrawer")), qPrintable(error));

        // It ran normally up to the click, and the click was the last thing.
        const QStringList calls = readLines(log);
        QVERIFY(calls.size() >= 3);
        QCOMPARE(calls.first(), "GetDrawerHandle 0");
        QCOMPARE(calls.last(), "click");
    }

    void terminationGivesTheHandleBackOnce()
    {
        SimulatedInstall install;
        QVERIFY(install.tool({"trace", "on"}));
        QVERIFY(install.start());
        // Connected, and polled at least once after the first refresh.
        QTRY_VERIFY_WITH_TIMEOUT(install.count(QStringLiteral("GetDrawerStatus")) >= 3, 10000);
        QVERIFY(install.terminate());

        const QList<TraceCall> calls = install.trace();
        QList<TraceCall> acquired;
        QList<TraceCall> released;
        for (const TraceCall &call : calls) {
            if (call.function == QLatin1String("GetDrawerHandle") && call.result.toInt() > 0)
                acquired << call;
            if (call.function == QLatin1String("ReleaseDrawerHandle"))
                released << call;
        }
        QCOMPARE(acquired.size(), 1);
        QCOMPARE(released.size(), 1);
        QCOMPARE(released.first().argument, acquired.first().result.toLongLong());
        QCOMPARE(calls.last().function, "ReleaseDrawerHandle");
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
