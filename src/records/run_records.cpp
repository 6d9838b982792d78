#include "records/run_records.h"

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
        record.insert(QStringLiteral("reliedOn"), QJsonDocument::fromJson(attempt.reliedOn).object());
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

} // namespace corvanel::records
