// The drawer service, kestrin-drawerd, on a private bus with the system
// bus's rules and the package's policy, against printers played on
// 127.0.0.1: started by its first client, its objects and signals, Open and
// its refusals, who may call what, the library and the window following it
// on one monitor, reloads, bad calls, and its own restart.

#include "app/mainform.h"
#include "busapi.h"
#include "drawer/vendordrawerlibrary.h"
#include "formprobe.h"
#include "support/etcfiles.h"
#include "support/fakenetworkprinter.h"
#include "support/privatesystembus.h"
#include "support/systemdsockets.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <filesystem>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {
namespace bus = drawerdriver::bus;
const QString ServiceName = QString::fromLatin1(bus::ServiceName);
const QString ManagerPath = QString::fromLatin1(bus::ManagerPath);
const QString ManagerInterface = QString::fromLatin1(bus::ManagerInterface);
const QString DrawerInterface = QString::fromLatin1(bus::DrawerInterface);
const QString BusyError = QString::fromLatin1(bus::BusyError);
const QString AccessDenied = QString::fromLatin1(bus::AccessDeniedError);
// Users of the bind-mounted /etc/passwd: a member of kestrin-drawer and not,
// and the web bridge's account, a member too; the spooler's account, lp, is
// made a member as well, which still lets it print alone.
const QString Member = QStringLiteral("kestrin-member");
const QString Outsider = QStringLiteral("kestrin-outsider");
const QString Bridge = QStringLiteral("kestrin-drawer-web");
// A drawer's pulse time with the configuration's defaults, 50 + 500 ms.
constexpr int PulseMs = 550;

QString drawerPath(int number)
{
    return QString::fromStdString(bus::drawerPath(number));
}

// Our interfaces in introspection XML, one line per member: its interface,
// kind, name, type, arguments in order and annotations; sorted, so that
// neither order nor comments nor whitespace count.
QStringList interfaceShape(const QByteArray &xml)
{
    QStringList members;
    QString interface;
    bool inMember = false;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        const QStringView tag = reader.name();
        const bool memberTag = tag == u"method" || tag == u"signal" || tag == u"property";
        if (token == QXmlStreamReader::EndElement && memberTag)
            inMember = false;
        if (token != QXmlStreamReader::StartElement)
            continue;
        const auto attribute = [&](const char *name) {
            return reader.attributes().value(QLatin1String(name)).toString();
        };
        if (tag == u"interface") {
            interface = attribute("name").startsWith(ServiceName) ? attribute("name") : QString();
        } else if (memberTag && !interface.isEmpty()) {
            members << QStringList {interface, tag.toString(), attribute("name"), attribute("type"),
                attribute("access")}
                           .join(u' ');
            inMember = true;
        } else if (inMember && (tag == u"arg" || tag == u"annotation")) {
            members.last() += QLatin1Char(' ')
                + QStringList {attribute("name"), attribute("type"), attribute("direction"),
                    attribute("value")}
                      .join(u':');
        }
    }
    members.sort();
    return members;
}

// What a process printed; forget() starts afresh. Read here, so that the
// QTRY macros may ask again.
struct Output {
    QProcess *process;
    QByteArray text;

    bool shows(const char *part) { return count(part) > 0; }
    qsizetype count(const char *part)
    {
        text += process->readAllStandardOutput();
        return text.count(part);
    }
    void forget()
    {
        process->readAllStandardOutput();
        text.clear();
    }
};

bool writeFile(const QString &path, const QString &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(text.toUtf8()) == text.toUtf8().size();
}

} // namespace

class ServiceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home;
    FakeNetworkPrinter printer; // drawers 1 and 3, on its two connectors
    FakeNetworkPrinter second; // drawer 2
    std::unique_ptr<PrivateSystemBus> systemBus;
    bool withUsers = false;
    QList<QDBusMessage> changes;
    int secondPulse = 50;

    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("private")); }

    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
        const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(ServiceName, path, interface, method);
        message.setArguments(arguments);
        return bus().call(message, QDBus::Block, 5000);
    }

    QVariantMap properties(int number)
    {
        const QDBusMessage reply
            = call(drawerPath(number), QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("GetAll"), {DrawerInterface});
        return qdbus_cast<QVariantMap>(reply.arguments().value(0));
    }

    uint servicePid() { return bus().interface()->servicePid(ServiceName).value(); }

    // Opens the drawer, waiting out the pulse of an earlier kick.
    QDBusMessage open(int number, const QString &reason)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const QDBusMessage reply
                = call(drawerPath(number), DrawerInterface, QStringLiteral("Open"), {reason});
            if (reply.errorName() != BusyError || clock.elapsed() > 2000)
                return reply;
            QTest::qWait(20);
        }
    }

    QString configText(const QString &secondExtra) const
    {
        return QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\nhold = yes\n"
                              "[drawer 2]\ndevice = %2\nhold = yes\n%3\n"
                              "[drawer 3]\ndevice = %1\nconnector = pin5\n")
            .arg(QString::fromStdString(printer.address()),
                QString::fromStdString(second.address()), secondExtra);
    }

    // As root, or as one of the test's users (through setpriv).
    QProcess *runAs(const QString &user, const QString &program, const QStringList &arguments)
    {
        auto *process = new QProcess(this);
        if (user == QLatin1String("root"))
            process->start(program, arguments);
        else
            process->start(QStringLiteral("setpriv"),
                QStringList {QStringLiteral("--reuid=") + user, QStringLiteral("--regid=") + user,
                    QStringLiteral("--init-groups"), program}
                    + arguments);
        return process;
    }

    // The library, holding drawer 1, and ctl watch, both following the
    // service.
    void startFollowers(QProcess &program, QProcess &watch, Output &shown, Output &watched)
    {
        program.start(QStringLiteral(HOLD_AT_EXIT),
            {QStringLiteral(DRIVER_LIBRARY), QStringLiteral("--follow")});
        watch.start(QStringLiteral(DRAWER_CTL), {QStringLiteral("watch")});
        QTRY_VERIFY(shown.shows("status 1"));
        QTRY_VERIFY(watched.shows("drawer 3 present"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        QVERIFY(QFile::setPermissions(home.path(),
            QFile::permissions(home.path()) | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup
                | QFile::ExeGroup));
        // The users exist only in this process's mount namespace, never on
        // the machine.
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            withUsers = extendEtcFile(QStringLiteral("passwd"), home.path(),
                            QStringLiteral("%1:x:64001:64001::/nonexistent:/usr/sbin/nologin\n"
                                           "%2:x:64002:64002::/nonexistent:/usr/sbin/nologin\n"
                                           "%3:x:64003:64003::/nonexistent:/usr/sbin/nologin\n")
                                .arg(Member, Outsider, Bridge))
                && extendEtcFile(QStringLiteral("group"), home.path(),
                    QStringLiteral(
                        "kestrin-drawer:x:64000:%1,%3,%4\n%1:x:64001:\n%2:x:64002:\n%3:x:64003:\n")
                        .arg(Member, Outsider, Bridge, QString::fromLatin1(bus::SpoolerUser)));
        }
        // Copies of the programs that the test's users run, where they may.
        QVERIFY(QFile::copy(QStringLiteral(DRAWER_CTL), home.filePath(QStringLiteral("ctl"))));
        QVERIFY(
            QFile::copy(QStringLiteral(HOLD_AT_EXIT), home.filePath(QStringLiteral("holdatexit"))));
        QVERIFY(QFile::copy(QStringLiteral(SETUP_TOOL), home.filePath(QStringLiteral("setup"))));
        QVERIFY(QFile::copy(
            QStringLiteral(DRIVER_LIBRARY), home.filePath(QStringLiteral("library.so"))));

        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("unwatched")));
        QVERIFY(writeFile(home.filePath(QStringLiteral("unwatched/drawers.conf")),
            configText(QStringLiteral("pulse-on = 50"))));
        QVERIFY(QFile::link(QStringLiteral("unwatched/drawers.conf"),
            home.filePath(QStringLiteral("drawers.conf"))));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("KESTRIN_DRAWERS_CONF"), home.filePath(QStringLiteral("drawers.conf")));
        environment.insert(QStringLiteral("STATE_DIRECTORY"), home.path());
        // The library in this process and its children follows the service.
        qunsetenv("KESTRIN_DRAWERS_CONF");
        systemBus = std::make_unique<PrivateSystemBus>();
        const QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address.toLocal8Bit());
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("private"))
                    .isConnected());
        QVERIFY(
            bus().connect(ServiceName, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), this, SLOT(propertiesChanged(QDBusMessage))));
    }

    void propertiesChanged(const QDBusMessage &message) { changes.append(message); }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("private"));
        systemBus.reset();
    }

    void startsOnFirstClientWithItsObjects()
    {
        QVERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        const QDBusMessage managed
            = call(ManagerPath, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                QStringLiteral("GetManagedObjects"));
        QCOMPARE(managed.type(), QDBusMessage::ReplyMessage);
        QVERIFY(bus().interface()->isServiceRegistered(ServiceName).value());

        for (int number = 1; number <= 8; ++number) {
            const QVariantMap drawer = properties(number);
            QCOMPARE(drawer.value(QStringLiteral("Number")).metaType().id(), QMetaType::UChar);
            QCOMPARE(drawer.value(QStringLiteral("Number")).toInt(), number);
            QCOMPARE(drawer.value(QStringLiteral("Configured")).toBool(), number <= 3);
            QCOMPARE(drawer.value(QStringLiteral("HasSensor")).toBool(), number == 1);
            QCOMPARE(drawer.value(QStringLiteral("Changed")).metaType().id(), QMetaType::ULongLong);
            // Taken after the first answers: a new client sees the devices.
            QCOMPARE(drawer.value(QStringLiteral("Present")).toBool(), number <= 3);
            QCOMPARE(drawer.value(QStringLiteral("Open")).toBool(), false);
        }
        QCOMPARE(properties(2).value(QStringLiteral("Device")).toString(),
            QString::fromStdString(second.address()));
    }

    // The interface file the package installs describes what the service
    // offers, member for member.
    void interfaceFileMatchesTheService()
    {
        QFile file(QStringLiteral(BUS_INTERFACE_FILE));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList offered;
        for (const QString &path : {ManagerPath, drawerPath(1)})
            offered += interfaceShape(call(path,
                QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"))
                                          .arguments()
                                          .value(0)
                                          .toString()
                                          .toUtf8());
        offered.sort();
        QCOMPARE(interfaceShape(file.readAll()), offered);
    }

    // kestrin-drawer-ctl --help lists its exit codes; the manual page has the
    // same codes, each starting with the same words.
    void ctlExitCodesMatchItsManualPage()
    {
        QProcess ctl;
        ctl.start(QStringLiteral(DRAWER_CTL), {QStringLiteral("--help")});
        QVERIFY(ctl.waitForFinished());
        const QString help = QString::fromUtf8(ctl.readAllStandardOutput());
        QMap<int, QString> told;
        const QRegularExpression code(
            QStringLiteral("^  (\\d+)  (.+)$"), QRegularExpression::MultilineOption);
        for (const auto &match : code.globalMatch(help.section(QStringLiteral("Exit status:"), 1)))
            told[match.captured(1).toInt()] = match.captured(2);

        QFile manual(QStringLiteral(CTL_MANUAL_PAGE));
        QVERIFY(manual.open(QIODevice::ReadOnly));
        const QString section = QString::fromUtf8(manual.readAll())
                                    .section(QStringLiteral(".SH EXIT STATUS\n"), 1)
                                    .section(QStringLiteral("\n.SH "), 0, 0);
        QMap<int, QString> documented;
        for (const QString &entry : section.split(QStringLiteral(".TP\n.B "), Qt::SkipEmptyParts))
            documented[entry.section(u'\n', 0, 0).toInt()] = entry.section(u'\n', 1).simplified();
        QCOMPARE(documented.keys(), told.keys());
        for (auto it = told.cbegin(); it != told.cend(); ++it)
            QVERIFY2(documented[it.key()].startsWith(it.value()), qPrintable(it.value()));
    }

    void propertiesFollowThePrinter()
    {
        QProcess watch;
        watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        watch.start(
            QStringLiteral(DRAWER_CTL), {QStringLiteral("watch"), QStringLiteral("--json")});
        Output watched {&watch, {}};
        QTRY_VERIFY(watched.shows("\"drawer\":1,\"present\":true,\"open\":false"));
        const quint64 before = properties(1).value(QStringLiteral("Changed")).toULongLong();
        changes.clear();

        printer.sensorHigh = true;
        QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), 1000);
        const QDBusMessage change = changes.first();
        QCOMPARE(change.path(), drawerPath(1));
        const QVariantMap values = qdbus_cast<QVariantMap>(change.arguments().value(1));
        QCOMPARE(values.value(QStringLiteral("Open")).toBool(), true);
        QCOMPARE(values.value(QStringLiteral("Present")).toBool(), true);
        QVERIFY(values.value(QStringLiteral("Changed")).toULongLong() > before);
        QTRY_VERIFY(watched.shows("\"drawer\":1,\"present\":true,\"open\":true"));

        watched.forget();
        printer.sensorHigh = false;
        QTRY_VERIFY(watched.shows("\"drawer\":1,\"present\":true,\"open\":false"));
        QCOMPARE(properties(1).value(QStringLiteral("Open")).toBool(), false);
        second.vanish();
        QTRY_VERIFY_WITH_TIMEOUT(!properties(2).value(QStringLiteral("Present")).toBool(), 2000);
        second.comeBack();
        QTRY_VERIFY_WITH_TIMEOUT(properties(2).value(QStringLiteral("Present")).toBool(), 3000);
        watch.terminate();
        QVERIFY(watch.waitForFinished());
        QCOMPARE(watch.exitCode(), 0);
    }

    void openAndItsRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("kicks");
        QTest::addColumn<bool>("printerOff");
        QTest::newRow("fires") << QStringList {QStringLiteral("open"), QStringLiteral("1")} << 0
                               << 1 << false;
        QTest::newRow("within the pulse: busy")
            << QStringList {QStringLiteral("open"), QStringLiteral("1")} << 1 << 0 << false;
        QTest::newRow("not configured")
            << QStringList {QStringLiteral("open"), QStringLiteral("5")} << 5 << 0 << false;
        QTest::newRow("printer off: not present")
            << QStringList {QStringLiteral("open"), QStringLiteral("2")} << 1 << 0 << true;
        QTest::newRow("no drawer 9")
            << QStringList {QStringLiteral("open"), QStringLiteral("9")} << 2 << 0 << false;
        QTest::newRow("unknown command") << QStringList {QStringLiteral("shut")} << 2 << 0 << false;
    }

    void openAndItsRefusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(int, kicks);
        QFETCH(bool, printerOff);
        const int before = printer.kicks();
        if (printerOff) {
            second.vanish();
            QTRY_VERIFY_WITH_TIMEOUT(
                !properties(2).value(QStringLiteral("Present")).toBool(), 2000);
        }
        QProcess ctl;
        ctl.start(QStringLiteral(DRAWER_CTL), arguments);
        QVERIFY(ctl.waitForFinished());
        if (printerOff)
            second.comeBack();
        QCOMPARE(ctl.exitCode(), exitCode);
        QTRY_COMPARE(printer.kicks(), before + kicks);
        if (printerOff)
            QTRY_VERIFY_WITH_TIMEOUT(properties(2).value(QStringLiteral("Present")).toBool(), 3000);
    }

    void accessPolicy_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("allowed");
        for (const QString &user : {QStringLiteral("root"), Member, Outsider}) {
            const bool trusted = user != Outsider;
            for (const char *method : {"Get", "Introspect", "GetManagedObjects"})
                QTest::addRow("%s %s", qPrintable(user), method)
                    << user << QString::fromLatin1(method) << true;
            for (const char *method :
                {"Open", "OpenBefore", "Print", "Reload", "History", "HistoryPage", "HistoryRows"})
                QTest::addRow("%s %s", qPrintable(user), method)
                    << user << QString::fromLatin1(method) << trusted;
            QTest::addRow("%s Set", qPrintable(user)) << user << QStringLiteral("Set") << false;
        }
        // The bridge's account, though a member, and the spooler's: what
        // each uses and nothing more.
        const QString spooler = QString::fromLatin1(bus::SpoolerUser);
        for (const char *method : {"Get", "GetManagedObjects", "Open", "OpenBefore", "Print"})
            QTest::addRow("bridge %s", method) << Bridge << QString::fromLatin1(method) << true;
        for (const char *method :
            {"Reload", "History", "HistoryPage", "HistoryRows", "Introspect", "Set"})
            QTest::addRow("bridge %s", method) << Bridge << QString::fromLatin1(method) << false;
        for (const char *method : {"Get", "GetManagedObjects", "Print"})
            QTest::addRow("spooler %s", method) << spooler << QString::fromLatin1(method) << true;
        for (const char *method : {"Open", "OpenBefore", "Reload", "History", "HistoryPage",
                 "HistoryRows", "Introspect", "Set"})
            QTest::addRow("spooler %s", method) << spooler << QString::fromLatin1(method) << false;
    }

    void accessPolicy()
    {
        QFETCH(QString, user);
        QFETCH(QString, method);
        QFETCH(bool, allowed);
        if (user != QLatin1String("root") && !withUsers)
            QSKIP("users of their own need root, for a mount namespace");
        const QString root = ManagerPath;
        const QMap<QString, QStringList> calls {
            {QStringLiteral("Get"),
                {QStringLiteral("get-property"), ServiceName, drawerPath(1), DrawerInterface,
                    QStringLiteral("Present")}},
            {QStringLiteral("Introspect"),
                {QStringLiteral("introspect"), ServiceName, drawerPath(1)}},
            {QStringLiteral("GetManagedObjects"),
                {QStringLiteral("call"), ServiceName, root,
                    QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                    QStringLiteral("GetManagedObjects")}},
            {QStringLiteral("Open"),
                {QStringLiteral("call"), ServiceName, drawerPath(3), DrawerInterface,
                    QStringLiteral("Open"), QStringLiteral("s"), QStringLiteral("policy test")}},
            // A deadline long past: the service refuses it, the bus need not.
            {QStringLiteral("OpenBefore"),
                {QStringLiteral("call"), ServiceName, drawerPath(3), DrawerInterface,
                    QStringLiteral("OpenBefore"), QStringLiteral("st"),
                    QStringLiteral("policy test"), QStringLiteral("1")}},
            // busctl passes no descriptor: the bus judges the call by its
            // name, and the service refuses its arguments.
            {QStringLiteral("Print"),
                {QStringLiteral("call"), ServiceName, drawerPath(3), DrawerInterface,
                    QStringLiteral("Print"), QStringLiteral("ss"), QStringLiteral("policy test"),
                    user}},
            {QStringLiteral("HistoryRows"),
                {QStringLiteral("call"), ServiceName, root, ManagerInterface,
                    QStringLiteral("HistoryRows"), QStringLiteral("xtxyu"), QStringLiteral("0"),
                    QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("0"),
                    QStringLiteral("1")}},
            {QStringLiteral("Reload"),
                {QStringLiteral("call"), ServiceName, root, ManagerInterface,
                    QStringLiteral("Reload")}},
            {QStringLiteral("History"),
                {QStringLiteral("call"), ServiceName, root, ManagerInterface,
                    QStringLiteral("History"), QStringLiteral("xxyuu"), QStringLiteral("0"),
                    QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("0"),
                    QStringLiteral("1")}},
            {QStringLiteral("HistoryPage"),
                {QStringLiteral("call"), ServiceName, root, ManagerInterface,
                    QStringLiteral("HistoryPage"), QStringLiteral("xtxyu"), QStringLiteral("0"),
                    QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("0"),
                    QStringLiteral("1")}},
            {QStringLiteral("Set"),
                {QStringLiteral("set-property"), ServiceName, drawerPath(1), DrawerInterface,
                    QStringLiteral("Open"), QStringLiteral("b"), QStringLiteral("true")}}};
        QProcess *busctl = runAs(user, QStringLiteral("busctl"),
            QStringList {QStringLiteral("--address=") + systemBus->address} + calls.value(method));
        QVERIFY(busctl->waitForFinished());
        const QString error = QString::fromLocal8Bit(busctl->readAllStandardError());
        // busctl says so when the bus refuses; the service itself refuses
        // nothing for lack of rights.
        QVERIFY2(!error.contains(QLatin1String("Access denied")) == allowed, qPrintable(error));
        if (allowed && !method.startsWith(QLatin1String("Open")) && method != u"Print")
            QVERIFY2(busctl->exitCode() == 0, qPrintable(error));

        // The command-line client tells a refused user so, by its exit code.
        if (method == QLatin1String("Open")) {
            QProcess *ctl = runAs(user, home.filePath(QStringLiteral("ctl")),
                {QStringLiteral("open"), QStringLiteral("3")});
            QVERIFY(ctl->waitForFinished());
            QCOMPARE(ctl->exitCode() == 3, !allowed);
        }
        // The drawer library, refused, says once what lets the user in.
        if (method == QLatin1String("Open") && !allowed) {
            QProcess *program = runAs(user, home.filePath(QStringLiteral("holdatexit")),
                {home.filePath(QStringLiteral("library.so")), QStringLiteral("--follow")});
            program->write("open\nopen\n");
            program->closeWriteChannel();
            QVERIFY(program->waitForFinished());
            const QString said = QString::fromLocal8Bit(program->readAllStandardError());
            QVERIFY(program->readAllStandardOutput().contains("opened 0\nopened 0\n"));
            QCOMPARE(said.count(QLatin1Char('\n')), 1);
            QVERIFY(said.contains(QLatin1String("kestrin-drawer-setup allow ") + user));
        }
    }

    void setupToolAllows_data()
    {
        QTest::addColumn<QString>("runner");
        QTest::addColumn<QString>("user");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("a user for themselves")
            << Outsider << Outsider << 3
            << QStringLiteral("sudo %1 allow %2")
                   .arg(home.filePath(QStringLiteral("setup")), Outsider);
        QTest::newRow("a member already") << QStringLiteral("root") << Member << 0 << Member;
        QTest::newRow("no such user") << QStringLiteral("root") << QStringLiteral("kestrin-nobody")
                                      << 5 << QStringLiteral("kestrin-nobody");
    }

    // Adding a user is usermod's work on the real /etc/group, which this
    // test must not touch; what leads up to it is checked here.
    void setupToolAllows()
    {
        QFETCH(QString, runner);
        QFETCH(QString, user);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        if (!withUsers)
            QSKIP("users of their own need root, for a mount namespace");
        QProcess *setup = runAs(
            runner, home.filePath(QStringLiteral("setup")), {QStringLiteral("allow"), user});
        QVERIFY(setup->waitForFinished());
        QCOMPARE(setup->exitCode(), exitCode);
        const QByteArray output = setup->readAllStandardOutput() + setup->readAllStandardError();
        QVERIFY(QString::fromLocal8Bit(output).contains(said));
    }

    void badCallsLeaveTheServiceRunning_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QString>("error");
        const QString invalid = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
        QTest::newRow("a number for the reason")
            << drawerPath(1) << QStringLiteral("Open") << QVariantList {42} << invalid;
        QTest::newRow("no reason")
            << drawerPath(1) << QStringLiteral("Open") << QVariantList {} << invalid;
        QTest::newRow("two reasons")
            << drawerPath(1) << QStringLiteral("Open")
            << QVariantList {QStringLiteral("a"), QStringLiteral("b")} << invalid;
        QTest::newRow("drawer 9") << drawerPath(9) << QStringLiteral("Open")
                                  << QVariantList {QStringLiteral("a")}
                                  << QStringLiteral("org.freedesktop.DBus.Error.UnknownObject");
        QTest::newRow("drawer 0") << drawerPath(0) << QStringLiteral("Open")
                                  << QVariantList {QStringLiteral("a")}
                                  << QStringLiteral("org.freedesktop.DBus.Error.UnknownObject");
        QTest::newRow("unknown property")
            << drawerPath(1) << QStringLiteral("Get")
            << QVariantList {DrawerInterface, QStringLiteral("Colour")}
            << QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty");
        // The bus refuses what the policy does not name, before the service.
        QTest::newRow("unknown method")
            << drawerPath(1) << QStringLiteral("Close") << QVariantList {} << AccessDenied;
    }

    void badCallsLeaveTheServiceRunning()
    {
        QFETCH(QString, path);
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(QString, error);
        const uint pid = servicePid();
        const int kicks = printer.kicks();
        const QString interface = method == QLatin1String("Get")
            ? QStringLiteral("org.freedesktop.DBus.Properties")
            : DrawerInterface;
        QCOMPARE(call(path, interface, method, arguments).errorName(), error);
        QCOMPARE(servicePid(), pid);
        QCOMPARE(printer.kicks(), kicks);
    }

    void reasonIsRecordedCleaned_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("recorded");
        QTest::newRow("10 kB") << QString(10240, QLatin1Char('x'))
                               << QString(200, QLatin1Char('x'));
        QTest::newRow("control characters")
            << QStringLiteral("till\t2\n\x01refund\x7f\u0085 \u00e9")
            << QStringLiteral("till2refund é");
        QTest::newRow("200 letters of two bytes")
            << QString(250, QChar(0xe9)) << QString(200, QChar(0xe9));
    }

    void reasonIsRecordedCleaned()
    {
        QFETCH(QString, reason);
        QFETCH(QString, recorded);
        const QString line = QStringLiteral("drawer 3 opened for uid 0 (pid %1").arg(::getpid());
        const int recordsBefore = systemBus->log().count(line);
        QCOMPARE(open(3, reason).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(systemBus->log().count(line), recordsBefore + 1);
        const QString log = systemBus->log();
        const QString last = log.mid(log.lastIndexOf(line)).section(QLatin1Char('\n'), 0, 0);
        QCOMPARE(last.section(QStringLiteral("): "), 1), recorded);
    }

    void windowAndTwoProgramsShareOneMonitor()
    {
        const int connections = printer.connections();
        QCOMPARE(printer.openConnections(), 1);
        VendorDrawerLibrary vendor({DRIVER_LIB_DIR});
        MainForm form(vendor, [] {});
        form.show();
        FormProbe probe {&form};
        QProcess programs[2];
        Output outputs[2] = {{&programs[0], {}}, {&programs[1], {}}};
        for (QProcess &program : programs)
            program.start(QStringLiteral(HOLD_AT_EXIT),
                {QStringLiteral(DRIVER_LIBRARY), QStringLiteral("--follow")});
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));
        for (Output &output : outputs)
            QTRY_VERIFY(output.shows("status 1"));

        printer.sensorHigh = true;
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Open"));
        for (Output &output : outputs)
            QTRY_VERIFY(output.shows("status 2"));
        printer.sensorHigh = false;
        const int kicks = printer.kicks();
        QCOMPARE(programs[0].write("open\n"), 5);
        QTRY_VERIFY(outputs[0].shows("opened 1"));
        QTRY_COMPARE(printer.kicks(), kicks + 1);

        // Nobody but the service ever connected to the printer.
        QCOMPARE(printer.connections(), connections);
        for (QProcess &program : programs) {
            program.closeWriteChannel();
            QVERIFY(program.waitForFinished());
            QCOMPARE(program.exitCode(), 0);
        }
    }

    void burstFiresOncePerPulse()
    {
        // Right after a kick: the burst's first pulse is already taken. The
        // answer follows the kick's hand-over, not its arrival.
        const int earlier = printer.kicks();
        QCOMPARE(open(1, QStringLiteral("before the burst")).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(printer.kicks(), earlier + 1);
        const int before = printer.kicks();
        // From ten connections, since the bus lets one have at most 128
        // calls waiting for their answer.
        QList<QDBusPendingCall> calls;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 1000; ++i) {
            const QString name = QStringLiteral("burst%1").arg(i % 10);
            QDBusConnection connection = QDBusConnection::connectToBus(systemBus->address, name);
            QDBusMessage message = QDBusMessage::createMethodCall(
                ServiceName, drawerPath(1), DrawerInterface, QStringLiteral("Open"));
            message.setArguments({QStringLiteral("burst %1").arg(i)});
            calls.append(connection.asyncCall(message));
        }
        int accepted = 0;
        for (QDBusPendingCall &pending : calls) {
            pending.waitForFinished();
            if (pending.isError())
                QCOMPARE(pending.error().name(), BusyError);
            else
                ++accepted;
        }
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(accepted <= elapsed / PulseMs + 1,
            qPrintable(QStringLiteral("%1 kicks in %2 ms").arg(accepted).arg(elapsed)));
        QTRY_COMPARE(printer.kicks(), before + accepted);
        for (int i = 0; i < 10; ++i)
            QDBusConnection::disconnectFromBus(QStringLiteral("burst%1").arg(i));
    }

    // The jobs being read hold no more bytes together than the service's
    // memory allows: two of the largest, still coming, leave no room for a
    // third job; each is refused, nothing printed.
    void jobsTogetherKeepWithinMemory()
    {
        const std::size_t before = printer.received().size();
        int pipes[3][2];
        std::vector<QDBusPendingCall> calls;
        const QByteArray largest(bus::MostJobBytes, '.');
        for (int i = 0; i < 3; ++i) {
            QVERIFY(::pipe2(pipes[i], O_CLOEXEC) == 0);
            calls.push_back(printFrom(bus(), 1, pipes[i][0]));
            if (i == 2)
                break;
            QVERIFY(::write(pipes[i][1], largest.data(), largest.size()) == largest.size());
            int unread = -1; // until the service has every byte
            QTRY_VERIFY(::ioctl(pipes[i][0], FIONREAD, &unread) == 0 && unread == 0);
        }
        QVERIFY(::write(pipes[2][1], "x", 1) == 1);
        ::close(pipes[2][1]);
        calls[2].waitForFinished();
        QCOMPARE(calls[2].error().name(), QString::fromLatin1(bus::BusyError));
        for (int i = 0; i < 2; ++i) { // one byte too many: refused, and their share given back
            QVERIFY(::write(pipes[i][1], "x", 1) == 1);
            ::close(pipes[i][1]);
            calls[i].waitForFinished();
            QCOMPARE(calls[i].error().name(), QString::fromLatin1(bus::TooLargeError));
        }
        for (auto &pipe : pipes)
            ::close(pipe[0]);
        const std::vector<std::uint8_t> all = printer.received(); // the service's own questions
        QVERIFY(std::none_of(all.begin() + qsizetype(before), all.end(),
            [](std::uint8_t byte) { return byte == '.' || byte == 'x'; }));
        QDBusPendingCall small = printJob(bus(), 1, QByteArray("receipt\n"));
        small.waitForFinished();
        QVERIFY2(!small.isError(), qPrintable(small.error().message()));
    }

    // Jobs to the drawers on one printer print whole, in the order they
    // came, the service's own questions only between them or between two
    // of their commands; a job that would leave the printer inside a
    // command prints nothing, nor does one too large.
    void printsJobsWholeInOrder()
    {
        QByteArray jobs[3];
        for (int i = 0; i < 3; ++i)
            for (int line = 0; line < 40; ++line)
                jobs[i] += "\x1b!\x08receipt " + QByteArray::number(i) + " line "
                    + QByteArray::number(line) + QByteArray(40, 'a' + i) + "\n";
        const std::size_t before = printer.received().size();
        QDBusPendingCall calls[] = {
            printJob(bus(), 1, jobs[0]), printJob(bus(), 3, jobs[1]), printJob(bus(), 1, jobs[2])};
        QSet<qulonglong> ids;
        for (QDBusPendingCall &call : calls) {
            call.waitForFinished();
            QVERIFY2(!call.isError(), qPrintable(call.error().message()));
            ids.insert(call.reply().arguments().value(0).toULongLong());
        }
        QCOMPARE(ids.size(), 3);
        // Taken by the printer's connection, the last bytes may not have
        // been read by the printer yet; the hold's automatic status is
        // asked for again after each job.
        const auto since = [this](std::size_t from) {
            const std::vector<std::uint8_t> all = printer.received();
            return QByteArray(
                reinterpret_cast<const char *>(all.data()) + from, qsizetype(all.size() - from))
                .replace(QByteArray("\x10\x04\x01", 3), {})
                .replace("\x1d\x61\x01", {});
        };
        QTRY_COMPARE(since(before), jobs[0] + jobs[1] + jobs[2]);
        const std::vector<std::uint8_t> all = printer.received();

        QDBusPendingCall cut = printJob(bus(), 1, QByteArray("text\n\x1b\x70\x00", 8));
        QDBusPendingCall large = printJob(bus(), 1, QByteArray(bus::MostJobBytes + 1, '.'));
        cut.waitForFinished();
        large.waitForFinished();
        QCOMPARE(cut.error().name(), QString::fromLatin1(bus::BadJobError));
        QCOMPARE(large.error().name(), QString::fromLatin1(bus::TooLargeError));
        QCOMPARE(since(all.size()), QByteArray());
    }

    void sectionEditRestartsItsDeviceOnly_data()
    {
        QTest::addColumn<QString>("how");
        // The file is a link to one in a folder of its own, which nothing
        // watches, until the last row puts a file in its place.
        QTest::newRow("Reload()") << QStringLiteral("Reload");
        QTest::newRow("SIGHUP") << QStringLiteral("SIGHUP");
        QTest::newRow("file replaced") << QStringLiteral("file");
    }

    void sectionEditRestartsItsDeviceOnly()
    {
        QFETCH(QString, how);
        const int first = printer.connections();
        const int connections = second.connections();
        QTRY_COMPARE(second.openConnections(), 1);
        secondPulse += 10;
        const QString text = configText(QStringLiteral("pulse-on = %1").arg(secondPulse));
        const QString path = home.filePath(QStringLiteral("drawers.conf"));
        if (how == QLatin1String("file")) {
            // Written beside it and renamed over it, as editors do.
            QVERIFY(writeFile(path + QStringLiteral(".new"), text));
            QCOMPARE(::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
                         QFile::encodeName(path).constData()),
                0);
        } else {
            QVERIFY(writeFile(home.filePath(QStringLiteral("unwatched/drawers.conf")), text));
        }
        if (how == QLatin1String("Reload")) {
            QCOMPARE(call(ManagerPath, ManagerInterface, QStringLiteral("Reload")).type(),
                QDBusMessage::ReplyMessage);
        } else if (how == QLatin1String("SIGHUP")) {
            QCOMPARE(::kill(pid_t(servicePid()), SIGHUP), 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(second.connections(), connections + 1, 2000);
        QTRY_COMPARE(second.openConnections(), 1);
        QCOMPARE(printer.connections(), first);
    }

    // Any local user may send a signal to a client's connection. The
    // library and ctl watch take the drawers' news from the bus and the
    // service alone.
    void forgedSignalsAreIgnored()
    {
        QProcess program, watch;
        Output shown {&program, {}}, watched {&watch, {}};
        startFollowers(program, watch, shown, watched);
        for (const QProcess *client : {&program, &watch})
            systemBus->forgeServiceSignals(systemBus->uniqueNameOf(client->processId()));
        // Queued behind the forgeries: a real change.
        printer.sensorHigh = true;
        QTRY_VERIFY(shown.shows("status 2"));
        QTRY_VERIFY(watched.shows("drawer 1 present open"));
        QVERIFY2(!shown.text.contains("status 0"), shown.text.constData());
        QVERIFY2(!watched.text.contains("absent") && !watched.text.contains("service-stopped"),
            watched.text.constData());
        // Asked again should the kick meet the pulse of an earlier one.
        for (int asked = 1; asked <= 3 && !shown.shows("opened 1"); ++asked) {
            program.write("open\n");
            QTRY_COMPARE(shown.count("opened"), asked);
        }
        QVERIFY(shown.shows("opened 1"));
        printer.sensorHigh = false;
        program.closeWriteChannel();
        watch.terminate();
        QVERIFY(program.waitForFinished() && watch.waitForFinished());
    }

    // A service that takes the name but does not answer GetManagedObjects
    // in time is asked again, and its clients follow it once it answers.
    void lostAnswersAreAskedAgain()
    {
        QProcess program, watch;
        Output shown {&program, {}}, watched {&watch, {}};
        startFollowers(program, watch, shown, watched);
        QProcess monitor;
        monitor.start(QStringLiteral("dbus-monitor"),
            {QStringLiteral("--address"), systemBus->address,
                QStringLiteral("type='method_call',member='GetManagedObjects'")});
        QVERIFY(monitor.waitForReadyRead());
        // Both clients meet the service's restart only once it is stuck.
        QStringList clients;
        for (const QProcess *client : {&program, &watch}) {
            clients << systemBus->uniqueNameOf(client->processId());
            QCOMPARE(::kill(pid_t(client->processId()), SIGSTOP), 0);
        }
        QCOMPARE(::kill(pid_t(servicePid()), SIGTERM), 0);
        QTRY_VERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        QVERIFY(bus().interface()->startService(ServiceName).isValid());
        const pid_t stuck = pid_t(servicePid());
        QCOMPARE(::kill(stuck, SIGSTOP), 0);
        const auto resume = qScopeGuard([stuck] { ::kill(stuck, SIGCONT); });
        watched.forget();
        for (const QProcess *client : {&program, &watch})
            QCOMPARE(::kill(pid_t(client->processId()), SIGCONT), 0);
        QMap<QString, int> calls;
        auto eachAskedTwice = [&] {
            const QRegularExpression call(QStringLiteral("sender=(\\S+) .*GetManagedObjects"));
            for (const QByteArray &line : monitor.readAllStandardOutput().split('\n'))
                if (const auto match = call.match(QString::fromLatin1(line)); match.hasMatch())
                    ++calls[match.captured(1)];
            return calls.value(clients[0]) >= 2 && calls.value(clients[1]) >= 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT(eachAskedTwice(), 10000);
        QTRY_VERIFY(shown.shows("status 0"));
        shown.forget();
        QCOMPARE(::kill(stuck, SIGCONT), 0);
        QTRY_VERIFY_WITH_TIMEOUT(shown.shows("status 1"), 35000);
        QTRY_VERIFY_WITH_TIMEOUT(watched.shows("service-started"), 35000);
        program.closeWriteChannel();
        watch.terminate();
        QVERIFY(program.waitForFinished() && watch.waitForFinished());
    }

    void handlesOutliveAServiceRestart()
    {
        QProcess program;
        Output output {&program, {}};
        program.start(QStringLiteral(HOLD_AT_EXIT),
            {QStringLiteral(DRIVER_LIBRARY), QStringLiteral("--follow")});
        QTRY_VERIFY(output.shows("status 1"));
        output.forget();
        QCOMPARE(::kill(pid_t(servicePid()), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(output.shows("status 0"), 1000);
        output.forget();

        // The next client starts it again; the handle works within a second.
        QProcess ctl;
        ctl.start(QStringLiteral(DRAWER_CTL), {QStringLiteral("status")});
        QVERIFY(ctl.waitForFinished());
        QCOMPARE(ctl.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(output.shows("status 1"), 1000);
        program.closeWriteChannel();
        QVERIFY(program.waitForFinished());
    }

    // Started as systemd starts it: ready and alive on the notification
    // socket, each line once with its priority on standard error (the
    // journal's stream), each event one entry of the journal with its
    // fields, cleaned; and a setup step that fails ends it.
    void underSystemd()
    {
        if (!withUsers || !mountJournalFolder())
            QSKIP("the journal's socket needs root, for a mount namespace");
        DatagramSocket journal("/run/systemd/journal/socket");
        DatagramSocket notify(QFile::encodeName(home.filePath(QStringLiteral("notify"))));
        const QString errors = home.filePath(QStringLiteral("stderr"));
        QVERIFY(journal.isValid() && notify.isValid() && writeFile(errors, QString()));
        // A caller whose program's name would forge lines.
        const QString odd = home.filePath(QStringLiteral("ctl-"));
        std::filesystem::copy_file(DRAWER_CTL, odd.toStdString() + "\x1b[2K\n\xff");
        if (const uint pid = servicePid())
            QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
        QTRY_VERIFY(!bus().interface()->isServiceRegistered(ServiceName).value());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : QList<std::pair<const char *, QString>> {
                 {"KESTRIN_DRAWERS_CONF", home.filePath(QStringLiteral("drawers.conf"))},
                 {"STATE_DIRECTORY", home.path()},
                 {"NOTIFY_SOCKET", home.filePath(QStringLiteral("notify"))},
                 {"WATCHDOG_USEC", QStringLiteral("100000")},
                 {"JOURNAL_STREAM", journalStream(errors)}})
            environment.insert(QLatin1String(name), value);
        QProcess service;
        service.setProcessEnvironment(environment);
        service.setStandardErrorFile(errors);
        service.start(QStringLiteral(SERVICE_PROGRAM));
        QTRY_VERIFY(notify.messages().join('\n').contains("READY=1"));
        QTRY_VERIFY(notify.messages().count("WATCHDOG=1") >= 3);

        QCOMPARE(open(1, QStringLiteral("sale 9")).type(), QDBusMessage::ReplyMessage);
        QVERIFY(open(5, QStringLiteral("nowhere"))
                    .errorName()
                    .endsWith(QLatin1String("NotConfigured")));
        QCOMPARE(
            QProcess::execute(QStringLiteral("sh"),
                {QStringLiteral("-c"),
                    QStringLiteral("exec \"$(printf '%s\\033[2K\\n\\377' \"$0\")\" open 3"), odd}),
            0);
        second.vanish();
        const auto entry = [&journal](const QByteArray &event, int drawer) {
            for (const auto &fields : journal.entries())
                if (fields.value("KESTRIN_EVENT") == event
                    && fields.value("KESTRIN_DRAWER").toInt() == drawer)
                    return fields;
            return QMap<QByteArray, QByteArray> {};
        };
        QFile file(errors);
        QByteArray text;
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTRY_VERIFY(!entry("gone", 2).isEmpty()
            && (text += file.readAll()).contains("refuses connections"));
        second.comeBack();
        service.terminate();
        QVERIFY(service.waitForFinished());
        QCOMPARE(service.exitCode(), 0);
        QTRY_VERIFY(entry("service-stop", 0).value("KESTRIN_DRAWER", "none") == "none");

        const QByteArray pid = QByteArray::number(::getpid());
        const QList<QMap<QByteArray, QByteArray>> expected
            = {{{"KESTRIN_EVENT", "kick"}, {"KESTRIN_DRAWER", "1"}, {"PRIORITY", "6"},
                   {"KESTRIN_REASON", "sale 9"}, {"KESTRIN_UID", "0"}, {"KESTRIN_PID", pid},
                   {"MESSAGE", "drawer 1 opened for uid 0 (pid " + pid + ", "}},
                {{"KESTRIN_EVENT", "kick-refused"}, {"KESTRIN_DRAWER", "5"}, {"PRIORITY", "6"},
                    {"KESTRIN_REASON", "not configured: nowhere"}},
                {{"KESTRIN_EVENT", "gone"}, {"KESTRIN_DRAWER", "2"}, {"PRIORITY", "4"},
                    {"KESTRIN_PROGRAM", QByteArray::fromStdString(second.address())}},
                {{"KESTRIN_EVENT", "kick"}, {"KESTRIN_DRAWER", "3"},
                    {"KESTRIN_PROGRAM", QFile::encodeName(odd + QStringLiteral("[2K\ufffd"))}}};
        for (const auto &fields : expected) {
            auto got = entry(fields.value("KESTRIN_EVENT"), fields.value("KESTRIN_DRAWER").toInt());
            QCOMPARE(got.value("MESSAGE_ID"), QByteArray("235bff0a8ce2470bba6301b4b24921fa"));
            for (auto field = fields.begin(); field != fields.end(); ++field)
                QVERIFY2(got[field.key()].startsWith(field.value()),
                    field.key() + "=" + got[field.key()]);
        }
        // Each line with its priority, the drawer code's warning once, and
        // no kick told a second time.
        text += file.readAll();
        for (const QByteArray &line : text.trimmed().split('\n'))
            QVERIFY2(line.size() > 3 && line[0] == '<' && line[2] == '>', line);
        QCOMPARE(text.count("refuses connections"), 1);
        QVERIFY(text.contains("<4>kestrin-drawerd: " + second.address() + " refuses connections"));
        QVERIFY(!text.contains("opened for"));

        environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("soon"));
        service.setProcessEnvironment(environment);
        service.start(QStringLiteral(SERVICE_PROGRAM));
        QVERIFY(service.waitForFinished());
        QCOMPARE(service.exitCode(), 1);
        QVERIFY(file.seek(0)
            && file.readAll().startsWith("<3>kestrin-drawerd: cannot start the watchdog"));
    }
};

QTEST_MAIN(ServiceTest)
#include "tst_service.moc"
