// The reply rules as plain calls: hostile sequences in, verdicts out.

#include "engine/reply_rules.h"

#include <QTest>

using namespace corvanel;
using protocol::ReplyKind;

namespace {

// Runs a script of steps through the rules and returns one letter per reply:
//   inq          an inquiry went out
//   L<n>/<m>     line n of m went out; E<n>/<m>: the same, an end-of-file record
//   resend       the line in flight went out again
//   t<ms>        the clock moves to ms
//   ok dl err ver junk   a reply of that kind arrived
// Verdict letters: A answer, U unrecognised, B before inquiry, N nothing in
// flight, S stale "DOWNLOAD", K "OK" to the last line, V late "VER=", 2 a
// second answer.
QString run(const Policy &policy, const QString &script)
{
    // A line sent again settles for the reply time-out, 3 s.
    Asked asked;
    std::optional<Flight> flight;
    Millis now{0};
    QString verdicts;
    for (const QString &step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("inq")) {
            asked.inquired = true;
            ++asked.inquiries;
        } else if (step.startsWith(QLatin1Char('L')) || step.startsWith(QLatin1Char('E'))) {
            const QStringList numbers = step.mid(1).split(QLatin1Char('/'));
            const int line = numbers[0].toInt();
            const bool endRecord = step.startsWith(QLatin1Char('E'));
            flight = Flight{Flight::Stage::Waiting,
                            line,
                            line == numbers[1].toInt() || (policy.passEndsAtEndRecord && endRecord),
                            1,
                            0,
                            now};
        } else if (step == QLatin1String("resend")) {
            if (flight && flight->stage == Flight::Stage::Waiting)
                ++flight->sends, flight->sentAt = now;
        } else if (step.startsWith(QLatin1Char('t'))) {
            now = Millis(step.mid(1).toInt());
            if (flight && flight->stage == Flight::Stage::Settling &&
                now >= flight->sentAt + policy.limits.replyTimeout)
                flight.reset();
        } else {
            static const QHash<QString, ReplyKind> kinds = {
                {QStringLiteral("ok"), ReplyKind::Ok},
                {QStringLiteral("dl"), ReplyKind::PassEnd},
                {QStringLiteral("err"), ReplyKind::Error},
                {QStringLiteral("ver"), ReplyKind::Version},
                {QStringLiteral("junk"), ReplyKind::Other}};
            static const QHash<Verdict, QChar> letters = {
                {Verdict::Answer, u'A'},        {Verdict::Unrecognised, u'U'},
                {Verdict::BeforeInquiry, u'B'}, {Verdict::NothingInFlight, u'N'},
                {Verdict::StalePassEnd, u'S'},  {Verdict::EarlyOk, u'K'},
                {Verdict::LateVersion, u'V'},   {Verdict::SecondAnswer, u'2'}};
            verdicts += letters.value(judgeReply(policy, asked, flight, kinds.value(step)));
        }
    }
    return verdicts;
}

} // namespace

class TestReplyRules : public QObject {
    Q_OBJECT
private slots:
    void verdicts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("strict");
        QTest::addColumn<QString>("window");

        // A clean transfer of 3 lines: each answer answers its line.
        QTest::newRow("clean") << "inq ver L1/3 ok L2/3 ok E3/3 dl L1/3 ok L2/3 ok E3/3 dl"
                               << "AAAAAAA"
                               << "AAAAAAA";
        // The download pass's "DOWNLOAD" copied late into the verify pass.
        QTest::newRow("late pass end mid-verify") << "inq L3/3 dl L1/3 dl ok L2/3 ok"
                                                  << "ASAA"
                                                  << "ASAA";
        // The end record answered slowly, sent again, and answered twice (only
        // the flasher sends again, but a resend settles under either rules).
        QTest::newRow("second answer to a resent end")
            << "inq E3/3 t3000 resend t3100 dl dl L1/3 dl ok"
            << "A2SA"
            << "A2SA";
        // One of a resent line's answers is "ERROR": it is never swallowed.
        QTest::newRow("refused copy") << "inq L1/3 t3000 resend ok err"
                                      << "AA"
                                      << "AA";
        // The second answer never comes: the wait ends at its time.
        QTest::newRow("settling ends in time") << "inq L1/3 resend t10 ok t3010 L2/3 ok"
                                               << "AA"
                                               << "AA";
        QTest::newRow("peer answers DOWNLOAD at once") << "inq L1/200 dl dl"
                                                       << "SS"
                                                       << "SS";
        // An end record in the middle: the window's bootloader ends there.
        QTest::newRow("end record before the last line") << "inq E101/201 dl"
                                                         << "S"
                                                         << "A";
        QTest::newRow("ERROR before any inquiry") << "err"
                                                  << "B"
                                                  << "A";
        QTest::newRow("ERROR to the inquiry") << "inq err"
                                              << "A"
                                              << "A";
        QTest::newRow("OK to the last line") << "inq E3/3 ok dl"
                                             << "KA"
                                             << "AN";
        QTest::newRow("VER= mid-pass") << "inq L1/3 ver ok"
                                       << "VA"
                                       << "AA";
        QTest::newRow("nothing in flight") << "inq ok dl junk"
                                           << "NNU"
                                           << "ANU";
        // A new image: what still arrives answers the old one.
        QTest::newRow("after the last answer") << "inq E1/1 dl dl ok"
                                               << "ANN"
                                               << "ANA";
    }

    void verdicts()
    {
        QFETCH(QString, script);
        QFETCH(QString, strict);
        QFETCH(QString, window);
        QCOMPARE(run(Policy::strict({}), script), strict);
        QCOMPARE(run(Policy::window(), script), window);
    }
};

QTEST_APPLESS_MAIN(TestReplyRules)
#include "test_reply_rules.moc"
