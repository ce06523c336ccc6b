// Receipts through the print spooler: a real cupsd of the test's own on
// loopback, a raw queue on kestrin:/1 set up with kestrin-drawer-setup, the
// backend run by the spooler as lp, the drawer service on a private bus and
// a network printer played on 127.0.0.1.

#include "support/drawerconfigfile.h"
#include "support/fakenetworkprinter.h"
#include "support/privatecupsd.h"
#include "support/privatesystembus.h"

#include <QDBusInterface>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace {

// What the printer printed, without the service's status questions.
QByteArray printed(const FakeNetworkPrinter &printer)
{
    const std::vector<std::uint8_t> bytes = printer.received();
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()))
        .replace(QByteArray("\x10\x04\x01", 3), QByteArray());
}

// Initialise, lines of text, cut.
QByteArray receipt(const QString &name, int lines = 60)
{
    QByteArray bytes = "\x1B@";
    for (int line = 0; line < lines; ++line)
        bytes += name.toUtf8() + " line " + QByteArray::number(line) + " ....... 1.00\n";
    return bytes + "\x1DV\x00" + name.toUtf8() + " end\n";
}

} // namespace

class SpoolerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home;
    FakeNetworkPrinter printer;
    std::unique_ptr<PrivateSystemBus> systemBus;
    std::unique_ptr<PrivateCupsd> cupsd;

    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("private")); }
    std::unique_ptr<QDBusInterface> drawer1() const
    {
        namespace names = drawerdriver::bus;
        return std::make_unique<QDBusInterface>(QString::fromLatin1(names::ServiceName),
            QString::fromStdString(names::drawerPath(1)),
            QString::fromLatin1(names::DrawerInterface), bus());
    }

    // Prints the bytes through the queue; the spooler's job id.
    QString submit(const QByteArray &bytes, const QString &user = QStringLiteral("root"))
    {
        const QString output = cupsd
                                   ->run({QStringLiteral("lp"), QStringLiteral("-d"),
                                             QStringLiteral("till"), QStringLiteral("-o"),
                                             QStringLiteral("raw"), QStringLiteral("-U"), user},
                                       bytes)
                                   .output;
        return QRegularExpression(QStringLiteral("request id is (\\S+)")).match(output).captured(1);
    }

    bool completed(const QString &job)
    {
        return cupsd
            ->run({QStringLiteral("lpstat"), QStringLiteral("-W"), QStringLiteral("completed"),
                QStringLiteral("-o"), QStringLiteral("till")})
            .output.contains(job + QLatin1Char(' '));
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0 || !::getpwnam("lp"))
            QSKIP("The spooler runs its backends as lp: the test runs as root");
        // The spooler's account passes through to the bus's socket.
        QVERIFY(QFile::setPermissions(
            home.path(), QFile::permissions(home.path()) | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(writeDrawerConfig(home,
            QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\n")
                .arg(QString::fromStdString(printer.address()))));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("STATE_DIRECTORY"), home.path());
        systemBus = std::make_unique<PrivateSystemBus>();
        QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address.toLocal8Bit());
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("private"))
                    .isConnected());
        cupsd = std::make_unique<PrivateCupsd>();
        failed = cupsd->start(home.filePath(QStringLiteral("cups")), QStringLiteral(BACKEND),
            systemBus->address, home.filePath(QStringLiteral("drawers.conf")));
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        // The spooler finds the drawer's printer, and the tool makes its queue.
        QVERIFY(cupsd->run({QStringLiteral("lpinfo"), QStringLiteral("-v")})
                    .output.contains(QStringLiteral("direct kestrin:/1")));
        const PrivateCupsd::Run setup = cupsd->run({QStringLiteral(SETUP_TOOL),
            QStringLiteral("printer"), QStringLiteral("1"), QStringLiteral("till")});
        QVERIFY2(setup.exit == 0, qPrintable(setup.output));
        QCOMPARE(
            cupsd->run({QStringLiteral("lpstat"), QStringLiteral("-v"), QStringLiteral("till")})
                .output.trimmed(),
            QStringLiteral("device for till: kestrin:/1"));
    }

    void cleanupTestCase()
    {
        cupsd.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("private"));
        systemBus.reset();
    }

    // Receipts arrive whole and in order; a kick inside one leaves a row
    // naming the job's user, as the spooler named it, and its job id.
    void receiptsPrintInOrderWithTheirKicksRecorded()
    {
        const QByteArray before = printed(printer);
        const int kicks = printer.kicks();
        QByteArray expected;
        QStringList jobs;
        for (int i = 0; i < 5; ++i) {
            const QByteArray bytes = receipt(QStringLiteral("receipt %1").arg(i))
                + (i == 2 ? QByteArray("\x1Bp\x00\x19\xFA", 5) : QByteArray());
            expected += bytes;
            jobs << submit(bytes, QStringLiteral("cashier%1").arg(i));
        }
        QTRY_COMPARE_WITH_TIMEOUT(printed(printer).mid(before.size()), expected, 20000);
        for (const QString &job : jobs)
            QTRY_VERIFY(!job.isEmpty() && completed(job));
        QCOMPARE(printer.kicks(), kicks + 1);
        QProcess ctl;
        ctl.start(
            QStringLiteral(DRAWER_CTL), {QStringLiteral("history"), QStringLiteral("--json")});
        QVERIFY(ctl.waitForFinished());
        int rows = 0;
        for (const QByteArray &line : ctl.readAllStandardOutput().split('\n'))
            rows += line.contains(R"("event":"kick")") && line.contains("cashier2")
                && line.contains(jobs[2].toUtf8() + ':');
        QCOMPARE(rows, 1);
    }

    // On a printer that takes a receipt as slowly as a real one, a drawer
    // opened by hand while it prints shows on the bus before it ends, and a
    // kick asked for meanwhile goes out whole between two of its commands
    // (here, characters of its text), behind no more of the receipt than
    // the printer's own buffer holds: not behind all that the kernel would
    // queue for the connection.
    void kickAndDrawerDuringAReceipt()
    {
        // The printer's receive buffer: 4 kB, which the kernel doubles.
        constexpr qsizetype PrinterBuffer = 8 * 1024;
        printer.bytesPerSecond = 20000;
        auto restore
            = qScopeGuard([this] { printer.bytesPerSecond = 0, printer.sensorHigh = false; });
        const qsizetype before = printed(printer).size();
        const QByteArray bytes = receipt(QStringLiteral("slow"), 2000);
        QVERIFY(!submit(bytes).isEmpty());
        QTRY_VERIFY(printed(printer).size() > before + 2000);
        printer.sensorHigh = true;
        QTRY_VERIFY(drawer1()->property("Open").toBool());
        const qsizetype asked = printed(printer).size() - before;
        QVERIFY2(asked < bytes.size() / 2, qPrintable(QString::number(asked)));
        QCOMPARE(drawer1()->call(QStringLiteral("Open"), QStringLiteral("during a receipt")).type(),
            QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(printed(printer).endsWith("slow end\n"), 30000);
        const QByteArray all = printed(printer).mid(before);
        const qsizetype kick = all.indexOf(QByteArray("\x1Bp\x00", 3));
        QCOMPARE(all.left(kick) + all.mid(kick + 5), bytes);
        QVERIFY2(kick - asked < PrinterBuffer, qPrintable(QString::number(kick - asked)));
    }

    // The spooler keeps the job while the service is away, and it prints
    // once when the service is back.
    void jobWaitsForTheServiceAndPrintsOnce()
    {
        QVERIFY(systemBus->setActivatable(false));
        if (const qint64 pid = systemBus->servicePid())
            ::kill(pid_t(pid), SIGTERM);
        QTRY_COMPARE(systemBus->servicePid(), qint64(0));
        const QByteArray bytes = receipt(QStringLiteral("while away"), 10);
        const qsizetype logged = cupsd->log().size();
        const QString job = submit(bytes);
        QTRY_VERIFY_WITH_TIMEOUT(
            cupsd->log().mid(logged).contains(QLatin1String("the job waits")), 10000);
        QVERIFY(!job.isEmpty() && !completed(job) && !printed(printer).contains(bytes));
        QVERIFY(systemBus->setActivatable(true));
        QTRY_VERIFY_WITH_TIMEOUT(completed(job), 20000);
        QTRY_COMPARE(printed(printer).count(bytes), 1);
    }
};

QTEST_GUILESS_MAIN(SpoolerTest)
#include "tst_spooler.moc"
