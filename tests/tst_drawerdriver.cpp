// The Linux drawer library against printers played on a pseudo-terminal and
// on 127.0.0.1: the bytes it sends, how it reads the drawer sensor, how its
// calls stay fast whatever the device does, how it shares the printer, its
// configuration file, and the unchanged drawer window driving it.

#include "app/mainform.h"
#include "config/config.h"
#include "config/logwriter.h"
#include "config/report.h"
#include "config/words.h"
#include "drawer/vendordrawerlibrary.h"
#include "formprobe.h"
#include "monitor/monitor.h"
#include "protocols/protocol.h"
#include "support/blockedclock.h"
#include "support/drawerconfigfile.h"
#include "support/drawerfunctions.h"
#include "support/fakenetworkprinter.h"
#include "support/ptyhiddrawer.h"
#include "support/ptyprinter.h"
#include "support/stderrcapture.h"
#include "transports/transport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include <csignal>
#include <dirent.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {
const QString DriverDir = QStringLiteral(DRIVER_LIB_DIR);

using Bytes = std::vector<std::uint8_t>;

const Bytes StatusRequest {0x10, 0x04, 0x01};
const Bytes StarStatusRequest {0x1B, 0x06, 0x01};
const Bytes AutomaticStatusOn {0x1D, 0x61, 0x01};
const Bytes AutomaticStatusOff {0x1D, 0x61, 0x00};

// Descriptors open on the device node, even one that has gone.
int descriptorsOn(const std::string &node)
{
    int count = 0;
    std::error_code failed;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const std::string target = std::filesystem::read_symlink(entry.path(), failed);
        count += target == node || target == node + " (deleted)";
    }
    return count;
}

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

bool contains(const Bytes &bytes, const Bytes &part)
{
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

bool endsWith(const Bytes &bytes, const Bytes &part)
{
    return bytes.size() >= part.size()
        && std::equal(part.begin(), part.end(), bytes.end() - std::ptrdiff_t(part.size()));
}

// Whether the stream is made of nothing but the given commands.
bool onlyCommands(const Bytes &bytes, const std::vector<Bytes> &commands)
{
    for (auto at = bytes.begin(); at != bytes.end();) {
        const auto known
            = std::find_if(commands.begin(), commands.end(), [&](const Bytes &command) {
                  return std::size_t(bytes.end() - at) >= command.size()
                      && std::equal(command.begin(), command.end(), at);
              });
        if (known == commands.end())
            return false;
        at += std::ptrdiff_t(known->size());
    }
    return true;
}

// A listener that never accepts, its backlog full: connection attempts to
// it are swallowed without an answer.
class SwallowingListener {
public:
    SwallowingListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listener, 0);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        for (int filler = 0; filler < 4; ++filler) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            m_fillers.push_back(fd);
        }
    }
    ~SwallowingListener()
    {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    int port = 0;

private:
    int m_listener = -1;
    std::vector<int> m_fillers;
};

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(double(values.size()) * share))];
}

const QDir Source(QStringLiteral(SOURCE_DIR));

