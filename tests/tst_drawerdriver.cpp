// The ESC/POS drawer library against a printer played on a pseudo-terminal:
// the kick bytes it sends, how it reads the drawer sensor, and how it copes
// with stale bytes, silence, garbage, a vanishing device and a second opener;
// its configuration file; and the unchanged drawer window driving it.

#include "app/mainform.h"
#include "drawer/vendordrawerlibrary.h"
#include "config.h"
#include "formprobe.h"
#include "support/drawerfunctions.h"
#include "support/ptyprinter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

#include <sys/file.h>

namespace {
const QString DriverDir = QStringLiteral(DRIVER_LIB_DIR);

using Bytes = std::vector<std::uint8_t>;

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Standard error while a call runs, for the library's messages.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    QString finish()
    {
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        std::rewind(m_file);
        QByteArray text;
        char buffer[512];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, m_file))
            text.append(buffer, qsizetype(n));
        std::fclose(m_file);
        return QString::fromLocal8Bit(text);
    }

private:
    int m_saved = -1;
    std::FILE *m_file = nullptr;
};
} // namespace

class EscposTest : public QObject {
    Q_OBJECT

private:
    DrawerFunctions library;
    std::unique_ptr<QTemporaryDir> home;

    void configure(const QString &text)
    {
        const QString path = home->filePath(QStringLiteral("drawers.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        qputenv("KESTRIN_DRAWERS_CONF", path.toLocal8Bit());
    }

    void configureDrawer1(const PtyPrinter &printer, const QString &extra = {})
    {
        configure(QStringLiteral("[drawer 1]\ndevice = %1\n%2\n")
                      .arg(QString::fromStdString(printer.device), extra));
    }

private slots:
    void initTestCase()
    {
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
        QTest::newRow("clamped at 255 in 2 ms units")
            << "pulse-off = 2000" << Bytes {0x1B, 0x70, 0x00, 25, 255};
    }

    void kickSendsTheConfiguredPulse()
    {
        QFETCH(QString, settings);
        QFETCH(Bytes, expected);
        PtyPrinter printer;
        configureDrawer1(printer, settings);
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.openDrawer(handle), std::int16_t(1));
        QTRY_COMPARE(printer.received(), expected);
        library.release(handle);
    }

    void sensorLevelAndPolarityGiveTheDrawerState_data()
    {
        QTest::addColumn<QString>("sensor");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("state");
        QTest::newRow("open-high, pin 3 low") << "open-high" << 0x12 << 1;
        QTest::newRow("open-high, pin 3 high") << "open-high" << 0x16 << 2;
        QTest::newRow("open-low, pin 3 low") << "open-low" << 0x12 << 2;
        QTest::newRow("open-low, pin 3 high") << "open-low" << 0x16 << 1;
        QTest::newRow("other bits ignored") << "open-high" << (0x16 | 0x08 | 0x60) << 2;
        QTest::newRow("garbage") << "open-high" << 0xFF << 0;
        QTest::newRow("not a status byte") << "open-low" << 0x00 << 0;
    }

    void sensorLevelAndPolarityGiveTheDrawerState()
    {
        QFETCH(QString, sensor);
        QFETCH(int, answer);
        QFETCH(int, state);
        PtyPrinter printer;
        configureDrawer1(printer, QStringLiteral("sensor = ") + sensor);
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        printer.answer = answer;
        QCOMPARE(library.status(handle), std::int16_t(state));
        QCOMPARE(printer.received(), Bytes({0x10, 0x04, 0x01, 0x10, 0x04, 0x01}));
        library.release(handle);
    }

    void lateAnswerIsNotTakenForTheNextOne()
    {
        PtyPrinter printer;
        configureDrawer1(printer, QStringLiteral("sensor = open-high"));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        // "Open", but only after the library has stopped waiting.
        printer.answer = 0x16;
        printer.answerDelayMs = 400;
        const int sent = printer.answersSent();
        QCOMPARE(library.status(handle), std::int16_t(0));
        QTRY_COMPARE(printer.answersSent(), sent + 1);
        // The stale byte is waiting; the next question must not read it.
        printer.answer = 0x12;
        printer.answerDelayMs = 0;
        QCOMPARE(library.status(handle), std::int16_t(1));
        library.release(handle);
    }

    void silentPrinterGivesNoAnswerWithinTheBound()
    {
        PtyPrinter printer;
        configureDrawer1(printer, QStringLiteral("sensor = open-low"));
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        printer.answer = PtyPrinter::Silent;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(library.status(handle), std::int16_t(0));
        QVERIFY2(clock.elapsed() < 1000, "the window would freeze");
        library.release(handle);

        // A silent printer with a sensor configured is no drawer at all.
        StderrCapture capture;
        QCOMPARE(library.getHandle(0), 0);
        QVERIFY(capture.finish().contains(QLatin1String("does not answer")));
    }

    void withoutSensorTheDrawerIsClosedWhilePresent()
    {
        PtyPrinter printer;
        configureDrawer1(printer);
        printer.answer = PtyPrinter::Silent; // a printer that cannot talk back
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        QCOMPARE(library.status(handle), std::int16_t(1));
        QCOMPARE(printer.statusRequests(), 0);
        printer.vanish();
        QCOMPARE(library.status(handle), std::int16_t(0));
        library.release(handle);
    }

    void vanishingDeviceLeavesNothingOpen()
    {
        const int before = openDescriptors();
        {
            PtyPrinter printer;
            configureDrawer1(printer, QStringLiteral("sensor = open-high"));
            const std::int32_t handle = library.getHandle(0);
            QVERIFY(handle > 0);
            QCOMPARE(library.status(handle), std::int16_t(1));
            printer.vanish();
            QCOMPARE(library.status(handle), std::int16_t(0));
            QCOMPARE(library.openDrawer(handle), std::int16_t(0));
            library.release(handle);
            StderrCapture capture;
            QCOMPARE(library.getHandle(0), 0);
            QVERIFY(capture.finish().contains(QString::fromStdString(printer.device)));
        }
        QCOMPARE(openDescriptors(), before);
    }

    void secondOpenerIsRefusedWithAReason()
    {
        PtyPrinter printer;
        configureDrawer1(printer);
        const int holder = ::open(printer.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        StderrCapture capture;
        QCOMPARE(library.getHandle(0), 0);
        const QString message = capture.finish();
        ::close(holder);
        QVERIFY2(message.contains(QString::fromStdString(printer.device)), qPrintable(message));
        QVERIFY2(message.contains(QLatin1String("another process")), qPrintable(message));
        QCOMPARE(message.count(QLatin1Char('\n')), 1);
        const std::int32_t handle = library.getHandle(0);
        QVERIFY(handle > 0);
        library.release(handle);
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
               "sensor = open-low\n\n[drawer 8]\n  device=/dev/ttyUSB0  \n"
            << QList<int> {1, 8} << QString();
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

    void missingConfigurationIsToldOnce()
    {
        qputenv(
            "KESTRIN_DRAWERS_CONF", home->filePath(QStringLiteral("absent.conf")).toLocal8Bit());
        StderrCapture capture;
        for (int tick = 0; tick < 5; ++tick)
            QCOMPARE(library.getHandle(0), 0);
        const QString messages = capture.finish();
        QCOMPARE(messages.count(QLatin1String("absent.conf")), 1);
    }

    void drawerWindowDrivesThePrinter()
    {
        PtyPrinter printer;
        configureDrawer1(printer, QStringLiteral("sensor = open-high"));
        printer.answer = 0x12;
        VendorDrawerLibrary vendor({DriverDir});
        MainForm form(vendor, [] {});
        form.show();
        FormProbe probe {&form};
        QTRY_VERIFY(probe.showsConnected());
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Closed"));

        QTest::mouseClick(probe.find<QPushButton>("Open_Button"), Qt::LeftButton);
        const Bytes kick {0x1B, 0x70, 0x00, 25, 250};
        QTRY_VERIFY(std::search(printer.received().begin(), printer.received().end(), kick.begin(),
                        kick.end())
            != printer.received().end());
        printer.answer = 0x16; // the drawer springs open
        QTRY_COMPARE(probe.drawerState(), QStringLiteral("Open"));
        QCOMPARE(probe.fill(), FormUnits::Green);
    }
};

QTEST_MAIN(EscposTest)
#include "tst_drawerdriver.moc"
