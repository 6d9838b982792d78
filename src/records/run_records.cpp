#include "records/run_records.h"

#include "common/ipv4_address.h"

#include <QDir>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace corvanel::records {

namespace {

QJsonValue optionalText(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonValue timeJson(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(utcText(time)) : QJsonValue(QJsonValue::Null);
}

} // namespace

int linesReached(const HostReport &r)
{
    return r.outcome == Outcome::Ok && !r.dryRun ? r.lineCount : r.line;
}

namespace {

// The fields a host's summary row and an attempt's record share.
QJsonObject hostJson(const RunFacts &run, const HostReport &r)
{
    QJsonObject host{
        {QStringLiteral("host"), r.host},
        {QStringLiteral("port"), r.port},
        {QStringLiteral("localPort"), r.localPort},
        {QStringLiteral("replyPort"), r.replyPort ? QJsonValue(r.replyPort) : QJsonValue()},
        {QStringLiteral("result"), resultWord(r)},
        {QStringLiteral("ok"), r.outcome == Outcome::Ok},
        {QStringLiteral("exitCode"), r.exitCode},
        {QStringLiteral("phase"), phaseWord(r.phase)},
        {QStringLiteral("line"), linesReached(r)},
        {QStringLiteral("lineCount"), r.lineCount},
        {QStringLiteral("installed"), r.installed},
        {QStringLiteral("seconds"), r.seconds()},
        {QStringLiteral("resends"), r.resends},
        {QStringLiteral("ignoredReplies"), r.ignoredReplies},
        {QStringLiteral("reason"), r.reason},
        {QStringLiteral("deviceVersion"), optionalText(r.deviceVersion)},
        {QStringLiteral("start"), timeJson(run.wallTime(r.startedAt))},
        {QStringLiteral("end"), timeJson(run.wallTime(r.endedAt))},
        {QStringLiteral("maxAttempts"), r.maxAttempts},
    };
    // Continuous production: the board's number in its lane, and its
    // hardware address where it is known.
    if (r.board > 0)
        host.insert(QStringLiteral("board"), r.board);
    if (r.mac)
        host.insert(QStringLiteral("mac"), *r.mac);
    return host;
}

// The fields every record and summary of a run carry about the run.
void addRunFacts(QJsonObject &object, const RunFacts &run)
{
    object.insert(QStringLiteral("schemaVersion"), kReportSchemaVersion);
    object.insert(QStringLiteral("toolVersion"), run.toolVersion);
    object.insert(QStringLiteral("station"), run.station);
    object.insert(QStringLiteral("image"), run.imagePath);
    object.insert(QStringLiteral("lineCount"), run.lineCount);
    object.insert(QStringLiteral("imageSha256"),
                  run.figures ? QJsonValue(QString::fromLatin1(run.figures->sha256.toHex()))
                              : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("imageCrc32"),
                  run.figures ? QJsonValue(image::hexAddress(run.figures->crc32))
                              : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("dryRun"), run.dryRun);
}

} // namespace

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QByteArray summaryJson(const RunFacts &run, const QList<HostReport> &reports, int exitCode)
{
    QJsonArray hosts;
    for (const HostReport &r : reports) {
        QJsonObject host = hostJson(run, r);
        host.insert(QStringLiteral("attempts"), r.attempt);
        hosts.append(host);
    }
    QJsonObject root{
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("ok"), exitCode == exitcode::kOk},
        {QStringLiteral("start"), timeJson(run.start)},
        {QStringLiteral("end"), timeJson(run.end)},
        {QStringLiteral("hosts"), hosts},
    };
    addRunFacts(root, run);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray attemptRecord(const RunFacts &run, const HostReport &attempt)
{
    QJsonObject record = hostJson(run, attempt);
    record.insert(QStringLiteral("attempt"), attempt.attempt);
    // A board skipped: the record it was skipped by.
    if (!attempt.reliedOn.isEmpty())
        record.insert(QStringLiteral("reliedOn"),
                      QJsonDocument::fromJson(attempt.reliedOn).object());
    addRunFacts(record, run);
    // Compact JSON escapes every control character: the record is one line.
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray refusalJson(const QString &imagePath, int exitCode, const QString &error,
                       const QList<image::HexProblem> &problems)
{
    QJsonArray list;
    for (const image::HexProblem &p : problems)
        list.append(
            QJsonObject{{QStringLiteral("line"), p.line}, {QStringLiteral("problem"), p.problem}});
    const QJsonObject root{
        {QStringLiteral("image"), imagePath}, {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("ok"), false},        {QStringLiteral("error"), error},
        {QStringLiteral("problems"), list},   {QStringLiteral("hosts"), QJsonArray{}},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

// The image as a person reads its name: "-" is standard input.
QString imageText(const QString &imagePath)
{
    return imagePath == QLatin1String("-") ? QStringLiteral("(standard input)")
                                           : QDir::toNativeSeparators(imagePath);
}

QString figuresText(const RunFacts &run)
{
    QString text = QStringLiteral("%1 lines").arg(run.lineCount);
    if (run.figures) {
        text += QStringLiteral(", %1 data bytes, CRC-32 %2, SHA-256 %3")
                    .arg(run.figures->dataBytes)
                    .arg(image::hexAddress(run.figures->crc32),
                         QString::fromLatin1(run.figures->sha256.toHex()));
    }
    return text;
}

} // namespace

QString linesText(const HostReport &r)
{
    return QStringLiteral("%1/%2").arg(linesReached(r)).arg(r.lineCount);
}

QString timeText(double seconds)
{
    return QString::number(seconds, 'f', 2) + QStringLiteral(" s");
}

QString detailText(const HostReport &r)
{
    if (r.outcome == Outcome::Ok && r.dryRun)
        return {};
    if (r.outcome == Outcome::Ok)
        return r.installed ? QStringLiteral("installed (\"BOOTg\" sent)") : QString();
    return r.reason;
}

QString summaryTable(const QList<HostReport> &reports, int exitCode, bool colour)
{
    bool dryRun = !reports.isEmpty();
    bool retried = false;
    for (const HostReport &r : reports) {
        dryRun = dryRun && r.dryRun;
        retried = retried || r.maxAttempts > 1;
    }
    // A dry run has no pass and no lines to show; attempts only when allowed.
    const bool boards = std::any_of(reports.begin(), reports.end(),
                                    [](const HostReport &r) { return r.board > 0; });
    QStringList header{QStringLiteral("HOST")};
    if (boards)
        header << QStringLiteral("BOARD");
    header << QStringLiteral("RESULT");
    if (!dryRun)
        header << QStringLiteral("PASS") << QStringLiteral("LINES");
    header << QStringLiteral("TIME");
    if (retried)
        header << QStringLiteral("ATTEMPT");
    header << QStringLiteral("VER") << QStringLiteral("REASON");
    QList<QStringList> rows{header};
    int ok = 0;
    int skipped = 0;
    for (const HostReport &r : reports) {
        if (r.outcome == Outcome::Ok)
            ++ok;
        if (r.outcome == Outcome::Skipped)
            ++skipped;
        QStringList row{r.address()};
        if (boards)
            row << QString::number(r.board);
        row << resultWord(r);
        if (!dryRun)
            row << phaseWord(r.phase) << linesText(r);
        row << timeText(r.seconds());
        if (retried)
            row << QStringLiteral("%1/%2").arg(r.attempt).arg(r.maxAttempts);
        row << (r.deviceVersion ? quotedReply(r.deviceVersion->toLatin1()) : QStringLiteral("-"))
            << detailText(r);
        rows.append(row);
    }
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    }
    QString text;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        const QStringList &row = rows[r];
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            line += last ? row[c] : row[c].leftJustified(widths[c]) + QStringLiteral("  ");
        }
        // Painted once laid out: the codes take no room on the screen.
        const Tone tone = colour && r > 0 ? toneOf(reports[r - 1]) : Tone::Plain;
        text += painted(line.trimmed(), tone) + QLatin1Char('\n');
    }
    const int failed = int(reports.size()) - ok - skipped;
    text += QStringLiteral("%1 %2%3: %4 %5, %6failed; exit code %7\n")
                .arg(reports.size())
                .arg(boards ? QStringLiteral("board") : QStringLiteral("host"))
                .arg(reports.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(ok)
                .arg(dryRun ? QStringLiteral("answered \"VER=\" (nothing else sent)")
                            : QStringLiteral("ended with END"))
                .arg((skipped ? QStringLiteral("%1 skipped (done already), ").arg(skipped)
                              : QString()) +
                     QString::number(failed) + QLatin1Char(' '))
                .arg(exitCode);
    return text;
}

QString dryRunHeader(const RunFacts &run)
{
    return QStringLiteral("dry run: would flash %1 (%2)\n")
        .arg(imageText(run.imagePath), figuresText(run));
}

QString problemText(const OperatorError &error)
{
    using What = OperatorError::What;
    const QString &s = error.subject;
    switch (error.what) {
    case What::ReadImage:
    case What::SaveAddresses:
        return (error.line > 0 ? QStringLiteral("%1:%2: ").arg(s).arg(error.line)
                               : s + QStringLiteral(": ")) +
               (error.reason.endsWith(QLatin1Char('.')) ? error.reason.chopped(1) : error.reason);
    case What::RemotePort:
        return QStringLiteral("remote port \"%1\" is not a number from 1 to 65535").arg(s);
    case What::LocalPort:
        return QStringLiteral("local port \"%1\" is not a number from 0 to 65535").arg(s);
    case What::NoHost:
        return QStringLiteral("no remote host given");
    case What::NotIPv4:
        return QStringLiteral("%1 is not an IPv4 address").arg(s);
    case What::HostNotFound:
        return QStringLiteral("host %1 not found: %2").arg(s, error.reason);
    case What::NotADevice:
        return QStringLiteral("%1 is not a device address").arg(s);
    case What::ManyHosts:
        return QStringLiteral("%1 is a broadcast or multicast address, not one device").arg(s);
    case What::Bind:
        return QStringLiteral("local port %1 cannot be bound: %2").arg(s, error.reason);
    }
    return {};
}

Tone toneOf(const HostReport &report)
{
    return report.outcome == Outcome::Ok || report.outcome == Outcome::Skipped ? Tone::Good
                                                                               : Tone::Bad;
}

QString scanLine(const FoundBoard &board)
{
    // The version as a comment that stays on its line, whatever it holds.
    const QString version = quotedReply(board.version.toLatin1());
    return QStringLiteral("%1:%2  # VER=%3\n")
        .arg(ipv4Text(board.address))
        .arg(board.port)
        .arg(version.mid(1, version.size() - 2));
}

QString scanFooter(const ScanOutcome &outcome, int exitCode)
{
    const int count = int(outcome.boards.size());
    return QStringLiteral("%1; %2 address%3 asked %4 time%5 in %6%7; exit code %8\n")
        .arg(count == 0   ? QStringLiteral("no board answered")
             : count == 1 ? QStringLiteral("1 board answered")
                          : QStringLiteral("%1 boards answered").arg(count))
        .arg(outcome.destinations)
        .arg(outcome.destinations == 1 ? QString() : QStringLiteral("es"))
        .arg(outcome.rounds)
        .arg(outcome.rounds == 1 ? QString() : QStringLiteral("s"))
        .arg(timeText(double(outcome.ms) / 1000.0))
        .arg(outcome.interrupted ? QStringLiteral(" (interrupted)") : QString())
        .arg(exitCode);
}

QByteArray scanJson(const ScanOutcome &outcome, const QDateTime &started,
                    const QString &toolVersion, std::chrono::milliseconds scanTime, int exitCode)
{
    QJsonArray boards;
    for (const FoundBoard &b : outcome.boards) {
        boards.append(QJsonObject{
            {QStringLiteral("host"), ipv4Text(b.address)},
            {QStringLiteral("port"), b.port},
            {QStringLiteral("deviceVersion"), b.version},
            {QStringLiteral("seconds"), double(b.ms) / 1000.0},
        });
    }
    const QJsonObject root{
        {QStringLiteral("schemaVersion"), kReportSchemaVersion},
        {QStringLiteral("toolVersion"), toolVersion},
        {QStringLiteral("start"), utcText(started)},
        {QStringLiteral("end"), utcText(started.addMSecs(outcome.ms))},
        {QStringLiteral("scanTime"), double(scanTime.count()) / 1000.0},
        {QStringLiteral("seconds"), double(outcome.ms) / 1000.0},
        {QStringLiteral("destinations"), outcome.destinations},
        {QStringLiteral("rounds"), outcome.rounds},
        {QStringLiteral("sent"), outcome.sent},
        {QStringLiteral("sendErrors"), outcome.sendErrors},
        {QStringLiteral("ignored"), outcome.ignored},
        {QStringLiteral("interrupted"), outcome.interrupted},
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("ok"), exitCode == exitcode::kOk},
        {QStringLiteral("boards"), boards},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

// Narrow enough that a 9000-line image's counts and the time left fit 80
// columns beside an address; the rate comes last, the first to be cut.
constexpr int kBarWidth = 12;

QString durationText(qint64 ms)
{
    const qint64 s = (ms + 999) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

// "board 3 (02:00:5e:10:00:01) is back: take it away"
QString backText(const HostReport &back)
{
    return QStringLiteral("board %1 (%2) is back: take it away")
        .arg(back.board)
        .arg(back.mac.value_or(QString()));
}

QString passText(const HostSnapshot &host)
{
    const QString word = host.finished ? resultWord(host.report) : phaseWord(host.phase).toUpper();
    return QStringLiteral("%1 %2/%3 (%4/%5)")
        .arg(word)
        .arg(host.line)
        .arg(host.lineCount)
        .arg(host.linesDone)
        .arg(2 * qint64(host.lineCount));
}

QString barLine(const QString &label, int labelWidth, const HostSnapshot &host)
{
    const qint64 total = 2 * qint64(host.lineCount);
    const int filled = total > 0 ? int(kBarWidth * host.linesDone / total) : 0;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(kBarWidth - filled, QLatin1Char('.'));
    // As wide as the widest it gets, so that the columns after it stay put.
    const auto width =
        QStringLiteral("DOWNLOAD %1/%1 (%2/%2)").arg(host.lineCount).arg(total).size();
    QString text =
        QStringLiteral("%1  [%2] %3")
            .arg(label.leftJustified(labelWidth), bar, passText(host).leftJustified(width));
    const HostReport &r = host.report;
    if (host.finished) {
        text += QStringLiteral("  ") + timeText(r.seconds());
        const QString detail = detailText(r);
        if (!detail.isEmpty())
            text += QStringLiteral("  ") + detail;
        return text;
    }
    if (host.transferElapsed && host.transferElapsed->count() > 0 && host.linesDone > 0) {
        const double rate = double(host.linesDone) * 1000.0 / double(host.transferElapsed->count());
        const auto leftMs = qint64(double(total - host.linesDone) * 1000.0 / rate);
        text += QStringLiteral("  %1 left  %2 lines/s").arg(durationText(leftMs)).arg(qRound(rate));
    } else {
        text += QStringLiteral("  %1").arg(durationText(host.elapsed.count()));
    }
    return text;
}

QString laneLine(const QString &label, int labelWidth, const LaneSnapshot &lane)
{
    using State = LaneSnapshot::State;
    QString text = label.leftJustified(labelWidth) + QStringLiteral("  ");
    const QString last = lane.host.finished ? resultWord(lane.host.report) : QString();
    switch (lane.state) {
    case State::Waiting:
        text += QStringLiteral("waiting for board %1").arg(lane.board + 1);
        break;
    case State::Flashing:
        text += QStringLiteral("board %1 %2").arg(lane.board).arg(passText(lane.host));
        break;
    case State::Leaving:
        if (lane.back) {
            text += backText(*lane.back);
            break;
        }
        text +=
            lane.answering
                ? QStringLiteral("board %1 %2: take the board away").arg(lane.board).arg(last)
                : QStringLiteral("board %1 %2, waiting for it to leave").arg(lane.board).arg(last);
        break;
    case State::Done:
        text += QStringLiteral("stopped");
        break;
    }
    text += QStringLiteral(" \u00b7 %1 done: %2 END, %3 failed")
                .arg(lane.boardsDone)
                .arg(lane.boardsEnded)
                .arg(lane.boardsDone - lane.boardsEnded);
    if (lane.boardsDone > 0 && lane.sinceFirstBoard.count() > 0)
        text +=
            QStringLiteral(" \u00b7 %1 boards/h")
                .arg(qRound(lane.boardsDone * 3600000.0 / double(lane.sinceFirstBoard.count())));
    return text;
}

} // namespace corvanel::records
