// The drawer service's history, its left-open alarm and the reports made
// from it: the service on a private bus against printers played on
// 127.0.0.1 and on a pseudo-terminal, writing a real SQLite file; read back
// through kestrin-drawer-ctl; the report's page in headless Chromium.

#include "history.h"
#include "historywriter.h"
#include "refusals.h"
#include "report.h"
#include "support/childopens.h"
#include "support/etcfiles.h"
#include "support/fakenetworkprinter.h"
#include "support/fakenotifications.h"
#include "support/privatesystembus.h"
#include "support/ptyprinter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sqlite3.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <numeric>

#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
namespace kind = drawerdriver::bus::event;
const QString ServiceName = QStringLiteral("org.kestrin.Drawers1");
const QString ManagerPath = QStringLiteral("/org/kestrin/Drawers1");
const QString ManagerInterface = QStringLiteral("org.kestrin.Drawers1.Manager");
const QString DrawerInterface = QStringLiteral("org.kestrin.Drawers1.Drawer");
constexpr std::int64_t DayUs = 86'400'000'000;
// The web bridge's user, of the bind-mounted /etc/passwd, a member of
// kestrin-drawer (64000).
constexpr uid_t BridgeUid = 64003;

QString drawerPath(int number)
{
    return QStringLiteral("/org/kestrin/Drawers1/drawer%1").arg(number);
}

std::int64_t nowUs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

// A deadline for OpenBefore, CLOCK_MONOTONIC's microseconds.
quint64 deadlineIn(std::chrono::milliseconds time)
{
    return quint64(std::chrono::duration_cast<std::chrono::microseconds>(
        (std::chrono::steady_clock::now() + time).time_since_epoch())
                       .count());
}
} // namespace

class HistoryTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home;
    QString state; // the service's STATE_DIRECTORY; a small tmpfs as root
    bool onTmpfs = false;
    FakeNetworkPrinter printer; // drawer 1: sensor, alarm after a second
    FakeNetworkPrinter second; // drawer 2
    PtyPrinter serial; // drawer 4
    std::unique_ptr<PrivateSystemBus> systemBus;
    QString configText;
    QString slowSync; // the milliseconds each of the service's syncs takes
    bool withUsers = false;

    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("history")); }

    // Open, or OpenBefore the deadline.
    static QDBusMessage openCall(int number, const QString &reason, std::optional<quint64> before)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, drawerPath(number),
            DrawerInterface, QLatin1String(before ? "OpenBefore" : "Open"));
        call.setArguments(before ? QVariantList {reason, QVariant::fromValue(qulonglong(*before))}
                                 : QVariantList {reason});
        return call;
    }

    QDBusMessage open(int number, const QString &reason, std::optional<quint64> before = {})
    {
        return bus().call(openCall(number, reason, before), QDBus::Block, 5000);
    }

    // Opens the drawer, waiting out the pulse of an earlier kick.
    QDBusMessage openWhenFree(int number, const QString &reason, std::optional<quint64> before = {})
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const QDBusMessage reply = open(number, reason, before);
            if (!reply.errorName().endsWith(QLatin1String("Busy")) || clock.elapsed() > 2000)
                return reply;
            QTest::qWait(20);
        }
    }

    bool historyWorking()
    {
        QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, ManagerPath,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call.setArguments({ManagerInterface, QStringLiteral("HistoryWorking")});
        return bus()
            .call(call, QDBus::Block, 5000)
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant()
            .toBool();
    }

    uint servicePid() { return bus().interface()->servicePid(ServiceName).value(); }

    static bool writeFile(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(text) == text.size();
    }

    // drawers.conf with more lines in [service], read again at once.
    bool reconfigure(const QString &serviceLines)
    {
        QString text = configText;
        text.replace(QStringLiteral("[service]\n"), QStringLiteral("[service]\n") + serviceLines);
        return writeFile(home.filePath(QStringLiteral("drawers.conf")), text.toUtf8())
            && bus()
                   .call(QDBusMessage::createMethodCall(
                       ServiceName, ManagerPath, ManagerInterface, QStringLiteral("Reload")))
                   .type()
            == QDBusMessage::ReplyMessage;
    }

    // Each row and its repeats: the refusals it stands for.
    static int counted(const QList<QJsonObject> &rows)
    {
        int count = 0;
        for (const QJsonObject &row : rows)
            count += 1 + row.value(QStringLiteral("repeats")).toInt();
        return count;
    }

    void stopService(int signal)
    {
        const uint pid = servicePid();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), signal), 0);
        QTRY_VERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        // Ended, its files closed: gone, or a zombie until the bus reaps it.
        const auto ended = [pid] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        QTRY_VERIFY(ended());
    }

    // kestrin-drawer-ctl's output and exit code.
    QPair<QByteArray, int> ctl(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral(DRAWER_CTL), arguments);
        process.waitForFinished(20000);
        return {process.readAllStandardOutput(), process.exitCode()};
    }

    // The record through kestrin-drawer-ctl history --json.
    QList<QJsonObject> history(const QStringList &options = {})
    {
        QList<QJsonObject> rows;
        const auto [output, code]
            = ctl(QStringList {QStringLiteral("history"), QStringLiteral("--json")} + options);
        for (const QByteArray &line : output.split('\n'))
            if (!line.isEmpty())
                rows.append(QJsonDocument::fromJson(line).object());
        return code == 0 ? rows : QList<QJsonObject> {};
    }

    // The service's writer idle (a kick just fired has its end), then each
    // sync of the disk as long as syncMs says.
    bool writerIdle(const QByteArray &syncMs)
    {
        writeFile(slowSync, "0");
        const std::int64_t start = nowUs();
        return openWhenFree(3, QStringLiteral("idle"), deadlineIn(std::chrono::seconds(20))).type()
            == QDBusMessage::ReplyMessage
            && QTest::qWaitFor([&] {
                   return rowsSince(start, 3, QLatin1String(kind::Kick)).value(0).value(u"state")
                       == QLatin1String("delivered");
               })
            && writeFile(slowSync, syncMs);
    }

    // What a writer of its own wrote to the file, once it ended.
    static std::vector<drawerservice::Event> written(
        const std::string &path, const std::function<void(drawerservice::HistoryWriter &)> &use)
    {
        sd_event *loop = nullptr;
        sd_event_new(&loop);
        std::optional<drawerservice::HistoryWriter> writer(std::in_place, loop, path, [] {});
        use(*writer);
        writer.reset(); // writes what was asked for, then ends
        sd_event_unref(loop);
        std::vector<drawerservice::Event> rows;
        drawerservice::History(path, drawerservice::History::Mode::Read).query({}, rows);
        return rows;
    }

    // The rows from that time on.
    static QList<QJsonObject> since(const QList<QJsonObject> &rows, std::int64_t startUs)
    {
        QList<QJsonObject> matching;
        for (const QJsonObject &row : rows)
            if (timeUs(row) >= startUs / 1000 * 1000)
                matching.append(row);
        return matching;
    }

    // Rows of the drawer (0: every drawer) since the start, of the event
    // (empty: every event).
    QList<QJsonObject> rowsSince(std::int64_t start, int drawer, const QString &event = {})
    {
        QStringList options {QStringLiteral("--since"), QStringLiteral("1h")};
        if (drawer)
            options << QStringLiteral("--drawer") << QString::number(drawer);
        const QList<QJsonObject> rows = since(history(options), start);
        return event.isEmpty() ? rows : only(rows, event);
    }

    static std::int64_t timeUs(const QJsonObject &row)
    {
        return QDateTime::fromString(
                   row.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs)
                   .toMSecsSinceEpoch()
            * 1000;
    }

    static QList<QJsonObject> only(const QList<QJsonObject> &rows, const QString &event)
    {
        QList<QJsonObject> matching;
        for (const QJsonObject &row : rows)
            if (row.value(QStringLiteral("event")).toString() == event)
                matching.append(row);
        return matching;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        // The bus's socket is in it, for the test's other users too.
        QVERIFY(QFile::setPermissions(
            home.path(), QFile::permissions(home.path()) | QFile::ExeGroup | QFile::ExeOther));
        state = home.filePath(QStringLiteral("state"));
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("state")));
        // A small disk of its own, which the tests may fill or make
        // read-only, in this process's mount namespace only.
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            onTmpfs = ::mount("tmpfs", QFile::encodeName(state).constData(), "tmpfs", 0,
                          "size=16m,mode=0700")
                == 0;
            withUsers = extendEtcFile(QStringLiteral("passwd"), home.path(),
                            QStringLiteral("kestrin-drawer-web:x:%1:%1::/nonexistent:"
                                           "/usr/sbin/nologin\n")
                                .arg(BridgeUid))
                && extendEtcFile(QStringLiteral("group"), home.path(),
                    QStringLiteral("kestrin-drawer:x:64000:kestrin-drawer-web\n"
                                   "kestrin-drawer-web:x:%1:\n")
                        .arg(BridgeUid));
        }

        const QString serialLink = home.filePath(QStringLiteral("serial"));
        QVERIFY(QFile::link(QString::fromStdString(serial.device), serialLink));
        QFile config(home.filePath(QStringLiteral("drawers.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        configText = QStringLiteral("[service]\nkeep-days = 30\n"
                                    "[drawer 1]\ndevice = %1\nsensor = open-high\nhold = yes\n"
                                    "alarm-after = 1\npulse-on = 10\npulse-off = 10\n"
                                    "[drawer 2]\ndevice = %2\nhold = yes\n"
                                    "[drawer 3]\ndevice = %1\nconnector = pin5\n"
                                    "pulse-on = 10\npulse-off = 10\n"
                                    "[drawer 4]\ndevice = %3\nhold = no\n")
                         .arg(QString::fromStdString(printer.address()),
                             QString::fromStdString(second.address()), serialLink);
        config.write(configText.toUtf8());
        config.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), config.fileName());
        environment.insert(QStringLiteral("STATE_DIRECTORY"), state);
        // The service's syncs take as long as the file says.
        slowSync = home.filePath(QStringLiteral("slow-sync"));
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SLOW_SYNC_LIBRARY));
        environment.insert(QStringLiteral("KESTRIN_SLOW_SYNC"), slowSync);
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
            environment.value(QStringLiteral("ASAN_OPTIONS"))
                + QStringLiteral(":verify_asan_link_order=0"));
        systemBus = std::make_unique<PrivateSystemBus>();
        const QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address.toLocal8Bit());
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("history"))
                    .isConnected());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("history"));
        systemBus.reset();
        if (onTmpfs)
            ::umount2(QFile::encodeName(state).constData(), MNT_DETACH);
    }

    // Rows older than keep-days (30 here) go when the service starts.
    void retentionDeletesOldRowsOnly()
    {
        QVERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        {
            drawerservice::History store((state + QStringLiteral("/history.sqlite")).toStdString());
            for (const int days : {400, 31, 29, 1}) {
                drawerservice::Event event = drawerservice::newEvent(1, kind::Kick);
                event.timeUs -= days * DayUs;
                event.reason = std::to_string(days) + " days ago";
                QVERIFY(store.append(event));
            }
        }
        QCOMPARE(open(1, QStringLiteral("first")).type(), QDBusMessage::ReplyMessage);
        QStringList kept;
        for (const QJsonObject &row :
            only(history({QStringLiteral("--until"), QStringLiteral("1h")}),
                QLatin1String(kind::Kick)))
            kept.append(row.value(QStringLiteral("reason")).toString());
        QCOMPARE(kept, (QStringList {QStringLiteral("29 days ago"), QStringLiteral("1 days ago")}));
    }

    // A morning on the fake printers: every kind of event lands with who,
    // why and how long; the alarm fires, repeats and ends; watch shows it.
    void everyEventLands()
    {
        QProcess watch;
        watch.start(
            QStringLiteral(DRAWER_CTL), {QStringLiteral("watch"), QStringLiteral("--json")});
        QVERIFY(watch.waitForReadyRead(5000));
        const std::int64_t start = nowUs();
        const int kicksBefore = printer.kicks();

        const QDBusMessage first = openWhenFree(1, QStringLiteral("sale 17"));
        QVERIFY2(first.type() == QDBusMessage::ReplyMessage, qPrintable(first.errorMessage()));
        QCOMPARE(open(2, QStringLiteral("refund")).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(open(2, QStringLiteral("too soon")).errorName(),
            QStringLiteral("org.kestrin.Drawers1.Error.Busy"));
        QCOMPARE(open(5, QStringLiteral("nowhere")).errorName(),
            QStringLiteral("org.kestrin.Drawers1.Error.NotConfigured"));
        QTRY_COMPARE(printer.kicks(), kicksBefore + 1);

        printer.sensorHigh = true;
        QByteArray watched;
        const auto alarms = [&] {
            watched += watch.readAllStandardOutput();
            return watched.count("\"event\":\"LeftOpen\"");
        };
        QTRY_COMPARE_WITH_TIMEOUT(alarms(), 2, 4000);
        printer.sensorHigh = false;
        QTRY_COMPARE(only(history({QStringLiteral("--drawer"), QStringLiteral("1")}),
                         QLatin1String(kind::Closed))
                         .size(),
            1);
        // Proving that no alarm follows the closing takes waiting past the
        // time the next one would have come.
        QTest::qWait(1500);
        QCOMPARE(alarms(), 2);
        QVERIFY(watched.contains("\"drawer\":1,\"present\":true,\"open\":true,"));
        watch.terminate();
        QVERIFY(watch.waitForFinished());

        second.vanish();
        QTRY_VERIFY(open(2, QStringLiteral("while gone"))
                        .errorName()
                        .endsWith(QLatin1String("NotPresent")));
        second.comeBack();
        QTRY_COMPARE_WITH_TIMEOUT(only(history({QStringLiteral("--drawer"), QStringLiteral("2")}),
                                      QLatin1String(kind::Back))
                                      .size(),
            1, 3000);
        // Taken while the last answer is still believed, and then never
        // delivered: another program holds the device.
        const int other = ::open(serial.device.c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        QCOMPARE(open(4, QStringLiteral("receipt printing")).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(only(history({QStringLiteral("--drawer"), QStringLiteral("4")}),
                                      QLatin1String(kind::KickUndelivered))
                                      .size(),
            1, 5000);
        ::close(other);
        stopService(SIGTERM);
        QCOMPARE(open(3, QStringLiteral("after a restart")).type(), QDBusMessage::ReplyMessage);

        // What each row says: a caller is this process, a sensor its device.
        const passwd *me = ::getpwuid(::geteuid());
        const QJsonObject caller {{QStringLiteral("uid"), int(::geteuid())},
            {QStringLiteral("user"), QString::fromLocal8Bit(me->pw_name)},
            {QStringLiteral("pid"), int(::getpid())},
            {QStringLiteral("program"), QCoreApplication::applicationFilePath()}};
        const QJsonObject device {{QStringLiteral("uid"), QJsonValue()},
            {QStringLiteral("program"), QString::fromStdString(printer.address())}};
        struct Expected {
            const char *event;
            int drawer;
            QString reason;
            QJsonObject who;
            double minSeconds = -1;
        };
        const QList<Expected> expected {{kind::Kick, 1, QStringLiteral("sale 17"), caller},
            {kind::Kick, 2, QStringLiteral("refund"), caller},
            {kind::KickRefused, 2, QStringLiteral("busy: too soon"), caller},
            {kind::KickRefused, 5, QStringLiteral("not configured: nowhere"), caller},
            {kind::Opened, 1, QString(), device}, {kind::LeftOpen, 1, QString(), device, 1},
            {kind::LeftOpen, 1, QString(), device, 2}, {kind::Closed, 1, QString(), device, 2},
            {kind::Gone, 2, QString(), {}},
            {kind::KickRefused, 2, QStringLiteral("not present: while gone"), caller},
            {kind::Back, 2, QString(), {}},
            {kind::Kick, 4, QStringLiteral("receipt printing"), caller},
            {kind::KickUndelivered, 4, QString(), {}}, {kind::ServiceStop, 0, QString(), {}},
            {kind::ServiceStart, 0, QString(), {}},
            {kind::Kick, 3, QStringLiteral("after a restart"), caller}};
        const QList<QJsonObject> rows
            = since(history({QStringLiteral("--since"), QStringLiteral("1h")}), start);
        qsizetype at = 0;
        for (const Expected &row : expected) {
            // In this order, among others (sensor changes of other drawers).
            while (at < rows.size()
                && (rows[at].value(QStringLiteral("event")).toString() != QLatin1String(row.event)
                    || rows[at].value(QStringLiteral("drawer")).toInt() != row.drawer))
                ++at;
            QVERIFY2(at < rows.size(),
                qPrintable(QStringLiteral("%1 of drawer %2")
                               .arg(QLatin1String(row.event))
                               .arg(row.drawer)));
            const QJsonObject &got = rows[at++];
            if (!row.reason.isEmpty())
                QCOMPARE(got.value(QStringLiteral("reason")).toString(), row.reason);
            for (auto key = row.who.begin(); key != row.who.end(); ++key)
                QCOMPARE(got.value(key.key()), key.value());
            if (row.minSeconds >= 0) {
                QVERIFY(got.value(QStringLiteral("seconds")).toDouble() >= row.minSeconds);
                QVERIFY(got.value(QStringLiteral("seconds")).toDouble() < row.minSeconds + 1);
            } else {
                QVERIFY(got.value(QStringLiteral("seconds")).isNull());
            }
            QVERIFY(QDateTime::fromString(
                got.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs)
                        .isValid());
        }
    }

    // Every kick answered before a SIGKILL is recorded: each round's kill
    // follows its last answer at once, so a row written after its answer
    // would be lost. Each drawer's next call goes a little over its pulse
    // (20 ms) after its last answer, so that the calls are kicks.
    void sigkillLosesNoAcknowledgedKick()
    {
        const std::int64_t start = nowUs();
        QStringList answered;
        sd_bus *connection = nullptr;
        QVERIFY(sd_bus_open_system(&connection) >= 0);
        for (int round = 0; round < 6; ++round) {
            QCOMPARE(openWhenFree(3, QStringLiteral("warm up")).type(), QDBusMessage::ReplyMessage);
            const pid_t service = pid_t(servicePid());
            for (int call = 0; call < 25; ++call) {
                QThread::msleep(13); // drawers 1 and 3 in turn
                const QByteArray reason = "round " + QByteArray::number(round * 100 + call);
                if (sd_bus_call_method(connection, "org.kestrin.Drawers1",
                        QFile::encodeName(drawerPath(call % 2 ? 1 : 3)).constData(),
                        "org.kestrin.Drawers1.Drawer", "Open", nullptr, nullptr, "s",
                        reason.constData())
                    >= 0)
                    answered.append(QString::fromLatin1(reason));
            }
            QCOMPARE(::kill(service, SIGKILL), 0);
            QTRY_VERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        }
        sd_bus_flush_close_unref(connection);
        QVERIFY2(answered.size() > 6 * 25 / 2, qPrintable(QString::number(answered.size())));

        QSet<QString> kicks;
        for (const QJsonObject &row : rowsSince(start, 0, QLatin1String(kind::Kick)))
            kicks.insert(row.value(QStringLiteral("reason")).toString());
        for (const QString &reason : std::as_const(answered))
            QVERIFY2(kicks.contains(reason), qPrintable(reason));
    }

    // A kick inside a job is recorded for the drawer on the connector it
    // fires, not for the drawer the job was printed through.
    void jobKickNamesItsConnectorsDrawer_data()
    {
        QTest::addColumn<char>("pin");
        QTest::addColumn<int>("drawer"); // drawers 1 and 3 share the printer
        QTest::newRow("pin 2") << '\x00' << 1;
        QTest::newRow("pin 5") << '\x01' << 3;
    }
    void jobKickNamesItsConnectorsDrawer()
    {
        QFETCH(char, pin);
        QFETCH(int, drawer);
        const std::int64_t start = nowUs();
        QDBusPendingCall call = printJob(bus(), 1, QByteArray("till\n\x1bp", 7) + pin + "\x05\x05");
        call.waitForFinished();
        QVERIFY2(!call.isError(), qPrintable(call.error().message()));
        const QList<QJsonObject> rows = rowsSince(start, drawer, QLatin1String(kind::Kick));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(
            rows[0].value(QStringLiteral("user")).toString(), QStringLiteral("alice (via root)"));
        QCOMPARE(rowsSince(start, 4 - drawer, QLatin1String(kind::Kick)).size(), 0);
        const auto state = [&] {
            return rowsSince(start, drawer, QLatin1String(kind::Kick)).value(0).value(u"state");
        };
        QTRY_COMPARE(state(), QLatin1String(drawerdriver::bus::state::Delivered));
    }

    // A job waiting for its kick's row keeps its place: a job asked for
    // after it, on the same printer, prints after it.
    void jobWaitingForItsRowKeepsItsPlace()
    {
        QVERIFY(writeFile(slowSync, "300"));
        const auto fast = qScopeGuard([this] { writeFile(slowSync, "0"); });
        QDBusPendingCall first = printJob(bus(), 1, QByteArray("order A\n\x1bp\x00\x05\x05", 13));
        QDBusPendingCall second = printJob(bus(), 3, QByteArrayLiteral("order B\n"));
        for (QDBusPendingCall *call : {&first, &second}) {
            call->waitForFinished();
            QVERIFY2(!call->isError(), qPrintable(call->error().message()));
        }
        const std::vector<std::uint8_t> got = printer.received();
        const QByteArray all(reinterpret_cast<const char *>(got.data()), qsizetype(got.size()));
        QVERIFY(all.lastIndexOf("order A") < all.lastIndexOf("order B"));
    }

    // A kick inside a print job is on the disk before its bytes reach the
    // printer, even behind a slow write: a service killed the moment they
    // arrive has its row, with the job's user as the caller named it.
    void jobKickIsRecordedBeforeItPrints()
    {
        const std::int64_t start = nowUs();
        // The history opened first: a new file's own writes are no part of it.
        QVERIFY(rowsSince(start, 1, QLatin1String(kind::Kick)).isEmpty());
        QVERIFY(writeFile(slowSync, "500"));
        QVERIFY(
            open(5, QStringLiteral("a slow write first")).errorName().endsWith(u"NotConfigured"));
        const QByteArray job = QByteArrayLiteral("receipt\n\x1bp\x00\x05\x05thanks\n");
        QDBusPendingCall call = printJob(bus(), 1, job);
        const auto arrived = [&] {
            const std::vector<std::uint8_t> got = printer.received();
            return QByteArray(reinterpret_cast<const char *>(got.data()), qsizetype(got.size()))
                .contains(job.left(10));
        };
        QTRY_VERIFY(arrived());
        QCOMPARE(::kill(pid_t(servicePid()), SIGKILL), 0);
        QVERIFY(writeFile(slowSync, "0"));
        QTRY_VERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        call.waitForFinished();
        const QList<QJsonObject> rows = rowsSince(start, 1, QLatin1String(kind::Kick));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(
            rows[0].value(QStringLiteral("user")).toString(), QStringLiteral("alice (via root)"));
        QVERIFY(rows[0].value(QStringLiteral("reason")).toString().contains(u"\"receipt\""));
    }

    // 3,000 refused Opens in a burst from one caller: each answered at
    // once with its error, the first recorded with who asked, the rest
    // counted into a few rows.
    void refusalFloodIsFolded()
    {
        const std::int64_t start = nowUs();
        QList<QDBusPendingCall> calls;
        QDBusMessage call = QDBusMessage::createMethodCall(
            ServiceName, drawerPath(5), DrawerInterface, QStringLiteral("Open"));
        call.setArguments({QStringLiteral("flood")});
        for (int i = 0; i < 3000; ++i) // the bus lets a connection wait for 128 answers
            calls.append(QDBusConnection::connectToBus(
                systemBus->address, QStringLiteral("flood%1").arg(i % 30))
                             .asyncCall(call));
        for (QDBusPendingCall &answer : calls) {
            answer.waitForFinished();
            QCOMPARE(
                answer.error().name(), QStringLiteral("org.kestrin.Drawers1.Error.NotConfigured"));
        }
        const auto counted = [&] {
            int count = 0;
            for (const QJsonObject &row : rowsSince(start, 5))
                count += 1 + row.value(QStringLiteral("repeats")).toInt();
            return count;
        };
        QTRY_COMPARE(counted(), 3000);
        const QList<QJsonObject> rows = rowsSince(start, 5);
        QVERIFY2(rows.size() <= 100, qPrintable(QString::number(rows.size())));
        QCOMPARE(rows.first().value(QStringLiteral("pid")).toInt(), int(::getpid()));
    }

    // A refusal folds into its account's window within a second of the
    // window's start, and never later, however many refusals came between.
    void refusalWindowNeverStretches_data()
    {
        QTest::addColumn<QList<int>>("atMs"); // one account's refusals, after the first
        QTest::addColumn<QList<int>>("repeats"); // of each row
        QTest::newRow("within the second") << QList<int> {0, 400, 999} << QList<int> {2};
        QTest::newRow("just after it") << QList<int> {0, 500, 1000} << QList<int> {1, 0};
        QTest::newRow("a steady flood")
            << QList<int> {0, 600, 1200, 1800, 2400} << QList<int> {1, 1, 0};
        QTest::newRow("an hour later") << QList<int> {0, 3'600'000} << QList<int> {0, 0};
    }

    void refusalWindowNeverStretches()
    {
        QFETCH(QList<int>, atMs);
        QFETCH(QList<int>, repeats);
        using Folder = drawerservice::RefusalFolder;
        Folder folder;
        const std::string key = "uid 1000 drawer 5 not configured";
        const Folder::Clock::time_point first = Folder::Clock::now();
        QList<int> rows;
        const auto take = [&](std::optional<Folder::Clock::time_point> now) {
            for (const Folder::Count &count : folder.takeEnded(now))
                rows[int(count.ticket)] = int(count.repeats);
        };
        for (const int ms : atMs) {
            const auto now = first + std::chrono::milliseconds(ms);
            if (folder.fold(key, now))
                continue;
            take(now);
            folder.recorded(key, std::uint64_t(rows.size()), now);
            rows.append(0);
        }
        take(std::nullopt);
        QCOMPARE(rows, repeats);
    }

    // The fold timer wakes for the window that ends first.
    void foldTimerKeepsTheEarliestEnd()
    {
        drawerservice::RefusalFolder folder;
        const auto first = drawerservice::RefusalFolder::Clock::now();
        for (const int ms : {0, 500}) {
            folder.recorded(std::to_string(ms), 1, first + std::chrono::milliseconds(ms));
            QVERIFY(folder.fold(std::to_string(ms), first + std::chrono::milliseconds(ms)));
        }
        QVERIFY(folder.nextEnd() == first + std::chrono::seconds(1));
    }

    // While the file is locked, refusals and then a kick are asked for:
    // the kick's row comes before all but the refusal in hand.
    void kickRowOvertakesRefusals()
    {
        const std::string path = (state + QStringLiteral("/priority.sqlite")).toStdString();
        drawerservice::History {path};
        sqlite3 *other = nullptr;
        QCOMPARE(sqlite3_open(path.c_str(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        const auto rows = written(path, [other](drawerservice::HistoryWriter &writer) {
            for (int i = 0; i < 100; ++i)
                writer.appendRefusal(
                    drawerservice::newEvent(5, kind::KickRefused), std::to_string(i));
            writer.appendKick(drawerservice::newEvent(1, kind::Kick), {});
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        });
        sqlite3_close(other);
        QCOMPARE(rows.size(), 101u);
        QVERIFY2(rows.back().id <= 2, qPrintable(QString::number(rows.back().id)));
    }

    // A refusal held for want of room (no reserve can be made), then the
    // room back and a new one of its kind: one row, or two in time order.
    void heldRefusalKeepsItsPlace()
    {
        const std::string path = (state + QStringLiteral("/held.sqlite")).toStdString();
        const QString reserve = QString::fromStdString(path + ".reserve");
        QVERIFY(QDir().mkpath(reserve));
        const auto rows = written(path, [&](drawerservice::HistoryWriter &writer) {
            drawerservice::Event refusal = drawerservice::newEvent(5, kind::KickRefused);
            writer.appendRefusal(refusal, "key");
            QTRY_COMPARE(writer.unwrittenRefusals(), 1u);
            QVERIFY(QDir().rmdir(reserve));
            refusal.timeUs += 2'000'000;
            writer.appendRefusal(refusal, "key");
            QTRY_COMPARE(writer.unwrittenRefusals(), 0u);
        });
        QCOMPARE(rows.front().repeats + rows.size(), 2u);
        QCOMPARE(rows.front().id, 1);
    }

    // The keep-days trim (400) with the clock 500 days ahead: no row within
    // 400 days of the newest goes, nor more than half the rows.
    void clockAheadKeepsTheRecord_data()
    {
        QTest::addColumn<QList<int>>("rows"); // days old, by the true time
        QTest::addColumn<QList<int>>("kept");
        QTest::newRow("the record") << QList<int> {500, 10, 1, 0} << QList<int> {10, 1, 0};
        QTest::newRow("a row by that clock") << QList<int> {10, 1, 0, -500} << QList<int> {0, -500};
    }

    void clockAheadKeepsTheRecord()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QList<int>, kept);
        drawerservice::History store(
            QStringLiteral("%1/trim-%2.sqlite").arg(state, QTest::currentDataTag()).toStdString());
        drawerservice::Event event = drawerservice::newEvent(1, kind::Kick);
        const std::int64_t now = event.timeUs;
        for (const int days : rows) {
            event.timeUs = now - days * DayUs;
            QVERIFY(store.append(event));
        }
        QVERIFY(store.deleteOlderThan(now + 500 * DayUs, 400).heldBack > 0);
        std::vector<drawerservice::Event> left;
        QVERIFY(store.query({}, left));
        QList<int> days;
        for (const auto &row : left)
            days.append(int((now - row.timeUs) / DayUs));
        QCOMPARE(days, kept);
    }

    // Refusals from hundreds of processes of one account, each on
    // connections of its own: a row a second per account, drawer and
    // refusal, every one counted; a kick before them stays, under the
    // smallest size limit.
    void floodFromOneAccountKeepsTheKick()
    {
        QVERIFY(reconfigure(QStringLiteral("keep-megabytes = 1\n")));
        const auto restore = qScopeGuard([this] { reconfigure({}); });
        const std::int64_t start = nowUs();
        QCOMPARE(
            openWhenFree(1, QStringLiteral("before the flood")).type(), QDBusMessage::ReplyMessage);
        ChildOpens opens;
        opens.connectionPerCall = true;
        std::string bulky;
        for (int i = 0; i < 200; ++i)
            bulky += "\xF0\x9F\x92\xB0"; // four bytes a character
        opens.calls.assign(3, {5, bulky});
        QElapsedTimer clock;
        clock.start();
        const std::vector<std::string> names = openFromChildren(opens, 200);
        const qint64 elapsedMs = clock.elapsed();
        QCOMPARE(names.size(), 600u);
        QTRY_COMPARE(counted(rowsSince(start, 5)), 600);
        QVERIFY2(rowsSince(start, 5).size() <= elapsedMs / 1000 + 1,
            qPrintable(
                QStringLiteral("%1 rows in %2 ms").arg(rowsSince(start, 5).size()).arg(elapsedMs)));
        QCOMPARE(rowsSince(start, 1, QLatin1String(kind::Kick)).value(0).value(u"reason"),
            QStringLiteral("before the flood"));
    }

    // The web bridge is one process of its own user: its refusals fold per
    // token, which its reasons name. Another account cannot split its
    // refusals so.
    void bridgeRefusalsFoldPerToken_data()
    {
        QTest::addColumn<bool>("bridge");
        QTest::addColumn<int>("rows");
        QTest::newRow("the bridge's user") << true << 2;
        QTest::newRow("root") << false << 1;
    }

    void bridgeRefusalsFoldPerToken()
    {
        QFETCH(bool, bridge);
        QFETCH(int, rows);
        if (bridge && !withUsers)
            QSKIP("a user of its own needs root, for a mount namespace");
        const std::int64_t start = nowUs();
        ChildOpens opens;
        opens.calls = {{6, "web: alpha from http://till: sale"},
            {6, "web: alpha from http://till: sale"}, {6, "web: beta from http://till: sale"}};
        if (bridge) {
            opens.uid = opens.gid = BridgeUid;
            opens.groups = {64000, BridgeUid};
        }
        QCOMPARE(openFromChildren(opens).size(), 3u);
        QTRY_COMPARE(counted(rowsSince(start, 6)), 3);
        QCOMPARE(rowsSince(start, 6).size(), rows);
    }

    // A member that sends Open without waiting for the answer and hangs up
    // at once leaves the bus nothing to name: nothing fires, and the refusal
    // is recorded with the bus name alone.
    void anonymousOpenFiresNothing()
    {
        const std::int64_t start = nowUs();
        const int kicks = printer.kicks();
        QCOMPARE(
            openWhenFree(3, QStringLiteral("service running")).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(printer.kicks(), kicks + 1);
        // The service takes the call only once the caller is gone.
        const pid_t service = pid_t(servicePid());
        QCOMPARE(::kill(service, SIGSTOP), 0);
        const auto resume = qScopeGuard([service] { ::kill(service, SIGCONT); });
        ChildOpens opens;
        opens.calls = {{3, "hung up"}};
        opens.waitForAnswers = false;
        const std::vector<std::string> names = openFromChildren(opens);
        QCOMPARE(names.size(), 1u);
        const QString name = QString::fromStdString(names.front());
        QTRY_VERIFY(!bus().interface()->isServiceRegistered(name).value());
        QCOMPARE(::kill(service, SIGCONT), 0);
        const auto hungUp = [&] {
            QList<QJsonObject> rows;
            for (const QJsonObject &row : rowsSince(start, 3))
                if (row.value(u"reason").toString().endsWith(u"hung up"))
                    rows.append(row);
            return rows;
        };
        QTRY_COMPARE(hungUp().size(), 1);
        const QJsonObject row = hungUp().first();
        QCOMPARE(row.value(u"event").toString(), QLatin1String(kind::KickRefused));
        QCOMPARE(row.value(u"program").toString(), name);
        QVERIFY(row.value(u"uid").isNull() && row.value(u"pid").isNull());
        QCOMPARE(printer.kicks(), kicks + 1);
    }

    // A disk slow to make the kick's row durable: a kick whose row is not
    // on the disk before the library's deadline is not fired, so that
    // OpenDrawer's 0 means that nothing fired; one in time fires.
    void slowDiskFiresOnlyInTime_data()
    {
        QTest::addColumn<int>("syncMs");
        QTest::addColumn<int>("opened");
        QTest::newRow("in time") << 50 << 1;
        QTest::newRow("too slow") << 1500 << 0;
    }

    void slowDiskFiresOnlyInTime()
    {
        QFETCH(int, syncMs);
        QFETCH(int, opened);
        QProcess program;
        program.start(QStringLiteral(HOLD_AT_EXIT),
            {QStringLiteral(DRIVER_LIBRARY), QStringLiteral("--follow")});
        QByteArray shown;
        const auto shows = [&](const QByteArray &part) {
            shown += program.readAllStandardOutput();
            return shown.contains(part);
        };
        QTRY_VERIFY(shows("status 1") || shows("status 2"));
        const std::int64_t start = nowUs();
        const int kicks = printer.kicks();
        QVERIFY(writeFile(slowSync, QByteArray::number(syncMs)));
        const auto fast = qScopeGuard([this] { writeFile(slowSync, "0"); });
        QCOMPARE(program.write("open\n"), 5);
        QTRY_VERIFY(shows("opened "));
        writeFile(slowSync, "0"); // the row's end is written fast
        QVERIFY2(shows("opened " + QByteArray::number(opened)), shown.constData());
        const QString event = QLatin1String(opened ? kind::Kick : kind::KickRefused);
        QTRY_COMPARE_WITH_TIMEOUT(rowsSince(start, 1, event).value(0).value(u"state").toString(),
            QLatin1String(opened ? "delivered" : "not-sent"), 5000);
        QTRY_COMPARE(printer.kicks(), kicks + opened);
        program.closeWriteChannel();
        QVERIFY(program.waitForFinished());
    }

    // OpenBefore: a deadline gone answers TooLate; one too far for the
    // clock is the furthest the service takes.
    void openBeforeDeadlines_data()
    {
        QTest::addColumn<quint64>("deadline");
        QTest::addColumn<bool>("fires");
        QTest::newRow("0") << quint64(0) << false;
        QTest::newRow("1") << quint64(1) << false;
        QTest::newRow("a second ago") << deadlineIn(-std::chrono::seconds(1)) << false;
        QTest::newRow("2^64 - 1") << quint64(UINT64_MAX) << true;
        QTest::newRow("2^63 ns") << quint64(9'223'372'036'854'776) << true;
    }

    void openBeforeDeadlines()
    {
        QFETCH(quint64, deadline);
        QFETCH(bool, fires);
        const int kicks = printer.kicks();
        QCOMPARE(openWhenFree(3, QStringLiteral("deadline"), deadline).errorName(),
            fires ? QString() : QStringLiteral("org.kestrin.Drawers1.Error.TooLate"));
        QTRY_COMPARE(printer.kicks(), kicks + int(fires));
    }

    // A kick given up at its deadline (0.1 s) while its row is being
    // written (1 s) leaves the drawer free at once, not when the row is.
    void lateKickFreesTheDrawer()
    {
        QVERIFY(writerIdle("1000"));
        const auto fast = qScopeGuard([this] { writeFile(slowSync, "0"); });
        QDBusPendingCall late = bus().asyncCall(
            openCall(1, QStringLiteral("late"), deadlineIn(std::chrono::milliseconds(100))));
        QElapsedTimer clock;
        clock.start();
        QDBusMessage kick;
        while (clock.elapsed() < 500
            && (kick = open(1, QStringLiteral("free"), deadlineIn(std::chrono::seconds(20))))
                   .errorName()
                   .endsWith(u"Busy")) { }
        QVERIFY2(kick.type() == QDBusMessage::ReplyMessage, qPrintable(kick.errorMessage()));
        late.waitForFinished();
        QCOMPARE(late.error().name(), QStringLiteral("org.kestrin.Drawers1.Error.TooLate"));
    }

    // kestrin-drawer-ctl open fires what the disk records in time, and says
    // "not fired" only once the record says so: a killed service keeps it.
    void ctlOpenTellsTheTruth_data()
    {
        QTest::addColumn<int>("syncMs");
        QTest::addColumn<QString>("event");
        QTest::newRow("slow disk") << 1000 << QString::fromLatin1(kind::Kick);
        QTest::newRow("too slow") << 3000 << QString::fromLatin1(kind::KickRefused);
    }

    void ctlOpenTellsTheTruth()
    {
        QFETCH(int, syncMs);
        QFETCH(QString, event);
        const std::int64_t start = nowUs();
        QVERIFY(writerIdle(QByteArray::number(syncMs)));
        const auto fast = qScopeGuard([this] { writeFile(slowSync, "0"); });
        const QString reason = QString::number(syncMs);
        QCOMPARE(
            ctl({QStringLiteral("open"), QStringLiteral("1"), QStringLiteral("--reason"), reason})
                .second,
            event == QLatin1String(kind::Kick) ? 0 : 6);
        const auto events = [&] {
            QStringList events;
            for (const QJsonObject &row : rowsSince(start, 1))
                if (row.value(u"reason").toString().endsWith(reason))
                    events.append(row.value(u"event").toString());
            return events;
        };
        QTRY_VERIFY(!events().isEmpty());
        QCOMPARE(events(), QStringList {event});
        stopService(SIGKILL); // the row as it is on the disk
        writeFile(slowSync, "0");
        QCOMPARE(events(), QStringList {event});
    }

    // A caller's program is any bytes it likes: here a folder in Latin-1
    // with terminal controls, some 4,000 bytes deep. It is recorded cut,
    // valid and clean, and the record reads on.
    void oddProgramKeepsTheRecordReadable()
    {
        const std::int64_t start = nowUs();
        QByteArray path = QFile::encodeName(home.path()) + "/caf\xe9\x1b[2K\r\nkick 1 forged";
        for (int depth = 0; depth <= 15; path += '/' + QByteArray(250, 'x'), ++depth)
            QVERIFY(::mkdir(path.constData(), 0755) == 0 || errno == EEXIST);
        QVERIFY(QFile::copy(QStringLiteral(DRAWER_CTL), home.filePath(QStringLiteral("ctl"))));
        QCOMPARE(::rename(QFile::encodeName(home.filePath(QStringLiteral("ctl"))).constData(),
                     path.constData()),
            0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl(path.constData(), path.constData(), "open", "6", nullptr);
            ::_exit(127);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 5); // not configured
        const QString recorded
            = rowsSince(start, 6).value(0).value(QStringLiteral("program")).toString();
        QVERIFY2(recorded.startsWith(home.path() + QStringLiteral("/caf\uFFFD[2Kkick 1 forged/xx")),
            qPrintable(recorded));
        QCOMPARE(recorded.size(), 200);
        const auto [table, code]
            = ctl({QStringLiteral("history"), QStringLiteral("--drawer"), QStringLiteral("6")});
        QCOMPARE(code, 0);
        QVERIFY(!table.contains('\x1b') && !table.contains('\r'));
    }

    // Reasons a spreadsheet would run as formulas are text in --csv, and
    // exact in --json.
    void csvNeverStartsAFormula()
    {
        const std::int64_t start = nowUs();
        const QStringList reasons {QStringLiteral("=1+2"), QStringLiteral("+1"),
            QStringLiteral("-1"), QStringLiteral("@SUM(A1)")};
        for (const QString &reason : reasons)
            QCOMPARE(openWhenFree(1, reason).type(), QDBusMessage::ReplyMessage);
        const QByteArray csv = ctl({QStringLiteral("history"), QStringLiteral("--csv")}).first;
        QStringList exact;
        for (const QJsonObject &row : rowsSince(start, 1, QLatin1String(kind::Kick))) {
            exact.append(row.value(QStringLiteral("reason")).toString());
            QVERIFY(csv.contains(",'" + exact.last().toUtf8() + ','));
        }
        QCOMPARE(exact, reasons);
    }

    // A printer that vanishes while its drawer is open: the drawer is
    // gone, not closed, and the report counts the time open once.
    void vanishedWhileOpenIsGoneNotClosed()
    {
        const std::int64_t start = nowUs();
        const auto count
            = [&](const char *event) { return rowsSince(start, 1, QLatin1String(event)).size(); };
        printer.sensorHigh = true;
        QTRY_COMPARE(count(kind::Opened), 1);
        printer.vanish();
        QTRY_COMPARE_WITH_TIMEOUT(count(kind::Gone), 1, 3000);
        printer.sensorHigh = false;
        printer.comeBack();
        QTRY_COMPARE_WITH_TIMEOUT(count(kind::Back), 1, 3000);
        QCOMPARE(count(kind::Closed), 0);

        std::vector<drawerctl::Row> day; // as the report reads them
        sd_bus *connection = nullptr;
        QVERIFY(sd_bus_open_system(&connection) >= 0
            && drawerctl::fetchRows(connection, start, INT64_MAX, 1, day, nullptr) >= 0);
        sd_bus_flush_close_unref(connection);
        const auto at = [&day](const char *event) {
            return std::find_if(day.begin(), day.end(), [event](const auto &row) {
                return row.kind == event;
            })->timeUs;
        };
        const auto report = drawerctl::summarize(day, start, nowUs(), nowUs());
        QCOMPARE(report.drawers.front().totalOpenSeconds,
            double(at(kind::Gone) - at(kind::Opened)) / 1e6);
    }

    // A page starts after the last row of the one before, by time and id,
    // so deleting old rows meanwhile skips none; past its size limit the
    // history deletes its oldest rows.
    void pagesHoldAndSizeIsCapped()
    {
        drawerservice::History store((state + QStringLiteral("/paged.sqlite")).toStdString());
        drawerservice::Event event = drawerservice::newEvent(1, kind::Kick);
        const std::int64_t base = event.timeUs;
        for (int i = 0; i < 30; ++i) {
            event.timeUs = base + i / 3; // three rows at each time
            event.reason = std::to_string(i);
            QVERIFY(store.append(event));
        }
        drawerservice::EventFilter filter;
        filter.limit = 10;
        std::vector<drawerservice::Event> rows;
        QVERIFY(store.query(filter, rows));
        QCOMPARE(store.deleteBefore(base + 2), 6);
        filter.sinceUs = rows.back().timeUs;
        filter.afterId = rows.back().id;
        QVERIFY(store.query(filter, rows));
        QCOMPARE(rows.size(), 20u);
        QCOMPARE(rows[10].reason, "10");

        store.setSizeLimit(64 << 10);
        for (event.reason = std::string(200, 'r'); event.timeUs < base + 1000; ++event.timeUs)
            QVERIFY(store.append(event));
        QVERIFY2(
            store.usedBytes() < 2 * (64 << 10), qPrintable(QString::number(store.usedBytes())));
    }

    // Refusals keep to a tenth of the size limit, the oldest going first, so
    // that the kicks stay; rows about money go by age alone, and only once
    // no refusal is left.
    void refusalsCannotPushOutKicks()
    {
        drawerservice::History store((state + QStringLiteral("/capped.sqlite")).toStdString());
        constexpr std::int64_t Limit = 64 << 10;
        store.setSizeLimit(Limit);
        drawerservice::Event event = drawerservice::newEvent(1, kind::Kick);
        event.reason = "the first kick";
        QVERIFY(store.append(event));
        event.kind = kind::KickRefused;
        event.reason = std::string(400, 'r');
        for (int i = 0; i < 1000; ++i, ++event.timeUs)
            QVERIFY(store.append(event));
        const auto rows = [&store](const char *kind) {
            std::vector<drawerservice::Event> all;
            store.query({}, all);
            std::vector<drawerservice::Event> matching;
            std::copy_if(all.begin(), all.end(), std::back_inserter(matching),
                [kind](const auto &row) { return row.kind == kind; });
            return matching;
        };
        QCOMPARE(rows(kind::Kick).size(), 1u);
        QVERIFY2(store.usedBytes() < Limit / 2, qPrintable(QString::number(store.usedBytes())));
        for (int i = 0; i < 300; ++i, ++event.timeUs) {
            event.kind = i % 10 == 5 ? kind::KickRefused : kind::Kick;
            QVERIFY(store.append(event));
        }
        QCOMPARE(rows(kind::KickRefused).size(), 0u);
        QVERIFY(rows(kind::Kick).front().reason != "the first kick");
        QCOMPARE(rows(kind::Kick).back().timeUs, event.timeUs - 1);
    }

    // Root's report never writes through a link planted where its page
    // goes, nor into a folder reached through one: a user who owns a folder
    // on the way could send the page over a file elsewhere.
    void reportRefusesAPlantedLink_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("page");
        QTest::newRow("at the page") << "page.html"
                                     << "elsewhere/planted.html"
                                     << "page.html";
        QTest::newRow("at its folder") << "folder"
                                       << "elsewhere"
                                       << "folder/planted.html";
        QTest::newRow("at its folder's parent") << "parent"
                                                << "."
                                                << "parent/elsewhere/planted.html";
    }

    void reportRefusesAPlantedLink()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(QString, page);
        QTemporaryDir user(home.filePath(QStringLiteral("user.XXXXXX")));
        QVERIFY(QDir(user.path()).mkdir(QStringLiteral("elsewhere")));
        QFile victim(user.filePath(QStringLiteral("elsewhere/planted.html")));
        QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("precious") == 8);
        victim.close();
        QVERIFY(QFile::link(user.filePath(target), user.filePath(link)));
        QCOMPARE(
            ctl({QStringLiteral("report"), QStringLiteral("--html"), user.filePath(page)}).second,
            6);
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("precious"));
        QCOMPARE(
            QDir(user.filePath(QStringLiteral("elsewhere"))).entryList(QDir::Files | QDir::Hidden),
            QStringList {QStringLiteral("planted.html")});
    }

    // A disk full, or with less room than the reserve: the kick's row takes
    // the room, or the reserve, and refusals, which may not, are counted in
    // memory and written once there is room again. A read-only disk: a kick
    // that cannot be recorded is refused and nothing fires; HistoryWorking
    // says so, and the record resumes once the disk is back.
    void brokenDiskLeavesDrawersWorking_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<qint64>("roomLeft");
        QTest::newRow("full") << false << 0LL;
        QTest::newRow("short of room") << false << 512LL * 1024;
        QTest::newRow("read-only") << true << 0LL;
    }

    void brokenDiskLeavesDrawersWorking()
    {
        QFETCH(bool, readOnly);
        QFETCH(qint64, roomLeft);
        if (!onTmpfs)
            QSKIP("a disk of its own needs root, for a mount namespace");
        const QByteArray folder = QFile::encodeName(state);
        QFile filler(state + QStringLiteral("/filler"));
        if (readOnly) {
            stopService(SIGTERM);
            QVERIFY2(
                ::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                std::strerror(errno));
        } else {
            // Running, with rows to spare, when the disk fills.
            QCOMPARE(
                openWhenFree(1, QStringLiteral("disk filling")).type(), QDBusMessage::ReplyMessage);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            struct statvfs disk = {};
            while (::statvfs(folder.constData(), &disk) == 0
                && qint64(disk.f_bavail * disk.f_frsize) > roomLeft
                && filler.write(block) == block.size() && filler.flush()) { }
            filler.close();
        }
        const int kicksBefore = printer.kicks();
        const std::int64_t start = nowUs();
        constexpr int Refusals = 5;
        for (int i = 0; i < Refusals; ++i)
            QVERIFY(open(5, QStringLiteral("disk broken")).errorName().endsWith(u"NotConfigured"));
        // Its row is written after the refusals', by the same writer.
        const QDBusMessage kick = openWhenFree(1, QStringLiteral("disk broken"));
        QCOMPARE(kick.errorName(),
            readOnly ? QStringLiteral("org.kestrin.Drawers1.Error.NotRecorded") : QString());
        QTRY_COMPARE(printer.kicks(), kicksBefore + (readOnly ? 0 : 1));
        // A job with a kick prints only once its kick is recorded: else not at all.
        const auto printed = [this] {
            const std::vector<std::uint8_t> got = printer.received();
            return QByteArray(reinterpret_cast<const char *>(got.data()), qsizetype(got.size()))
                .count("job with a kick");
        };
        const qsizetype jobsBefore = printed();
        QDBusPendingCall job
            = printJob(bus(), 1, QByteArrayLiteral("job with a kick\n\x1bp\x00\x05\x05"));
        job.waitForFinished();
        QCOMPARE(job.error().name(), kick.errorName());
        QTRY_COMPARE(printed(), jobsBefore + (readOnly ? 0 : 1));
        QCOMPARE(historyWorking(), !readOnly);
        // A read-only disk does not even read, and kestrin-drawer-ctl says
        // so rather than show an empty record.
        QCOMPARE(ctl({QStringLiteral("history")}).second, readOnly ? 6 : 0);
        if (readOnly) {
            QTRY_VERIFY(systemBus->log().contains(QLatin1String("kicks are refused")));
        } else {
            QCOMPARE(rowsSince(start, 1, QLatin1String(kind::Kick))
                         .value(0)
                         .value(QStringLiteral("reason")),
                QStringLiteral("disk broken"));
            QCOMPARE(rowsSince(start, 5).size(), 0);
        }

        if (readOnly)
            QCOMPARE(::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT, nullptr), 0);
        else
            QVERIFY(filler.remove());
        QTRY_COMPARE(counted(rowsSince(start, 5)), Refusals);
        QCOMPARE(openWhenFree(1, QStringLiteral("disk back")).type(), QDBusMessage::ReplyMessage);
        QVERIFY(historyWorking());
        const QList<QJsonObject> kicks = only(
            history({QStringLiteral("--since"), QStringLiteral("1m")}), QLatin1String(kind::Kick));
        QVERIFY(!kicks.isEmpty());
        QCOMPARE(
            kicks.last().value(QStringLiteral("reason")).toString(), QStringLiteral("disk back"));
    }

    // kestrin-drawer-notify shows each alarm of a drawer in one notification
    // on a private session bus, and withdraws it when the drawer closes.
    void notifyAgentShowsAndWithdraws()
    {
        QProcess session;
        session.start(QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"),
                QStringLiteral("--print-address"),
                QStringLiteral("--address=unix:path=") + home.filePath(QStringLiteral("session"))});
        QVERIFY(session.waitForReadyRead(10000));
        const QString address = QString::fromLocal8Bit(session.readLine()).trimmed();
        QDBusConnection desktop = QDBusConnection::connectToBus(address, QStringLiteral("desktop"));
        FakeNotifications notifications;
        QVERIFY(desktop.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
            &notifications, QDBusConnection::ExportScriptableSlots));
        QVERIFY(desktop.registerService(QStringLiteral("org.freedesktop.Notifications")));

        QProcess agent;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedChannels);
        agent.start(QStringLiteral(NOTIFY_AGENT), {});
        QVERIFY(agent.waitForStarted());
        // The alarm repeats every second: the agent sees one once it listens.
        printer.sensorHigh = true;
        QTRY_VERIFY_WITH_TIMEOUT(notifications.shown.size() >= 2, 6000);
        // Another connection's word that the drawer closed changes nothing:
        // the next alarm, which came after it, finds the notification shown.
        systemBus->forgeServiceSignals(systemBus->uniqueNameOf(agent.processId()));
        const qsizetype alarms = notifications.shown.size();
        QTRY_VERIFY_WITH_TIMEOUT(notifications.shown.size() > alarms, 3000);
        QVERIFY(notifications.closed.isEmpty());
        printer.sensorHigh = false;
        QTRY_COMPARE(notifications.closed.size(), 1);
        const auto first = notifications.shown.first();
        QVERIFY(first.summary.contains(QLatin1String("Drawer 1")));
        QVERIFY(first.body.contains(QLatin1String("Drawer 1")));
        QCOMPARE(notifications.shown.last().replaces, notifications.closed.first());
        QCOMPARE(first.replaces, 0u);

        agent.terminate();
        QVERIFY(agent.waitForFinished());
        QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
        session.terminate();
        QVERIFY(session.waitForFinished());
    }

    // The report's figures on a day whose rows are known.
    void reportFigures_data()
    {
        QTest::addColumn<QStringList>("events"); // "second event [seconds]", drawer 1
        QTest::addColumn<QList<double>>("figures"); // openings, kicks, refusals,
                                                    // alarms, total, longest
        QTest::newRow("two openings") << QStringList {"100 kick", "101 opened", "111 closed 10",
            "200 kick-refused", "300 kick", "301 opened", "305 left-open 4", "331 closed 30"}
                                      << QList<double> {2, 2, 1, 1, 40, 30};
        QTest::newRow("open since yesterday")
            << QStringList {"20 closed 3620"} << QList<double> {0, 0, 0, 0, 20, 20};
        QTest::newRow("open at the end of the day")
            << QStringList {"86000 opened"} << QList<double> {1, 0, 0, 0, 400, 400};
        QTest::newRow("service stopped while open") << QStringList {"10 opened", "70 service-stop",
            "80 service-start"} << QList<double> {1, 0, 0, 0, 60, 60};
        QTest::newRow("service killed while open") << QStringList {"10 opened", "50 service-start",
            "50 opened", "70 closed 20"} << QList<double> {1, 0, 0, 0, 60, 60};
        QTest::newRow("gone while open")
            << QStringList {"10 opened", "15 gone", "20 back"} << QList<double> {1, 0, 0, 0, 5, 5};
    }

    void reportFigures()
    {
        QFETCH(QStringList, events);
        QFETCH(QList<double>, figures);
        const std::int64_t start = drawerctl::dayStart(nowUs()) - DayUs;
        const std::int64_t end = drawerctl::nextDayStart(start);
        std::vector<drawerctl::Row> rows;
        for (const QString &text : events) {
            const QStringList parts = text.split(QLatin1Char(' '));
            drawerctl::Row row;
            row.timeUs = start + parts[0].toLongLong() * 1'000'000;
            row.kind = parts[1].toStdString();
            row.drawer = row.kind.starts_with("service") ? 0 : 1;
            if (parts.size() > 2)
                row.seconds = parts[2].toDouble();
            rows.push_back(row);
        }
        const drawerctl::DayReport report = drawerctl::summarize(rows, start, end, nowUs());
        QCOMPARE(report.drawers.size(), 1u);
        const drawerctl::DrawerDay &day = report.drawers.front();
        const QList<double> got {double(day.openings), double(day.kicks), double(day.refusals),
            double(day.alarms), day.totalOpenSeconds, day.longestOpenSeconds};
        QCOMPARE(got, figures);
    }

    void whenTakesDatesTimesAndWords_data()
    {
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime midnight = now.date().startOfDay();
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("until");
        QTest::addColumn<QDateTime>("expected"); // invalid: refused
        QTest::newRow("today") << "today" << false << midnight;
        QTest::newRow("until today") << "today" << true << midnight.addDays(1);
        QTest::newRow("yesterday") << "yesterday" << false << midnight.addDays(-1);
        QTest::newRow("until yesterday") << "yesterday" << true << midnight;
        QTest::newRow("1h") << "1h" << false << now.addSecs(-3600);
        QTest::newRow("date") << "2026-03-29" << false
                              << QDateTime(QDate(2026, 3, 29), QTime(0, 0));
        QTest::newRow("until date")
            << "2026-03-29" << true << QDateTime(QDate(2026, 3, 30), QTime(0, 0));
        QTest::newRow("date and time")
            << "2026-12-08 14:30:15" << false << QDateTime(QDate(2026, 12, 8), QTime(14, 30, 15));
        QTest::newRow("time today") << "07:05" << false << midnight.addSecs(7 * 3600 + 300);
        for (const char *bad : {"2026-13-01", "25:00", "1y", "-1h", "2026-12-08x", "soon", ""})
            QTest::addRow("bad: %s", bad) << bad << false << QDateTime();
    }

    void whenTakesDatesTimesAndWords()
    {
        QFETCH(QString, text);
        QFETCH(bool, until);
        QFETCH(QDateTime, expected);
        const std::int64_t now = nowUs();
        const auto when = drawerctl::parseWhen(text.toStdString(), until, now);
        QCOMPARE(when.has_value(), expected.isValid());
        if (when) // to the second: the expected "now" was taken a moment before
            QVERIFY(qAbs(*when / 1'000'000 - expected.toSecsSinceEpoch()) <= 1);
    }

    // The page of today's report, in a real browser with no network: its
    // timeline shows the openings of this morning's test as bars.
    void htmlReportShowsTheTimeline()
    {
        const QString page = home.filePath(QStringLiteral("report.html"));
        const auto [output, code] = ctl({QStringLiteral("report"), QStringLiteral("--html"), page});
        QCOMPARE(code, 0);
        QVERIFY(output.contains("DRAWER"));
        QFile html(page);
        QVERIFY(html.open(QIODevice::ReadOnly));
        const QByteArray text = html.readAll();
        QVERIFY(text.contains("<svg"));
        QVERIFY(!text.contains("<script") && !text.contains("src=") && !text.contains("href="));

        const QString browser = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        QVERIFY2(!browser.isEmpty(), "chromium is needed (scripts/install-deps.sh installs it)");
        const QString shot = home.filePath(QStringLiteral("report.png"));
        QProcess chromium;
        // A network namespace of its own: root may make one; others map
        // themselves to root in a user namespace first.
        chromium.start(QStringLiteral("unshare"),
            {::geteuid() == 0 ? QStringLiteral("-n") : QStringLiteral("-rn"), QStringLiteral("sh"),
                QStringLiteral("-c"),
                QStringLiteral("ip link set lo up && exec \"$0\" --headless --no-sandbox "
                               "--disable-gpu --hide-scrollbars --window-size=1200,900 "
                               "--screenshot=\"$1\" \"file://$2\""),
                browser, shot, page});
        QVERIFY(chromium.waitForFinished(60000));
        QVERIFY2(chromium.exitCode() == 0, chromium.readAllStandardError().constData());
        const QImage image(shot);
        QVERIFY(!image.isNull());
        // The page's only blue: the legend's swatch, and the bars above it.
        int runs = 0;
        bool inRun = false;
        for (int y = 0; y < image.height(); ++y) {
            bool blue = false;
            for (int x = 0; x < image.width() && !blue; ++x)
                blue = image.pixel(x, y) == qRgb(0x2a, 0x7a, 0xb8);
            runs += blue && !inRun;
            inRun = blue;
        }
        QVERIFY2(runs >= 2, "no bar besides the legend's");
    }
};

QTEST_GUILESS_MAIN(HistoryTest)
#include "tst_history.moc"
