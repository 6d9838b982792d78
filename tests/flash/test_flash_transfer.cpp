// corvanel-flash end to end against corvanel-devsim: whole transfers, lost
// and repeated replies, hostile networks, several devices at once, the report
// of every attempt, and --scan. How one board's run decides (attempts, copies,
// the quiet time, the install) is tested as a table in tests/engine.

#include "flash_test_support.h"

#include <QCryptographicHash>
#include <QHostInfo>
#include <QtTest>

#include <algorithm>
#include <vector>

using namespace corvanel::flashtest;

namespace {
constexpr int kLines = 40; // 39 data records and the end record
const QString kInstall = QStringLiteral("--install");

// What a hostile network must never turn into a false "END".
enum class Expect { End, Fail };

// A bootloader behind a hostile network, played by the test: it answers as a
// bootloader does ("VER=", "OK", "DOWNLOAD" to the end-of-file record), but
// every answer to a line arrives twice, back to back, and the third line of
// each pass never reaches the device.
class HostileDevice {
public:
    HostileDevice()
    {
        socket_.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] {
            while (socket_.hasPendingDatagrams())
                take(socket_.receiveDatagram());
        });
    }

    QString target() const { return QStringLiteral("127.0.0.1:%1").arg(socket_.localPort()); }

private:
    void take(const QNetworkDatagram &d)
    {
        const QByteArray datagram = d.data();
        const auto send = [this, &d](const QByteArray &reply) {
            socket_.writeDatagram(reply, d.senderAddress(), quint16(d.senderPort()));
        };
        if (datagram == "BOOTi\r\n") {
            send("VER=KEEPER\r\n");
            return;
        }
        if (!datagram.startsWith("BOOT:") && !datagram.startsWith("BOOT#"))
            return;
        const bool endRecord = datagram.mid(5).startsWith("00000001FF");
        if (++inPass_ != 3) { // the third is lost on its way
            const QByteArray reply = endRecord ? "DOWNLOAD\r\n" : "OK\r\n";
            send(reply);
            send(reply);
        }
        if (endRecord)
            inPass_ = 0;
    }

    QUdpSocket socket_;
    int inPass_ = 0;
};
} // namespace

