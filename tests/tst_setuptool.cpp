// The set-up tool, kestrin-drawer-setup, run as a user runs it: against
// printers played by a process of their own (fake-printer, on 127.0.0.1 and
// on a pseudo-terminal), on configuration files in the test's own folders,
// and on a device tree laid out like /dev and /sys.

#include "support/blockedclock.h"
#include "support/drawerfunctions.h"
#include "support/stderrcapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString Tool = QFileInfo(QStringLiteral(SETUP_TOOL)).canonicalFilePath();
const QString FakePrinterProgram = QStringLiteral(FAKE_PRINTER);
const QString DriverLibrary = QStringLiteral(DRIVER_LIBRARY);

// The tool's exit status, as its manual page lists them.
enum Exit { Done = 0, NoAnswer = 1, Usage = 2, Permission = 3, Busy = 4, NotFound = 5 };
constexpr int NotConfigured = 6;

struct Result {
    int code = -1; // -1: it crashed, or did not end
    QString out;
    QString err;
    qint64 ms = 0;
    QString all() const { return out + err; }
};

// How to run the tool as a user without root: as nobody where the test is
// root, else as the test's own user.
QStringList asUser()
{
    if (::geteuid() != 0)
        return {};
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
        QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"), QStringLiteral("--")};
}

QProcessEnvironment toolEnvironment(const QString &config, const QString &root = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), config);
    env.remove(QStringLiteral("KESTRIN_SETUP_ROOT"));
    if (!root.isEmpty())
        env.insert(QStringLiteral("KESTRIN_SETUP_ROOT"), root);
    return env;
}

// The tool where the user of asUser() may run it. The build folder may sit
// where only root may go (a clone in /root), so root's tests run a copy in a
// folder anyone may enter.
QString toolFor(const QStringList &as)
{
    if (as.isEmpty())
        return Tool;
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/kestrin-setup-XXXXXX"));
    static const QString copy = [] {
        const QString path = folder.filePath(QStringLiteral("kestrin-drawer-setup"));
        const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        QFile::setPermissions(folder.path(), everyone);
        QFile::copy(Tool, path);
        QFile::setPermissions(path, everyone);
        return QFileInfo(path).canonicalFilePath();
    }();
    return copy;
}

Result runTool(const QStringList &arguments, const QString &config, const QStringList &as = {},
    const QString &root = {})
{
    QProcess process;
    process.setProcessEnvironment(toolEnvironment(config, root));
    QElapsedTimer timer;
    timer.start();
    if (as.isEmpty())
        process.start(Tool, arguments);
    else
        process.start(as.first(), as.mid(1) + QStringList {toolFor(as)} + arguments);
    process.closeWriteChannel();
    Result result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.ms = timer.elapsed();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    if (process.exitStatus() == QProcess::NormalExit)
        result.code = process.exitCode();
    return result;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), text.size());
}

struct stat statOf(const QString &path)
{
    struct stat info = {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info;
}

// A receipt printer with its drawer, played by fake-printer.
class FakePrinter {
public:
    explicit FakePrinter(const QStringList &options = {})
    {
        m_process.start(FakePrinterProgram, options);
        m_process.waitForStarted();
        where = nextLine();
        nextLine(); // the drawer's first state
    }
    ~FakePrinter()
    {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // Sends a command and returns its answer, the next line that starts
    // with the prefix (lines about kicks may come first).
    QString command(const QString &text, const QString &answer)
    {
        m_process.write((text + QLatin1Char('\n')).toUtf8());
        QElapsedTimer timer;
        timer.start();
        for (QString line; !(line = nextLine(5000 - int(timer.elapsed()))).isNull();)
            if (line.startsWith(answer))
                return line;
        return {};
    }
    bool open() { return !command(QStringLiteral("open"), QStringLiteral("drawer open")).isNull(); }
    bool close()
    {
        return !command(QStringLiteral("close"), QStringLiteral("drawer closed")).isNull();
    }
    int kicks()
    {
        return command(QStringLiteral("kicks"), QStringLiteral("kicks ")).mid(6).toInt();
    }
    QByteArray received()
    {
        return QByteArray::fromHex(
            command(QStringLiteral("received"), QStringLiteral("received")).mid(8).toLatin1());
    }

    QString where; // tcp://127.0.0.1:PORT, or the terminal's device

private:
    QString nextLine(int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < ms
            && m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(std::max(1, ms - int(timer.elapsed())));
        if (!m_process.canReadLine())
            return {};
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

    QProcess m_process;
};

const QByteArray StatusRequest = QByteArray::fromHex("100401");

// Whether the bytes are nothing but status requests.
bool onlyStatusRequests(const QByteArray &bytes)
{
    return !bytes.isEmpty() && bytes == StatusRequest.repeated(bytes.size() / 3);
}

// A configuration with comments and two sections, as a shop might have it.
const QByteArray ShopConfig = "# Cash drawers on the shop's two printers.\n"
                              "\n"
                              "[drawer 1]\n"
                              "# The front counter.\n"
                              "device = /dev/receipt-printer\n"
                              "connector = pin2\n"
                              "sensor = none\n"
                              "\n"
                              "; the back office\n"
                              "[drawer 2]\n"
                              "device = /dev/ttyUSB0\n"
                              "speed = 19200\n"
                              "\n"
                              "# Drawer 3 is still in its box.\n"
                              "#[drawer 3]\n"
                              "#device = /dev/ttyUSB1\n";

QByteArray shopConfigWith(const QByteArray &from, const QByteArray &to)
{
    QByteArray text = ShopConfig;
    return text.replace(from, to);
}

} // namespace

class SetupToolTest : public QObject {
    Q_OBJECT

private slots:
    void helpListsTheCommandsAndExitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("onStandardOutput");
        QTest::newRow("--help") << QStringList {QStringLiteral("--help")} << int(Done) << true;
        QTest::newRow("help") << QStringList {QStringLiteral("help")} << int(Done) << true;
        QTest::newRow("nothing") << QStringList {} << int(Usage) << false;
    }
    void helpListsTheCommandsAndExitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(bool, onStandardOutput);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        const Result result = runTool(arguments, config);
        QCOMPARE(result.code, code);
        const QString help = onStandardOutput ? result.out : result.err;
        for (const char *command : {"detect", "detect --network", "probe N", "probe DEVICE",
                 "kick N", "polarity N", "set N", "remove N"})
            QVERIFY2(help.contains(QLatin1String("  ") + QLatin1String(command)), command);
        QVERIFY2(help.contains(QLatin1String("Configuration file: ") + config), qPrintable(help));
        const QRegularExpression status(
            QStringLiteral("^  ([0-6])  \\S"), QRegularExpression::MultilineOption);
        QString codes;
        for (auto match = status.globalMatch(help); match.hasNext();)
            codes += match.next().captured(1);
        QCOMPARE(codes, QStringLiteral("0123456"));
    }

