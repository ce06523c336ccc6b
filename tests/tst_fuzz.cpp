// Bad input for the simulated drawer bank: random and mangled state files,
// random command lines for the control tool, links and unusable folders in
// place of its files. Nothing crashes, nothing is written through a link,
// and every refusal says why. Each round is bounded in count.

#include "simstate.h"
#include "support/drawerfunctions.h"
#include "support/simtool.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <random>

namespace {
const QString BinDir = QStringLiteral(KESTRIN_BIN_DIR);
const QString SimulatorPath = QDir(BinDir).filePath(QStringLiteral("libKestrinPOS_USB.so"));

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// A state file with some damage done to it: flipped bytes, a cut, numbers
// made huge or negative, random bytes spliced in, or nothing but noise.
QByteArray mangled(std::mt19937 &random)
{
    sim::State state = sim::State::defaults();
    state.allocateHandle(0);
    state.allocateHandle(1);
    QByteArray text = QByteArray::fromStdString(sim::serialize(state));
    const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    static const char *numbers[] = {"-1", "0", "99999999999999999999", "2147483648", "-2147483648",
        "9223372036854775807", "1e9", "0x10", " ", "", "+5", "٣"};
    const int edits = 1 + pick(4);
    for (int edit = 0; edit < edits; ++edit) {
        switch (pick(5)) {
        case 0:
            if (!text.isEmpty())
                text[pick(int(text.size()))] = char(pick(256));
            break;
        case 1:
            text.truncate(pick(int(text.size()) + 1));
            break;
        case 2: {
            const qsizetype digit
                = text.indexOf(QByteArray::number(pick(10)), pick(int(text.size()) + 1));
            if (digit >= 0)
                text.replace(digit, 1, numbers[pick(int(std::size(numbers)))]);
            break;
        }
        case 3: {
            QByteArray noise(pick(40), '\0');
            for (char &byte : noise)
                byte = char(pick(256));
            text.insert(pick(int(text.size()) + 1), noise);
            break;
        }
        default:
            text = QByteArray(pick(300), '\0');
            for (char &byte : text)
                byte = char(pick(256));
            break;
        }
    }
    return text;
}
} // namespace

class FuzzTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> home;
    QString statePath;

    SimToolResult tool(const QStringList &arguments) { return runSimTool(arguments); }

