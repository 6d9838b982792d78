// A flasher's board against the simulated bootloader over a hostile network,
// on one fake clock: what the board says at its end, and what the device
// holds then. "END" is said only when the device holds exactly the image,
// downloaded and verified.

#include "image/hex_record_lines.h"
#include "image/image_figures.h"
#include "image/image_formats.h"
#include "support/sim_wire.h"

#include <QScopeGuard>
#include <QtTest>

using namespace corvanel;
using corvanel::testing::SimWire;
using corvanel::testing::WireFaults;

namespace {

struct Image {
    SharedLines lines;
    quint32 crc = 0;
    qint64 bytes = 0;
};

// Bytes at 0x08000000 as the flasher sends them: 16 to a record.
Image makeImage(qint64 bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (qint64 i = 0; i < bytes; ++i)
        data[i] = char((i * 13 + i / 256) & 0xff);
    auto loaded = image::readBinary(data, 0x08000000);
    auto lines = std::make_shared<const image::HexRecordLines>(
        std::get<image::LoadedImage>(std::move(loaded)).memory);
    return {lines, image::crc32(data), bytes};
}

const Image &small() // 40 lines: an address record, 38 data records, the end
{
    static const Image image = makeImage(38 * 16);
    return image;
}

} // namespace

class TestBoardWire : public QObject {
    Q_OBJECT
private slots:
    void againstTheDevice_data()
    {
        // "retries=N attempts=N install dry large", the model's "error=N okAtEof
        // refuse", and the wire's: ">N" loses datagram N to the device, "<N"
        // reply N, "<N+ms" delays reply N, "<N*ms" copies it ms later. Reply 1
        // answers the inquiry, so reply N + 1 answers line N of the download.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("result"); // "RESULT ATTEMPT/MAX rRESENDS"
        QTest::addColumn<QString>("reason"); // a part of the summary's
        const auto row = [](const char *name, const char *setup, const char *result,
                            const char *reason = "") {
            QTest::newRow(name) << setup << result << reason;
        };
        row("clean, 3002 lines", "large", "END 1/1 r0");
        row("clean, installed", "install", "END 1/1 r0");
        row("dry run: only inquiries", "dry", "READY 1/1 r0");
        row("device ERROR at line 7", "error=7", "ERROR 1/1 r0",
            "answered \"ERROR\" to line 7 of 40 (download pass)");
        row("device ERROR once, the next attempt ends", "error=7 attempts=2", "END 2/2 r0");
        row("a board that refuses every record", "refuse attempts=3", "ERROR 3/3 r0",
            "to line 1 of 40");
        row("OK to the end record", "okAtEof", "ERROR 1/1 r0", "instead of \"DOWNLOAD\"");
        row("lost reply, no retries", "<6", "TIMEOUT 1/1 r0",
            "no reply to line 5 of 40 (download pass) within 0.3 s");
        row("lost reply, sent again", "<6 retries=1", "END 1/1 r1");
        row("lost line, sent again", ">6 retries=1", "END 1/1 r1");
        row("lost verify reply, sent again", "<45 retries=1 install", "END 1/1 r1");
        row("every answer to a line lost", "<6 <7 retries=1", "TIMEOUT 1/1 r1", "sent 2 times");
        row("lost reply, a new attempt ends", "<6 attempts=2", "END 2/2 r0");
        row("lost inquiries", ">1 >2 >3 >4", "TIMEOUT 1/1 r0", "no \"VER=\"");
        row("late answer after its resend", "<6+350 retries=1", "END 1/1 r1");
        row("late answer, no retries", "<6+350", "TIMEOUT 1/1 r0", "line 5 of 40");
        // No sequence numbers: a copy makes every later reply unpairable.
        row("a copy of an OK", "<6*0", "ERROR 1/1 r0", "not proven");
        row("a late copy of an OK", "<6*50", "ERROR 1/1 r0", "not proven");
        row("a copy of the last DOWNLOAD in the quiet time", "<81*20 install", "ERROR 1/1 r0",
            "not proven");
        row("a copy after the quiet time", "<81*60", "END 1/1 r0");
        row("a late copy of the download's DOWNLOAD", "<41*20", "ERROR 1/1 r0", "not proven");
        row("a copy of the VER=", "<1*0", "ERROR 1/1 r0", "not proven");
        row("a copy fails the attempt, not the run", "<6*0 attempts=2", "END 2/2 r0");
    }