    void refusesAWrongCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        const auto row = [](const char *name, QStringList arguments, const char *says) {
            QTest::newRow(name) << arguments << QString::fromUtf8(says);
        };
        row("unknown command", {"frobnicate"}, "unknown command 'frobnicate'");
        row("probe of nothing", {"probe"}, "probe takes a drawer number");
        row("drawer 9", {"probe", "9"}, "there is no drawer 9");
        row("drawer 0", {"kick", "0"}, "kick takes one drawer number");
        row("drawer 1x", {"polarity", "1x"}, "polarity takes one drawer number");
        row("set without settings", {"set", "1"}, "set takes a drawer number");
        row("set with a bare word", {"set", "1", "device"}, "'device' is no KEY=VALUE");
        row("set with no key", {"set", "1", "=/dev/lp0"}, "is no KEY=VALUE");
        row("a value of two lines", {"set", "1", "device=/dev/x\n[drawer 2]"}, "must be one line");
        row("a key twice", {"set", "1", "speed=9600", "speed=19200"}, "'speed' is given twice");
        row("remove of two", {"remove", "1", "2"}, "remove takes one drawer number");
        row("network without address", {"detect", "--network"}, "detect takes nothing");
        row("network with a bad host", {"detect", "--network", "no such host!"}, "bad address");
        row("network with a bad port", {"detect", "--network", "127.0.0.1:99999"}, "bad port");
        row("a relative device", {"probe", "lp0"}, "absolute path");
        row("drawer with settings", {"probe", "1", "--protocol", "star"}, "takes nothing more");
        row("an unknown protocol", {"probe", "/dev/null", "--protocol", "morse"},
            "unknown protocol 'morse'");
        row("a hid drawer without id", {"probe", "/dev/null", "--protocol", "hid"}, "needs its id");
        row("printer without a queue", {"printer", "1"},
            "printer takes a drawer and a print queue");
        row("printer of drawer 9", {"printer", "9", "receipts"}, "'9' is no drawer number");
        row("a queue with a blank", {"printer", "1", "front desk"}, "is no print queue name");
    }
    void refusesAWrongCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, ShopConfig);
        const Result result = runTool(arguments, config);
        QCOMPARE(result.code, int(Usage));
        QVERIFY2(result.err.contains(says), qPrintable(result.err));
        QCOMPARE(readFile(config), ShopConfig);
    }

    void setChangesOneSectionAndKeepsTheRest_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("printed");
        QTest::newRow("a value in its place")
            << QStringList {"set", "1", "device=tcp://127.0.0.1:9100"}
            << shopConfigWith("device = /dev/receipt-printer", "device = tcp://127.0.0.1:9100")
            << QStringLiteral("[drawer 1]\n# The front counter.\ndevice = tcp://127.0.0.1:9100\n");
        QTest::newRow("a key after the section's last")
            << QStringList {"set", "1", "pulse-on=100"}
            << shopConfigWith("sensor = none\n", "sensor = none\npulse-on = 100\n")
            << QStringLiteral("sensor = none\npulse-on = 100\n");
        QTest::newRow("a key taken out")
            << QStringList {"set", "1", "connector="} << shopConfigWith("connector = pin2\n", "")
            << QStringLiteral("device = /dev/receipt-printer\n"
                              "sensor = none\n");
        QTest::newRow("two keys of the second section")
            << QStringList {"set", "2", "speed=9600", "sensor=open-low"}
            << shopConfigWith("speed = 19200\n", "speed = 9600\nsensor = open-low\n")
            << QStringLiteral("[drawer 2]\ndevice = /dev/ttyUSB0\nspeed = 9600\n"
                              "sensor = open-low\n");
        QTest::newRow("a new section at the end")
            << QStringList {"set", "3", "device=/dev/ttyUSB1", "protocol=trigger"}
            << ShopConfig + "\n[drawer 3]\ndevice = /dev/ttyUSB1\nprotocol = trigger\n"
            << QStringLiteral("[drawer 3]\ndevice = /dev/ttyUSB1\nprotocol = trigger\n");
        QTest::newRow("an alarm") << QStringList {"set", "1", "alarm-after=120"}
                                  << shopConfigWith(
                                         "sensor = none\n", "sensor = none\nalarm-after = 120\n")
                                  << QStringLiteral("alarm-after = 120\n");
        QTest::newRow("the service's section")
            << QStringList {"set", "service", "keep-days=90", "keep-megabytes=20"}
            << ShopConfig + "\n[service]\nkeep-days = 90\nkeep-megabytes = 20\n"
            << QStringLiteral("[service]\nkeep-days = 90\nkeep-megabytes = 20\n");
    }
    void setChangesOneSectionAndKeepsTheRest()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, expected);
        QFETCH(QString, printed);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, ShopConfig);
        QVERIFY(QFile::setPermissions(
            config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        const auto before = statOf(config);

        const Result result = runTool(arguments, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        QCOMPARE(readFile(config), expected);
        QVERIFY2(result.out.contains(printed), qPrintable(result.out));
        const auto after = statOf(config);
        QCOMPARE(after.st_mode, before.st_mode);
        // Replaced by another file, not rewritten in place.
        QVERIFY(after.st_ino != before.st_ino);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList {QStringLiteral("drawers.conf")});
    }

    void setRefusesABadValueWithoutTouchingTheFile_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("fileExists");
        const auto row
            = [](const char *name, QStringList arguments, const char *says, bool exists = true) {
                  QTest::newRow(name) << arguments << QString::fromUtf8(says) << exists;
              };
        row("pulse of 0 ms", {"set", "1", "pulse-on=0"}, "pulse-on must be 1 to 2550");
        row("sensor sideways", {"set", "1", "sensor=sideways"}, "sensor must be open-high");
        row("a relative device", {"set", "2", "device=ttyUSB0"}, "absolute path");
        row("a bad port", {"set", "1", "device=tcp://127.0.0.1:0"}, "bad port");
        row("an unknown key", {"set", "1", "colour=red"}, "unknown key 'colour'");
        row("keeping no days", {"set", "service", "keep-days=0"}, "keep-days must be 1 to 36500");
        row("a drawer's key for the service", {"set", "service", "sensor=none"}, "unknown key");
        row("an alarm of a day and more", {"set", "1", "alarm-after=86401"}, "alarm-after must be");
        row("hid without its id", {"set", "2", "protocol=hid"}, "needs its id");
        row("a key of another protocol", {"set", "2", "id=3"}, "'id' does not apply");
        row("no device left", {"set", "2", "device="}, "names no device");
        row("a new section without device", {"set", "4", "speed=9600"}, "names no device");
        row("a new file without device", {"set", "1", "sensor=open-high"}, "names no device",
            false);
    }
    void setRefusesABadValueWithoutTouchingTheFile()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        QFETCH(bool, fileExists);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        if (fileExists)
            writeFile(config, ShopConfig);
        const auto before = statOf(config);

        const Result result = runTool(arguments, config);
        QCOMPARE(result.code, int(Usage));
        QVERIFY2(result.err.contains(QLatin1String("not written")), qPrintable(result.err));
        QVERIFY2(result.err.contains(says), qPrintable(result.err));
        QCOMPARE(QFile::exists(config), fileExists);
        if (fileExists) {
            QCOMPARE(readFile(config), ShopConfig);
            QCOMPARE(statOf(config).st_ino, before.st_ino);
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), fileExists ? 1 : 0);
    }

    void setWritesANewFileAndItsFolder()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("kestrin-drawer/drawers.conf"));
        const Result result = runTool({"set", "5", "device=/dev/usb/lp0"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        const QByteArray text = readFile(config);
        QVERIFY2(text.startsWith('#'), text.constData());
        QVERIFY2(text.endsWith("\n[drawer 5]\ndevice = /dev/usb/lp0\n"), text.constData());
        QCOMPARE(statOf(config).st_mode & 0777, mode_t(0644));
    }

    void withoutPermissionItPrintsTheCommandToRun_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("afterwards");
        QTest::newRow("set") << QStringList {"set", "1", "device=tcp://127.0.0.1:9100"}
                             << shopConfigWith("/dev/receipt-printer", "tcp://127.0.0.1:9100");
        QTest::newRow("set, quoted") << QStringList {"set", "2", "kick=1B 07", "protocol=trigger"}
                                     << shopConfigWith("speed = 19200\n",
                                            "speed = 19200\nkick = 1B 07\nprotocol = trigger\n");
        QTest::newRow("remove")
            << QStringList {"remove", "1"}
            << shopConfigWith("[drawer 1]\n# The front counter.\ndevice = /dev/receipt-printer\n"
                              "connector = pin2\nsensor = none\n\n",
                   "");
    }
    void withoutPermissionItPrintsTheCommandToRun()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, afterwards);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, ShopConfig);
        QFile::setPermissions(config, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QFile::setPermissions(dir.path(),
            QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                | QFile::ReadOther | QFile::ExeOther);

        const Result result = runTool(arguments, config, asUser());
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY2(result.code == Permission, qPrintable(result.all()));
        QCOMPARE(readFile(config), ShopConfig);
        QStringList quoted;
        for (const QString &argument : arguments)
            quoted << (argument.contains(QLatin1Char(' '))
                    ? QLatin1Char('\'') + argument + QLatin1Char('\'')
                    : argument);
        const QString command = QStringLiteral("sudo env KESTRIN_DRAWERS_CONF=") + config
            + QLatin1Char(' ') + toolFor(asUser()) + QLatin1Char(' ')
            + quoted.join(QLatin1Char(' '));
        QVERIFY2(result.err.contains(QStringLiteral("you may not change ") + config),
            qPrintable(result.err));
        QVERIFY2(result.err.contains(QLatin1String("\n  ") + command + QLatin1Char('\n')),
            qPrintable(result.err));

        if (::geteuid() != 0)
            return;
        // The command as printed, run by root, does it.
        QProcess shell;
        QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), command.mid(5)});
        QVERIFY(shell.waitForFinished(30000));
        QCOMPARE(shell.exitCode(), 0);
        QCOMPARE(readFile(config), afterwards);
    }

    void removeTakesOutOneSection_data()
    {
        QTest::addColumn<int>("drawer");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("left");
        QTest::newRow("the first")
            << 1
            << shopConfigWith("[drawer 1]\n# The front counter.\ndevice = /dev/receipt-printer\n"
                              "connector = pin2\nsensor = none\n\n",
                   "")
            << QStringLiteral("Drawers configured now: 2\n");
        QTest::newRow("the last, with comments after it kept")
            << 2 << shopConfigWith("[drawer 2]\ndevice = /dev/ttyUSB0\nspeed = 19200\n\n", "")
            << QStringLiteral("Drawers configured now: 1\n");
    }
    void removeTakesOutOneSection()
    {
        QFETCH(int, drawer);
        QFETCH(QByteArray, expected);
        QFETCH(QString, left);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, ShopConfig);
        const QStringList arguments {QStringLiteral("remove"), QString::number(drawer)};
        Result result = runTool(arguments, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        QCOMPARE(readFile(config), expected);
        QVERIFY2(result.out.endsWith(left), qPrintable(result.out));

        result = runTool(arguments, config);
        QCOMPARE(result.code, NotConfigured);
        QVERIFY2(result.err.contains(QLatin1String("nothing to remove")), qPrintable(result.err));
        QCOMPARE(readFile(config), expected);
    }

    void probeSaysWhatItSaw_data()
    {
        QTest::addColumn<QStringList>("printer");
        QTest::addColumn<bool>("drawerOpen");
        QTest::addColumn<QString>("sensor");
        QTest::addColumn<QStringList>("says");
        QTest::newRow("network, closed")
            << QStringList {} << false << QStringLiteral("open-high")
            << QStringList {"It answered: yes, all 5 times.",
                   "The window would show the drawer: closed\n", "Raw status: 12 (hex)\n",
                   "Sensor level: low\n", "suggests sensor = open-high.", "The file says so too."};
        QTest::newRow("network, open") << QStringList {} << true << QStringLiteral("open-high")
                                       << QStringList {"The window would show the drawer: open\n",
                                              "Raw status: 16 (hex)\n", "Sensor level: high\n"};
        QTest::newRow("network, closed, polarity the wrong way round")
            << QStringList {"--open-low"} << false << QStringLiteral("open-high")
            << QStringList {"The window would show the drawer: open\n", "Sensor level: high\n",
                   "suggests sensor = open-low.",
                   "The file says sensor = open-high: the wrong way"};
        QTest::newRow("terminal, closed, no sensor")
            << QStringList {"--pty"} << false << QStringLiteral("none")
            << QStringList {"The window would show the drawer: closed (sensor = none",
                   "Sensor level: low\n", "suggests sensor = open-high.",
                   "set 1 sensor=open-high\n"};
        QTest::newRow("terminal, open")
            << QStringList {"--pty"} << true << QStringLiteral("open-high")
            << QStringList {"  5: open (sensor high, status 16)\n",
                   "The window would show the drawer: open\n"};
    }
    void probeSaysWhatItSaw()
    {
        QFETCH(QStringList, printer);
        QFETCH(bool, drawerOpen);
        QFETCH(QString, sensor);
        QFETCH(QStringList, says);
        FakePrinter fake(printer);
        QVERIFY(!fake.where.isEmpty());
        QVERIFY(drawerOpen ? fake.open() : fake.close());
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config,
            "[drawer 1]\ndevice = " + fake.where.toUtf8() + "\nsensor = " + sensor.toUtf8() + "\n");

        const Result result = runTool({"probe", "1"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        for (const QString &words : says)
            QVERIFY2(result.out.contains(words), qPrintable(words + "\n---\n" + result.out));
        // Five questions, and nothing else.
        QCOMPARE(fake.received(), StatusRequest.repeated(5));
    }

    void probeOfADeviceNotConfigured_data()
    {
        QTest::addColumn<QStringList>("printer");
        QTest::newRow("network") << QStringList {};
        QTest::newRow("terminal") << QStringList {"--pty"};
    }
    void probeOfADeviceNotConfigured()
    {
        QFETCH(QStringList, printer);
        FakePrinter fake(printer);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        const Result result
            = runTool({"probe", fake.where, "--protocol", "escpos", "speed=19200"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        QVERIFY2(
            result.out.startsWith(QStringLiteral("Device: ") + fake.where), qPrintable(result.out));
        QVERIFY2(result.out.contains(QLatin1String("It answered: yes, all 5 times.")),
            qPrintable(result.out));
        QVERIFY2(result.out.contains(QLatin1String("suggests sensor = open-high.\n")),
            qPrintable(result.out));
        QVERIFY(!QFile::exists(config));
    }

    void probeOfASilentPrinterSaysNoAnswer_data()
    {
        QTest::addColumn<QStringList>("printer");
        QTest::newRow("network") << QStringList {};
        QTest::newRow("terminal") << QStringList {"--pty"};
    }
    void probeOfASilentPrinterSaysNoAnswer()
    {
        QFETCH(QStringList, printer);
        FakePrinter fake(printer);
        QVERIFY(!fake.command(QStringLiteral("silent"), QStringLiteral("silent")).isNull());
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, "[drawer 1]\ndevice = " + fake.where.toUtf8() + "\nsensor = open-low\n");

        const Result result = runTool({"probe", "1"}, config);
        QCOMPARE(result.code, int(NoAnswer));
        QVERIFY2(result.out.contains(QLatin1String("  1: no answer: ")), qPrintable(result.out));
        QVERIFY2(result.out.contains(QLatin1String("It answered: no, not once in 5 times.")),
            qPrintable(result.out));
        QVERIFY2(result.out.contains(QLatin1String("The window would show the drawer: no answer")),
            qPrintable(result.out));
        QVERIFY2(
            result.out.contains(QLatin1String("Sensor level: not read")), qPrintable(result.out));
        // Each question waits a bounded time: five of them in a few seconds.
        QVERIFY2(result.ms < 5000, qPrintable(QString::number(result.ms)));
    }

    void refusalsSayWhyAndWhatToDo_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("says");
        const auto row = [](const char *situation, QStringList arguments, int code,
                             QStringList says) {
            QTest::newRow(situation) << QString::fromUtf8(situation) << arguments << code << says;
        };
        row("no file", {"probe", "1"}, NotConfigured,
            {"drawer 1 is not configured", "does not exist", " set 1 device=DEVICE"});
        row("no section", {"kick", "3"}, NotConfigured,
            {"has no [drawer 3] section", " set 3 device=DEVICE"});
        row("a wrong section", {"polarity", "1"}, NotConfigured,
            {"its section is wrong", "pulse-on must be 1 to 2550"});
        row("no such device", {"probe", "1"}, NotFound,
            {"/dev/kestrin-test-no-such-node does not exist", " detect lists the devices"});
        row("a link to nothing", {"kick", "1"}, NotFound,
            {"is a link to a device that is not there"});
        row("nothing on the port", {"probe", "1"}, NoAnswer,
            {"Nothing takes connections on that port"});
        row("a device held", {"probe", "1"}, Busy, {"is busy: held by process "});
        row("remove of nothing", {"remove", "4"}, NotConfigured,
            {"has no [drawer 4] section; nothing to remove"});
        row("a holder named with escapes", {"probe", "1"}, Busy, {"(\\x1B]0;x\\x07)"});
        row("a line without =", {"kick", "1"}, NotConfigured,
            {"drawers.conf:2: expected key = value (drawer 1 is unavailable)", " set 1 "});
    }
    void refusalsSayWhyAndWhatToDo()
    {
        QFETCH(QString, situation);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QStringList, says);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        const bool held = situation == QLatin1String("a device held")
            || situation == QLatin1String("a holder named with escapes");
        FakePrinter fake(held ? QStringList {"--pty"} : QStringList {});
        int holder = -1;
        if (situation == QLatin1String("no section")
            || situation == QLatin1String("remove of nothing")) {
            writeFile(config, ShopConfig);
        } else if (situation == QLatin1String("a wrong section")) {
            writeFile(config, "[drawer 1]\ndevice = /dev/ttyUSB0\npulse-on = 0\n");
        } else if (situation == QLatin1String("no such device")) {
            writeFile(config, "[drawer 1]\ndevice = /dev/kestrin-test-no-such-node\n");
        } else if (situation == QLatin1String("a link to nothing")) {
            const QString link = dir.filePath(QStringLiteral("receipt-printer"));
            QVERIFY(::symlink("/dev/kestrin-test-no-such-node", QFile::encodeName(link)) == 0);
            writeFile(config, "[drawer 1]\ndevice = " + link.toUtf8() + "\n");
        } else if (situation == QLatin1String("nothing on the port")) {
            writeFile(config, "[drawer 1]\ndevice = " + fake.where.toUtf8() + "\n");
            QVERIFY(!fake.command(QStringLiteral("vanish"), QStringLiteral("gone")).isNull());
        } else if (held) {
            writeFile(config, "[drawer 1]\ndevice = " + fake.where.toUtf8() + "\n");
            holder
                = ::open(QFile::encodeName(fake.where).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(holder >= 0);
            QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
            says << QStringLiteral("held by process %1 (").arg(::getpid());
        } else if (situation == QLatin1String("a line without =")) {
            writeFile(config, "[drawer 1]\ndevice: /dev/ttyUSB0\n");
        }
        const QByteArray before = readFile(config);

        // A process may give itself any name, escape sequences included.
        char ownName[16] = {};
        ::prctl(PR_GET_NAME, ownName);
        if (situation == QLatin1String("a holder named with escapes"))
            ::prctl(PR_SET_NAME, "\x1B]0;x\x07");
        const Result result = runTool(arguments, config);
        ::prctl(PR_SET_NAME, ownName);
        QVERIFY2(!result.all().contains(QChar(0x1B)), qPrintable(result.all()));
        if (holder >= 0)
            ::close(holder);
        QVERIFY2(result.code == code, qPrintable(result.all()));
        for (const QString &words : says)
            QVERIFY2(result.err.contains(words), qPrintable(words + "\n---\n" + result.err));
        QCOMPARE(readFile(config), before);
        if (situation == QLatin1String("a device held"))
            QCOMPARE(fake.received(), QByteArray());
    }

    void aDeviceNotOpenToTheUserNamesTheWayIn_data()
    {
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("says");
        QTest::newRow("a serial port")
            << QStringLiteral("ttyUSB7") << QStringLiteral("sudo usermod -aG dialout $USER");
        QTest::newRow("a USB printer")
            << QStringLiteral("lp7") << QStringLiteral("sudo usermod -aG lp $USER");
        QTest::newRow("a HID drawer")
            << QStringLiteral("hidraw7") << QStringLiteral("TAG+=\"uaccess\"' | sudo tee ");
        QTest::newRow("anything else")
            << QStringLiteral("drawer") << QStringLiteral("ask the administrator");
    }
    void aDeviceNotOpenToTheUserNamesTheWayIn()
    {
        QFETCH(QString, node);
        QFETCH(QString, says);
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                | QFile::ExeOther);
        const QString device = dir.filePath(node);
        writeFile(device, {});
        QVERIFY(QFile::setPermissions(device, {}));
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        const QByteArray protocol
            = node.startsWith(QLatin1String("hidraw")) ? "protocol = hid\nid = 0\n" : "";
        writeFile(config, "[drawer 1]\ndevice = " + device.toUtf8() + "\n" + protocol);

        const Result result = runTool({"probe", "1"}, config, asUser());
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY2(result.code == Permission, qPrintable(result.all()));
        QVERIFY2(result.err.contains(QStringLiteral("you may not open ") + device),
            qPrintable(result.err));
        QVERIFY2(result.err.contains(says), qPrintable(result.err));
    }

    void kickFiresOnceAndReadsTheSensorBeforeAndAfter_data()
    {
        QTest::addColumn<QStringList>("printer");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QByteArray>("kick");
        QTest::addColumn<int>("pulseMs");
        QTest::addColumn<QStringList>("says");
        QTest::newRow("network, pin 2")
            << QStringList {} << QByteArray("sensor = open-high\n")
            << QByteArray::fromHex("1B700019FA") << 550
            << QStringList {"Before: closed (sensor low, status 12)\n",
                   "Fired it once: sent 1B 70 00 19 FA\n", "After 650 ms: open (sensor high",
                   "The drawer went from closed to open.\n"};
        QTest::newRow("terminal, both pins, 10 ms units")
            << QStringList {"--pty"}
            << QByteArray("connector = both\ntime-unit = 10\npulse-on = 100\npulse-off = 200\n"
                          "sensor = open-high\n")
            << QByteArray::fromHex("1B70000A14 1B70010A14") << 600
            << QStringList {"Fired it once: sent 1B 70 00 0A 14 1B 70 01 0A 14\n",
                   "After 700 ms: open", "The drawer went from closed to open.\n"};
        QTest::newRow("network, a drawer without switch")
            << QStringList {"--no-switch"} << QByteArray("sensor = open-low\n")
            << QByteArray::fromHex("1B700019FA") << 550
            << QStringList {"Before: open (sensor low", "After 650 ms: open (sensor low",
                   "The sensor did not change."};
    }
    void kickFiresOnceAndReadsTheSensorBeforeAndAfter()
    {
        QFETCH(QStringList, printer);
        QFETCH(QByteArray, settings);
        QFETCH(QByteArray, kick);
        QFETCH(int, pulseMs);
        QFETCH(QStringList, says);
        FakePrinter fake(printer);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, "[drawer 2]\ndevice = " + fake.where.toUtf8() + "\n" + settings);

        const Result result = runTool({"kick", "2"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        for (const QString &words : says)
            QVERIFY2(result.out.contains(words), qPrintable(words + "\n---\n" + result.out));
        // A question, the kick once, and a question after the pulse.
        QCOMPARE(fake.received(), StatusRequest + kick + StatusRequest);
        QVERIFY2(result.ms >= pulseMs, qPrintable(QString::number(result.ms)));
    }

    void polarityWritesWhatTheSensorShows_data()
    {
        QTest::addColumn<QStringList>("printer");
        QTest::addColumn<int>("enters");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QByteArray>("sensorLine"); // empty: the file stays as it was
        QTest::newRow("high while open")
            << QStringList {} << 2 << int(Done)
            << QStringLiteral("The sensor is high while the drawer is open: sensor = open-high.")
            << QByteArray("sensor = open-high");
        QTest::newRow("low while open, on a terminal")
            << QStringList {"--pty", "--open-low"} << 2 << int(Done)
            << QStringLiteral("The sensor is low while the drawer is open: sensor = open-low.")
            << QByteArray("sensor = open-low");
        QTest::newRow("a sensor that does not change")
            << QStringList {"--no-switch"} << 2 << int(NoAnswer)
            << QStringLiteral("it does not change between closed and open") << QByteArray();
        QTest::newRow("input ends before the first Enter")
            << QStringList {} << 0 << int(NoAnswer) << QStringLiteral("nothing was written")
            << QByteArray();
        QTest::newRow("input ends before the second Enter")
            << QStringList {} << 1 << int(NoAnswer) << QStringLiteral("nothing was written")
            << QByteArray();
    }
    void polarityWritesWhatTheSensorShows()
    {
        QFETCH(QStringList, printer);
        QFETCH(int, enters);
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(QByteArray, sensorLine);
        FakePrinter fake(printer);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        const QByteArray original
            = "# The front counter\n[drawer 1]\ndevice = " + fake.where.toUtf8()
            + "\n# none until we know\nsensor = none\n\n[drawer 2]\n"
              "device = /dev/usb/lp1\n";
        writeFile(config, original);

        QProcess tool;
        tool.setProcessEnvironment(toolEnvironment(config));
        tool.start(Tool, {QStringLiteral("polarity"), QStringLiteral("1")});
        QVERIFY(tool.waitForStarted());
        QString out;
        const auto waitFor = [&](const QString &words) {
            QElapsedTimer timer;
            timer.start();
            while (!out.contains(words) && timer.elapsed() < 10000
                && tool.state() == QProcess::Running) {
                tool.waitForReadyRead(100);
                out += QString::fromUtf8(tool.readAllStandardOutput());
            }
            return out.contains(words);
        };
        // The user: closes the drawer, presses Enter, opens it, presses Enter.
        QVERIFY2(waitFor(QStringLiteral("Close the drawer, then press Enter.")), qPrintable(out));
        if (enters >= 1) {
            QVERIFY(fake.close());
            tool.write("\n");
            QVERIFY2(
                waitFor(QStringLiteral("Open the drawer, then press Enter.\n")), qPrintable(out));
        }
        if (enters >= 2) {
            QVERIFY(fake.open());
            tool.write("\n");
        }
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(15000));
        out += QString::fromUtf8(tool.readAllStandardOutput());
        const QString err = QString::fromUtf8(tool.readAllStandardError());
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QVERIFY2(tool.exitCode() == code, qPrintable(out + err));
        QVERIFY2((out + err).contains(says), qPrintable(out + err));

        QByteArray expected = original;
        if (!sensorLine.isEmpty())
            expected.replace("sensor = none", sensorLine);
        QCOMPARE(readFile(config), expected);
        // Asked before the user is, never fired.
        QVERIFY2(onlyStatusRequests(fake.received()), fake.received().toHex(' '));
    }

    void detectAsksOneNetworkPrinterOnce_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("requests");
        QTest::newRow("answering, closed")
            << QStringLiteral("close") << int(Done)
            << QStringLiteral("answered the status request DLE EOT 1 (10 04 01) with 12") << 1;
        QTest::newRow("answering, open") << QStringLiteral("open") << int(Done)
                                         << QStringLiteral("its drawer sensor (pin 3) high.") << 1;
        QTest::newRow("silent") << QStringLiteral("silent") << int(NoAnswer)
                                << QStringLiteral("It did not answer the status request") << 1;
        QTest::newRow("gone") << QStringLiteral("vanish") << int(NoAnswer)
                              << QStringLiteral("Nothing takes connections on that port") << 0;
    }
    void detectAsksOneNetworkPrinterOnce()
    {
        QFETCH(QString, state);
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(int, requests);
        FakePrinter fake;
        QVERIFY(!fake.command(state, QString()).isNull());
        QTemporaryDir dir;
        const QString address = fake.where.mid(int(qstrlen("tcp://")));

        const Result result = runTool(
            {"detect", "--network", address}, dir.filePath(QStringLiteral("drawers.conf")));
        QVERIFY2(result.code == code, qPrintable(result.all()));
        QVERIFY2(result.all().contains(says), qPrintable(result.all()));
        if (code == Done)
            QVERIFY2(result.out.contains(QLatin1String(" set N device=") + fake.where),
                qPrintable(result.out));
        if (state != QLatin1String("vanish"))
            QCOMPARE(fake.received(), StatusRequest.repeated(requests));
    }

    void detectListsTheDevicesAndWhatEachIs_data()
    {
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("USB printer behind a udev link")
            << QStringLiteral("USB printer /dev/usb/lp0: vendor 0a0b, product 0c0d, "
                              "\"Receipt Printer\"")
            << QStringList {"  device:   /dev/receipt-printer\n", "a udev link",
                   "  protocol: escpos or star\n",
                   ::geteuid() == 0 ? "  in use:   no\n" : "  in use:   not by you"};
        QTest::newRow("serial port by its USB identity")
            << QStringLiteral("USB serial port /dev/ttyUSB0: vendor 1a1a, product 2b2b")
            << QStringList {"  device:   /dev/serial/by-id/usb-Kestrin_Receipt_Printer_42-if00\n",
                   "it stays when the device is replugged",
                   QStringLiteral("  in use:   yes, held by process %1 (").arg(::getpid())};
        QTest::newRow("serial port without a stable name")
            << QStringLiteral("USB serial port /dev/ttyACM0")
            << QStringList {"  device:   /dev/ttyACM0\n", "its number may change"};
        QTest::newRow("built-in serial port")
            << QStringLiteral("Serial port /dev/ttyS0")
            << QStringList {"  device:   /dev/ttyS0\n", "a built-in port"};
        QTest::newRow("HID drawer")
            << QStringLiteral("HID device /dev/hidraw0: vendor 1a2b, product 3c4d, "
                              "\"Kestrin Cash Drawer\"")
            << QStringList {"  device:   /dev/hidraw0\n", "  protocol: hid\n",
                   "  access:   yes, you may open it\n"};
        QTest::newRow("HID device known by its driver only")
            << QStringLiteral("HID device /dev/hidraw1: vendor 5e5e, product 6f6f, \"Till Keys\"")
            << QStringList {"  protocol: hid\n"};
    }
    void detectListsTheDevicesAndWhatEachIs()
    {
        QFETCH(QString, heading);
        QFETCH(QStringList, lines);
        QTemporaryDir root;
        const QDir tree(root.path());
        const auto make = [&](const QString &path, const QByteArray &text = {}) {
            QVERIFY(tree.mkpath(QFileInfo(tree.filePath(path)).path()));
            writeFile(tree.filePath(path), text);
        };
        const auto link = [&](const char *target, const QString &path) {
            QVERIFY(tree.mkpath(QFileInfo(tree.filePath(path)).path()));
            QCOMPARE(::symlink(target, QFile::encodeName(tree.filePath(path)).constData()), 0);
        };
        make(QStringLiteral("dev/usb/lp0"));
        link("usb/lp0", QStringLiteral("dev/receipt-printer"));
        link("/proc/self/fd/0", QStringLiteral("dev/stdin"));
        make(QStringLiteral("dev/ttyUSB0"));
        link("../../ttyUSB0",
            QStringLiteral("dev/serial/by-id/usb-Kestrin_Receipt_Printer_42-if00"));
        make(QStringLiteral("dev/ttyACM0"));
        make(QStringLiteral("dev/ttyS0"));
        make(QStringLiteral("dev/ttyS1"));
        make(QStringLiteral("dev/hidraw0"));
        make(QStringLiteral("dev/hidraw1"));
        make(QStringLiteral("sys/class/tty/ttyS0/type"), "4\n");
        make(QStringLiteral("sys/class/tty/ttyS1/type"), "0\n");
        make(QStringLiteral("sys/devices/usb1/1-1/idVendor"), "1a2b\n");
        make(QStringLiteral("sys/devices/usb1/1-1/idProduct"), "3c4d\n");
        make(QStringLiteral("sys/devices/usb1/1-1/product"), "Kestrin Cash Drawer\n");
        make(QStringLiteral("sys/devices/usb1/1-1/1-1:1.0/0003:1A2B:3C4D.0001/uevent"),
            "HID_ID=0003:00001A2B:00003C4D\n");
        link("../../../devices/usb1/1-1/1-1:1.0/0003:1A2B:3C4D.0001",
            QStringLiteral("sys/class/hidraw/hidraw0/device"));
        make(QStringLiteral("sys/devices/virtual/0003:5E5E:6F6F.0002/uevent"),
            "DRIVER=hid-generic\nHID_ID=0003:00005E5E:00006F6F\nHID_NAME=Till Keys\n");
        link("../../../devices/virtual/0003:5E5E:6F6F.0002",
            QStringLiteral("sys/class/hidraw/hidraw1/device"));
        make(QStringLiteral("sys/devices/usb1/1-2/idVendor"), "0a0b\n");
        make(QStringLiteral("sys/devices/usb1/1-2/idProduct"), "0c0d\n");
        make(QStringLiteral("sys/devices/usb1/1-2/product"), "Receipt Printer\n");
        make(QStringLiteral("sys/devices/usb1/1-2/1-2:1.0/bInterfaceClass"), "07\n");
        link("../../../devices/usb1/1-2/1-2:1.0", QStringLiteral("sys/class/usbmisc/lp0/device"));
        make(QStringLiteral("sys/devices/usb1/1-3/idVendor"), "1a1a\n");
        make(QStringLiteral("sys/devices/usb1/1-3/idProduct"), "2b2b\n");
        make(QStringLiteral("sys/devices/usb1/1-3/1-3:1.0/ttyUSB0/dev"), "188:0\n");
        link("../../../devices/usb1/1-3/1-3:1.0/ttyUSB0",
            QStringLiteral("sys/class/tty/ttyUSB0/device"));
        // Another process has the serial port open.
        QFile holder(tree.filePath(QStringLiteral("dev/ttyUSB0")));
        QVERIFY(holder.open(QIODevice::ReadOnly));

        const Result result
            = runTool({"detect"}, root.filePath(QStringLiteral("drawers.conf")), {}, root.path());
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        const QStringList blocks = result.out.split(QStringLiteral("\n\n"))
                                       .first()
                                       .split(QRegularExpression(QStringLiteral("\n(?=\\S)")));
        QStringList headings;
        for (const QString &block : blocks)
            headings << block.section(QLatin1Char('\n'), 0, 0);
        QCOMPARE(headings.size(), 6); // not ttyS1, whose UART is unknown
        const auto found = std::find_if(blocks.begin(), blocks.end(),
            [&](const QString &block) { return block.startsWith(heading + QLatin1Char('\n')); });
        QVERIFY2(found != blocks.end(), qPrintable(headings.join(QLatin1Char('\n'))));
        const QString block = *found + QLatin1Char('\n');
        for (const QString &line : lines)
            QVERIFY2(block.contains(line), qPrintable(line + "\n---\n" + block));
    }

    void detectWithNothingToFindSaysSo()
    {
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("dev/serial")));
        const Result result
            = runTool({"detect"}, root.filePath(QStringLiteral("drawers.conf")), {}, root.path());
        QCOMPARE(result.code, int(NotFound));
        QVERIFY2(result.out.contains(QLatin1String("No USB printer, serial port or HID device")),
            qPrintable(result.out));
        QVERIFY2(result.out.contains(QLatin1String(" detect --network HOST[:PORT]")),
            qPrintable(result.out));
    }

    // What a user does first: write the drawer's device, ask it, and start
    // the window, which connects through the library reading the same file.
    // set keeps the file's line endings and a comment after a value, and
    // mends a section's slips in place.
    void setMendsAndKeepsTheFilesOwnWays_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("CRLF") << QByteArray("[drawer 1]\r\ndevice = /dev/a\r\n")
                              << QByteArray("[drawer 1]\r\ndevice = /dev/b\r\nhold = no\r\n");
        QTest::newRow("a comment")
            << QByteArray("[drawer 1]\ndevice = /dev/a  # till\n")
            << QByteArray("[drawer 1]\ndevice = /dev/b  # till\nhold = no\n");
        QTest::newRow("slips") << QByteArray("[Drawer1]\ndevice: /dev/a\nhold  yes\n")
                               << QByteArray("[drawer 1]\ndevice = /dev/b\nhold = no\n");
    }
    void setMendsAndKeepsTheFilesOwnWays()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, text);
        const Result result = runTool({"set", "1", "device=/dev/b", "hold=no"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        QCOMPARE(readFile(config), expected);
    }

    // A configuration that never ends, or is no file: the library and the
    // tool say so at once, and a drawer already connected keeps answering.
    void hostileConfigurationsAnswerAtOnce_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("says");
        QTest::newRow("a FIFO") << "fifo"
                                << "is not a regular file (a pipe)";
        QTest::newRow("/dev/zero") << "/dev/zero"
                                   << "is not a regular file (a character device)";
        QTest::newRow("a folder") << "."
                                  << "is a folder";
        QTest::newRow("an oversized file") << "huge"
                                           << "is larger than 1 MiB";
    }
    void hostileConfigurationsAnswerAtOnce()
    {
        QFETCH(QString, source);
        QFETCH(QString, says);
        FakePrinter fake;
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(good, "[drawer 1]\ndevice = " + fake.where.toUtf8() + "\n");
        const QString path = QDir::cleanPath(QDir(dir.path()).filePath(source));
        if (source == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (source == QLatin1String("huge"))
            QVERIFY(QFile(path).open(QIODevice::WriteOnly) && QFile::resize(path, 3 << 20));

        DrawerFunctions library;
        QCOMPARE(library.load(DriverLibrary), QString());
        qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(good));
        const std::int32_t connected = library.getHandle(0);
        qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(path));
        StderrCapture capture;
        BlockedClock timer;
        QCOMPARE(library.getHandle(1), 0);
        QVERIFY(timer.elapsedMs() < 1000);
        QCOMPARE(library.status(connected), std::int16_t(1));
        library.release(connected);
        // Written by the library's own thread, soon after.
        QTRY_VERIFY2(capture.text().contains(path + QLatin1Char(' ') + says), qPrintable(says));
        capture.finish();

        const Result result = runTool({"probe", "1"}, path);
        QVERIFY2(result.code == NoAnswer && result.ms < 5000, qPrintable(result.all()));
        QVERIFY2(result.err.contains(path + QLatin1Char(' ') + says), qPrintable(result.err));
    }

    // Only a character device is a drawer's device: a file or a disk is
    // refused by the library and the tool alike, and not a byte of it changes.
    void notADeviceIsRefusedUntouched_data()
    {
        QTest::addColumn<bool>("blockDevice");
        QTest::newRow("a regular file") << false;
        QTest::newRow("a block device on a loop image") << true;
    }
    void notADeviceIsRefusedUntouched()
    {
        QFETCH(bool, blockDevice);
        QTemporaryDir dir;
        QString node = dir.filePath(QStringLiteral("image"));
        const QByteArray content(4096, 'k');
        writeFile(node, content);
        QProcess losetup;
        if (blockDevice) {
            losetup.start(QStringLiteral("losetup"), {"--find", "--show", node});
            if (!losetup.waitForFinished(10000) || losetup.exitCode() != 0)
                QSKIP("no loop device here: losetup needs root and the loop driver");
            node = QString::fromUtf8(losetup.readAllStandardOutput()).trimmed();
        }
        const auto detach = qScopeGuard([&] {
            if (blockDevice)
                QProcess::execute(QStringLiteral("losetup"), {"--detach", node});
        });
        const QString says = node + (blockDevice ? " is a block device" : " is a regular file");
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        writeFile(config, "[drawer 1]\ndevice = " + node.toUtf8() + "\n");

        DrawerFunctions library;
        QCOMPARE(library.load(DriverLibrary), QString());
        qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(config));
        StderrCapture capture;
        QCOMPARE(library.getHandle(0), 0);
        QTRY_VERIFY2(capture.text().contains(says), qPrintable(capture.text()));
        for (const QStringList &command : {QStringList {"probe", "1"}, QStringList {"kick", "1"},
                 QStringList {"probe", node}, QStringList {"set", "2", "device=" + node}}) {
            const Result result = runTool(command, config);
            QVERIFY2(result.code == Usage && result.err.contains(says), qPrintable(result.all()));
        }
        QFile device(node);
        QVERIFY(device.open(QIODevice::ReadOnly));
        QCOMPARE(device.read(content.size()), content);
        QCOMPARE(readFile(config), "[drawer 1]\ndevice = " + node.toUtf8() + "\n");
    }

    void concurrentEditsAllLand()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        std::vector<std::unique_ptr<QProcess>> tools;
        for (int drawer = 1; drawer <= 8; ++drawer) {
            tools.push_back(std::make_unique<QProcess>());
            tools.back()->setProcessEnvironment(toolEnvironment(config));
            tools.back()->start(Tool, {"set", QString::number(drawer), "device=/dev/null"});
        }
        for (const auto &tool : tools)
            QVERIFY(tool->waitForFinished(30000) && tool->exitCode() == Done);
        const QByteArray text = readFile(config);
        for (int drawer = 1; drawer <= 8; ++drawer)
            QVERIFY2(text.count("[drawer " + QByteArray::number(drawer) + "]\ndevice = /dev/null\n")
                    == 1,
                text.constData());
    }

    // Run as root, the tool writes only what no other user controls.
    void rootWritesOnlyWhatNoUserControls_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("code");
        QTest::newRow("root's own file") << "own" << int(Done);
        QTest::newRow("a link planted by a user") << "link" << int(Permission);
        QTest::newRow("a user's file") << "user's file" << int(Permission);
        QTest::newRow("a folder anyone may change") << "open folder" << int(Permission);
        QTest::newRow("no drawer configuration") << "other" << int(Permission);
    }
    void rootWritesOnlyWhatNoUserControls()
    {
        QFETCH(QString, situation);
        QFETCH(int, code);
        if (::geteuid() != 0)
            QSKIP("only root's writing is checked here");
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.filePath(QStringLiteral("conf")));
        const QByteArray config = folder + "/drawers.conf";
        const QByteArray target = situation == QLatin1String("link") ? folder + ".target" : config;
        const QByteArray secret
            = situation == QLatin1String("other") ? "root:x:0:0:root:/root:/bin/bash\n" : "# x\n";
        QVERIFY(QDir().mkdir(QString::fromUtf8(folder)));
        writeFile(QString::fromUtf8(target), secret);
        if (situation == QLatin1String("link"))
            QVERIFY(::chown(folder, 65534, 65534) == 0 && ::symlink(target, config) == 0);
        if (situation == QLatin1String("user's file"))
            QCOMPARE(::chown(config, 65534, 65534), 0);
        if (situation == QLatin1String("open folder"))
            QCOMPARE(::chmod(folder, 0777), 0);

        const Result result = runTool({"set", "1", "device=/dev/null"}, QString::fromUtf8(config));
        QVERIFY2(result.code == code, qPrintable(result.all()));
        QCOMPARE(readFile(QString::fromUtf8(target)) == secret, code != Done);
        QCOMPARE(
            QFileInfo(QString::fromUtf8(config)).isSymLink(), situation == QLatin1String("link"));
    }

    void setThenProbeThenTheLibraryConnects()
    {
        FakePrinter fake;
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("drawers.conf"));
        Result result = runTool({"set", "1", "device=" + fake.where, "sensor=open-high"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        result = runTool({"probe", "1"}, config);
        QVERIFY2(result.code == Done, qPrintable(result.all()));
        QVERIFY2(result.out.contains(QLatin1String("It answered: yes, all 5 times.\n"
                                                   "The window would show the drawer: closed\n")),
            qPrintable(result.out));

        qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(config));
        DrawerFunctions library;
        const QString failed = library.load(DriverLibrary);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY2(handle > 0, "the library does not connect to drawer 1");
        QCOMPARE(library.status(handle), std::int16_t(1)); // closed
        QVERIFY(fake.open());
        QTRY_COMPARE_WITH_TIMEOUT(library.status(handle), std::int16_t(2), 3000); // open
        library.release(handle);
    }
};

QTEST_GUILESS_MAIN(SetupToolTest)
#include "tst_setuptool.moc"
