// Where a print job's commands end, as the printer reads them, and which of
// them fire a drawer: byte streams built here, with images whose data holds
// the very bytes of a kick or a status question.
#include "monitor/printjob.h"
#include "protocols/commandreader.h"

#include <QTest>

using namespace drawerdriver;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(PrinterLanguage)
Q_DECLARE_METATYPE(std::vector<JobKick>)

namespace {

// Hex bytes, and text in quotes: hex("1B 21 08 'Total'").
Bytes hex(const char *text)
{
    Bytes bytes;
    const QList<QByteArray> parts = QByteArray(text).split('\'');
    for (int i = 0; i < parts.size(); ++i)
        if (i % 2)
            bytes.insert(bytes.end(), parts[i].begin(), parts[i].end());
        else
            for (const QByteArray &word : parts[i].split(' '))
                if (!word.isEmpty())
                    bytes.push_back(std::uint8_t(word.toUInt(nullptr, 16)));
    return bytes;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Data that holds DLE EOT 1, ESC p, DLE DC4 1 and Star's BEL, SUB and ESC BEL.
const Bytes Hostile = hex("10 04 01 1B 70 00 19 FA 10 14 01 00 01 07 1A");
constexpr auto EscPos = PrinterLanguage::EscPos;
constexpr auto Star = PrinterLanguage::StarLine;

} // namespace

class CommandReaderTest : public QObject {
    Q_OBJECT

private slots:
    // One command after a prefix read whole: it ends at its last byte and not
    // before (or loses the reader there), with what it does.
    void oneCommand_data()
    {
        QTest::addColumn<PrinterLanguage>("language");
        QTest::addColumn<Bytes>("prefix");
        QTest::addColumn<Bytes>("command");
        QTest::addColumn<bool>("ends");
        QTest::addColumn<int>("fired");
        QTest::addColumn<bool>("answers");
        QTest::addColumn<int>("strays"); // real-time commands inside its data

        const Bytes none;
        const auto row = [](const char *name, PrinterLanguage language, const Bytes &prefix,
                             const Bytes &command, bool ends = true, int fired = -1,
                             bool answers = false, int strays = 0) {
            QTest::newRow(name) << language << prefix << command << ends << fired << answers
                                << strays;
        };
        row("text", EscPos, hex("'T'"), hex("'x'"));
        row("LF", EscPos, hex("1B 40"), hex("0A"));
        row("ESC !", EscPos, none, hex("1B 21 08"));
        row("ESC W", EscPos, none, hex("1B 57 00 00 00 00 00 02 00 01"));
        row("ESC D", EscPos, none, hex("1B 44 08 10 18 00"));
        row("ESC p pin 2", EscPos, hex("'a'"), hex("1B 70 00 19 FA"), true, 0);
        row("ESC p pin 5", EscPos, none, hex("1B 70 31 19 FA"), true, 1);
        row("DLE DC4 1 pin 5", EscPos, none, hex("10 14 01 01 05"), true, 1);
        row("DLE DC4 1 pin 2", EscPos, none, hex("10 14 01 00 05"), true, 0);
        row("DLE DC4 8", EscPos, none, hex("10 14 08 01 03 14 01 06 02 08"), true, -1, true);
        row("DLE DC4 unknown", EscPos, none, hex("10 14 05"), false);
        row("DLE EOT 1", EscPos, none, hex("10 04 01"), true, -1, true);
        row("DLE EOT 7", EscPos, none, hex("10 04 07 01"), true, -1, true);
        row("DLE ENQ", EscPos, none, hex("10 05 02"));
        row("GS r", EscPos, none, hex("1D 72 01"), true, -1, true);
        row("GS a on", EscPos, none, hex("1D 61 01"), true, -1, true);
        row("GS a off", EscPos, none, hex("1D 61 00"));
        row("GS V 1", EscPos, none, hex("1D 56 31"));
        row("GS V 66 n", EscPos, none, hex("1D 56 42 03"));
        row("GS k NUL-ended", EscPos, none, hex("1D 6B 04 '*12*' 00"));
        row("GS k counted", EscPos, none, hex("1D 6B 49 05 7B 42 00 0A 1B"));
        row("QR store", EscPos, none, hex("1D 28 6B 12 00 31 50 30") + Hostile, true, -1, false, 2);
        row("QR size", EscPos, none, hex("1D 28 6B 03 00 31 52 30"), true, -1, true);
        row("GS v 0 hostile", EscPos, none, hex("1D 76 30 00 05 00 03 00") + Hostile, true, -1,
            false, 2);
        row("GS v 0 wide", EscPos, none, hex("1D 76 30 00 00 01 01 00") + Bytes(256, 0x1B));
        row("ESC * 24-dot", EscPos, none, hex("1B 2A 21 05 00") + Hostile, true, -1, false, 2);
        row("ESC * 8-dot", EscPos, none, hex("1B 2A 00 02 00 10 04"));
        row("ESC * unknown m", EscPos, none, hex("1B 2A 05"), false);
        row("ESC & two characters", EscPos, none,
            hex("1B 26 03 20 21 02 10 14 01 00 01 1B 01 1B 70 00"), true, -1, false, 1);
        row("GS * ", EscPos, none, hex("1D 2A 01 02") + Hostile + hex("00"), true, -1, false, 2);
        row("GS 8 L", EscPos, none, hex("1D 38 4C 05 00 00 00 30 70 30 01 01"));
        row("FS q", EscPos, none,
            hex("1C 71 02 01 00 01 00") + Bytes(8, 0x1B) + hex("00 00 01 00"));
        row("unknown ESC", EscPos, hex("'a'"), hex("1B 99"), false);
        row("unknown control", EscPos, none, hex("12"), false);

        row("Star text", Star, hex("'T'"), hex("'x'"));
        row("Star BEL", Star, none, hex("07"), true, 0);
        row("Star SUB", Star, none, hex("1A"), true, 1);
        row("Star ESC BEL sets, fires nothing", Star, none, hex("1B 07 0B 37"));
        row("Star ESC ACK SOH", Star, none, hex("1B 06 01"), true, -1, true);
        row("Star cut", Star, none, hex("1B 64 03"));
        row("Star barcode", Star, none, hex("1B 62 06 02 02 50 '123' 1E"));
        row("Star QR data", Star, none, hex("1B 1D 79 44 31 00 0F 00") + Hostile);
        const Bytes raster = hex("1B 2A 72 41 1B 2A 72 50 '0' 00");
        row("Star raster row", Star, raster, hex("62 0F 00") + Hostile);
        row("Star BEL in raster mode unknown", Star, raster, hex("07"), false);
        row("Star out of raster", Star, raster + hex("1B 2A 72 42"), hex("07"), true, 0);
        row("Star unknown ESC K", Star, none, hex("1B 4B"), false);
    }
    void oneCommand()
    {
        QFETCH(PrinterLanguage, language);
        QFETCH(Bytes, prefix);
        QFETCH(Bytes, command);
        QFETCH(bool, ends);
        QFETCH(int, fired);
        QFETCH(bool, answers);
        QFETCH(int, strays);

        CommandReader reader(language);
        for (std::uint8_t byte : prefix)
            reader.take(byte);
        QVERIFY(reader.atBoundary());
        int seen = 0;
        for (std::size_t i = 0; i + 1 < command.size(); ++i) {
            QVERIFY2(!reader.take(command[i]), qPrintable(QString("ended at byte %1").arg(i)));
            QVERIFY(!reader.atBoundary());
            seen += reader.strayKick() || reader.strayQuestion();
        }
        QCOMPARE(reader.take(command.back()), ends);
        QCOMPARE(reader.lost(), !ends);
        QCOMPARE(reader.atBoundary(), ends);
        QCOMPARE(seen, strays);
        if (ends) {
            QCOMPARE(reader.firedDrawer().value_or(-1), fired);
            QCOMPARE(reader.asksForAnswer(), answers);
        }
        if (!ends)
            QVERIFY(!reader.take('x') && reader.lost()); // lost to the job's end
    }