class TestFlashTransfer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QList<QByteArray> lines;
        image_ = objcopyImage(dir_, kLines - 1, &lines, &data_);
        QCOMPARE(lines.size(), kLines);
        sha256_ = QString::fromLatin1(
            QCryptographicHash::hash(data_, QCryptographicHash::Sha256).toHex());
        // "corvanel-flash 4.0": the records name the same version.
        toolVersion_ = QString::fromLatin1(runFlasher({QStringLiteral("--version")}).out)
                           .trimmed()
                           .section(' ', 1);
        QVERIFY(!toolVersion_.isEmpty());
    }

    void oneDevice_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("flasher");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("field"); // a number in the host's JSON, in [low, high)
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");

        // Reply 1 answers the inquiry, so reply 6 is the one to line 5. The
        // first inquiry goes out at once; five lines, then 0.3 s of silence:
        // far below the 3 s the default would have waited. Had the first
        // inquiry waited for the 500 ms tick, it would take 0.8 s or more.
        QTest::newRow("lost reply times out within its bound, no dead time")
            << QStringList{"--drop-reply", "6"} << QStringList{"--reply-timeout", "0.3"} << 3
            << "TIMEOUT"
            << "no reply to line 5 of 40 (download pass) within 0.3 s"
            << "seconds" << 0.3 << 0.7;
        // The device had taken the line before its reply was lost; it takes
        // the resent copy as the same record, so the transfer ends verified.
        QTest::newRow("lost reply sent again with retries")
            << QStringList{"--drop-reply", "6"}
            << QStringList{"--reply-timeout", "0.3", "--retries", "2", kInstall} << 0 << "END"
            << ""
            << "resends" << 1.0 << 2.0;
    }

    void oneDevice()
    {
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, flasher);
        QFETCH(int, exitCode);
        QFETCH(QString, result);
        QFETCH(QString, reason);
        QFETCH(QString, field);
        QFETCH(double, low);
        QFETCH(double, high);
        Devsim sim(simulator);
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));

        const FlashRun run =
            runFlasher(flasher + QStringList{QStringLiteral("--json"), image_, sim.target()});
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.json().value("exitCode").toInt(), exitCode);
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("result").toString(), result);
        QVERIFY2(host.value("reason").toString().contains(reason),
                 qPrintable(host.value("reason").toString()));
        const double value = host.value(field).toDouble();
        QVERIFY2(value >= low && value < high, qPrintable(QString::number(value)));
        if (!flasher.contains(kInstall))
            return;
        // The simulator's own account of what it was sent, against the image.
        QCOMPARE(host.value("installed").toBool(), true);
        QCOMPARE(sim.waitForSummary(), cleanImageReport(data_, kLines));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 3000);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void hostileNetworkNeverEndsFalsely_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("flasher");
        QTest::addColumn<Expect>("expect");
        const QStringList retries{"--reply-timeout", "0.3", "--retries", "2"};
        QTest::newRow("clean network") << QStringList{} << QStringList{} << Expect::End;
        // A reply seen twice proves that replies cannot be paired with lines.
        QTest::newRow("late copies of every reply")
            << QStringList{"--late-copy", "3"} << QStringList{} << Expect::Fail;
        // A second answer to a line sent again is explained by the resend, as
        // long as it comes while the next line waits for it (one reply
        // time-out after the resend).
        QTest::newRow("end record answered twice")
            << QStringList{"--late-answer", "40:450"} << retries << Expect::End;
        QTest::newRow("line answered twice")
            << QStringList{"--late-answer", "9:450"} << retries << Expect::End;
        for (const char *seed : {"1", "2", "3"})
            QTest::addRow("reordered copies, seed %s", seed)
                << QStringList{"--duplicate", "--reorder", "20", "--seed", seed} << QStringList{}
                << Expect::Fail;
        QTest::newRow("lost and reordered replies")
            << QStringList{"--drop-rate", "0.03", "--reorder", "10", "--late-copy", "4"} << retries
            << Expect::Fail;
    }

    void hostileNetworkNeverEndsFalsely()
    {
        // Exit code 0 exactly when the device holds the exact image, downloaded
        // and verified record by record.
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, flasher);
        QFETCH(Expect, expect);
        Devsim sim(simulator);
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const FlashRun run = runFlasher(flasher + QStringList{kInstall, image_, sim.target()});
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode == 0, expect == Expect::End);
        if (run.exitCode != 0)
            return;
        QCOMPARE(sim.waitForSummary(), cleanImageReport(data_, kLines));
        QTRY_COMPARE_WITH_TIMEOUT(sim.process().state(), QProcess::NotRunning, 3000);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void copiesWithLossAreNeverToldEnd()
    {
        // Retries and attempts to spare: a resend must never explain a copy.
        HostileDevice device;
        auto process = startFlasher({"--attempts", "3", "--retries", "2", "--reply-timeout", "0.3",
                                     "--json", image_, device.target()});
        const FlashRun run = finishFlasher(*process);
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.host(0).value("reason").toString().contains("the image is not proven"),
                 qPrintable(run.host(0).value("reason").toString()));
    }

    void threeDevicesAtOnce_data()
    {
        QTest::addColumn<int>("failing"); // the device that answers "ERROR" to line 3
        QTest::newRow("all succeed") << -1;
        QTest::newRow("one failing stops no other") << 1;
    }

    void threeDevicesAtOnce()
    {
        QFETCH(int, failing);
        std::vector<std::unique_ptr<Devsim>> sims;
        QStringList arguments{kInstall, QStringLiteral("--json"), image_};
        // Replies 10 ms late: each transfer takes most of a second.
        for (int i = 0; i < 3; ++i) {
            QStringList options{QStringLiteral("--delay-ms"), QStringLiteral("10")};
            if (i == failing)
                options << QStringLiteral("--error-at") << QStringLiteral("3");
            sims.push_back(std::make_unique<Devsim>(options));
        }
        for (auto &sim : sims) {
            QVERIFY(sim->waitForPort() != 0);
            arguments << sim->target();
        }
        const FlashRun run = runFlasher(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, failing < 0 ? 0 : 1);
        QList<double> seconds;
        for (int i = 0; i < 3; ++i) {
            const QJsonObject host = run.host(i);
            QCOMPARE(QStringLiteral("127.0.0.1:%1").arg(host.value("port").toInt()),
                     sims[i]->target());
            if (i == failing) {
                QCOMPARE(host.value("result").toString(), QStringLiteral("ERROR"));
                QCOMPARE(host.value("line").toInt(), 3);
                continue;
            }
            QCOMPARE(host.value("result").toString(), QStringLiteral("END"));
            QCOMPARE(sims[i]->waitForSummary(), cleanImageReport(data_, kLines));
            seconds.append(host.value("seconds").toDouble());
        }
        // At the same time, not one after the other: all hosts start at once,
        // so one after the other would take them once, twice and three times
        // as long. The process's own start-up is left out of this.
        const auto [shortest, longest] = std::minmax_element(seconds.begin(), seconds.end());
        QVERIFY2(*shortest > *longest / 2,
                 qPrintable(QStringLiteral("%1 s and %2 s").arg(*shortest).arg(*longest)));
    }

    void reportRecordsEveryAttempt_data()
    {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("flasher");
        QTest::addColumn<QStringList>("records"); // "RESULT EXIT PHASE LINE ATTEMPT/MAX" each
        const QStringList quick{"--reply-timeout", "0.3", "--attempts", "2"};
        QTest::newRow("ends") << QStringList{} << QStringList{kInstall, "--station", "line 3"}
                              << QStringList{"END 0 done 40 1/1"};
        QTest::newRow("fails") << QStringList{"--error-at", "7"} << QStringList{}
                               << QStringList{"ERROR 1 download 7 1/1"};
        // The simulator's own summary on "BOOTg" proves the second attempt
        // was a whole new transfer of the exact image.
        QTest::newRow("lost reply, ends on the second attempt")
            << QStringList{"--drop-reply", "6"} << quick + QStringList{kInstall}
            << QStringList{"TIMEOUT 3 download 5 1/2", "END 0 done 40 2/2"};
    }

    void reportRecordsEveryAttempt()
    {
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, flasher);
        QFETCH(QStringList, records);
        Devsim sim(simulator);
        QVERIFY2(sim.waitForPort() != 0, qPrintable(sim.errors()));
        const QString report =
            dir_.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".jsonl");
        const FlashRun run =
            runFlasher(flasher + QStringList{"--report", report, "--json", image_, sim.target()});
        QVERIFY2(run.finished, run.err.constData());
        const int exitCode = records.last().section(' ', 1, 1).toInt();
        QCOMPARE(run.exitCode, exitCode);

        const QList<QByteArray> lines = readLines(report);
        QCOMPARE(lines.size(), records.size());
        const QString station =
            flasher.contains("--station") ? QStringLiteral("line 3") : QHostInfo::localHostName();
        static const QRegularExpression utc(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        QString previousEnd;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QJsonObject r = QJsonDocument::fromJson(lines[i]).object();
            const QString got = QStringLiteral("%1 %2 %3 %4 %5/%6")
                                    .arg(r.value("result").toString())
                                    .arg(r.value("exitCode").toInt())
                                    .arg(r.value("phase").toString())
                                    .arg(r.value("line").toInt())
                                    .arg(r.value("attempt").toInt())
                                    .arg(r.value("maxAttempts").toInt());
            QCOMPARE(got, records[i]);
            QCOMPARE(r.value("schemaVersion").toInt(), 1);
            QCOMPARE(r.value("toolVersion").toString(), toolVersion_);
            QCOMPARE(r.value("station").toString(), station);
            QCOMPARE(QStringLiteral("127.0.0.1:%1").arg(r.value("port").toInt()), sim.target());
            QCOMPARE(r.value("host").toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(r.value("image").toString(), image_);
            QCOMPARE(r.value("imageSha256").toString(), sha256_);
            QCOMPARE(r.value("imageCrc32").toString(),
                     corvanel::image::hexAddress(corvanel::image::crc32(data_)));
            QCOMPARE(r.value("lineCount").toInt(), kLines);
            QCOMPARE(r.value("deviceVersion").toString(), QStringLiteral("DEVSIM 1.0"));
            QCOMPARE(r.value("installed").toBool(),
                     r.value("ok").toBool() && flasher.contains(kInstall));
            QVERIFY(r.value("resends").isDouble() && r.value("ignoredReplies").isDouble());
            const QString start = r.value("start").toString();
            const QString end = r.value("end").toString();
            QVERIFY2(utc.match(start).hasMatch() && utc.match(end).hasMatch(), lines[i]);
            // Same format, same zone: the text orders as the time does.
            QVERIFY2(previousEnd <= start && start <= end, lines[i]);
            previousEnd = end;
        }
        // The summary tells the same run.
        const QJsonObject host = run.host(0);
        QCOMPARE(host.value("attempts").toInt(), int(records.size()));
        QCOMPARE(host.value("end").toString(), previousEnd);
        QCOMPARE(run.json().value("imageSha256").toString(), sha256_);
        if (flasher.contains(kInstall) && exitCode == 0)
            QCOMPARE(sim.waitForSummary(), cleanImageReport(data_, kLines));
    }

    void scanListsExactlyTheBoards_data()
    {
        QTest::addColumn<QString>("targets");
        QTest::addColumn<QStringList>("boards"); // the last byte of each address, in order
        QTest::addColumn<int>("exitCode");
        QTest::newRow("a range holding both") << "127.0.0.0/29" << QStringList{"2", "5"} << 0;
        QTest::newRow("a /31 and an address without a board")
            << "127.0.0.4/31 127.0.0.6" << QStringList{"5"} << 0;
        QTest::newRow("no board") << "127.0.0.6 127.0.0.1" << QStringList{} << 3;
    }

    void scanListsExactlyTheBoards()
    {
        QFETCH(QString, targets);
        QFETCH(QStringList, boards);
        QFETCH(int, exitCode);
        // Boards on 127.0.0.2 and 127.0.0.5, both on one port, as on a line.
        quint16 port = 0;
        std::vector<DevsimHandle> sims;
        for (int tries = 0; tries < 5 && sims.size() < 2; ++tries) {
            sims.clear();
            port = freePort();
            for (const char *address : {"127.0.0.2", "127.0.0.5"}) {
                if (auto sim = startDevsimAt(QString::fromLatin1(address), port))
                    sims.push_back(std::move(sim));
            }
        }
        QCOMPARE(sims.size(), size_t(2));

        const FlashRun run = runFlasher(
            QStringList{"--scan", "--json", "--scan-time", "0.4", "--port", QString::number(port)} +
            targets.split(' '));
        QVERIFY2(run.finished, run.err.constData());
        QCOMPARE(run.exitCode, exitCode);
        const QJsonObject json = run.json();
        QStringList listed;
        for (const QJsonValue &board : json.value("boards").toArray()) {
            const QJsonObject b = board.toObject();
            QCOMPARE(b.value("port").toInt(), int(port));
            QCOMPARE(b.value("deviceVersion").toString(), QStringLiteral("DEVSIM 1.0"));
            listed << b.value("host").toString().section('.', 3);
        }
        QCOMPARE(listed, boards);
        // Every destination asked in each of the three rounds, once.
        QCOMPARE(json.value("rounds").toInt(), 3);
        QCOMPARE(json.value("sent").toInt(), 3 * json.value("destinations").toInt());
        if (boards.isEmpty())
            return;

        // Its plain output is a hosts file: a dry run reads it as it is.
        const FlashRun plain = runFlasher(
            QStringList{"--scan", "--scan-time", "0.4", "--port", QString::number(port)} +
            targets.split(' '));
        const QString hosts = dir_.filePath(QStringLiteral("boards.txt"));
        QFile file(hosts);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(plain.out) == plain.out.size());
        file.close();
        const FlashRun dry = runFlasher({"--dry-run", "--json", "--hosts", hosts, image_});
        QCOMPARE(dry.exitCode, 0);
        QCOMPARE(dry.json().value("hosts").toArray().size(), boards.size());
    }

private:
    QTemporaryDir dir_;
    QString image_;
    QByteArray data_;
    QString sha256_;
    QString toolVersion_;
};

QTEST_GUILESS_MAIN(TestFlashTransfer)
#include "test_flash_transfer.moc"
