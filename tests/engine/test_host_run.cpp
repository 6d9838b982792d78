// One board's whole run on a fake clock, the test playing its driver: no
// socket, no timer.

#include "engine/run_summary.h"
#include "support/board_rig.h"

#include <QtTest>

using namespace corvanel;
using corvanel::testing::BoardRig;

namespace {

const QList<QByteArray> kImage = {":0200000011AA43", ":0200020022BB1F", ":00000001FF"};

// "RESULT EXIT PHASE LINE ATTEMPT/MAX", as the flasher's records say it.
QString record(const HostReport &r)
{
    return QStringLiteral("%1 %2 %3 %4 %5/%6")
        .arg(resultWord(r), QString::number(r.exitCode), phaseWord(r.phase))
        .arg(r.line)
        .arg(r.attempt)
        .arg(r.maxAttempts);
}

QString span(const HostReport &r)
{
    return QStringLiteral("%1-%2").arg(r.startedAt.count()).arg(r.endedAt.count());
}

} // namespace

class TestHostRun : public QObject {
    Q_OBJECT
private slots:
    void boardRun_data()
    {
        QTest::addColumn<QString>("settings"); // attempts=N port=N retries=N badopen=N install dry
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("result"); // the summary row
        QTest::addColumn<QString>("reason"); // a part of the summary's; empty: none
        QTest::addColumn<QString>("fields"); // "key=value; ..." checked, see boardRun()
        const auto row = [](const char *name, const char *settings, const QString &steps,
                            const QString &sent, const char *result, const char *reason = "",
                            const char *fields = "") {
            QTest::newRow(name) << settings << steps << sent << result << reason << fields;
        };
        const QString clean = QStringLiteral("VER=1 OK OK DOWNLOAD OK OK DOWNLOAD");
        const QString cleanSent = QStringLiteral("open i d1 d2 d3 v1 v2 v3");
        const char *unproven = "the image is not proven";
        const char *end = "END 0 done 3 1/1";

        // The end stands after a quiet time: 50 ms, or twice the slowest answer.
        row("clean", "", clean + " +60", cleanSent + " close", end, "",
            "span=0-50; installed=0; version=1");
        row("slow answers", "", "VER=1 +40 OK OK DOWNLOAD OK OK DOWNLOAD +200",
            cleanSent + " close", end, "", "span=0-120");
        row("ERROR within twice the slowest", "",
            "VER=1 +40 OK OK DOWNLOAD OK OK DOWNLOAD +79 ERROR", cleanSent + " close",
            "ERROR 1 verify 3 1/1",
            "the device answered \"ERROR\" 79 ms after \"DOWNLOAD\" had ended line 3 of 3 "
            "(verify pass): the end is not proven");
        row("install", "install", clean + " +200", cleanSent + " g close", end, "",
            "span=0-150; installed=1");
        // The device's refusal is never left out while the link is open.
        row("ERROR after BOOTg", "install", clean + " +50 +64 ERROR", cleanSent + " g close",
            "ERROR 1 install 3 1/1",
            "the device answered \"ERROR\" 64 ms after \"BOOTg\" had been sent", "installed=1");
        row("BOOTg not sent, a signal in its pause", "install attempts=2",
            clean + " !send +60 sig15 +100", cleanSent + " g! close", "NETWORK 5 install 3 1/2",
            "could not send \"BOOTg\": Network unreachable", "installed=0");
        row("interrupt while BOOTg leaves", "install attempts=2", clean + " +60 sig15 +100",
            cleanSent + " g close", "END 0 done 3 1/2", "", "span=0-150; installed=1");
        row("dry run", "dry install", "+600 VER=2.01", "open i i close", "READY 0 inquiry 0 1/1",
            "", "version=2.01; span=0-600");
        row("dry run, silent", "dry", "+3000", "open i i i i close", "TIMEOUT 3 inquiry 0 1/1",
            "no \"VER=\"", "version=none");

        // Each attempt a new link that avoids the last port, from the inquiry on.
        row("ERROR, then a clean attempt", "attempts=2", "VER=1 OK ERROR " + clean + " +50",
            "open i d1 d2 close open:5600 i d1 d2 d3 v1 v2 v3 close", "END 0 done 3 2/2", "",
            "first=ERROR 1 download 2 1/2; local=5601");
        row("every attempt fails", "attempts=2", "VER=1 ERROR VER=1 +3000",
            "open i d1 close open:5600 i d1 close", "TIMEOUT 3 download 1 2/2",
            "no reply to line 1 of 3 (download pass) within 1 s", "first=ERROR 1 download 1 1/2");
        row("fixed local port waits", "attempts=2 port=6000",
            "VER=1 ERROR +999 OK +1 " + clean + " +50",
            "open i d1 close open:6000@1000 i d1 d2 d3 v1 v2 v3 close", "END 0 done 3 2/2", "",
            "times=0-0,1000-1050; span=0-1050; ignored=0");
        row("interrupt between attempts", "attempts=3 port=6000", "VER=1 ERROR +500 sig15 +3000",
            "open i d1 close", "STOPPED 143 connect 0 2/3",
            "interrupted before attempt 2 of 3 began; attempt 1: the device answered \"ERROR\"",
            "span=0-500; times=0-0,500-500");
        row("interrupt mid-pass", "attempts=2", "VER=1 OK sig2 +3000", "open i d1 d2 close",
            "STOPPED 130 download 2 1/2", "interrupted at line 2 of 3 (download pass)");

        // A reply that nothing sent explains: no reply can be paired any more.
        row("OK twice: OK to the last line", "", "VER=1 OK OK OK", "open i d1 d2 d3 close",
            "ERROR 1 download 3 1/1",
            "last line (3 of 3, download pass) instead of \"DOWNLOAD\", or the network "
            "duplicated a reply: replies cannot be paired with lines, so the image is not proven");
        row("VER= twice to one inquiry", "", "VER=1 VER=1", "open i d1 close",
            "ERROR 1 download 1 1/1", unproven);
        row("stale DOWNLOAD", "", "VER=1 OK OK DOWNLOAD DOWNLOAD", "open i d1 d2 d3 v1 close",
            "ERROR 1 verify 1 1/1", unproven);
        row("OK in the quiet time", "", clean + " +49 OK", cleanSent + " close",
            "ERROR 1 verify 3 1/1", unproven, "span=0-49");
        row("strangers", "", "VER=1 stranger OK OK DOWNLOAD stranger stranger OK OK DOWNLOAD +50",
            cleanSent + " close", end, "", "ignored=3");
        // Like the window: the port "VER=" came from is the device's.
        row("a device answering from another port", "",
            "VER=1@5000 OK@5000 OK OK@5000 DOWNLOAD@5000 OK@5000 OK@5000 DOWNLOAD@5000 +60",
            cleanSent + " close", end, "", "ignored=1; reply=5000");
        row("resent line answered twice", "retries=1",
            "VER=2.01 +1000 OK OK OK DOWNLOAD OK OK DOWNLOAD +50",
            "open i d1 d1 d2 d3 v1 v2 v3 close", end, "",
            "resends=1; ignored=1; version=2.01; span=0-1050");

        // --skip-done: a board its record shows done is left alone.
        row("done already", "skip", "done={} VER=1", "open i close", "SKIPPED 0 inquiry 0 1/1",
            "already holds this image");
        row("not done yet", "skip", clean + " +50", cleanSent + " close", end);
        row("line not sent", "", "VER=1 !send OK", "open i d1 d2! close",
            "NETWORK 5 download 2 1/1",
            "could not send line 2 of 3 (download pass): Network unreachable");
        row("link not opened", "badopen=1", "", "open", "NETWORK 5 connect 0 1/1",
            "port 6000 is in use");
        row("no VER=, inquiries every 500 ms", "", "OK +3000", "open i i i i close",
            "TIMEOUT 3 inquiry 0 1/1", "no \"VER=\" reply to the inquiry within 2 s",
            "span=0-2000; ignored=1");
    }