QString sourceText(const QString &name)
{
    QFile file(Source.filePath(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The README and the guides beside it.
QStringList markdownDocuments()
{
    QStringList names {QStringLiteral("README.md")};
    for (const QString &guide :
        QDir(Source.filePath(QStringLiteral("docs"))).entryList({QStringLiteral("*.md")}))
        names << QStringLiteral("docs/") + guide;
    return names;
}

// The drawer configurations a document shows, each with where it is: in
// Markdown, indented or fenced blocks from a section heading on (a console
// transcript's block ends at its next command); the manual pages' examples;
// the sample file, whole and its commented-out sections.
QList<std::pair<QString, QString>> documentedConfigurations(const QString &name)
{
    QList<std::pair<QString, QString>> found;
    const QString text = sourceText(name);
    const auto collect = [&](const QString &pattern, const QString &prefix) {
        for (const auto &match : QRegularExpression(pattern).globalMatch(text)) {
            QString block = match.captured(1);
            block
                .replace(QRegularExpression(
                             QStringLiteral("^") + prefix, QRegularExpression::MultilineOption),
                    QString())
                .replace(QLatin1String("\\-"), QLatin1String("-"));
            found.append({name + QLatin1Char('@')
                    + QString::number(text.left(match.capturedStart(1)).count(u'\n') + 1),
                block});
        }
    };
    const QString heading = QStringLiteral("\\[(?:drawer .*|web|service)\\]");
    if (name.endsWith(QLatin1String(".md"))) {
        collect(QStringLiteral("(?m)^(    %1.*\n(?:    (?!\\$ ).*\n|\n(?=    ))*)").arg(heading),
            QStringLiteral("    "));
        collect(QStringLiteral("(?m)^```[a-z]*\n(%1[\\s\\S]*?)^```").arg(heading), QString());
    } else if (name.startsWith(QLatin1String("docs/man/"))) {
        collect(QStringLiteral("\\.EX\n(%1[\\s\\S]*?)\\.EE").arg(heading), QString());
    } else {
        collect(QStringLiteral("\\A([\\s\\S]*)\\z"), QString());
        collect(
            QStringLiteral("(?m)^(#%1\n(?:#[a-z-]+ = .*\n)*)").arg(heading), QStringLiteral("#"));
    }
    return found;
}

// A receipt: lines of text in bold (ESC ! n) and raster images (GS v 0)
// whose data holds a kick's bytes; spans gets where each command of more
// than one byte starts and ends.
Bytes receipt(
    int lines, const Bytes &imageData, std::vector<std::pair<std::size_t, std::size_t>> &spans)
{
    Bytes job;
    for (int line = 0; line < lines; ++line) {
        const std::size_t start = job.size();
        job.insert(job.end(), {0x1B, 0x21, std::uint8_t(line % 2 ? 0x08 : 0x00)});
        spans.emplace_back(start, job.size());
        const std::string text = "line " + std::to_string(line) + std::string(40, '.') + "\n";
        job.insert(job.end(), text.begin(), text.end());
        if (line % 4 != 0)
            continue;
        const std::size_t image = job.size(); // 256 x 64 dots
        job.insert(job.end(), {0x1D, 0x76, 0x30, 0x00, 0x20, 0x00, 0x40, 0x00});
        for (std::size_t i = 0; i < 2048; ++i)
            job.push_back(imageData[i % imageData.size()]);
        spans.emplace_back(image, job.size());
    }
    return job;
}

// What the monitor put between a job's bytes as the printer received
// them: each of its own byte strings and the job's offset where it went.
// Empty, with the job whole, when something else got mixed in.
std::vector<std::pair<std::size_t, Bytes>> ownBytesIn(
    const Bytes &received, const Bytes &job, const std::vector<Bytes> &own)
{
    std::vector<std::pair<std::size_t, Bytes>> found;
    std::size_t j = 0;
    const auto startsWith = [](const Bytes &bytes, std::size_t at, const Bytes &part) {
        return bytes.size() - std::min(at, bytes.size()) >= part.size()
            && std::equal(part.begin(), part.end(), bytes.begin() + std::ptrdiff_t(at));
    };
    for (std::size_t i = 0; i < received.size();) {
        const auto mine = std::find_if(own.begin(), own.end(), [&](const Bytes &bytes) {
            return startsWith(received, i, bytes) && !startsWith(job, j, bytes);
        });
        if (mine != own.end()) {
            found.emplace_back(j, *mine);
            i += mine->size();
        } else if (j < job.size() && received[i] == job[j]) {
            ++i;
            ++j;
        } else {
            return {};
        }
    }
    return j == job.size() ? found : decltype(found) {};
}

// A monitor of a printer's drawer 1, as the drawer service keeps one, that
// counts a printer taking nothing for a second as gone.
std::shared_ptr<drawerdriver::DeviceMonitor> printerMonitor(const std::string &device)
{
    const auto config = drawerdriver::parseDrawerConfig(
        "[drawer 1]\ndevice = " + device + "\nsensor = open-high\n", "test");
    auto monitor = std::make_shared<drawerdriver::DeviceMonitor>(
        std::vector<drawerdriver::DrawerSection> {{0, *config.drawers[0]}});
    monitor->setStallLimit(std::chrono::milliseconds(1000));
    monitor->start();
    monitor->handleTaken();
    return monitor;
}

std::future<drawerdriver::PrintResult> print(drawerdriver::DeviceMonitor &monitor, Bytes job)
{
    auto promise = std::make_shared<std::promise<drawerdriver::PrintResult>>();
    monitor.print(std::make_shared<drawerdriver::PrintJob>(std::move(job),
        drawerdriver::PrinterLanguage::EscPos,
        [promise](const drawerdriver::PrintResult &result) { promise->set_value(result); }));
    return promise->get_future();
}

bool printedWhole(std::future<drawerdriver::PrintResult> &job)
{
    return job.wait_for(std::chrono::seconds(20)) == std::future_status::ready && job.get().printed;
}

// GitHub's anchor for a Markdown heading: lower case, without punctuation,
// blanks as hyphens.
QString headingAnchor(QString heading)
{
    heading = heading.toLower().remove(QRegularExpression(QStringLiteral("[^\\w\\- ]")));
    return heading.replace(u' ', u'-');
}

} // namespace

class DrawerDriverTest : public QObject {
    Q_OBJECT

private:
    DrawerFunctions library;
    std::unique_ptr<QTemporaryDir> home;

    void configure(const QString &text) { QVERIFY(writeDrawerConfig(*home, text)); }

    void configureDrawer1(const std::string &device, const QString &extra = {})
    {
        configure(QStringLiteral("[drawer 1]\ndevice = %1\n%2\n")
                      .arg(QString::fromStdString(device), extra));
    }

    // The printer under a name of this test's own. Pseudo-terminal numbers
    // are reused, also by tests running beside this one; a monitor left from
    // an earlier test must find nothing at an old name.
    std::string linked(const std::string &device)
    {
        const std::string link
            = home->filePath(QStringLiteral("printer-%1").arg(++links)).toStdString();
        [&] { QCOMPARE(::symlink(device.c_str(), link.c_str()), 0); }();
        return link;
    }
    std::string linked(const PtyPrinter &printer) { return linked(printer.device); }

    // The drawer's states seen over a while, asked at a brisk pace; a
    // handle is asked for whenever none is held.
    QSet<int> statesSeen(std::chrono::milliseconds span)
    {
        QSet<int> seen;
        std::int32_t handle = 0;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < span.count()) {
            if (handle <= 0)
                handle = library.getHandle(0);
            seen << (handle > 0 ? library.status(handle) : 0);
            QTest::qWait(5);
        }
        library.release(handle);
        return seen;
    }
    int links = 0;

    // A handle for the drawer, asked for at every check as the window asks
    // at every tick; 0 if none came. The check runs once more after it
    // passes, so a handle once given is kept.
    std::int32_t connectDrawer(std::uint8_t drawer = 0)
    {
        std::int32_t handle = 0;
        [&] { QTRY_VERIFY((handle = handle > 0 ? handle : library.getHandle(drawer)) > 0); }();
        return handle;
    }

private slots:
    void initTestCase()
    {
        if (!usePrivatePseudoTerminals())
            qInfo("not root: the devices are played on the system's pseudo-terminals");
        const QString error
            = library.load(QDir(DriverDir).filePath(QStringLiteral("libKestrinPOS_USB.so")));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void init() { home = std::make_unique<QTemporaryDir>(); }

    void kickSendsTheConfiguredPulse_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("defaults: pin 2, 50/500 ms in 2 ms units")
            << "" << Bytes {0x1B, 0x70, 0x00, 25, 250};
        QTest::newRow("pin 5") << "connector = pin5" << Bytes {0x1B, 0x70, 0x01, 25, 250};
        QTest::newRow("both, pin 2 first")
            << "connector = both" << Bytes {0x1B, 0x70, 0x00, 25, 250, 0x1B, 0x70, 0x01, 25, 250};
        QTest::newRow("10 ms units") << "time-unit = 10" << Bytes {0x1B, 0x70, 0x00, 5, 50};
        QTest::newRow("given times")
            << "pulse-on = 100\npulse-off = 200" << Bytes {0x1B, 0x70, 0x00, 50, 100};
        QTest::newRow("clamped to 1..255")
            << "pulse-on = 1\npulse-off = 2550\ntime-unit = 10" << Bytes {0x1B, 0x70, 0x00, 1, 255};
        QTest::newRow("the longest in 2 ms units")
            << "pulse-off = 510" << Bytes {0x1B, 0x70, 0x00, 25, 255};
        QTest::newRow("star, drawer 1: ESC BEL in 10 ms units, then BEL")
            << "protocol = star" << Bytes {0x1B, 0x07, 5, 50, 0x07};
        QTest::newRow("star, drawer 2: SUB")
            << "protocol = star\nconnector = pin5" << Bytes {0x1B, 0x07, 5, 50, 0x1A};
        QTest::newRow("star, both: BEL then SUB")
            << "protocol = star\nconnector = both\npulse-on = 4\npulse-off = 2550"
            << Bytes {0x1B, 0x07, 1, 255, 0x07, 0x1B, 0x07, 1, 255, 0x1A};
        QTest::newRow("held open") << "hold = yes" << Bytes {0x1B, 0x70, 0x00, 25, 250};
        QTest::newRow("opened for each exchange")
            << "hold = no" << Bytes {0x1B, 0x70, 0x00, 25, 250};
    }

    void kickSendsTheConfiguredPulse()
    {
        QFETCH(QString, settings);
        QFETCH(Bytes, expected);
        PtyPrinter printer;
        configureDrawer1(linked(printer), settings);
        const std::int32_t handle = connectDrawer();
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        QTRY_COMPARE(printer.received(), expected);
        library.release(handle);
    }

    void sensorLevelAndPolarityGiveTheDrawerState_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("answer");
        QTest::addColumn<Bytes>("starStatus");
        QTest::addColumn<int>("state");
        const Bytes none;
        QTest::newRow("open-high, pin 3 low") << "sensor = open-high" << 0x12 << none << 1;
        QTest::newRow("open-high, pin 3 high") << "sensor = open-high" << 0x16 << none << 2;
        QTest::newRow("open-low, pin 3 low") << "sensor = open-low" << 0x12 << none << 2;
        QTest::newRow("open-low, pin 3 high") << "sensor = open-low" << 0x16 << none << 1;
        QTest::newRow("other bits ignored")
            << "sensor = open-high" << (0x16 | 0x08 | 0x60) << none << 2;
        QTest::newRow("opened for each exchange")
            << "sensor = open-high\nhold = no" << 0x16 << none << 2;
        QTest::newRow("garbage") << "sensor = open-high" << 0xFF << none << 0;
        QTest::newRow("not a status byte") << "sensor = open-low" << 0x00 << none << 0;
        const int silent = PtyPrinter::Silent;
        const QString star = QStringLiteral("protocol = star\nsensor = open-high");
        QTest::newRow("star, switch high")
            << star << silent << Bytes {0x0F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00} << 2;
        QTest::newRow("star, switch low")
            << star << silent << Bytes {0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00} << 1;
        QTest::newRow("star, 15-byte status")
            << star << silent << Bytes {0x2F, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0} << 2;
        QTest::newRow("star, half a status") << star << silent << Bytes {0x0F, 0x00, 0x04} << 0;
        QTest::newRow("star, not a status header")
            << star << silent << Bytes {0x1F, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00} << 0;
    }

    void sensorLevelAndPolarityGiveTheDrawerState()
    {
        QFETCH(QString, settings);
        QFETCH(int, answer);
        QFETCH(Bytes, starStatus);
        QFETCH(int, state);
        PtyPrinter printer;
        printer.answer = 0x12;
        printer.setStarStatus({0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
        configureDrawer1(linked(printer), settings);
        const std::int32_t handle = connectDrawer();
        printer.answer = answer;
        printer.setStarStatus(starStatus);
        QTRY_COMPARE(library.status(handle), std::int16_t(state));
        // Nothing but status requests, and the automatic status switched on.
        QVERIFY(onlyCommands(printer.received(),
            {StatusRequest, StarStatusRequest, AutomaticStatusOn, AutomaticStatusOff}));
        library.release(handle);
    }

    void lateAnswerIsNeverTakenForTheNextOne()
    {
        PtyPrinter printer;
        configureDrawer1(linked(printer), QStringLiteral("sensor = open-high"));
        const std::int32_t handle = connectDrawer();
        // "Open", but only after each exchange has stopped waiting.
        printer.answerDelayMs = 400;
        printer.answer = 0x16;
        bool sawOpen = false;
        QTRY_VERIFY((sawOpen |= library.status(handle) == 2, library.status(handle) == 0));
        const int sent = printer.answersSent();
        QTRY_VERIFY(printer.answersSent() > sent);
        printer.answer = 0x12;
        printer.answerDelayMs = 0;
        const std::int32_t again = connectDrawer();
        QTRY_VERIFY((sawOpen |= library.status(again) == 2, library.status(again) == 1));
        QVERIFY(!sawOpen);
        library.release(handle);
        library.release(again);
    }

    void lostDeviceGoesOfflineAndIsLetGo_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("vanish"); // else the printer falls silent
        QTest::addColumn<QString>("message");
        QTest::newRow("silent printer") << "sensor = open-low" << false << "does not answer";
        QTest::newRow("vanished printer") << "sensor = open-high" << true << "cannot open";
        QTest::newRow("vanished, no sensor") << "" << true << "cannot open";
        QTest::newRow("vanished, opened for each exchange")
            << "sensor = open-high\nhold = no" << true << "cannot open";
    }

    void lostDeviceGoesOfflineAndIsLetGo()
    {
        QFETCH(QString, settings);
        QFETCH(bool, vanish);
        QFETCH(QString, message);
        const int before = openDescriptors();
        std::string node;
        {
            PtyPrinter printer;
            node = printer.device;
            const std::string device = linked(printer);
            configureDrawer1(device, settings);
            const std::int32_t handle = connectDrawer();
            QVERIFY(library.status(handle) > 0);
            StderrCapture capture;
            if (vanish)
                printer.vanish();
            else
                printer.answer = PtyPrinter::Silent;
            QTRY_COMPARE_WITH_TIMEOUT(library.status(handle), std::int16_t(0), 1000);
            QCOMPARE(library.openDrawer(handle), std::int16_t(0));
            library.release(handle);
            // Waits for this device's own line: a monitor left from the row
            // before may still speak of its own.
            QTRY_VERIFY2(library.getHandle(0) == 0 && capture.text().contains(message)
                    && capture.text().contains(QString::fromStdString(device)),
                qPrintable(capture.text()));
        }
        // Two seconds after the last call the monitor lets go of everything.
        // A monitor left from the test before may let go meanwhile, hence
        // no more than before, and the count alone may drop before this
        // device's own descriptor goes.
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= before && descriptorsOn(node) == 0, 5000);
    }

    void busyDeviceIsToldWithItsHolder()
    {
        PtyPrinter printer;
        const std::string device = linked(printer);
        configureDrawer1(device);
        const int holder = ::open(printer.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        StderrCapture capture;
        // Busy is no answer; after two seconds of it, one line names the
        // device and the process holding it.
        QTRY_VERIFY_WITH_TIMEOUT(
            library.getHandle(0) == 0 && capture.text().contains(QLatin1String("busy")), 5000);
        const QString message = capture.text();
        QVERIFY2(message.contains(QString::fromStdString(device)), qPrintable(message));
        QVERIFY2(message.contains(QString::number(::getpid())), qPrintable(message));
        // A monitor left from the test before may still speak of its own device.
        QVERIFY2(message.count(QString::fromStdString(device)) == 1, qPrintable(message));
        ::close(holder);
        library.release(connectDrawer());
    }

    void unknownHandlesAndNumbersAreHarmless()
    {
        for (std::int32_t bogus : {0, -1, 12345})
            library.release(bogus);
        QCOMPARE(library.status(12345), std::int16_t(0));
        QCOMPARE(library.openDrawer(12345), std::int16_t(0));
        QVERIFY(library.getHandle(8) < 0);
    }

    void configurationEdgeCases_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("available"); // drawer numbers
        QTest::addColumn<QString>("problem");
        QTest::newRow("complete")
            << "# front till\n[drawer 1]\ndevice = /dev/usb/lp0\nconnector = both\n"
               "pulse-on = 60\npulse-off = 400\ntime-unit = 10\nspeed = 19200\n"
               "sensor = open-low\nhold = yes\n\n[drawer 8]\n  device=/dev/ttyUSB0  \n"
            << QList<int> {1, 8} << QString();
        QTest::newRow("network printers")
            << "[drawer 1]\ndevice = tcp://192.168.1.50\n[drawer 2]\ndevice = "
               "tcp://printer-2.lan:9101\n"
               "protocol = star\n[drawer 3]\ndevice = tcp://[fe80::1]:9100\nhold = no\n"
            << QList<int> {1, 2, 3} << QString();
        QTest::newRow("unknown key") << "[drawer 2]\ndevice = /dev/usb/lp0\ncolour = red\n"
                                     << QList<int> {} << "x.conf:3: unknown key 'colour'";
        QTest::newRow("bad connector")
            << "[drawer 1]\ndevice = /dev/a\nconnector = pin3\n[drawer 2]\ndevice = /dev/b\n"
            << QList<int> {2} << "connector must be pin2, pin5 or both";
        QTest::newRow("bad unit") << "[drawer 1]\ndevice = /dev/a\ntime-unit = 5\n"
                                  << QList<int> {} << "time-unit must be 2 or 10";
        QTest::newRow("bad speed") << "[drawer 1]\ndevice = /dev/a\nspeed = 9601\n"
                                   << QList<int> {} << "speed must be";
        QTest::newRow("huge pulse") << "[drawer 1]\ndevice = /dev/a\npulse-on = 99999999999\n"
                                    << QList<int> {} << "pulse-on must be";
        QTest::newRow("relative device") << "[drawer 1]\ndevice = lp0\n"
                                         << QList<int> {} << "absolute path";
        QTest::newRow("no device") << "[drawer 3]\nsensor = none\n"
                                   << QList<int> {} << "names no device";
        QTest::newRow("drawer 9") << "[drawer 9]\ndevice = /dev/a\n"
                                  << QList<int> {} << "[drawer N], N from 1 to 8";
        QTest::newRow("twice") << "[drawer 1]\ndevice = /dev/a\n[drawer 1]\ndevice = /dev/b\n"
                               << QList<int> {} << "appears twice";
        QTest::newRow("outside a section") << "device = /dev/a\n[drawer 4]\ndevice = /dev/b\n"
                                           << QList<int> {4} << "outside any [drawer N]";
        QTest::newRow("no equals sign") << "[drawer 1]\ndevice /dev/a\n"
                                        << QList<int> {} << "expected key = value";
        QTest::newRow("binary junk")
            << QString::fromLatin1("\x01\xff[\x00]=\n", 7) << QList<int> {} << "x.conf:1";
        QTest::newRow("unknown protocol") << "[drawer 1]\ndevice = /dev/a\nprotocol = zpl\n"
                                          << QList<int> {} << "unknown protocol 'zpl'";
        QTest::newRow("bad port") << "[drawer 1]\ndevice = tcp://printer:99999\n"
                                  << QList<int> {} << "bad port";
        QTest::newRow("port missing") << "[drawer 1]\ndevice = tcp://printer:\n"
                                      << QList<int> {} << "bad port";
        QTest::newRow("no host") << "[drawer 1]\ndevice = tcp://:9100\n"
                                 << QList<int> {} << "bad address";
        QTest::newRow("unclosed IPv6") << "[drawer 1]\ndevice = tcp://[::1:9100\n"
                                       << QList<int> {} << "bad address";
        QTest::newRow("host with a path") << "[drawer 1]\ndevice = tcp://printer/queue\n"
                                          << QList<int> {} << "bad address";
        QTest::newRow("bad hold") << "[drawer 1]\ndevice = /dev/a\nhold = sometimes\n"
                                  << QList<int> {} << "hold must be yes or no";
        QTest::newRow("star counts in 10 ms")
            << "[drawer 1]\ndevice = /dev/a\nprotocol = star\ntime-unit = 2\n"
            << QList<int> {} << "does not apply to protocol star";
        QTest::newRow("key given twice") << "[drawer 1]\ndevice = /dev/a\nhold = no\nhold = yes\n"
                                         << QList<int> {} << "given twice";
        QTest::newRow("service, web and an alarm")
            << "[service]\nkeep-days = 30\n[drawer 1]\ndevice = /dev/a\nalarm-after = 120\n[web]\n"
               "port = 8080\nallow-origin = https://pos.example http://[::1]:3000\n"
            << QList<int> {1} << QString();
        QTest::newRow("bad alarm") << "[drawer 1]\ndevice = /dev/a\nalarm-after = soon\n"
                                   << QList<int> {} << "alarm-after must be";
        QTest::newRow("origin with a path")
            << "[web]\nallow-origin = https://pos.example/till\n[drawer 2]\ndevice = /dev/b\n"
            << QList<int> {2} << "'https://pos.example/till' is none";
        QTest::newRow("drawer key in service")
            << "[service]\ndevice = /dev/a\n"
            << QList<int> {} << "unknown key 'device' in [service]";
        QTest::newRow("pulse longer than 255 units")
            << "[drawer 1]\ndevice = /dev/a\npulse-on = 2000\n"
            << QList<int> {} << "at most 510";
        QTest::newRow("a heading's slip")
            << "[drawer1]\ndevice = /dev/a\n"
            << QList<int> {} << "x.conf:1: a section must read [drawer 1] (drawer 1";
    }

    void configurationEdgeCases()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, available);
        QFETCH(QString, problem);
        const QByteArray bytes = text.toLatin1();
        const drawerdriver::DrawerConfig config = drawerdriver::parseDrawerConfig(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), "x.conf");
        for (int drawer = 1; drawer <= 8; ++drawer)
            QCOMPARE(config.drawers[drawer - 1].has_value(), available.contains(drawer));
        if (problem.isEmpty()) {
            QVERIFY(config.problems.empty());
        } else {
            QVERIFY(!config.problems.empty());
            QVERIFY2(QString::fromStdString(config.problems.front()).contains(problem),
                config.problems.front().c_str());
        }
    }

    // Every word of drawers.conf reads as the value its table gives, and
    // that value is written as the same word.
    void configurationWordsRoundTrip()
    {
        using namespace drawerdriver;
        const auto roundTrip = [](std::string_view key, const auto &words, auto field) {
            for (const auto &word : words) {
                DrawerSettings settings;
                std::vector<std::string> given;
                const std::string wrong = applySetting(settings, key, word.text, given);
                QVERIFY2(wrong.empty(), wrong.c_str());
                QVERIFY2(settings.*field == word.value, word.text);
                QVERIFY2(std::string_view(wordOf(words, word.value)) == word.text, word.text);
            }
        };
        roundTrip(key::Protocol, ProtocolWords, &DrawerSettings::protocol);
        roundTrip(key::Connector, ConnectorWords, &DrawerSettings::connector);
        roundTrip(key::Sensor, SensorWords, &DrawerSettings::sensor);
        roundTrip(key::SensorLine, SensorLineWords, &DrawerSettings::sensorLine);
        roundTrip(key::Hold, HoldWords, &DrawerSettings::hold);
    }

    void networkAddressesAreReadWhole()
    {
        drawerdriver::Endpoint endpoint;
        QCOMPARE(drawerdriver::parseEndpoint("tcp://[fe80::1]:9101", endpoint), std::string());
        QCOMPARE(endpoint.host, std::string("fe80::1"));
        QCOMPARE(endpoint.port, 9101);
        QCOMPARE(drawerdriver::parseEndpoint("tcp://till-printer", endpoint), std::string());
        QCOMPARE(endpoint.host, std::string("till-printer"));
        QCOMPARE(endpoint.port, 9100);
    }

    // Every configuration a document shows parses as shown, by the parser
    // alone: a snippet names devices and addresses a test must not reach.
    // Every document that shows a section heading: each configuration it
    // shows parses as the library reads it, and says something.
    void documentedConfigurationsParse_data()
    {
        QTest::addColumn<QString>("document");
        QStringList documents = markdownDocuments();
        documents << QStringLiteral("packaging/examples/drawers.conf.sample");
        for (const QString &page :
            QDir(Source.filePath(QStringLiteral("docs/man"))).entryList(QDir::Files))
            documents << QStringLiteral("docs/man/") + page;
        const QRegularExpression heading(
            QStringLiteral("(?m)^\\s*#?\\[(drawer \\S+|web|service)\\]\\s*$"));
        // The Windows page's devices (COM4, printer:…) are the Windows
        // library's, which this parser rightly refuses.
        documents.removeAll(QStringLiteral("docs/windows.md"));
        for (const QString &document : documents)
            if (heading.match(sourceText(document)).hasMatch())
                QTest::newRow(qPrintable(document)) << document;
    }

    void documentedConfigurationsParse()
    {
        QFETCH(QString, document);
        const auto snippets = documentedConfigurations(document);
        QVERIFY(!snippets.isEmpty());
        for (const auto &[where, text] : snippets) {
            const QByteArray bytes = text.toUtf8();
            const auto config
                = drawerdriver::parseDrawerConfig(bytes.toStdString(), where.toStdString());
            const std::string problems = config.problems.empty() ? "" : config.problems.front();
            QVERIFY2(problems.empty(), qPrintable(QString::fromStdString(problems) + "\n" + text));
            const bool saysSomething = std::any_of(config.drawers.begin(), config.drawers.end(),
                                           [](const auto &drawer) { return drawer.has_value(); })
                || config.web != drawerdriver::WebSettings {}
                || config.service != drawerdriver::ServiceSettings {};
            QVERIFY2(
                saysSomething || where.endsWith(QLatin1String(".sample@1")), qPrintable(where));
        }
    }

    // Every relative link of the README and the guides reaches a file, and a
    // heading where it names one.
    void documentLinksResolve_data()
    {
        QTest::addColumn<QString>("document");
        for (const QString &document : markdownDocuments())
            QTest::newRow(qPrintable(document)) << document;
    }

    void documentLinksResolve()
    {
        QFETCH(QString, document);
        const QString text = sourceText(document);
        QVERIFY(!text.isEmpty());
        const QDir here = QFileInfo(Source.filePath(document)).dir();
        for (const auto &link :
            QRegularExpression(QStringLiteral("\\]\\(([^)\\s]+)\\)")).globalMatch(text)) {
            const QString target = link.captured(1);
            if (target.contains(QRegularExpression(QStringLiteral("^[a-z]+:"))))
                continue;
            const QString file = target.section(u'#', 0, 0);
            const QString path = file.isEmpty() ? Source.filePath(document) : here.filePath(file);
            QVERIFY2(QFileInfo::exists(path), qPrintable(document + ": " + target));
            const QString anchor = target.section(u'#', 1);
            if (anchor.isEmpty())
                continue;
            QStringList anchors;
            for (const auto &heading : QRegularExpression(QStringLiteral("(?m)^#+ (.*)$"))
                                           .globalMatch(sourceText(Source.relativeFilePath(path))))
                anchors << headingAnchor(heading.captured(1));
            QVERIFY2(anchors.contains(anchor), qPrintable(document + ": " + target));
        }
    }

    // Messages from outside show escaped; a problem that comes and goes is
    // told once, not at each return; a flood of lines is cut.
    void messagesAreEscapedCutAndNotRepeated()
    {
        StderrCapture capture;
        drawerdriver::reportProblem("test: name",
            "held by 7 (\x1B]0;x\x07\xC2\x9B"
            "2J)");
        for (int round = 0; round < 50; ++round) {
            drawerdriver::reportProblem("test: flaky", "tcp://192.0.2.1 does not answer");
            drawerdriver::reportProblem("test: flaky", {});
        }
        drawerdriver::reportProblem("test: flood", std::string(1 << 20, 'x'));
        drawerdriver::flushLogLines(std::chrono::seconds(5));
        const QString told = capture.finish();
        QVERIFY2(
            told.contains(QLatin1String("held by 7 (\\x1B]0;x\\x07\\x9B2J)")), qPrintable(told));
        QVERIFY(!told.contains(QChar(0x1B)) && !told.contains(QChar(0x9B)));
        QCOMPARE(told.count(QLatin1String("does not answer")), 1);
        QVERIFY(told.size() < 2 * int(drawerdriver::LongestMessage) + 200);
    }

    void missingConfigurationIsToldOnce()
    {
        // Captured first: a monitor left from an earlier test may read the
        // new name before any call does.
        StderrCapture capture;
        qputenv(
            "KESTRIN_DRAWERS_CONF", home->filePath(QStringLiteral("absent.conf")).toLocal8Bit());
        for (int tick = 0; tick < 5; ++tick)
            QCOMPARE(library.getHandle(0), 0);
        QTRY_VERIFY2(
            capture.text().contains(QLatin1String("absent.conf")), qPrintable(capture.text()));
        QCOMPARE(capture.finish().count(QLatin1String("absent.conf")), 1);
    }

    // Whatever the device does, a call answers from what the monitor knows:
    // only the call that starts the monitor waits, and then at most 250 ms.
    void callsNeverWaitOnTheDevice_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("settings");
        QTest::newRow("network printer answering") << "answering" << true << "";
        QTest::newRow("floods bytes, held") << "flooding" << false << "hold = yes";
        QTest::newRow("accepts and never answers") << "silent" << false << "";
        QTest::newRow("floods bytes") << "flooding" << false << "";
        QTest::newRow("hangs up mid-exchange") << "hanging up" << false << "";
        QTest::newRow("refuses connections") << "refusing" << false << "";
        QTest::newRow("swallows connection attempts") << "swallowing" << false << "";
        QTest::newRow("host name that does not resolve") << "unresolvable" << false << "";
        QTest::newRow("serial printer answering slowly") << "slow" << true << "";
        QTest::newRow("serial printer silent") << "pty silent" << false << "";
        QTest::newRow("serial printer gone") << "pty gone" << false << "";
    }

    void callsNeverWaitOnTheDevice()
    {
        QFETCH(QString, fault);
        QFETCH(bool, connects);
        QFETCH(QString, settings);
        FakeNetworkPrinter network;
        PtyPrinter serial;
        SwallowingListener swallowing;
        std::string device = network.address();
        if (fault == QLatin1String("silent"))
            network.mode = FakeNetworkPrinter::Mode::Silent;
        else if (fault == QLatin1String("flooding"))
            network.mode = FakeNetworkPrinter::Mode::Flooding;
        else if (fault == QLatin1String("hanging up"))
            network.mode = FakeNetworkPrinter::Mode::HangingUp;
        else if (fault == QLatin1String("refusing"))
            network.vanish();
        else if (fault == QLatin1String("swallowing"))
            device = "tcp://127.0.0.1:" + std::to_string(swallowing.port);
        else if (fault == QLatin1String("unresolvable"))
            device = "tcp://no-such-printer.invalid";
        else if (fault.startsWith(QLatin1String("pty")) || fault == QLatin1String("slow"))
            device = linked(serial);
        if (fault == QLatin1String("slow"))
            serial.answerDelayMs = 150;
        else if (fault == QLatin1String("pty silent"))
            serial.answer = PtyPrinter::Silent;
        else if (fault == QLatin1String("pty gone"))
            serial.vanish();
        configureDrawer1(device, QStringLiteral("sensor = open-high\n") + settings);

        BlockedClock blocked;
        std::int32_t handle = library.getHandle(0);
        const double first = blocked.elapsedMs();
        QVERIFY2(first < 400, qPrintable(QString::number(first)));

        // A second of calls, at a caller's pace, as the window makes them.
        std::vector<double> latencies;
        bool sawOpen = false;
        bool connected = handle > 0;
        const auto timed = [&](auto call) {
            blocked.restart();
            const auto result = call();
            latencies.push_back(blocked.elapsedMs());
            return result;
        };
        QElapsedTimer clock;
        for (clock.start(); clock.elapsed() < 1000;) {
            if (handle <= 0)
                handle = timed([&] { return library.getHandle(0); });
            if (handle > 0) {
                connected = true;
                const std::int16_t state = timed([&] { return library.status(handle); });
                sawOpen |= state == 2;
                if (state == 0) {
                    timed([&] { return (library.release(handle), 0); });
                    handle = 0;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        library.release(handle);
        const double worst = *std::max_element(latencies.begin(), latencies.end());
        qInfo("%zu calls: p99 %.3f ms, worst %.3f ms", latencies.size(),
            percentile(latencies, 0.99), worst);
        // A call that waited on the device would sleep for hundreds of
        // milliseconds, where a busy machine's delays count for nothing; the
        // 2 ms goal itself is the benchmark's to show.
        QVERIFY2(worst < 50, qPrintable(QString::number(worst)));
        QCOMPARE(connected, connects);
        QVERIFY(!sawOpen);
    }

    // A printer that fails every exchange is tried less and less often, up
    // to once a second, so that it is not kept occupied by the drawer.
    void failingPrinterIsTriedLessOften()
    {
        FakeNetworkPrinter printer;
        printer.mode = FakeNetworkPrinter::Mode::HangingUp;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high"));
        // Three seconds of the window asking at every tick.
        QElapsedTimer clock;
        for (clock.start(); clock.elapsed() < 3000;) {
            QCOMPARE(library.getHandle(0), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // Polled without backing off, it would have been tried 30 times.
        QVERIFY2(printer.connections() <= 8, qPrintable(QString::number(printer.connections())));
        QVERIFY(printer.connections() >= 3);
    }

    // With the default hold = no, the device is held only for an exchange:
    // between two, a second client is served.
    void betweenExchangesAnotherClientIsServed_data()
    {
        QTest::addColumn<bool>("network");
        QTest::newRow("print server with one client slot") << true;
        QTest::newRow("serial printer, hold = no") << false;
    }

    void betweenExchangesAnotherClientIsServed()
    {
        QFETCH(bool, network);
        FakeNetworkPrinter server;
        server.oneClientAtATime = true;
        PtyPrinter serial;
        configureDrawer1(network ? server.address() : linked(serial),
            network ? QStringLiteral("sensor = open-high") : QStringLiteral("hold = no"));
        const std::int32_t handle = connectDrawer();
        QVERIFY(library.status(handle) > 0);
        if (network) {
            const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(std::uint16_t(server.port()));
            QCOMPARE(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
            QCOMPARE(::send(client, StatusRequest.data(), StatusRequest.size(), 0), ssize_t(3));
            pollfd answer {client, POLLIN, 0};
            QCOMPARE(::poll(&answer, 1, 2000), 1);
            std::uint8_t status = 0;
            QCOMPARE(::recv(client, &status, 1, 0), ssize_t(1));
            QCOMPARE(status, std::uint8_t(0x12));
            ::close(client);
        } else {
            const int other = ::open(serial.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(other >= 0);
            QTRY_COMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
            ::close(other);
        }
        // The drawer comes back once the other client is done.
        library.release(handle);
        library.release(connectDrawer());
    }

    void drawersOnOnePrinterShareItsConnection()
    {
        FakeNetworkPrinter printer;
        const QString address = QString::fromStdString(printer.address());
        configure(QStringLiteral("[drawer 1]\ndevice = %1\nhold = yes\nsensor = open-high\n"
                                 "[drawer 2]\ndevice = %1\nhold = yes\nconnector = pin5\n")
                      .arg(address));
        const std::int32_t first = connectDrawer(0);
        const std::int32_t second = connectDrawer(1);
        QCOMPARE(library.openDrawer(first), std::int16_t(1));
        QCOMPARE(library.openDrawer(second), std::int16_t(1));
        QTRY_VERIFY(contains(printer.received(), {0x1B, 0x70, 0x00, 25, 250})
            && contains(printer.received(), {0x1B, 0x70, 0x01, 25, 250}));
        QCOMPARE(printer.connections(), 1);
        library.release(first);
        library.release(second);
    }

    void heldPrinterPushesItsStatus()
    {
        FakeNetworkPrinter printer;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high\nhold = yes"));
        const std::int32_t handle = connectDrawer();
        QTRY_VERIFY(contains(printer.received(), AutomaticStatusOn));
        // The printer stops answering questions but pushes a status: the
        // drawer switch went high.
        printer.mode = FakeNetworkPrinter::Mode::Silent;
        const auto pushedState = [&] {
            printer.push({0x14, 0x00, 0x00, 0x00});
            return library.status(handle);
        };
        QTRY_COMPARE(pushedState(), std::int16_t(2));
        library.release(handle);
        // Let go after idling: automatic status is switched off first.
        QTRY_VERIFY_WITH_TIMEOUT(endsWith(printer.received(), AutomaticStatusOff), 5000);
        QVERIFY(onlyCommands(
            printer.received(), {StatusRequest, AutomaticStatusOn, AutomaticStatusOff}));
    }

    void changedSectionRestartsTheMonitor()
    {
        FakeNetworkPrinter printer;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high\nhold = yes"));
        library.release(connectDrawer());
        QTRY_VERIFY(contains(printer.received(), AutomaticStatusOn));
        // Edited while the program runs: the next connection lets the held
        // printer go at once, well before an idle monitor would.
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high\nhold = no"));
        const std::int32_t handle = connectDrawer();
        QTRY_VERIFY_WITH_TIMEOUT(contains(printer.received(), AutomaticStatusOff), 1000);
        QTRY_VERIFY(printer.connections() > 2); // now one for each exchange
        library.release(handle);
    }

    // Devices played from the hardware notes' timings: an answer in 0.9 of
    // the exchange limit is in time, and must never make the drawer read as
    // gone; one 320 ms late answers nothing, and must never show as open.
    void answerTimingDecidesWhatCounts_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<bool>("late");
        for (const char *protocol : {"escpos", "star", "hid"}) {
            QTest::addRow("%s, in 225 ms", protocol) << QString::fromLatin1(protocol) << false;
            QTest::addRow("%s, 320 ms late", protocol) << QString::fromLatin1(protocol) << true;
        }
    }

    // A printer taking a long job slowly stays present, its drawer's
    // state followed between the job's commands; one that stops taking it
    // is gone until it takes again.
    void drawerStaysKnownWhileAJobPrints()
    {
        FakeNetworkPrinter printer;
        printer.bytesPerSecond = 20000;
        const auto monitor = printerMonitor(printer.address());
        QTRY_VERIFY(monitor->answering());
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        const Bytes job = receipt(160, {0x55}, spans); // about 2 s
        auto first = print(*monitor, job);
        QTRY_VERIFY(printer.received().size() > 4000);
        printer.sensorHigh = true;
        bool alwaysThere = true;
        bool openSeen = false;
        while (first.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
            alwaysThere &= monitor->answering();
            openSeen |= monitor->sensorLevel() == true;
        }
        QVERIFY(first.get().printed);
        QVERIFY(alwaysThere);
        QVERIFY(openSeen);

        auto second = print(*monitor, job);
        QTRY_VERIFY(printer.received().size() > job.size() + 4000);
        printer.bytesPerSecond = -1;
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->answering(), 3000);
        printer.bytesPerSecond = 20000;
        QTRY_VERIFY(monitor->answering());
        QVERIFY(printedWhole(second));
        monitor->stop();
    }

    // A printer taking a job again after a stall is there again while the
    // job prints, though the job lets no status question go.
    void printerTakingAgainIsBackMidJob()
    {
        FakeNetworkPrinter printer;
        printer.bytesPerSecond = 20000;
        const auto monitor = printerMonitor(printer.address());
        QTRY_VERIFY(monitor->answering());
        Bytes job {0x1B, 0x99}; // a command the reading does not know
        job.resize(60000, 'a');
        auto printed = print(*monitor, job);
        QTRY_VERIFY(printer.received().size() > 4000);
        printer.bytesPerSecond = -1;
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->answering(), 3000);
        printer.bytesPerSecond = 20000;
        QTRY_VERIFY(monitor->answering());
        QVERIFY(printed.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
        QVERIFY(printedWhole(printed));
        monitor->stop();
    }

    // Jobs print whole and in order; a kick asked for during one goes
    // between two of its commands, never into an image's data, though that
    // holds the very bytes of a kick.
    void kickDuringAJobGoesBetweenCommands()
    {
        FakeNetworkPrinter printer;
        printer.bytesPerSecond = 20000;
        printer.oneClientAtATime = true; // a connection's bytes are not mixed with the next's
        const auto monitor = printerMonitor(printer.address());
        const Bytes kick = drawerdriver::kickBytes(*monitor->section(0));
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        const Bytes job = receipt(100, kick, spans);
        Bytes both = job;
        both.insert(both.end(), job.begin(), job.end());
        for (auto span : std::vector(spans))
            spans.emplace_back(span.first + job.size(), span.second + job.size());
        auto first = print(*monitor, job);
        auto second = print(*monitor, job);
        QTRY_VERIFY(printer.received().size() > job.size() / 2);
        monitor->kick(0, kick);
        QVERIFY(printedWhole(first) && printedWhole(second));
        std::vector<std::pair<std::size_t, Bytes>> own; // once out of the printer's buffer
        QTRY_VERIFY(!(own = ownBytesIn(printer.received(), both, {StatusRequest, kick})).empty());
        int kicks = 0;
        int questions = 0;
        for (const auto &[at, bytes] : own) {
            for (const auto &[start, end] : spans)
                QVERIFY2(at <= start || at >= end, qPrintable(QString::number(at)));
            kicks += bytes == kick && at < job.size();
            questions += bytes == StatusRequest && at > 0 && at < job.size();
        }
        QCOMPARE(kicks, 1);
        QVERIFY(questions > 0);
        monitor->stop();
    }

    // A monitor stopped for good, its printer gone from the configuration,
    // ends its jobs rather than keep them for a successor that never comes.
    void jobsEndWithAMonitorStoppedForGood()
    {
        FakeNetworkPrinter printer;
        printer.bytesPerSecond = -1; // takes nothing
        const auto monitor = printerMonitor(printer.address());
        auto first = print(*monitor, Bytes(100000, 'a'));
        auto second = print(*monitor, Bytes(10, 'b'));
        QTRY_VERIFY(printer.connections() > 0);
        monitor->stop(true);
        for (auto *job : {&first, &second}) {
            QCOMPARE(job->wait_for(std::chrono::seconds(5)), std::future_status::ready);
            QVERIFY(!job->get().printed);
        }
    }

    // The printer's answer to a question inside the job is the job's, also
    // when it comes after the job: a paper status with the pattern of a
    // drawer's, saying "open", while the monitor's questions go unanswered.
    void jobsAnswerIsNeverTakenForStatus()
    {
        PtyPrinter printer;
        const auto monitor = printerMonitor(linked(printer));
        QTRY_COMPARE(monitor->sensorLevel(), std::optional<bool>(false));
        printer.answer = PtyPrinter::Silent;
        printer.paperAnswer = 0x1E;
        printer.answerDelayMs = 100; // after the job's last byte
        Bytes job(300, 'a');
        job.insert(job.end(), {0x10, 0x04, 0x04});
        job.insert(job.end(), 300, 'b');
        auto printed = print(*monitor, job);
        QVERIFY(printedWhole(printed));
        const int asked = printer.statusRequests(); // and asked again twice, after it
        QTRY_VERIFY(printer.statusRequests() > asked + 1);
        QCOMPARE(monitor->sensorLevel(), std::optional<bool>(false));
        QTRY_VERIFY(
            !ownBytesIn(printer.received(), job, {StatusRequest, AutomaticStatusOn}).empty());
        monitor->stop();
    }

    void answerTimingDecidesWhatCounts()
    {
        QFETCH(QString, protocol);
        QFETCH(bool, late);
        const int delayMs = late ? 320 : 225;
        // Late answers say "open", answers in time "closed".
        PtyPrinter printer;
        PtyHidDrawer drawer(2);
        if (protocol == QLatin1String("hid")) {
            drawer.answerDelayMs = delayMs;
            drawer.drawerOpen = late;
            configureDrawer1(linked(drawer.device), QStringLiteral("protocol = hid\nid = 2"));
        } else {
            printer.answerDelayMs = delayMs;
            printer.answer = late ? 0x16 : 0x12;
            printer.setStarStatus({0x0F, 0x00, std::uint8_t(late ? 0x04 : 0x00), 0, 0, 0, 0});
            configureDrawer1(
                linked(printer), QStringLiteral("sensor = open-high\nprotocol = %1").arg(protocol));
        }
        if (!late)
            library.release(connectDrawer());
        const QSet<int> seen = statesSeen(std::chrono::milliseconds(3000));
        QVERIFY(printer.statusRequests() + drawer.statusRequests() > 0);
        if (late)
            QVERIFY2(!seen.contains(2), "a late answer was taken for the drawer's state");
        else
            QCOMPARE(seen, QSet<int> {1});
    }

    // Signals meant for the host, landing on every thread but the main one,
    // must not cut the library's waits short: no false "does not answer",
    // no lost status.
    void signalStormChangesNothing()
    {
        PtyPrinter printer;
        printer.answerDelayMs = 30; // every exchange waits long enough to be hit
        configureDrawer1(linked(printer), QStringLiteral("sensor = open-high"));
        library.release(connectDrawer());
        struct sigaction handler { };
        struct sigaction before { };
        handler.sa_handler = [](int) {};
        handler.sa_flags = SA_RESTART; // poll is interrupted all the same
        QCOMPARE(::sigaction(SIGUSR1, &handler, &before), 0);
        StderrCapture capture;
        std::atomic<bool> storming {true};
        const pid_t process = ::getpid();
        std::thread storm([&] {
            const pid_t self = pid_t(::syscall(SYS_gettid));
            while (storming) {
                for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
                    const pid_t thread = std::stoi(task.path().filename());
                    if (thread != process && thread != self)
                        ::syscall(SYS_tgkill, process, thread, SIGUSR1);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const QSet<int> seen = statesSeen(std::chrono::milliseconds(2000));
        storming = false;
        storm.join();
        ::sigaction(SIGUSR1, &before, nullptr);
        QCOMPARE(seen, QSet<int> {1});
        QCOMPARE(capture.finish(), QString());
    }

    // Drawer 2's section is edited while drawer 1, on the same printer, is
    // fired: drawer 1's section did not change, so every kick is accepted,
    // every kick reported done reaches the printer, and drawer 1's handle
    // lives on through the restarts of the device's monitor.
    void editsRacingKicksLoseNoKick()
    {
        PtyPrinter printer;
        const QString device = QString::fromStdString(linked(printer));
        const auto configureWithPulse = [&](int pulse) {
            configure(QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\n"
                                     "[drawer 2]\ndevice = %1\nconnector = pin5\npulse-on = %2\n")
                          .arg(device)
                          .arg(pulse));
        };
        configureWithPulse(40);
        const std::int32_t first = connectDrawer(0);
        int accepted = 0;
        const int edits = 20;
        for (int edit = 0; edit < edits; ++edit) {
            configureWithPulse(42 + 2 * edit);
            std::thread other([&] { library.release(library.getHandle(1)); });
            accepted += library.openDrawer(first);
            other.join();
        }
        QCOMPARE(accepted, edits);
        const Bytes kick {0x1B, 0x70, 0x00, 25, 250};
        const auto kicksReceived = [&] {
            const Bytes bytes = printer.received();
            int count = 0;
            for (auto at = bytes.begin();
                 (at = std::search(at, bytes.end(), kick.begin(), kick.end())) != bytes.end(); ++at)
                ++count;
            return count;
        };
        QTRY_COMPARE_WITH_TIMEOUT(kicksReceived(), accepted, 5000);
        QTRY_COMPARE(library.status(first), std::int16_t(1));
        QCOMPARE(library.openDrawer(first), std::int16_t(1));
        QTRY_COMPARE(kicksReceived(), accepted + 1);
        library.release(first);
    }

    // A host whose standard error is a full pipe: the library's messages
    // wait for it on a thread of their own, never in a call.
    void fullStandardErrorNeverHoldsACall()
    {
        int pipeEnds[2];
        QCOMPARE(::pipe2(pipeEnds, O_CLOEXEC), 0);
        ::fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
        const std::vector<char> filler(4096, 'x');
        while (::write(pipeEnds[1], filler.data(), filler.size()) > 0) { }
        ::fcntl(pipeEnds[1], F_SETFL, 0);
        std::fflush(stderr);
        const int saved = ::dup(2);
        ::dup2(pipeEnds[1], 2);
        BlockedClock slowest;
        double worstMs = 0;
        for (int round = 0; round < 20; ++round) {
            // Each round a new mistake, so each has a message to tell.
            configure(QStringLiteral("[drawer 1]\nnonsense %1\n").arg(round));
            slowest.restart();
            library.getHandle(0);
            worstMs = std::max(worstMs, slowest.elapsedMs());
        }
        ::dup2(saved, 2);
        ::close(saved);
        // Drained, so that the writer thread gets on; the read end stays
        // open, as a write still under way to it must not raise SIGPIPE.
        ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
        std::vector<char> drain(1 << 16);
        while (::read(pipeEnds[0], drain.data(), drain.size()) > 0) { }
        ::close(pipeEnds[1]);
        QVERIFY2(worstMs < 50, qPrintable(QString::number(worstMs)));
    }

    // A network printer that resets its connection: writing to it again
    // must fail, not end the host with SIGPIPE. Tried in a child process,
    // whose death is then only a test result.
    void resetConnectionRaisesNoSigpipe()
    {
        const pid_t child = ::fork();
        if (child == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                || ::listen(listener, 1) != 0
                || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
                ::_exit(3);
            const drawerdriver::Endpoint endpoint {{}, "127.0.0.1", ntohs(address.sin_port)};
            drawerdriver::NetworkAddress target;
            std::memcpy(&target.address, &address, sizeof address);
            target.length = sizeof address;
            auto connection = drawerdriver::connectNetwork(endpoint, target, 1000, -1).transport;
            const int peer = ::accept(listener, nullptr, nullptr);
            if (!connection || peer < 0)
                ::_exit(4);
            const linger reset {1, 0};
            ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(peer);
            std::string error;
            const auto deadline = drawerdriver::Clock::now() + std::chrono::milliseconds(200);
            for (int write = 0; write < 3; ++write)
                connection->writeAll(StatusRequest, deadline, error);
            ::_exit(0);
        }
        QVERIFY(child > 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(!WIFSIGNALED(status), qPrintable(QString::number(WTERMSIG(status))));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    // A name with two addresses, the printer listening on the second only:
    // every address is tried. The name is given its addresses in a private
    // mount namespace, where a copy of the hosts file stands in for the
    // machine's own, which is never touched.
    void everyAddressOfANameIsTried()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("needs root and unshare for a private hosts file");
        FakeNetworkPrinter printer; // on 127.0.0.1 only
        const QString hosts = home->filePath(QStringLiteral("hosts"));
        QFile file(hosts);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("::1 localhost\n127.0.0.1 localhost\n");
        file.close();
        configureDrawer1("tcp://localhost:" + std::to_string(printer.port()));
        QProcess process;
        process.start(QStringLiteral("unshare"),
            {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("mount --bind \"$1\" /etc/hosts && exec \"$2\" \"$3\""),
                QStringLiteral("sh"), hosts, QStringLiteral(HOLD_AT_EXIT),
                QDir(DriverDir).filePath(QStringLiteral("libKestrinPOS_USB.so"))});
        QVERIFY(process.waitForFinished(15000));
        const QByteArray told = process.readAllStandardError();
        if (told.contains("mount"))
            QSKIP("no private mount namespace here");
        QVERIFY2(process.readAllStandardOutput().startsWith("holding "), told.constData());
    }

    void processEndsPromptlyWithHandlesHeld_data()
    {
        QTest::addColumn<QStringList>("how");
        QTest::newRow("exit") << QStringList();
        QTest::newRow("dlclose first, the monitor still running") << QStringList {"dlclose"};
    }

    void processEndsPromptlyWithHandlesHeld()
    {
        QFETCH(QStringList, how);
        FakeNetworkPrinter printer;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high\nhold = yes"));
        QProcess process;
        process.start(QStringLiteral(HOLD_AT_EXIT),
            QStringList {QDir(DriverDir).filePath(QStringLiteral("libKestrinPOS_USB.so"))} + how);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().startsWith("holding "));
        // The printer was told to stop pushing before the process let go.
        QTRY_VERIFY(endsWith(printer.received(), AutomaticStatusOff));
    }

    // The moment to open the drawer is while the receipt prints: a printer
    // busy for a second still gets the kick that OpenDrawer accepted, and
    // gets it once.
    void kickOutlastsABusyPrinter_data()
    {
        QTest::addColumn<bool>("network"); // else a node another program locks
        QTest::newRow("print server refusing connections") << true;
        QTest::newRow("device node locked by another program") << false;
    }

    void kickOutlastsABusyPrinter()
    {
        QFETCH(bool, network);
        FakeNetworkPrinter server;
        PtyPrinter serial;
        const std::string device = network ? server.address() : linked(serial);
        configureDrawer1(device, QStringLiteral("hold = no"));
        const std::int32_t handle = connectDrawer();
        const Bytes kick {0x1B, 0x70, 0x00, 25, 250};
        for (int round = 1; round <= 5; ++round) {
            const int other = network ? -1 : ::open(serial.device.c_str(), O_RDWR | O_NOCTTY);
            if (network)
                server.vanish();
            else
                QTRY_COMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
            QCOMPARE(library.openDrawer(handle), std::int16_t(1));
            QTest::qWait(1000); // the receipt printing
            if (network)
                server.comeBack();
            else
                ::close(other);
            const auto kicks = [&] {
                const Bytes bytes = network ? server.received() : serial.received();
                return std::count_if(
                    bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0x70; });
            };
            QTRY_COMPARE_WITH_TIMEOUT(kicks(), round, 3000);
            QTRY_VERIFY(library.status(handle) != 0);
        }
        library.release(handle);
    }

    // An edit reaches a handle held all along, within about a second.
    void editReachesTheDrawerOnScreen()
    {
        PtyPrinter printer;
        printer.answer = 0x16;
        configureDrawer1(linked(printer), QStringLiteral("sensor = open-high"));
        const std::int32_t handle = connectDrawer();
        QTRY_COMPARE(library.status(handle), std::int16_t(2));
        configure(QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-low\nconnector = pin5\n")
                      .arg(QString::fromStdString(printer.device)));
        QTRY_COMPARE_WITH_TIMEOUT(library.status(handle), std::int16_t(1), 1500);
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        QTRY_VERIFY(contains(printer.received(), {0x1B, 0x70, 0x01, 25, 250}));
        library.release(handle);
    }

    // A host that forks worker processes: the child gets monitors of its own.
    void forkedChildGetsItsDrawer()
    {
        FakeNetworkPrinter printer;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high"));
        const std::int32_t handle = connectDrawer();
        const pid_t child = ::fork();
        if (child == 0) {
            for (int tick = 0; tick < 30; ++tick) {
                if (const std::int32_t own = library.getHandle(0);
                    own > 0 && library.status(own) == 1)
                    ::_exit(0);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            ::_exit(1);
        }
        QVERIFY(child > 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(library.status(handle), std::int16_t(1));
        library.release(handle);
    }

    void drawerWindowDrivesThePrinter()
    {
        PtyPrinter printer;
        configureDrawer1(linked(printer), QStringLiteral("sensor = open-high"));
        printer.answer = 0x12;
        VendorDrawerLibrary vendor({DriverDir.toStdString()});
        MainForm form(vendor, [] {});
        form.show();
        FormProbe probe {&form};
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));

        QTest::mouseClick(probe.find<QPushButton>("Open_Button"), Qt::LeftButton);
        QTRY_VERIFY(contains(printer.received(), {0x1B, 0x70, 0x00, 25, 250}));
        printer.answer = 0x16; // the drawer springs open
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Open"));
        QCOMPARE(probe.fill(), FormUnits::Green);
    }

    void drawerWindowFollowsANetworkPrinter()
    {
        FakeNetworkPrinter printer;
        configureDrawer1(printer.address(), QStringLiteral("sensor = open-high"));
        VendorDrawerLibrary vendor({DriverDir.toStdString()});
        MainForm form(vendor, [] {});
        form.show();
        FormProbe probe {&form};
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));

        QTest::mouseClick(probe.find<QPushButton>("Open_Button"), Qt::LeftButton);
        QTRY_COMPARE(printer.kicks(), 1);
        printer.sensorHigh = true;
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Open"));

        // The printer stops: offline within a second, and the window still
        // answers at once.
        printer.vanish();
        QTRY_VERIFY_WITH_TIMEOUT(probe.showsDisconnected(), 1000);
        BlockedClock click;
        QTest::mouseClick(probe.drawerOption(1), Qt::LeftButton);
        QTest::mouseClick(probe.drawerOption(0), Qt::LeftButton);
        QVERIFY2(click.elapsedMs() < 300, qPrintable(QString::number(click.elapsedMs())));
        printer.sensorHigh = false;
        printer.comeBack();
        QTRY_VERIFY_WITH_TIMEOUT(probe.showsConnected(), 5000);
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));
    }
};

QTEST_MAIN(DrawerDriverTest)
#include "tst_drawerdriver.moc"
