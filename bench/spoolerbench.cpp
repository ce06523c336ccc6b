// spooler-bench: receipts through a real print spooler (cupsd on loopback,
// raw queues), straight to a network printer played on 127.0.0.1 by the
// spooler's socket backend, and through the drawer service by its backend
// kestrin:/1, in turns, on the same printer in the same run. The printer
// takes one connection at a time and prints 20 kB a second, as the receipt
// printers measured do. Lines of "name median p99 max count", as
// driver-bench prints them:
//   spooler last-byte-direct    lp to the receipt's last byte, straight, ms
//   spooler last-byte-service   the same through the drawer service, ms
//   spooler gone-direct         the share of the service's Present readings
//   spooler gone-service        that said gone while receipts printed, %
//   spooler kick-service        Open during a receipt to the kick at the printer, ms
//   spooler kick-direct         the same while the socket backend holds the
//                               printer; one not there within 3.5 s counts 3500
//   spooler open-service        the sensor changed during a receipt to the
//   spooler open-direct         service's Open property, ms (3500: not seen)
//
//   spooler-bench BACKEND [RECEIPTS]   (the service is the one built with it)
#include "support/fakenetworkprinter.h"
#include "support/privatecupsd.h"
#include "support/privatesystembus.h"

#include "busapi.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

namespace bus = drawerdriver::bus;
constexpr int PrinterSpeed = 20'000; // bytes a second
constexpr int NotSeenMs = 3500;

void print(const char *name, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        return values.empty() ? 0.0 : values[std::size_t(fraction * double(values.size() - 1))];
    };
    std::printf("%s %.3f %.3f %.3f %zu\n", name, at(0.5), at(0.99), at(1.0), values.size());
}

// About 1.5 s of printing: text lines, a cut, and a marker at its end.
QByteArray receipt(int number)
{
    QByteArray bytes = "\x1B@";
    while (bytes.size() < PrinterSpeed * 3 / 2)
        bytes += "Coffee, large ......................... 3.50\n";
    return bytes + "\x1DV\x00" + "end of receipt " + QByteArray::number(number) + "\n";
}

class Bench {
public:
    FakeNetworkPrinter printer;
    QDBusConnection bus {QStringLiteral("bench")};
    std::unique_ptr<PrivateCupsd> cupsd;
    std::map<std::string, std::vector<double>> figures;