    void boardRun()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, reason);
        QFETCH(QString, fields);
        HostSettings s;
        s.limits = {Millis{2000}, Millis{1000}, 0};
        int badOpens = 0;
        bool skip = false;
        for (const QString &word : settings.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString key = word.section(QLatin1Char('='), 0, 0);
            const int value = word.section(QLatin1Char('='), 1).toInt();
            if (key == QLatin1String("attempts"))
                s.attempts = value;
            else if (key == QLatin1String("port"))
                s.localPort = quint16(value);
            else if (key == QLatin1String("retries"))
                s.limits.retries = value;
            else if (key == QLatin1String("badopen"))
                badOpens = value;
            else if (key == QLatin1String("skip"))
                skip = true;
            else
                (key == QLatin1String("dry") ? s.dryRun : s.install) = true;
        }
        Production production;
        production.skipDone = skip;
        BoardRig rig(kImage, s, production);
        rig.openDetails = true;
        rig.badOpens = badOpens;
        rig.play(steps);

        QTEST(rig.out.join(QLatin1Char(' ')), "sent");
        QVERIFY(rig.summary && rig.board.isFinished() && !rig.board.nextDeadline());
        const HostReport &r = *rig.summary;
        QTEST(record(r), "result");
        QCOMPARE(rig.attempts.size(), r.attempt); // each attempt made told its end
        QVERIFY2(reason.isEmpty() ? r.reason.isEmpty() : r.reason.contains(reason),
                 qPrintable(r.reason));
        QCOMPARE(span(rig.board.report(rig.now + Millis{5000})), span(r)); // it stays as it was

        QStringList times;
        for (const HostReport &attempt : std::as_const(rig.attempts))
            times << span(attempt);
        const QMap<QString, QString> got{
            {"installed", QString::number(r.installed)},
            {"resends", QString::number(r.resends)},
            {"ignored", QString::number(r.ignoredReplies)},
            {"version", r.deviceVersion.value_or(QStringLiteral("none"))},
            {"local", QString::number(r.localPort)},
            {"reply", QString::number(r.replyPort)},
            {"span", span(r)}, // the summary's: the first attempt's start, the last one's end
            {"times", times.join(QLatin1Char(','))}, // each attempt's own
            {"first", record(rig.attempts.value(0))},
        };
        for (const QString &field : fields.split(QStringLiteral("; "), Qt::SkipEmptyParts)) {
            const QString key = field.section(QLatin1Char('='), 0, 0);
            QCOMPARE(key + QLatin1Char('=') + got.value(key, QStringLiteral("?")), field);
        }
    }

    // The process's exit code: a run's boards, or a production line's boards
    // (any failed board is 1) and the lanes that stopped early.
    // The one exit-code decision, for every kind of run.
    void exitCode_data()
    {
        using M = RunSummary::Mode;
        QTest::addColumn<M>("mode");
        QTest::addColumn<QList<int>>("boards");
        QTest::addColumn<QList<int>>("lanes");
        QTest::addColumn<bool>("reportFailed");
        QTest::addColumn<int>("exitCode");
        const auto row = [](const char *name, M mode, QList<int> boards, QList<int> lanes,
                            bool lost, int code) {
            QTest::newRow(name) << mode << boards << lanes << lost << code;
        };
        row("all ended", M::Boards, {0, 0}, {}, false, 0);
        row("failed the same way", M::Boards, {3, 0, 3}, {}, false, 3);
        row("failed in different ways", M::Boards, {1, 3}, {}, false, 6);
        row("an interrupt outranks", M::Boards, {1, 143, 0}, {}, false, 143);
        row("records lost, boards fine", M::Boards, {0}, {}, true, 4);
        row("records lost, boards failed", M::Boards, {1}, {}, true, 6);
        row("records lost, interrupted", M::Boards, {129}, {}, true, 129);
        row("a file error, records lost", M::Boards, {4}, {}, true, 4);
        row("production: a board timed out", M::Continuous, {0, 3}, {}, false, 1);
        row("production: boards failed in two ways", M::Continuous, {1, 3, 5}, {}, false, 1);
        row("production: a board interrupted", M::Continuous, {0, 130}, {}, false, 130);
        row("production: a lane without a link", M::Continuous, {0}, {5}, false, 5);
        row("production: records lost", M::Continuous, {0}, {}, true, 4);
        row("nothing flashed", M::Output, {}, {}, false, 0);
    }

    void exitCode()
    {
        QFETCH(RunSummary::Mode, mode);
        QFETCH(QList<int>, boards);
        QFETCH(QList<int>, lanes);
        QFETCH(bool, reportFailed);
        RunSummary summary;
        summary.mode = mode;
        summary.laneCodes = lanes;
        summary.reportFailed = reportFailed;
        for (int code : boards) {
            summary.rows.append(HostReport{});
            summary.rows.last().exitCode = code;
            summary.rows.last().board = mode == RunSummary::Mode::Continuous ? 1 : 0;
        }
        QTEST(corvanel::exitCode(summary), "exitCode");
        QCOMPARE(corvanel::exitCode(RunSummary::refusal(2)), 2); // refused before anything was sent
    }
};

QTEST_APPLESS_MAIN(TestHostRun)
#include "test_host_run.moc"
