// What each protocol makes of a device's bytes, under the one rule for
// answers: a status counts only as the answer to a question still awaited
// in time, or as a status the protocol has the device push. Bytes are fed
// whole and one at a time, as a device may deliver them.
#include "protocols/statusreader.h"

#include <QTest>

using namespace drawerdriver;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes hex(const char *text)
{
    Bytes bytes;
    for (const QByteArray &word : QByteArray(text).split(' '))
        if (!word.isEmpty())
            bytes.push_back(std::uint8_t(word.toUInt(nullptr, 16)));
    return bytes;
}

// A HID drawer's 120-byte report, padded with a byte no answer starts with.
Bytes hidReport(std::uint8_t first, std::size_t size = HidReportSize)
{
    Bytes report(size, 0xF0);
    report[0] = first;
    return report;
}

enum class Asked { No, InTime, Late };

} // namespace

class ProtocolsTest : public QObject {
    Q_OBJECT

private slots:
    void bytesBecomeAnswersPushedStatusesOrNothing_data()
    {
        QTest::addColumn<QString>("protocol"); // escpos, escpos-held, star, hid, trigger
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Asked>("asked");
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<int>("answer"); // -1: none
        QTest::addColumn<QString>("pushed");
        QTest::addColumn<bool>("noise");

        const auto row = [](const char *name, const char *protocol, const Bytes &bytes, Asked asked,
                             int answer, const char *pushed, bool noise, bool alsoChunked = true) {
            QTest::newRow(name) << protocol << bytes << asked << false << answer << pushed << noise;
            if (alsoChunked)
                QTest::addRow("%s, byte by byte", name)
                    << protocol << bytes << asked << true << answer << pushed << noise;
        };
        const Asked in = Asked::InTime;
        row("escpos closed", "escpos", hex("12"), in, 0, "", false);
        row("escpos open", "escpos", hex("16"), in, 1, "", false);
        row("escpos other bits", "escpos", hex("7E"), in, 1, "", false);
        row("escpos unasked", "escpos", hex("16"), Asked::No, -1, "", false);
        row("escpos late", "escpos", hex("16"), Asked::Late, -1, "", false);
        row("escpos second answer is late", "escpos", hex("12 16"), in, 0, "", false);
        row("escpos bit 0 set", "escpos", hex("13"), in, -1, "", true);
        row("escpos bit 1 clear", "escpos", hex("14"), in, -1, "", true);
        row("escpos bit 4 clear", "escpos", hex("06"), in, -1, "", true);
        row("escpos bit 7 set", "escpos", hex("96"), in, -1, "", true);
        row("escpos status in garbage", "escpos", hex("FF 16"), in, -1, "", true, false);
        row("escpos pushed, not asked for", "escpos", hex("14 00 00 00"), Asked::No, -1, "", true);
        row("held escpos pushes", "escpos-held", hex("14 00 00 00 10 00 00 00"), Asked::No, -1,
            "1,0", false);
        row("held escpos pushed and answer", "escpos-held", hex("12 14 00 00 00"), in, 0, "1",
            false);
        row("held escpos pushed while late", "escpos-held", hex("16 14 00 00 00"), Asked::Late, -1,
            "1", false);
        row("held escpos pushed in garbage", "escpos-held", hex("FF 14 00 00 00"), Asked::No, -1,
            "", true, false);
        row("held escpos broken frame", "escpos-held", hex("14 00 80"), Asked::No, -1, "", true);

        row("star open", "star", hex("0F 00 04 00 00 00 00"), in, 1, "", false);
        row("star closed, 15 bytes", "star", hex("2F 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
            in, 0, "", false);
        row("star unasked", "star", hex("0F 00 04 00 00 00 00"), Asked::No, -1, "", false);
        row("star late", "star", hex("0F 00 04 00 00 00 00"), Asked::Late, -1, "", false);
        row("star header bit 4 set", "star", hex("1F 00 04 00 00 00 00"), in, -1, "", true);
        row("star too short for the drawer", "star", hex("03 00"), in, -1, "", true);

        row("hid closed", "hid", hidReport(0x21), in, 1, "", false, false);
        row("hid open", "hid", hidReport(0x20), in, 0, "", false, false);
        row("hid unasked", "hid", hidReport(0x20), Asked::No, -1, "", false, false);
        row("hid late", "hid", hidReport(0x20), Asked::Late, -1, "", false, false);
        row("hid other drawer", "hid", hidReport(0x30), in, -1, "", false, false);
        row("hid short report", "hid", hidReport(0x20, 60), in, -1, "", false);

        row("trigger box says nothing", "trigger", hex("12 16 07"), in, -1, "", false);
    }

    void bytesBecomeAnswersPushedStatusesOrNothing()
    {
        QFETCH(QString, protocol);
        QFETCH(Bytes, bytes);
        QFETCH(Asked, asked);
        QFETCH(bool, chunked);
        QFETCH(int, answer);
        QFETCH(QString, pushed);
        QFETCH(bool, noise);

        DrawerSettings settings;
        settings.protocol = protocol == QLatin1String("star") ? Protocol::Star
            : protocol == QLatin1String("hid")                ? Protocol::Hid
            : protocol == QLatin1String("trigger")            ? Protocol::Trigger
                                                              : Protocol::EscPos;
        settings.hidId = 2;
        const auto parser = makeProtocol(settings, true, protocol == QLatin1String("escpos-held"));
        StatusReader reader(*parser);
        const auto start = Clock::now();
        if (asked != Asked::No)
            reader.ask(start + std::chrono::milliseconds(250));
        const auto arrival = start + std::chrono::milliseconds(asked == Asked::Late ? 320 : 225);

        std::optional<bool> answered;
        QStringList pushedLevels;
        bool noisy = false;
        const std::size_t step = chunked ? 1 : bytes.size();
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            const Reading reading = reader.take(bytes.data() + at, step, arrival);
            if (reading.answer) {
                QVERIFY2(!answered, "one question got two answers");
                answered = reading.answer;
            }
            for (bool level : reading.pushed)
                pushedLevels << QString::number(level);
            noisy |= reading.noise;
        }
        QCOMPARE(answered ? int(*answered) : -1, answer);
        QCOMPARE(pushedLevels.join(QLatin1Char(',')), pushed);
        QCOMPARE(noisy, noise);
    }
};

QTEST_GUILESS_MAIN(ProtocolsTest)
#include "tst_protocols.moc"
