// The drawer service's metrics as a fleet reads them: the service on a
// private bus against printers played on 127.0.0.1, its file linked by the
// set-up tool into the folder that Debian's node-exporter, run in a
// loopback-only network of the test's own, reads. Changes reach
// node-exporter's output within 2 s, promtool finds the file clean, and a
// link planted in the service's place is not written through.

#include "support/fakenetworkprinter.h"
#include "support/loopbacknetwork.h"
#include "support/privatesystembus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

class MetricsTest : public QObject {
    Q_OBJECT

private:
    enum Change { Kick, Opening, Closing, PrinterGone };
    QTemporaryDir home;
    std::unique_ptr<FakeNetworkPrinter> printer; // drawer 1: sensor, alarm after a second
    std::unique_ptr<FakeNetworkPrinter> second; // drawer 2
    std::unique_ptr<PrivateSystemBus> systemBus;
    QProcess exporter;

    QString path(const QString &name) const { return home.filePath(name); }
    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("metrics")); }

    QVariant property(int drawer, const QString &name)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.kestrin.Drawers1"),
            QStringLiteral("/org/kestrin/Drawers1/drawer%1").arg(drawer),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call.setArguments({QStringLiteral("org.kestrin.Drawers1.Drawer"), name});
        const QDBusMessage reply = bus().call(call, QDBus::Block, 5000);
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    // A sample's value in node-exporter's output; -1 where it is missing.
    static double value(const QByteArray &sample)
    {
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl("http://127.0.0.1:9100/metrics")));
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        for (const QByteArray &line : reply->readAll().split('\n'))
            if (line.startsWith(sample + ' '))
                return line.mid(sample.size() + 1).toDouble();
        return -1;
    }

    int setupTool(const QStringList &arguments)
    {
        QProcess tool;
        tool.start(QStringLiteral(SETUP_TOOL), arguments);
        return tool.waitForFinished(20000) ? tool.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        if (!enterLoopbackOnlyNetwork())
            QSKIP("needs root, for a network of the test's own with node-exporter's port");
        printer = std::make_unique<FakeNetworkPrinter>();
        second = std::make_unique<FakeNetworkPrinter>();
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral("textfile")));
        QFile config(path(QStringLiteral("drawers.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("[service]\nmetrics-dir = %1\n[drawer 1]\ndevice = %2\n"
                           "sensor = open-high\nalarm-after = 1\n[drawer 2]\ndevice = %3\n")
                .arg(path(QStringLiteral("textfile")), QString::fromStdString(printer->address()),
                    QString::fromStdString(second->address()))
                .toUtf8());
        config.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KESTRIN_DRAWERS_CONF"), config.fileName());
        environment.insert(QStringLiteral("STATE_DIRECTORY"), path(QStringLiteral("state")));
        for (const QString &name : environment.keys())
            qputenv(name.toLocal8Bit(), environment.value(name).toLocal8Bit());
        ::umask(077); // the service's, as its unit sets it
        systemBus = std::make_unique<PrivateSystemBus>();
        const QString failed = systemBus->start(home.path(), environment);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("metrics"))
                    .isConnected());

        QCOMPARE(setupTool({QStringLiteral("metrics"), QStringLiteral("on")}), 0);
        exporter.start(QStringLiteral("prometheus-node-exporter"),
            {QStringLiteral("--web.listen-address=127.0.0.1:9100"),
                QStringLiteral("--collector.disable-defaults"),
                QStringLiteral("--collector.textfile"),
                QStringLiteral("--collector.textfile.directory=")
                    + path(QStringLiteral("textfile"))});
        QTRY_VERIFY(property(1, QStringLiteral("Present")).toBool()); // started by the call
        QTRY_COMPARE(value("kestrin_drawer_present{drawer=\"1\"}"), 1.0);
    }

    void cleanupTestCase()
    {
        exporter.terminate();
        exporter.waitForFinished();
        QDBusConnection::disconnectFromBus(QStringLiteral("metrics"));
        systemBus.reset();
    }

    void changesReachNodeExporter_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<int>("drawer");
        QTest::addColumn<QString>("property"); // on the bus, as the service saw the change
        QTest::addColumn<QByteArray>("sample");
        QTest::addColumn<double>("expected");
        QTest::addColumn<bool>("timed"); // the alarm's second is no delay of the file
        QTest::newRow("kick") << Kick << 2 << QString()
                              << QByteArray(
                                     "kestrin_drawer_kicks_total{drawer=\"2\",result=\"done\"}")
                              << 1.0 << true;
        QTest::newRow("opening") << Opening << 1 << QStringLiteral("Open")
                                 << QByteArray("kestrin_drawer_openings_total{drawer=\"1\"}") << 1.0
                                 << true;
        QTest::newRow("left open")
            << Opening << 1 << QString() << QByteArray("kestrin_drawer_left_open{drawer=\"1\"}")
            << 1.0 << false;
        QTest::newRow("closing") << Closing << 1 << QStringLiteral("Open")
                                 << QByteArray("kestrin_drawer_left_open{drawer=\"1\"}") << 0.0
                                 << true;
        QTest::newRow("printer gone")
            << PrinterGone << 2 << QStringLiteral("Present")
            << QByteArray("kestrin_drawer_present{drawer=\"2\"}") << 0.0 << true;
    }

    void changesReachNodeExporter()
    {
        QFETCH(Change, change);
        QFETCH(int, drawer);
        QFETCH(QString, property);
        QFETCH(QByteArray, sample);
        QFETCH(double, expected);
        QFETCH(bool, timed);
        const QVariant before = property.isEmpty() ? QVariant() : this->property(drawer, property);
        if (change == Kick) {
            QDBusMessage call
                = QDBusMessage::createMethodCall(QStringLiteral("org.kestrin.Drawers1"),
                    QStringLiteral("/org/kestrin/Drawers1/drawer2"),
                    QStringLiteral("org.kestrin.Drawers1.Drawer"), QStringLiteral("Open"));
            call.setArguments({QStringLiteral("sale 17")});
            QCOMPARE(bus().call(call, QDBus::Block, 5000).type(), QDBusMessage::ReplyMessage);
        }
        printer->sensorHigh = change == Opening;
        if (change == PrinterGone)
            second->vanish();
        // From the moment the bus shows the change on.
        if (!property.isEmpty())
            QTRY_VERIFY(this->property(drawer, property) != before);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(value(sample), expected, 10000);
        QVERIFY2(!timed || clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    }

    // After an opening of over a second: the counters, promtool's check, the
    // modes node-exporter's user needs, and the file's age as it sees it.
    void fileAsNodeExporterReadsIt()
    {
        QCOMPARE(value("kestrin_drawer_left_open_alarms_total{drawer=\"1\"}"), 1.0);
        QVERIFY(value("kestrin_drawer_open_seconds_total{drawer=\"1\"}") > 1.0);
        QCOMPARE(value("node_textfile_scrape_error"), 0.0);
        const QString file = path(QStringLiteral("state/metrics/kestrin-drawer.prom"));
        QProcess promtool;
        promtool.setStandardInputFile(file);
        promtool.start(
            QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
        QVERIFY(promtool.waitForFinished());
        QVERIFY2(promtool.exitCode() == 0, promtool.readAllStandardError().constData());
        struct stat node = {};
        QVERIFY(::stat(QFile::encodeName(file).constData(), &node) == 0);
        QCOMPARE(node.st_mode & 0777, 0644u);
        QCOMPARE(
            value("node_textfile_mtime_seconds{file=\""
                + QFile::encodeName(path(QStringLiteral("textfile/kestrin-drawer.prom"))) + "\"}"),
            double(node.st_mtime));
        QVERIFY(::stat(QFile::encodeName(QFileInfo(file).path()).constData(), &node) == 0);
        QCOMPARE(node.st_mode & 0777, 0755u);
    }

    // A link planted in the service's folder's place: nothing is written
    // through it, the service says so, and writes again once the link goes.
    void plantedLinkIsNotWrittenThrough()
    {
        const QString folder = path(QStringLiteral("state/metrics"));
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("victim")));
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(QFile::link(path(QStringLiteral("victim")), folder));
        printer->sensorHigh = true;
        QTRY_VERIFY(systemBus->log().contains(QLatin1String("cannot write the metrics file")));
        QVERIFY(
            QDir(path(QStringLiteral("victim")))
                .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
        QVERIFY(QFile::remove(folder));
        printer->sensorHigh = false;
        QTRY_COMPARE(value("kestrin_drawer_openings_total{drawer=\"1\"}"), 2.0);
    }

    // The set-up tool changes only its own link in node-exporter's folder.
    void setupToolTouchesOnlyItsLink()
    {
        const QString link = path(QStringLiteral("textfile/kestrin-drawer.prom"));
        const QStringList on {QStringLiteral("metrics"), QStringLiteral("on")};
        const QStringList off {QStringLiteral("metrics"), QStringLiteral("off")};
        QCOMPARE(setupTool(off), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(setupTool(off), 0);
        QFile foreign(link);
        QVERIFY(foreign.open(QIODevice::WriteOnly) && foreign.write("x 1\n") == 4);
        foreign.close();
        QCOMPARE(setupTool(on), 3);
        QCOMPARE(setupTool(off), 3);
        QCOMPARE(QFileInfo(link).size(), 4);
        // A link in the folder's place is not followed either.
        QVERIFY(QDir(path(QStringLiteral("textfile"))).removeRecursively());
        QVERIFY(QFile::link(path(QStringLiteral("victim")), path(QStringLiteral("textfile"))));
        QCOMPARE(setupTool(on), 5);
        QVERIFY(
            QDir(path(QStringLiteral("victim")))
                .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
        QVERIFY(QFile::remove(path(QStringLiteral("textfile"))));
        QCOMPARE(setupTool(on), 5);
    }
};

QTEST_MAIN(MetricsTest)
#include "tst_metrics.moc"
