// Drawers that are USB devices themselves, each played on a pseudo-terminal:
// a HID drawer with its ID switch and a serial drawer-trigger box. The exact
// reports and kick bytes the drawer library sends, the drawer switch on each
// modem line in both polarities, bad answers and vanishing devices, the port
// settings it leaves, the configurations it refuses, and the unchanged
// drawer window driving both kinds.

#include "app/mainform.h"
#include "controller/global.h"
#include "drawer/vendordrawerlibrary.h"
#include "formprobe.h"
#include "monitor/drawerbank.h"
#include "support/drawerconfigfile.h"
#include "support/drawerfunctions.h"
#include "support/ptyhiddrawer.h"
#include "support/ptytriggerbox.h"
#include "support/stderrcapture.h"
#include "transports/serialport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <numeric>

#include <sys/ioctl.h> // TIOCM_*

namespace {
const QString DriverDir = QStringLiteral(DRIVER_LIB_DIR);

using Bytes = std::vector<std::uint8_t>;
using Behaviour = PtyHidDrawer::Behaviour;

// A call that waited on the device would take most of an exchange (250 ms).
constexpr qint64 SlowestCallNs = 20'000'000;

// A HID drawer's report as written: the report ID 0, then 120 bytes that
// start with the two given.
Bytes hidReport(int first, int second)
{
    Bytes report(PtyHidDrawer::ReportSize + 1, 0);
    report[1] = std::uint8_t(first);
    report[2] = std::uint8_t(second);
    return report;
}

// Every report the drawer got was one of its two, exactly, and so many of
// them were "open".
void verifyOnlyItsReports(const PtyHidDrawer &drawer, int opens)
{
    const auto unknown = drawer.unknownReports();
    if (!unknown.empty()) {
        const Bytes &first = unknown.front();
        const QByteArray start(reinterpret_cast<const char *>(first.data()),
            qsizetype(std::min<std::size_t>(first.size(), 8)));
        QFAIL(qPrintable(QStringLiteral("%1 unknown reports; the first, %2 bytes, starts %3")
                             .arg(unknown.size())
                             .arg(first.size())
                             .arg(QString::fromLatin1(start.toHex(' ')))));
    }
    QCOMPARE(drawer.openRequests(), opens);
    QCOMPARE(drawer.statusRequests() + opens, int(drawer.reports().size()));
}

// What a program asking for the drawer's state every 10 ms for a while saw.
struct Observed {
    int openAnswers = 0;
    qint64 firstOfflineMs = -1;
    int answersAfterOffline = 0;
    qint64 slowestCallNs = 0;
};

Observed watchStatus(const DrawerFunctions &library, std::int32_t handle, int forMs)
{
    Observed seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < forMs) {
        QElapsedTimer call;
        call.start();
        const std::int16_t state = library.status(handle);
        seen.slowestCallNs = std::max(seen.slowestCallNs, call.nsecsElapsed());
        seen.openAnswers += state == 2;
        if (seen.firstOfflineMs >= 0)
            seen.answersAfterOffline += state != 0;
        else if (state == 0)
            seen.firstOfflineMs = clock.elapsed();
        QTest::qWait(10);
    }
    return seen;
}
} // namespace

class UsbDrawersTest : public QObject {
    Q_OBJECT

private:
    DrawerFunctions library;
    std::unique_ptr<QTemporaryDir> home;
    std::map<std::string, QString> links; // of each device