private slots:
    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        statePath = home->filePath(QStringLiteral("sim.state"));
        qputenv("KESTRIN_SIM_STATE", statePath.toLocal8Bit());
    }

    void parserAcceptsOnlyWhatRoundTrips()
    {
        std::mt19937 random(20261208);
        int accepted = 0;
        for (int round = 0; round < 20000; ++round) {
            const QByteArray text = mangled(random);
            const auto state
                = sim::parse(std::string_view(text.constData(), std::size_t(text.size())));
            if (!state)
                continue;
            ++accepted;
            // Whatever is accepted is a state the simulator could have written.
            QVERIFY(state->delayMs >= 0 && state->delayMs <= sim::MaxDelayMs);
            QVERIFY(state->autoCloseSeconds >= 0
                && state->autoCloseSeconds <= sim::MaxAutoCloseSeconds);
            QVERIFY(state->nextHandle > 0);
            QVERIFY(state->handles.size() <= sim::MaxLiveHandles);
            for (const auto &[handle, drawer] : state->handles)
                QVERIFY(handle > 0 && drawer >= 0 && drawer < sim::DrawerCount);
            const std::string again = sim::serialize(*state);
            const auto reparsed = sim::parse(again);
            QVERIFY2(reparsed && sim::serialize(*reparsed) == again, text.toHex().constData());
        }
        qInfo("%d of 20000 mangled files were still valid", accepted);
    }

    void libraryAnswersSanelyOnAnyStateFile()
    {
        DrawerFunctions simulator;
        QVERIFY(simulator.load(SimulatorPath).isEmpty());
        std::mt19937 random(7);
        for (int round = 0; round < 300; ++round) {
            const QByteArray text = mangled(random);
            const auto state
                = sim::parse(std::string_view(text.constData(), std::size_t(text.size())));
            if (state && state->delayMs > 0)
                continue; // a valid request to be slow, which the library honours
            writeFile(statePath, text);
            const std::uint8_t drawer
                = std::uint8_t(std::uniform_int_distribution<int>(0, 9)(random));
            const std::int32_t handle = simulator.getHandle(drawer);
            QVERIFY(drawer < 8 ? handle >= 0 : handle < 0);
            const std::int16_t answer = simulator.status(handle);
            QVERIFY(answer >= 0 && answer <= 2);
            QVERIFY(simulator.openDrawer(handle) == 0 || simulator.openDrawer(handle) == 1);
            simulator.release(handle);
            // What the library leaves behind is what it found, or valid.
            const QByteArray after = readFile(statePath);
            QVERIFY(after == text || sim::parse(after.toStdString()));
        }
    }

    void toolRefusesRandomCommandLinesClearly()
    {
        static const char *words[] = {"status", "plug", "unplug", "open", "close", "mute", "unmute",
            "delay", "auto-close", "trace", "on", "off", "reset", "1", "8", "0", "9", "-3", "60000",
            "60001", "86400", "4294967297", "", " ", "--", "plug\n", "\xff\xfe", "%s%n", "ü"};
        std::mt19937 random(42);
        const auto pick
            = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
        for (int round = 0; round < 150; ++round) {
            QStringList arguments;
            const int count = pick(4);
            for (int i = 0; i < count; ++i)
                arguments << QString::fromUtf8(words[pick(int(std::size(words)))]);
            const SimToolResult result = tool(arguments);
            const QString shown = arguments.join(QLatin1Char('|'));
            QVERIFY2(result.normalExit, qPrintable(shown));
            QVERIFY2(result.exitCode == 0 || result.exitCode == 2,
                qPrintable(shown + ": " + result.err));
            QVERIFY2(!result.err.contains(QLatin1String("runtime error"))
                    && !result.err.contains(QLatin1String("Sanitizer")),
                qPrintable(result.err));
            if (result.exitCode == 2)
                QVERIFY2(result.err.contains(QLatin1String("usage: kestrin-drawer-sim")),
                    qPrintable(shown));
            QVERIFY(!QFile::exists(statePath) || sim::parse(readFile(statePath).toStdString()));
        }
    }

    void unusableStatePathIsNamedAndNeverCrashes_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("reason");
        QTest::newRow("below a file") << "file/state"
                                      << "Not a directory";
        QTest::newRow("missing folder") << "missing/state"
                                        << "No such file";
        QTest::newRow("relative") << "relative"
                                  << "absolute path";
    }

    void unusableStatePathIsNamedAndNeverCrashes()
    {
        QFETCH(QString, place);
        QFETCH(QString, reason);
        writeFile(home->filePath(QStringLiteral("file")), "not a folder");
        const QString path = place == QLatin1String("relative") ? QStringLiteral("sim.state")
                                                                : home->filePath(place);
        qputenv("KESTRIN_SIM_STATE", path.toLocal8Bit());
        const SimToolResult result = tool({"plug", "3"});
        QVERIFY(result.normalExit);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(reason), qPrintable(result.err));

        DrawerFunctions simulator;
        QVERIFY(simulator.load(SimulatorPath).isEmpty());
        QCOMPARE(simulator.status(1), std::int16_t(0));
    }

    void linksInPlaceOfTheLockOrTraceFileAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("linked");
        QTest::newRow("lock") << ".lock";
        QTest::newRow("trace") << ".trace";
        QTest::newRow("new state") << ".new";
    }

    void linksInPlaceOfTheLockOrTraceFileAreNeverFollowed()
    {
        QFETCH(QString, linked);
        QVERIFY(tool({"trace", "on"}).exitCode == 0);
        const QString target = home->filePath(QStringLiteral("precious"));
        writeFile(target, "keep me\n");
        QFile::remove(statePath + linked);
        QVERIFY(QFile::link(target, statePath + linked));

        tool({"plug", "4"});
        DrawerFunctions simulator;
        QVERIFY(simulator.load(SimulatorPath).isEmpty());
        simulator.getHandle(0);
        QCOMPARE(readFile(target), QByteArray("keep me\n"));
    }
};

QTEST_GUILESS_MAIN(FuzzTest)
#include "tst_fuzz.moc"
