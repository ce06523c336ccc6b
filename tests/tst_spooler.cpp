// Receipts through the print spooler: a real cupsd of the test's own on
// loopback, a raw queue on kestrin:/1 set up with kestrin-drawer-setup, the
// backend run by the spooler as lp, the drawer service on a private bus and
// a network printer played on 127.0.0.1.

#include "support/fakenetworkprinter.h"
#include "support/privatecupsd.h"
#include "support/privatesystembus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace {

// What the printer printed: its bytes without the service's status
// questions between the jobs' commands.
QByteArray printed(const FakeNetworkPrinter &printer)
{
    const std::vector<std::uint8_t> bytes = printer.received();
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()))
        .replace(QByteArray("\x10\x04\x01", 3), QByteArray());
}

// A receipt of a few kilobytes: initialise, lines of text, cut.
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

    // Prints the bytes through the queue as user; the spooler's job id.
    QString submit(const QByteArray &bytes, const QString &title, const QString &user = {})
    {
        QStringList command {QStringLiteral("lp"), QStringLiteral("-d"), QStringLiteral("till"),
            QStringLiteral("-o"), QStringLiteral("raw"), QStringLiteral("-t"), title};
        if (!user.isEmpty())
            command << QStringLiteral("-U") << user;
        const PrivateCupsd::Run run = cupsd->run(command, bytes);
        return QRegularExpression(QStringLiteral("request id is (\\S+)"))
            .match(run.output)
            .captured(1);
    }

    QVariant property(const char *name)
    {
        QDBusMessage get
            = QDBusMessage::createMethodCall(QString::fromLatin1(drawerdriver::bus::ServiceName),
                QString::fromStdString(drawerdriver::bus::drawerPath(1)),
                QString::fromLatin1(drawerdriver::bus::PropertiesInterface), QStringLiteral("Get"));
        get << QString::fromLatin1(drawerdriver::bus::DrawerInterface) << QString::fromLatin1(name);
        return bus().call(get).arguments().value(0).value<QDBusVariant>().variant();
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
        QVERIFY(home.isValid());
        // The spooler's account passes through to the bus's socket.
        QVERIFY(QFile::setPermissions(
            home.path(), QFile::permissions(home.path()) | QFile::ReadOther | QFile::ExeOther));
        const QString conf = home.filePath(QStringLiteral("drawers.conf"));
        QFile file(conf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\n")
                       .arg(QString::fromStdString(printer.address()))
                       .toUtf8());
        file.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), conf);
        environment.insert(QStringLiteral("STATE_DIRECTORY"), home.path());
        systemBus = std::make_unique<PrivateSystemBus>();
        QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address.toLocal8Bit());
        qputenv("KESTRIN_DRAWERS_CONF", conf.toLocal8Bit());
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("private"))
                    .isConnected());

        cupsd = std::make_unique<PrivateCupsd>();
        failed = cupsd->start(home.filePath(QStringLiteral("cups")), QStringLiteral(BACKEND),
            systemBus->address, conf);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        // The spooler finds the drawer's printer, and the tool makes its queue.
        QVERIFY(cupsd->run({QStringLiteral("lpinfo"), QStringLiteral("-v")})
                    .output.contains(QStringLiteral("direct kestrin:/1")));
        QProcess setup;
        setup.setProcessEnvironment(cupsd->environment());
        setup.start(QStringLiteral(SETUP_TOOL),
            {QStringLiteral("printer"), QStringLiteral("1"), QStringLiteral("till")});
        QVERIFY(setup.waitForFinished());
        QVERIFY2(setup.exitCode() == 0, setup.readAllStandardError().constData());
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

    // Receipts sent one after another arrive whole and in their order.
    void receiptsPrintWholeAndInOrder()
    {
        const QByteArray before = printed(printer);
        QByteArray expected;
        QStringList jobs;
        for (int i = 0; i < 5; ++i) {
            const QByteArray bytes = receipt(QStringLiteral("receipt %1").arg(i));
            expected += bytes;
            jobs << submit(bytes, QStringLiteral("Receipt %1").arg(i));
            QVERIFY(!jobs.last().isEmpty());
        }
        QTRY_COMPARE_WITH_TIMEOUT(printed(printer).mid(before.size()), expected, 20000);
        for (const QString &job : jobs)
            QTRY_VERIFY(completed(job));
    }

    // A job that opens the drawer leaves a kick row naming the job's user,
    // as the spooler named it, and the spooler's job id.
    void kickInsideAJobIsRecorded()
    {
        const int kicks = printer.kicks();
        const QByteArray bytes = receipt(QStringLiteral("sale"), 5) + "\x1Bp\x00\x19\xFA";
        const QString job = submit(bytes, QStringLiteral("Sale 42"), QStringLiteral("cashier7"));
        QVERIFY(!job.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(printer.kicks(), kicks + 1, 10000);
        QTRY_VERIFY(completed(job));

        QProcess ctl;
        ctl.start(QStringLiteral(DRAWER_CTL),
            {QStringLiteral("history"), QStringLiteral("--drawer"), QStringLiteral("1"),
                QStringLiteral("--json")});
        QVERIFY(ctl.waitForFinished());
        int found = 0;
        for (const QByteArray &line : ctl.readAllStandardOutput().split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            const QString text = QString::fromUtf8(line);
            if (row.value(QStringLiteral("event")).toString() == QLatin1String("kick")
                && text.contains(QLatin1String("cashier7")) && text.contains(job))
                ++found;
        }
        QCOMPARE(found, 1);
    }

    // On a printer that takes a receipt as slowly as a real one, a drawer
    // opened by hand while it prints shows on the bus before it ends, and a
    // kick asked for meanwhile goes out whole between two of its commands
    // (here, characters of its text): each behind no more of the receipt
    // than the printer's own buffer and a kilobyte, not behind all that
    // the kernel would queue for the connection.
    void kickAndDrawerDuringAReceipt()
    {
        // The printer's receive buffer (4 kB, which the kernel doubles), the
        // service's kilobyte, and what prints while the test asks the bus.
        constexpr qsizetype ReceiptLag = 16 * 1024;
        printer.bytesPerSecond = 20000;
        auto restore = qScopeGuard([this] {
            printer.bytesPerSecond = 0;
            printer.sensorHigh = false;
        });
        const qsizetype before = printed(printer).size();
        const QByteArray bytes = receipt(QStringLiteral("slow"), 2000);
        QVERIFY(!submit(bytes, QStringLiteral("Slow")).isEmpty());
        QTRY_VERIFY(printed(printer).size() > before + 2000);
        const qsizetype changed = printed(printer).size() - before;
        printer.sensorHigh = true;
        QTRY_VERIFY(property(drawerdriver::bus::OpenProperty).toBool());
        const qsizetype asked = printed(printer).size() - before;
        QVERIFY2(asked - changed < ReceiptLag,
            qPrintable(QStringLiteral("changed at %1, shown at %2").arg(changed).arg(asked)));
        const QDBusMessage open = bus().call(
            QDBusMessage::createMethodCall(QString::fromLatin1(drawerdriver::bus::ServiceName),
                QString::fromStdString(drawerdriver::bus::drawerPath(1)),
                QString::fromLatin1(drawerdriver::bus::DrawerInterface), QStringLiteral("Open"))
            << QStringLiteral("during a receipt"));
        QCOMPARE(open.type(), QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(printed(printer).endsWith("slow end\n"), 30000);
        const QByteArray all = printed(printer).mid(before);
        const qsizetype kick = all.indexOf(QByteArray("\x1Bp\x00", 3));
        QCOMPARE(all.left(kick) + all.mid(kick + 5), bytes);
        QVERIFY2(kick - asked < ReceiptLag,
            qPrintable(QStringLiteral("asked at %1, kicked at %2").arg(asked).arg(kick)));
    }

    // With the service away, the spooler keeps the job; once the service
    // is back, the job prints, once.
    void jobWaitsForTheServiceAndPrintsOnce()
    {
        QVERIFY(systemBus->setActivatable(false));
        if (const qint64 pid = systemBus->servicePid())
            ::kill(pid_t(pid), SIGTERM);
        QTRY_VERIFY(!bus()
                         .interface()
                         ->isServiceRegistered(QString::fromLatin1(drawerdriver::bus::ServiceName))
                         .value());
        const QByteArray bytes = receipt(QStringLiteral("while away"), 10);
        const qsizetype logged = cupsd->log().size();
        const QString job = submit(bytes, QStringLiteral("While away"));
        QVERIFY(!job.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            cupsd->log().mid(logged).contains(QLatin1String("the job waits")), 10000);
        QVERIFY(!printed(printer).contains(bytes));
        QVERIFY(!completed(job));

        QVERIFY(systemBus->setActivatable(true));
        QTRY_VERIFY_WITH_TIMEOUT(completed(job), 20000);
        QCOMPARE(printed(printer).count(bytes), 1);
    }
};

QTEST_GUILESS_MAIN(SpoolerTest)
#include "tst_spooler.moc"