    void configure(const QString &text) { QVERIFY(writeDrawerConfig(*home, text)); }
    // Each drawer's device by a link of its own, as a udev rule makes it,
    // and which goes with the device. Pseudo-terminal numbers come back soon
    // within this test, while a drawer library's monitor of a device gone
    // may still be trying its path for a moment: a link of its own keeps the
    // monitor off the new terminal.
    QString section(int drawer, const std::string &device, const QString &settings)
    {
        const QString link = home->filePath(QStringLiteral("drawer-%1").arg(drawer));
        if (!QFile::link(QString::fromStdString(device), link))
            qFatal("cannot link %s", qPrintable(link));
        links[device] = link;
        return QStringLiteral("[drawer %1]\ndevice = %2\n%3\n").arg(drawer).arg(link, settings);
    }
    // Unplugged: the device and its link are gone.
    template<typename Fake> void unplug(Fake &fake)
    {
        fake.vanish();
        unlink(fake);
    }
    template<typename Fake> void unlink(const Fake &fake) { QFile::remove(links[fake.device]); }
    QString hidSection(int drawer, const PtyHidDrawer &fake, const QString &extra = {})
    {
        return section(drawer, fake.device,
            QStringLiteral("protocol = hid\nid = %1\n%2").arg(fake.id).arg(extra));
    }
    QString triggerSection(int drawer, const PtyTriggerBox &fake, const QString &extra = {})
    {
        return section(drawer, fake.device, QStringLiteral("protocol = trigger\n") + extra);
    }

private slots:
    void initTestCase()
    {
        if (!usePrivatePseudoTerminals())
            qInfo("not root: the devices are played on the system's pseudo-terminals");
        const QString error
            = library.load(QDir(DriverDir).filePath(QStringLiteral("libKestrinPOS_USB.so")));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // The copy of the library linked into this test reads its modem lines
        // here; the shared library's own copy goes on asking the kernel.
        drawerdriver::setModemLineReader(&FakeModemLines::read);
    }
    void cleanupTestCase() { drawerdriver::setModemLineReader(nullptr); }