    QVariant property(const char *name)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(QString::fromLatin1(bus::ServiceName),
            QString::fromStdString(bus::drawerPath(1)),
            QString::fromLatin1(bus::PropertiesInterface), QStringLiteral("Get"));
        get << QString::fromLatin1(bus::DrawerInterface) << QString::fromLatin1(name);
        return bus.call(get, QDBus::Block, 1000)
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    }

    bool printed(const QByteArray &marker) const
    {
        const std::vector<std::uint8_t> bytes = printer.received();
        const std::size_t tail = std::min<std::size_t>(bytes.size(), 512);
        return QByteArray(
            reinterpret_cast<const char *>(bytes.data() + bytes.size() - tail), qsizetype(tail))
            .replace(QByteArray("\x10\x04\x01", 3), QByteArray())
            .contains(marker);
    }

    // One receipt through the queue: its time to the last byte, the share
    // of Present readings that said gone, a kick asked for and the sensor
    // changed meanwhile.
    void receiptThrough(const QString &queue, const std::string &mode, int number)
    {
        const QByteArray bytes = receipt(number);
        const QByteArray marker = "end of receipt " + QByteArray::number(number);
        const int kicks = printer.kicks();
        QElapsedTimer clock;
        clock.start();
        QProcess lp;
        lp.setProcessEnvironment(cupsd->environment());
        lp.start(QStringLiteral("lp"),
            {QStringLiteral("-d"), queue, QStringLiteral("-o"), QStringLiteral("raw")});
        lp.write(bytes);
        lp.closeWriteChannel();
        lp.waitForFinished();
        int readings = 0, gone = 0;
        qint64 kickAsked = -1, kickSeen = -1, changed = -1, openSeen = -1, lastByte = -1;
        qint64 nextReading = 0;
        while (clock.elapsed() < 20000 && (lastByte < 0 || kickSeen < 0 || openSeen < 0)
            && !(lastByte >= 0 && clock.elapsed() > lastByte + NotSeenMs)) {
            const qint64 now = clock.elapsed();
            if (lastByte < 0 && printed(marker))
                lastByte = now;
            if (lastByte < 0 && now >= nextReading) {
                nextReading = now + 100;
                ++readings;
                gone += !property(bus::PresentProperty).toBool();
            }
            if (changed < 0 && now > 400) {
                printer.sensorHigh = true;
                changed = now;
            }
            if (openSeen < 0 && changed >= 0 && property(bus::OpenProperty).toBool())
                openSeen = now;
            if (kickAsked < 0 && now > 700) {
                kickAsked = now;
                QDBusMessage open
                    = QDBusMessage::createMethodCall(QString::fromLatin1(bus::ServiceName),
                        QString::fromStdString(bus::drawerPath(1)),
                        QString::fromLatin1(bus::DrawerInterface),
                        QString::fromLatin1(bus::OpenMethod));
                open << QStringLiteral("spooler-bench");
                bus.call(open, QDBus::Block, 2000);
            }
            if (kickSeen < 0 && kickAsked >= 0 && printer.kicks() > kicks)
                kickSeen = clock.elapsed();
            QTest::qWait(1);
        }
        figures["spooler last-byte-" + mode].push_back(double(lastByte));
        figures["spooler gone-" + mode].push_back(readings ? 100.0 * gone / readings : 0);
        figures["spooler kick-" + mode].push_back(
            kickSeen < 0 ? NotSeenMs : double(kickSeen - kickAsked));
        figures["spooler open-" + mode].push_back(
            openSeen < 0 ? NotSeenMs : double(openSeen - changed));
        printer.sensorHigh = false;
        if (!QTest::qWaitFor([&] { return !property(bus::OpenProperty).toBool(); }, 3000))
            std::fprintf(stderr, "spooler-bench: the drawer still reads open\n");
        QTest::qWait(600); // the drawer's pulse time, before the next kick
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: spooler-bench BACKEND [RECEIPTS]\n");
        return 2;
    }
    const int receipts = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    QTemporaryDir home;
    QFile::setPermissions(home.path(), QFile::permissions(home.path()) | QFile::ExeOther);
    Bench bench;
    bench.printer.bytesPerSecond = PrinterSpeed;
    bench.printer.oneClientAtATime = true;
    const QString conf = home.filePath(QStringLiteral("drawers.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QStringLiteral("[drawer 1]\ndevice = %1\nsensor = open-high\n")
                   .arg(QString::fromStdString(bench.printer.address()))
                   .toUtf8());
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), conf);
    environment.insert(QStringLiteral("STATE_DIRECTORY"), home.path());
    PrivateSystemBus systemBus;
    QString failed = systemBus.start(home.path(), environment);
    bench.bus = QDBusConnection::connectToBus(systemBus.address, QStringLiteral("bench"));
    bench.cupsd = std::make_unique<PrivateCupsd>();
    if (failed.isEmpty())
        failed = bench.cupsd->start(home.filePath(QStringLiteral("cups")),
            QString::fromLocal8Bit(argv[1]), systemBus.address, conf);
    const QString straight = QStringLiteral("socket://127.0.0.1:%1").arg(bench.printer.port());
    // The spooler's own backend for a queue straight to the printer.
    if (failed.isEmpty()
        && !QFile::copy(QStringLiteral("/usr/lib/cups/backend/socket"),
            bench.cupsd->folder() + QStringLiteral("/bin/backend/socket")))
        failed = QStringLiteral("cannot copy the spooler's socket backend");
    for (const auto &[queue, uri] : {std::pair(QStringLiteral("direct"), straight),
             std::pair(QStringLiteral("service"), QStringLiteral("kestrin:/1"))})
        if (failed.isEmpty()
            && bench.cupsd
                    ->run({QStringLiteral("lpadmin"), QStringLiteral("-p"), queue,
                        QStringLiteral("-E"), QStringLiteral("-v"), uri})
                    .exit
                != 0)
            failed = QStringLiteral("lpadmin refused the queue ") + queue;
    if (!failed.isEmpty()) {
        std::fprintf(stderr, "spooler-bench: %s\n", qPrintable(failed));
        return 1;
    }
    // The service starts and finds the printer before the first receipt.
    if (!QTest::qWaitFor([&] { return bench.property(bus::PresentProperty).toBool(); }, 5000)) {
        std::fprintf(stderr, "spooler-bench: the service does not see the printer\n");
        return 1;
    }
    for (int i = 0; i < receipts; ++i)
        for (const char *mode : {"direct", "service"})
            bench.receiptThrough(QString::fromLatin1(mode), mode, 2 * i + (mode[0] == 's'));
    for (const auto &[name, values] : bench.figures)
        print(name.c_str(), values);
    return 0;
}
