// corvanel-devsim as a program: how it ends by itself, and a clear failure
// when its port is taken.

#include "support/devsim_process.h"

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
};

QTEST_GUILESS_MAIN(TestDevsimProgram)
#include "test_devsim_program.moc"
