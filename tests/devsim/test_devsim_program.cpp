// corvanel-devsim as a program: how it ends by itself, and a clear failure
// when its port is taken; with --boards, its summary and exit code.

#include "devsim/devsim_test_support.h"
#include "support/devsim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

using namespace corvanel::testing;

class TestDevsimProgram : public QObject {
    Q_OBJECT
private slots:
    void simulatorProgramEnds()
    {
        // Left alone, it goes away by itself.
        Devsim idle({"--idle-timeout", "1"});
        QVERIFY(idle.waitForPort() != 0);

        // A taken port is a clear failure.
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
        Devsim clash({"--port", QString::number(holder.localPort())});
        QCOMPARE(clash.waitForPort(), quint16(0)); // it ended without listening
        QCOMPARE(clash.process().state(), QProcess::NotRunning);
        QCOMPARE(clash.process().exitCode(), 2);
        QVERIFY(clash.errors().contains(QLatin1String("cannot bind")));

        QVERIFY(idle.process().waitForFinished(10000));
        QCOMPARE(idle.process().exitCode(), 3);
    }

    void boardsEndWithTheirSummary()
    {
        // Board 1 fails as asked; board 2 gets "BOOTg" without an image.
        QTemporaryDir dir;
        const QString json = dir.filePath(QStringLiteral("boards.json"));
        Devsim devsim(
            {"--boards", "2", "--fail-board", "1", "--swap-time", "0.1", "--summary-json", json});
        const quint16 port = devsim.waitForPort();
        QVERIFY(port != 0);
        LoopbackPeer tool;
        tool.sendTo(port, bootMessage(smallImage(1).first()));
        QTRY_VERIFY_WITH_TIMEOUT(tool.has(1), 5000);
        QCOMPARE(tool.received.first(), "ERROR\r\n");
        QTRY_VERIFY_WITH_TIMEOUT((tool.sendTo(port, "BOOTi\r\n"), tool.has(0),
                                  tool.received.contains("VER=DEVSIM 1.0 board 2\r\n")),
                                 5000);
        tool.sendTo(port, "BOOTg\r\n");
        QCOMPARE(devsim.waitForSummary(),
                 QStringLiteral("summary boards=2 installed=0 failed=1 unverified=1 present=0"));
        QVERIFY(devsim.process().waitForFinished(5000));
        QCOMPARE(devsim.process().exitCode(), 1);
        QFile file(json);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray boards = QJsonDocument::fromJson(file.readAll())["boards"].toArray();
        QCOMPARE(boards.size(), 2);
        QCOMPARE(boards[0]["result"].toString(), QStringLiteral("failed"));
        QCOMPARE(boards[0]["downloadErrors"].toInt(), 1);
        QCOMPARE(boards[1]["board"].toInt(), 2);
        QCOMPARE(boards[1]["result"].toString(), QStringLiteral("unverified"));
    }
};

QTEST_GUILESS_MAIN(TestDevsimProgram)
#include "test_devsim_program.moc"