    void cleanup() { home.reset(); } // with the links, so that nothing follows them

    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        links.clear();
        Global::DrawerNumber = 0;
        FakeModemLines::bits = 0;
        FakeModemLines::missing = false;
    }

    void configurationMistakesAreRefusedInOneLine_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const QString &settings, const char *message) {
            QTest::newRow(name) << settings << QString::fromLatin1(message);
        };
        const QString hid = QStringLiteral("device = /dev/cash-drawer-0\nprotocol = hid\n");
        const QString trigger = QStringLiteral("device = /dev/ttyUSB7\nprotocol = trigger\n");
        const QString network = QStringLiteral("device = tcp://127.0.0.1:9100\n");
        row("hid without its id", hid, "needs its id");
        row("hid id beyond the switch", hid + "id = 8", "id must be");
        row("hid id not a number", hid + "id = two", "id must be");
        row("hid with a sensor", hid + "id = 1\nsensor = open-low", "'sensor' does not apply");
        row("hid with sensor none", hid + "id = 1\nsensor = none", "'sensor' does not apply");
        row("hid with a kick", hid + "id = 1\nkick = 07", "'kick' does not apply");
        row("hid on the network", network + "protocol = hid\nid = 0", "needs a device node");
        row("trigger on the network", network + "protocol = trigger", "needs a device node");
        row("empty kick", trigger + "kick =", "kick must be");
        row("seventeen kick bytes",
            trigger + "kick = 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10", "kick must be");
        row("one digit", trigger + "kick = 7", "kick must be");
        row("three digits", trigger + "kick = 1B 007", "kick must be");
        row("bytes run together", trigger + "kick = 1B07", "kick must be");
        row("0x prefix", trigger + "kick = 0x07", "kick must be");
        row("not hex", trigger + "kick = 1G", "kick must be");
        row("commas", trigger + "kick = 1B,07", "kick must be");
        row("sensor without its line", trigger + "sensor = open-high", "needs sensor-line");
        row("unknown line", trigger + "sensor-line = rts\nsensor = open-low",
            "sensor-line must be");
        row("id on a trigger", trigger + "id = 1", "'id' does not apply");
        row("pulse on a trigger", trigger + "pulse-on = 100", "'pulse-on' does not apply");
        row("line on a printer", QStringLiteral("device = /dev/usb/lp0\nsensor-line = dsr"),
            "'sensor-line' does not apply");
    }

    // First of all: no monitor of an earlier test's device may be telling
    // about it on standard error meanwhile.
    void configurationMistakesAreRefusedInOneLine()
    {
        QFETCH(QString, settings);
        QFETCH(QString, message);
        configure(QStringLiteral("[drawer 1]\n") + settings + QLatin1Char('\n'));
        StderrCapture capture;
        QCOMPARE(library.getHandle(0), 0);
        // Messages are written by a thread of the library's own.
        QTRY_VERIFY2(capture.text().contains(message), qPrintable(capture.text()));
        const QString told = capture.finish();
        QVERIFY2(told.contains(home->path()), qPrintable(told)); // names the file
        QCOMPARE(told.count(QLatin1Char('\n')), 1);
    }

    // Through the seam, on the library linked into this test.
    void triggerSensorOnEachLineInBothPolarities_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("bit");
        QTest::addColumn<bool>("openHigh");
        const std::pair<const char *, int> lines[]
            = {{"ri", TIOCM_RI}, {"cts", TIOCM_CTS}, {"dsr", TIOCM_DSR}, {"dcd", TIOCM_CD}};
        for (const auto &[line, bit] : lines)
            for (bool openHigh : {true, false})
                QTest::addRow("%s, %s", line, openHigh ? "open-high" : "open-low")
                    << QString::fromLatin1(line) << bit << openHigh;
    }

    void triggerSensorOnEachLineInBothPolarities()
    {
        QFETCH(QString, line);
        QFETCH(int, bit);
        QFETCH(bool, openHigh);
        PtyTriggerBox box;
        configure(triggerSection(1, box,
            QStringLiteral("sensor-line = %1\nsensor = %2")
                .arg(line, openHigh ? QStringLiteral("open-high") : QStringLiteral("open-low"))));
        const std::int16_t whenHigh = openHigh ? 2 : 1;
        const std::int16_t whenLow = openHigh ? 1 : 2;
        const int everyLine = TIOCM_RI | TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_DTR | TIOCM_RTS;

        drawerdriver::DrawerBank bank;
        FakeModemLines::bits = bit; // this line up, the others down
        const std::int32_t handle = bank.acquire(0);
        QVERIFY(handle > 0);
        QCOMPARE(bank.status(handle), whenHigh);
        FakeModemLines::bits = everyLine & ~bit; // the other way round
        QTRY_COMPARE(bank.status(handle), whenLow);
        FakeModemLines::bits = bit;
        QTRY_COMPARE(bank.status(handle), whenHigh);
        QVERIFY(box.received().empty()); // reading the switch sends nothing

        unplug(box);
        QTRY_COMPARE_WITH_TIMEOUT(bank.status(handle), std::int16_t(0), 1000);
        bank.release(handle);
    }

    void triggerPortWithoutModemLinesGivesNoDrawer()
    {
        PtyTriggerBox box;
        configure(triggerSection(1, box, QStringLiteral("sensor-line = cts\nsensor = open-high")));
        FakeModemLines::missing = true;
        StderrCapture capture;
        {
            drawerdriver::DrawerBank bank;
            QCOMPARE(bank.acquire(0), 0);
        }
        const QString told = capture.finish();
        QVERIFY2(told.contains(QLatin1String("modem lines")), qPrintable(told));
        QVERIFY2(told.contains(home->filePath(QStringLiteral("drawer-1"))), qPrintable(told));
    }

    void hidDrawerGetsOnlyItsTwoReports_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("spareBits");
        for (int id = 0; id < 8; ++id)
            QTest::addRow("ID switch %d", id) << id << QString() << 0;
        QTest::newRow("spare status bits set") << 3 << QString() << 0x0E;
        QTest::newRow("opened for each exchange") << 6 << QStringLiteral("hold = no") << 0;
    }

    void hidDrawerGetsOnlyItsTwoReports()
    {
        QFETCH(int, id);
        QFETCH(QString, settings);
        QFETCH(int, spareBits);
        PtyHidDrawer drawer(id);
        drawer.spareStatusBits = spareBits;
        configure(hidSection(1, drawer, settings));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.status(handle), std::int16_t(1));
        QCOMPARE(drawer.openRequests(), 0);
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        QTRY_COMPARE(drawer.openRequests(), 1);
        QTRY_COMPARE(library.status(handle), std::int16_t(2)); // sprung open
        drawer.drawerOpen = false; // pushed shut
        QTRY_COMPARE(library.status(handle), std::int16_t(1));
        library.release(handle);

        const auto reports = drawer.reports();
        QCOMPARE(reports.front(), hidReport(id, id + 1));
        QCOMPARE(int(std::count(reports.begin(), reports.end(), hidReport(id, id))), 1);
        QVERIFY(drawer.statusRequests() >= 3);
        verifyOnlyItsReports(drawer, 1);
    }

    void hidBadAnswersNeverShowAnOpenDrawer_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<bool>("offline"); // within a second, and stays so
        QTest::addColumn<bool>("comesBack");
        QTest::newRow("answer from another ID") << int(Behaviour::WrongId) << true << true;
        QTest::newRow("short read") << int(Behaviour::ShortRead) << true << true;
        QTest::newRow("flood of reports") << int(Behaviour::Flooding) << false << true;
        QTest::newRow("silent") << int(Behaviour::Silent) << true << true;
        QTest::newRow("gone in the middle of an exchange")
            << int(Behaviour::VanishOnRequest) << true << false;
    }

    // The drawer is closed throughout; every bad answer says "open".
    void hidBadAnswersNeverShowAnOpenDrawer()
    {
        QFETCH(int, behaviour);
        QFETCH(bool, offline);
        QFETCH(bool, comesBack);
        PtyHidDrawer drawer(4);
        configure(hidSection(1, drawer));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.status(handle), std::int16_t(1));

        drawer.behaviour = Behaviour(behaviour);
        if (drawer.behaviour == Behaviour::VanishOnRequest) {
            QTRY_VERIFY(drawer.vanished());
            unlink(drawer);
        }
        const Observed seen = watchStatus(library, handle, 1200);
        QCOMPARE(seen.openAnswers, 0);
        QVERIFY2(seen.slowestCallNs < SlowestCallNs,
            qPrintable(QStringLiteral("a call took %1 µs").arg(seen.slowestCallNs / 1000)));
        if (offline) {
            QVERIFY(seen.firstOfflineMs >= 0);
            QVERIFY2(seen.firstOfflineMs <= 1000,
                qPrintable(QStringLiteral("offline after %1 ms").arg(seen.firstOfflineMs)));
            QCOMPARE(seen.answersAfterOffline, 0);
        }
        if (comesBack) {
            drawer.behaviour = Behaviour::Answering;
            QTRY_COMPARE(library.status(handle), std::int16_t(1));
        }
        library.release(handle);
        if (!comesBack)
            QCOMPARE(library.getHandle(0), 0);
        verifyOnlyItsReports(drawer, 0);
    }

    void triggerKickSendsExactlyItsBytes_data()
    {
        QTest::addColumn<QString>("kick");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("default BEL") << QString() << Bytes {0x07};
        QTest::newRow("ESC BEL") << "kick = 1B 07" << Bytes {0x1B, 0x07};
        QTest::newRow("lower case, blanks and tabs") << "kick =  1b \t 07" << Bytes {0x1B, 0x07};
        QTest::newRow("any byte") << "kick = FF" << Bytes {0xFF};
        Bytes sixteen(16);
        std::iota(sixteen.begin(), sixteen.end(), std::uint8_t(0xA0));
        QTest::newRow("sixteen bytes")
            << "kick = A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF" << sixteen;
    }

    // Two kicks in a row both go out at once: a box that needs charging
    // simply does not fire until it is charged.
    void triggerKickSendsExactlyItsBytes()
    {
        QFETCH(QString, kick);
        QFETCH(Bytes, expected);
        PtyTriggerBox box;
        configure(triggerSection(1, box, kick));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.status(handle), std::int16_t(1)); // no sensor: closed while there
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        Bytes twice = expected;
        twice.insert(twice.end(), expected.begin(), expected.end());
        QTRY_COMPARE_WITH_TIMEOUT(box.received(), twice, 500);
        library.release(handle);
    }

    void triggerPortIsSetUpForTheBox_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("speed");
        QTest::addColumn<bool>("held");
        QTest::newRow("defaults") << QString() << int(B9600) << true;
        QTest::newRow("300 baud") << "speed = 300" << int(B300) << true;
        QTest::newRow("600 baud") << "speed = 600" << int(B600) << true;
        QTest::newRow("19200 baud") << "speed = 19200" << int(B19200) << true;
        QTest::newRow("let go between exchanges") << "hold = no" << int(B9600) << false;
        QTest::newRow("let go, 1200 baud") << "hold = no\nspeed = 1200" << int(B1200) << false;
    }

    // Raw 8N1 without flow control. DTR and RTS cannot be raised on a
    // pseudo-terminal (it answers ENOTTY), which is no error. A port held
    // open keeps HUPCL; one opened for each exchange has it cleared, so that
    // closing it leaves DTR and RTS up.
    void triggerPortIsSetUpForTheBox()
    {
        QFETCH(QString, settings);
        QFETCH(int, speed);
        QFETCH(bool, held);
        PtyTriggerBox box;
        configure(triggerSection(1, box, settings));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.status(handle), std::int16_t(1));
        if (held)
            QVERIFY(box.portOpen());
        else
            QTRY_VERIFY(!box.portOpen());

        const termios port = box.settings();
        QCOMPARE(int(::cfgetospeed(&port)), speed);
        QCOMPARE(int(::cfgetispeed(&port)), speed);
        QCOMPARE(port.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(port.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(port.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        QCOMPARE(port.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t(0));
        QCOMPARE(port.c_oflag & OPOST, tcflag_t(0));
        QCOMPARE(port.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        QCOMPARE(bool(port.c_cflag & HUPCL), held);
        QCOMPARE(library.status(handle), std::int16_t(1));
        QVERIFY(box.received().empty());
        library.release(handle);
    }

    // The unchanged window as a new user would try it: "Drawer #3" a HID
    // drawer with ID switch 2, "Drawer #4" a trigger box that fires on ESC
    // BEL. Each connects, shows its state and fires from the window;
    // unplugged, each shows as not connected within a second.
    void windowDrivesHidDrawer3AndTriggerBox4()
    {
        PtyHidDrawer drawer(2);
        PtyTriggerBox box;
        configure(hidSection(3, drawer) + triggerSection(4, box, QStringLiteral("kick = 1B 07")));
        VendorDrawerLibrary vendor({DriverDir.toStdString()});
        MainForm form(vendor, [] {});
        form.show();
        FormProbe probe {&form};
        QPushButton *open = probe.find<QPushButton>("Open_Button");

        QTest::mouseClick(probe.drawerOption(2), Qt::LeftButton);
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));
        QCOMPARE(probe.fill(), FormUnits::Red);
        QTest::mouseClick(open, Qt::LeftButton);
        QTRY_COMPARE(drawer.openRequests(), 1); // and the drawer springs open
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Open"));
        QCOMPARE(probe.fill(), FormUnits::Green);
        drawer.drawerOpen = false; // pushed shut
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));
        QVERIFY(box.received().empty());

        QTest::mouseClick(probe.drawerOption(3), Qt::LeftButton);
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));
        QTest::mouseClick(open, Qt::LeftButton);
        QTRY_COMPARE(box.received(), Bytes({0x1B, 0x07}));
        verifyOnlyItsReports(drawer, 1);
        QCOMPARE(drawer.reports().front(), hidReport(2, 3));

        unplug(box);
        QTRY_VERIFY_WITH_TIMEOUT(probe.showsDisconnected(), 1000);
        QTest::mouseClick(probe.drawerOption(2), Qt::LeftButton);
        QTRY_VERIFY(probe.showsConnected());
        unplug(drawer);
        QTRY_VERIFY_WITH_TIMEOUT(probe.showsDisconnected(), 1000);
    }
};

QTEST_MAIN(UsbDrawersTest)
#include "tst_usbdrawers.moc"
