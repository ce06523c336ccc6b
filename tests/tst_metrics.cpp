// The drawer service's metrics as a fleet reads them: the service on a
// private bus against printers played on 127.0.0.1, its file linked by the
// set-up tool into the folder of Debian's node-exporter, run in a
// loopback-only network of the test's own. Changes reach node-exporter's
// output within 2 s, promtool finds the file clean, and no planted link is
// written through.

#include "support/fakenetworkprinter.h"
#include "support/loopbacknetwork.h"
#include "support/privatesystembus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// From the moment the bus shows a change: node-exporter shows the sample
// at the value within 2 s.
#define QTRY_WITHIN_2S(sample, expected)                                                           \
    do {                                                                                           \
        QElapsedTimer clock;                                                                       \
        clock.start();                                                                             \
        QTRY_COMPARE(value(sample), expected);                                                     \
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));            \
    } while (false)

class MetricsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home;
    std::unique_ptr<FakeNetworkPrinter> printer; // drawer 1: sensor, alarm after a second
    std::unique_ptr<FakeNetworkPrinter> second; // drawer 2
    std::unique_ptr<PrivateSystemBus> systemBus;
    QProcess exporter;

    QString path(const char *name) const { return home.filePath(QLatin1String(name)); }
    QDBusConnection bus() const { return QDBusConnection(QStringLiteral("metrics")); }

    QDBusMessage call(
        int drawer, const QString &interface, const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.kestrin.Drawers1"),
            QStringLiteral("/org/kestrin/Drawers1/drawer%1").arg(drawer), interface, method);
        call.setArguments(arguments);
        return bus().call(call, QDBus::Block, 5000);
    }

    bool property(int drawer, const QString &name)
    {
        return call(drawer, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"), {QStringLiteral("org.kestrin.Drawers1.Drawer"), name})
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant()
            .toBool();
    }

    // A sample's value in node-exporter's output; -1 where it is missing.
    static double value(const QByteArray &sample)
    {
        QNetworkAccessManager network;
        network.setProxy(QNetworkProxy::NoProxy);
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl("http://127.0.0.1:9100/metrics")));
        if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, 5000))
            return -1;
        for (const QByteArray &line : reply->readAll().split('\n'))
            if (line.startsWith(sample + ' '))
                return line.mid(sample.size() + 1).toDouble();
        return -1;
    }

    static int setupTool(const char *onOrOff)
    {
        QProcess tool;
        tool.start(QStringLiteral(SETUP_TOOL), {QStringLiteral("metrics"), QLatin1String(onOrOff)});
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
        QFile config(path("drawers.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("[service]\nmetrics-dir = %1\n[drawer 1]\ndevice = %2\n"
                           "sensor = open-high\nalarm-after = 1\n[drawer 2]\ndevice = %3\n")
                .arg(path("textfile"), QString::fromStdString(printer->address()),
                    QString::fromStdString(second->address()))
                .toUtf8());
        config.close();
        qputenv("KESTRIN_DRAWERS_CONF", QFile::encodeName(config.fileName()));
        qputenv("STATE_DIRECTORY", QFile::encodeName(path("state")));
        ::umask(077); // the service's, as its unit sets it
        systemBus = std::make_unique<PrivateSystemBus>();
        const QString failed
            = systemBus->start(home.path(), QProcessEnvironment::systemEnvironment());
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QVERIFY(QDBusConnection::connectToBus(systemBus->address, QStringLiteral("metrics"))
                    .isConnected());

        QCOMPARE(setupTool("on"), 0);
        exporter.start(QStringLiteral("prometheus-node-exporter"),
            {QStringLiteral("--web.listen-address=127.0.0.1:9100"),
                QStringLiteral("--collector.disable-defaults"),
                QStringLiteral("--collector.textfile"),
                QStringLiteral("--collector.textfile.directory=") + path("textfile")});
        QTRY_VERIFY(property(1, QStringLiteral("Present"))); // the call starts the service
        QTRY_COMPARE(value("kestrin_drawer_present{drawer=\"1\"}"), 1.0);
    }

    void cleanupTestCase()
    {
        exporter.terminate();
        exporter.waitForFinished();
        QDBusConnection::disconnectFromBus(QStringLiteral("metrics"));
        systemBus.reset();
    }

    // A kick, an opening left open past its alarm, the closing, a printer
    // going away.
    void changesReachNodeExporter()
    {
        QCOMPARE(call(2, QStringLiteral("org.kestrin.Drawers1.Drawer"), QStringLiteral("Open"),
                     {QStringLiteral("sale 17")})
                     .type(),
            QDBusMessage::ReplyMessage);
        QTRY_WITHIN_2S("kestrin_drawer_kicks_total{drawer=\"2\",result=\"done\"}", 1.0);
        printer->sensorHigh = true;
        QTRY_VERIFY(property(1, QStringLiteral("Open")));
        QTRY_WITHIN_2S("kestrin_drawer_openings_total{drawer=\"1\"}", 1.0);
        QTRY_COMPARE(value("kestrin_drawer_left_open{drawer=\"1\"}"), 1.0);
        printer->sensorHigh = false;
        QTRY_VERIFY(!property(1, QStringLiteral("Open")));
        QTRY_WITHIN_2S("kestrin_drawer_left_open{drawer=\"1\"}", 0.0);
        second->vanish();
        QTRY_VERIFY(!property(2, QStringLiteral("Present")));
        QTRY_WITHIN_2S("kestrin_drawer_present{drawer=\"2\"}", 0.0);

        QCOMPARE(value("kestrin_drawer_left_open_alarms_total{drawer=\"1\"}"), 1.0);
        QVERIFY(value("kestrin_drawer_open_seconds_total{drawer=\"1\"}") > 1.0);
        QCOMPARE(value("node_textfile_scrape_error"), 0.0);
    }

    // promtool's check, the modes node-exporter's user needs whatever the
    // service's umask, and the file's own age as node-exporter sees it.
    void fileAsNodeExporterReadsIt()
    {
        const QString file = path("state/metrics/kestrin-drawer.prom");
        QProcess promtool;
        promtool.setStandardInputFile(file);
        promtool.start(
            QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
        QVERIFY(promtool.waitForFinished());
        QVERIFY2(promtool.exitCode() == 0, promtool.readAllStandardError().constData());
        struct stat node = {};
        QVERIFY(::stat(QFile::encodeName(file).constData(), &node) == 0);
        QCOMPARE(node.st_mode & 0777, 0644u);
        QCOMPARE(value("node_textfile_mtime_seconds{file=\""
                     + QFile::encodeName(path("textfile/kestrin-drawer.prom")) + "\"}"),
            double(node.st_mtime));
        QVERIFY(::stat(QFile::encodeName(path("state/metrics")).constData(), &node) == 0);
        QCOMPARE(node.st_mode & 0777, 0755u);
    }

    // A link planted in the place of the service's folder: nothing is written
    // through it, the service says so, and it writes again once the link goes.
    void plantedLinkIsNotWrittenThrough()
    {
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("victim")));
        QVERIFY(QDir(path("state/metrics")).removeRecursively());
        QVERIFY(QFile::link(path("victim"), path("state/metrics")));
        printer->sensorHigh = true;
        QTRY_VERIFY(systemBus->log().contains(QLatin1String("cannot write the metrics file")));
        QVERIFY(QDir(path("victim")).isEmpty());
        QVERIFY(QFile::remove(path("state/metrics")));
        printer->sensorHigh = false;
        QTRY_COMPARE(value("kestrin_drawer_openings_total{drawer=\"1\"}"), 2.0);
    }

    // The set-up tool changes its own link in node-exporter's folder alone.
    void setupToolTouchesOnlyItsLink()
    {
        const QString link = path("textfile/kestrin-drawer.prom");
        QCOMPARE(setupTool("off"), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(setupTool("off"), 0);
        QFile foreign(link);
        QVERIFY(foreign.open(QIODevice::WriteOnly) && foreign.write("x 1\n") == 4);
        foreign.close();
        QCOMPARE(setupTool("on"), 3);
        QCOMPARE(setupTool("off"), 3);
        QCOMPARE(QFileInfo(link).size(), 4);
        QVERIFY(QDir(path("textfile")).removeRecursively());
        QCOMPARE(setupTool("on"), 5);
        QVERIFY(QFile::link(path("victim"), path("textfile")));
        QCOMPARE(setupTool("on"), 5);
        QVERIFY(QDir(path("victim")).isEmpty());
    }
};

QTEST_MAIN(MetricsTest)
#include "tst_metrics.moc"
