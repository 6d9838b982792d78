// The simulator as a production line (--boards): boards one after another on
// one port, each with its own "VER=" text and image, silent while swapped,
// the broken one staying after it refused; over loopback, in-process.

#include "devsim/devsim_test_support.h"
#include "image/image_figures.h"
#include "tools/devsim/devsim_server.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace corvanel;
using namespace corvanel::devsim;
using namespace corvanel::testing;

namespace {

constexpr int kSwapMs = 200;

QByteArray version(int board)
{
    return "VER=DEVSIM 1.0 board " + QByteArray::number(board) + "\r\n";
}

// Sends `message`; the first answer within `waitMs`, empty when none came.
QByteArray exchange(LoopbackPeer &peer, quint16 port, const QByteArray &message, int waitMs = 2000)
{
    peer.received.clear();
    peer.sendTo(port, message);
    QSignalSpy readable(&peer.socket, &QUdpSocket::readyRead);
    if (!peer.has(1))
        readable.wait(waitMs);
    peer.has(1);
    return peer.received.value(0);
}

struct Answer {
    QByteArray text;
    qint64 ms; // on `clock`
};

// Inquires every 20 ms until `wanted` answers (or 3 s pass): the answers.
QList<Answer> inquireUntil(LoopbackPeer &peer, quint16 port, const QByteArray &wanted,
                           const QElapsedTimer &clock)
{
    QList<Answer> answers;
    while (clock.elapsed() < 3000 && (answers.isEmpty() || answers.last().text != wanted)) {
        const QByteArray text = exchange(peer, port, "BOOTi\r\n", 20);
        if (!text.isEmpty())
            answers.append({text, clock.elapsed()});
    }
    return answers;
}

} // namespace

class TestDevsimBoards : public QObject {
    Q_OBJECT
private slots:
    void boardsOneAfterAnother_data()
    {
        QTest::addColumn<QString>("arguments");
        // Per board what the tool does: I flash, verify and install; F tries
        // to download twice; G sends "BOOTg" with no image.
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("dropped");
        QTest::newRow("three boards installed")
            << u"--boards 3"_s << u"III"_s << u"installed installed installed"_s.split(' ') << 0
            << 0;
        QTest::newRow("board 2 broken on purpose")
            << u"--boards 3 --fail-board 2"_s << u"IFI"_s
            << u"installed failed installed"_s.split(' ') << 0 << 0;
        QTest::newRow("BOOTg without an image")
            << u"--boards 2"_s << u"IG"_s << u"installed unverified"_s.split(' ') << 1 << 0;
        // Reply 2 (the first record's answer) is lost on each board, not once in all.
        QTest::newRow("a counted fault on each board")
            << u"--boards 2 --drop-reply 2"_s << u"II"_s << u"installed installed"_s.split(' ') << 0
            << 2;
    }

    void boardsOneAfterAnother()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, script);
        QFETCH(QStringList, results);
        QFETCH(int, exitCode);
        QFETCH(int, dropped);
        const ParsedCommandLine parsed = parseCommandLine(
            u"corvanel-devsim --port 0 --swap-time 0.2"_s.split(' ') + arguments.split(' '));
        QVERIFY2(parsed.options, qPrintable(parsed.message));
        DevsimServer server(*parsed.options);
        QCOMPARE(server.start(), std::nullopt);
        QSignalSpy finished(&server, &DevsimServer::boardsFinished);
        LoopbackPeer tool;
        const quint16 port = server.port();
        QCOMPARE(exchange(tool, port, "BOOTi\r\n"), version(1));

        for (int board = 1; board <= script.size(); ++board) {
            QElapsedTimer clock; // from the moment the board began to leave
            const QByteArray next = version(board + 1);
            if (script[board - 1] == 'F') {
                const QByteArray line = bootMessage(smallImage(1).first());
                clock.start();
                QCOMPARE(exchange(tool, port, line), "ERROR\r\n");
                QCOMPARE(exchange(tool, port, line), "ERROR\r\n"); // every attempt
                // It stays, answering, for the swap time; is away for as long.
                const QList<Answer> answers = inquireUntil(tool, port, next, clock);
                QVERIFY(answers.size() >= 2);
                QCOMPARE(answers.first().text, version(board));
                QCOMPARE(answers[answers.size() - 2].text, version(board));
                // (An answer may be read a moment after it was sent.)
                QVERIFY(answers.last().ms - answers[answers.size() - 2].ms >= kSwapMs * 3 / 4);
                QVERIFY(answers.last().ms >= 2 * kSwapMs);
                QCOMPARE(answers.last().text, next); // never the last board here
                continue;
            }
            // Each board gets an image of its own size; a lost answer is asked again.
            const QList<QByteArray> image = smallImage(board);
            for (int i = 0; script[board - 1] == 'I' && i < 2 * image.size(); ++i) {
                QByteArray line = image[i % image.size()];
                if (i >= image.size())
                    line.replace(':', '#');
                QByteArray answer = exchange(tool, port, bootMessage(line), 200);
                if (answer.isEmpty())
                    answer = exchange(tool, port, bootMessage(line));
                QCOMPARE(answer, (i + 1) % image.size() == 0 ? "DOWNLOAD\r\n" : "OK\r\n");
            }
            tool.sendTo(port, "BOOTg\r\n");
            clock.start();
            if (board == script.size())
                break;
            // Silence for the swap time, then the next board.
            const QList<Answer> answers = inquireUntil(tool, port, next, clock);
            QCOMPARE(answers.size(), 1);
            QCOMPARE(answers.first().text, next);
            QVERIFY(answers.first().ms >= kSwapMs);
        }

        // The run ends a swap time after the last board left.
        QVERIFY(finished.wait(3000));
        QCOMPARE(finished.first().first().toInt(), exitCode);
        QCOMPARE(exchange(tool, port, "BOOTi\r\n", 50), QByteArray());
        const QList<BoardRecord> records = server.boardRecords();
        QCOMPARE(records.size(), results.size());
        for (const BoardRecord &record : records) {
            const QString line = boardLine(record);
            QVERIFY2(
                line.startsWith(u"board %1 %2 "_s.arg(record.board).arg(results[record.board - 1])),
                qPrintable(line));
            if (record.result != BoardResult::Installed)
                continue;
            QByteArray bytes;
            for (int i = 0; i < 16 * record.board; ++i)
                bytes.append(char(i));
            QCOMPARE(record.image.records, record.board + 1);
            QCOMPARE(record.image.crc32, image::crc32(bytes));
        }
        QCOMPARE(server.repliesDropped(), dropped);
        QVERIFY(boardsSummaryLine(records).startsWith(u"summary boards=%1 "_s.arg(results.size())));
        QCOMPARE(boardsExitCode(records), exitCode);
    }
};

QTEST_GUILESS_MAIN(TestDevsimBoards)
#include "test_devsim_boards.moc"