    void kicksInAJob_data()
    {
        QTest::addColumn<PrinterLanguage>("language");
        QTest::addColumn<Bytes>("job");
        QTest::addColumn<std::vector<JobKick>>("kicks");

        const Bytes receipt = hex("1B 40 1B 61 01 'Total 9.99' 0A 1D 6B 49 05 7B 42 00 0A 1B");
        const std::size_t r = receipt.size();
        const Bytes raster = hex("1D 76 30 00 05 00 03 00") + Hostile;
        const Bytes kick = hex("1B 70 01 19 FA");
        QTest::newRow("kick amid a receipt")
            << EscPos << receipt + kick + hex("0A 1D 56 31") << std::vector<JobKick> {{r, 1, true}};
        QTest::newRow("raster holding kick bytes, then a kick")
            << EscPos << raster + kick
            << std::vector<JobKick> {{8 + 8, 0, false}, {raster.size(), 1, true}};
        QTest::newRow("unknown command, then a kick")
            << EscPos << receipt + hex("1B 99 00") + kick + hex("10 14 01 00 05")
            << std::vector<JobKick> {{r + 3, 1, false}, {r + 8, 0, false}};
        QTest::newRow("kick cut short by the job's end")
            << EscPos << receipt + hex("1B 70 01") << std::vector<JobKick> {{r, 1, false}};
        QTest::newRow("no kick") << EscPos << receipt + hex("1D 56 31") << std::vector<JobKick> {};
        QTest::newRow("Star kicks") << Star << hex("'ab' 1B 07 0B 37 07 0A 1A")
                                    << std::vector<JobKick> {{6, 0, true}, {8, 1, true}};
        QTest::newRow("Star raster holding kick bytes")
            << Star << hex("1B 2A 72 41 62 0F 00") + Hostile + hex("1B 2A 72 42 07")
            << std::vector<JobKick> {{26, 0, true}};
        QTest::newRow("Star unknown command, then kicks")
            << Star << hex("07 1B 4B 02 00 1A 00 07")
            << std::vector<JobKick> {{0, 0, true}, {5, 1, false}, {7, 0, false}};
    }
    void kicksInAJob()
    {
        QFETCH(PrinterLanguage, language);
        QFETCH(Bytes, job);
        QFETCH(std::vector<JobKick>, kicks);

        const std::vector<JobKick> found = findKicks(language, job.data(), job.size());
        QCOMPARE(found.size(), kicks.size());
        for (std::size_t i = 0; i < kicks.size(); ++i) {
            QCOMPARE(found[i].offset, kicks[i].offset);
            QCOMPARE(found[i].drawer, kicks[i].drawer);
            QCOMPARE(found[i].certain, kicks[i].certain);
        }
    }

    // A job that would leave the printer inside a command is refused; one
    // the reading cannot follow to its end is not, for the printer may know it.
    void jobEndingInsideACommand_data()
    {
        QTest::addColumn<Bytes>("job");
        QTest::addColumn<bool>("inside");
        QTest::newRow("whole receipt") << hex("'Total' 0A 1D 56 31") << false;
        QTest::newRow("kick cut short") << hex("'Total' 0A 1B 70 00") << true;
        QTest::newRow("image cut short") << hex("1D 76 30 00 05 00 03 00 FF") << true;
        QTest::newRow("unknown command last") << hex("'Total' 0A 1B 99 00") << false;
    }
    void jobEndingInsideACommand()
    {
        QFETCH(Bytes, job);
        QFETCH(bool, inside);
        QCOMPARE(PrintJob::endsInsideCommand(EscPos, job), inside);
    }
};

QTEST_APPLESS_MAIN(CommandReaderTest)
#include "tst_commandreader.moc"