    void againstTheDevice()
    {
        QFETCH(QString, setup);
        HostSettings h;
        h.limits = {Millis{2000}, Millis{300}, 0};
        devsim::ModelOptions model;
        WireFaults faults;
        bool large = false;
        for (const QString &word : setup.split(u' ', Qt::SkipEmptyParts)) {
            const int value = word.section(u'=', 1).toInt();
            const QStringList parts = word.mid(1).split(QRegularExpression(QStringLiteral("[+*]")));
            if (word.startsWith(u'>'))
                faults.loseOut << word.mid(1).toInt();
            else if (word.startsWith(u'<') && word.contains(u'+'))
                faults.lateIn[parts[0].toInt()] = parts[1].toInt();
            else if (word.startsWith(u'<') && word.contains(u'*'))
                faults.copyIn[parts[0].toInt()] = parts[1].toInt();
            else if (word.startsWith(u'<'))
                faults.loseIn << word.mid(1).toInt();
            else if (word.startsWith(u"retries="))
                h.limits.retries = value;
            else if (word.startsWith(u"attempts="))
                h.attempts = value;
            else if (word.startsWith(u"error="))
                model.errorAtLine = value;
            h.install |= word == u"install";
            h.dryRun |= word == u"dry";
            model.okAtEof |= word == u"okAtEof";
            model.refuseDownloads |= word == u"refuse";
            large |= word == u"large";
        }
        static const Image kLarge = makeImage(3000 * 16);
        const Image &image = large ? kLarge : small();
        SimWire wire(image.lines, h, model, faults);
        const auto onFailure = qScopeGuard([&] {
            if (QTest::currentTestFailed())
                qInfo().noquote() << "setup:" << setup << '\n' << wire.logText();
        });
        QVERIFY(wire.run());
        QVERIFY(wire.summary);
        const HostReport &s = *wire.summary;
        QFETCH(QString, result);
        QFETCH(QString, reason);
        QCOMPARE(QStringLiteral("%1 %2/%3 r%4")
                     .arg(resultWord(s))
                     .arg(s.attempt)
                     .arg(s.maxAttempts)
                     .arg(s.resends),
                 result);
        QVERIFY2(s.reason.contains(reason), qPrintable(s.reason));
        const devsim::ImageSummary device = wire.model.summary();
        if (h.dryRun)
            QCOMPARE(device.records, 0);
        else if (s.outcome == Outcome::Ok)
            QVERIFY(wire.holds(device, image.crc, image.bytes));
        // "BOOTg" reaches the device after "END", and only then.
        QCOMPARE(wire.installed.has_value(), h.install && s.outcome == Outcome::Ok);
        if (wire.installed)
            QVERIFY(wire.holds(*wire.installed, image.crc, image.bytes));
    }

    // Seeded patterns of loss, delay, reordering and copies, each run to its
    // end: "END" always means the device holds the image, and a network that
    // only delays never fails a board.
    void hostileNetwork_data()
    {
        QTest::addColumn<double>("loss");
        QTest::addColumn<double>("copies");
        QTest::addColumn<int>("jitter");
        QTest::addColumn<bool>("mustEnd");
        QTest::newRow("no faults") << 0.0 << 0.0 << 0 << true;
        QTest::newRow("jitter within the reply time-out") << 0.0 << 0.0 << 40 << true;
        QTest::newRow("loss") << 0.05 << 0.0 << 0 << false;
        QTest::newRow("loss, jitter past the reply time-out") << 0.03 << 0.0 << 60 << false;
        QTest::newRow("copies") << 0.0 << 0.02 << 20 << false;
        QTest::newRow("all at once") << 0.03 << 0.01 << 60 << false;
    }

    void hostileNetwork()
    {
        QFETCH(double, loss);
        QFETCH(double, copies);
        QFETCH(int, jitter);
        QFETCH(bool, mustEnd);
        HostSettings h;
        h.limits = {Millis{2000}, Millis{100}, 2};
        h.attempts = 2;
        int ends = 0, falseSuccesses = 0;
        constexpr quint32 kSeeds = 60;
        for (quint32 seed = 1; seed <= kSeeds; ++seed) {
            WireFaults faults;
            faults.loss = loss;
            faults.copies = copies;
            faults.jitter = jitter;
            faults.seed = seed;
            SimWire wire(small().lines, h, {}, faults);
            const bool ran = wire.run();
            const bool ok = ran && wire.summary && wire.summary->outcome == Outcome::Ok;
            const bool holds = wire.holds(wire.model.summary(), small().crc, small().bytes);
            ends += ok ? 1 : 0;
            falseSuccesses += ok && !holds ? 1 : 0;
            if (!ran || (ok && !holds) || (mustEnd && !ok))
                qInfo().noquote() << "seed" << seed << (wire.summary ? wire.summary->reason : "")
                                  << wire.logText(400);
            QVERIFY2(ran, qPrintable(QStringLiteral("seed %1 did not end").arg(seed)));
            QVERIFY2(!mustEnd || ok, qPrintable(QStringLiteral("seed %1 failed").arg(seed)));
        }
        qInfo("%u runs: %d END, %d failed, %d false successes", kSeeds, ends, int(kSeeds) - ends,
              falseSuccesses);
        QCOMPARE(falseSuccesses, 0);
    }
};

QTEST_APPLESS_MAIN(TestBoardWire)
#include "test_board_wire.moc"
