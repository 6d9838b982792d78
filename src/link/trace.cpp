#include "link/trace.h"

#include "engine/run_report.h"

#include <QDir>
#include <QRegularExpression>

namespace corvanel {

Trace::Trace(std::FILE *console, std::FILE *errors, QString program)
    : console_(console), errors_(errors), program_(std::move(program))
{
}

std::optional<QString> Trace::openFile(const QString &path, const QString &header)
{
    file_.setFileName(path);
    // Unbuffered: each line is one write at the end of the file.
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        return QStringLiteral("cannot open the trace \"%1\" for appending: %2")
            .arg(QDir::toNativeSeparators(path), file_.errorString());
    }
    const QByteArray line = header.toLocal8Bit() + '\n';
    if (file_.write(line) != line.size()) {
        const QString why = file_.errorString();
        file_.close();
        return QStringLiteral("cannot append to the trace \"%1\": %2")
            .arg(QDir::toNativeSeparators(path), why);
    }
    return std::nullopt;
}

void Trace::datagram(Millis at, const QString &host, Direction direction, QByteArrayView bytes,
                     const QString &note)
{
    write(line(at, host, direction, bytes, note));
}

QString Trace::note(const Heard &heard, quint16 fromPort, quint16 devicePort, quint16 sentTo)
{
    if (heard.verdict == Verdict::OtherPort)
        return QStringLiteral("left out: from port %1, not the device's (%2)")
            .arg(fromPort)
            .arg(devicePort);
    QString note = verdictText(heard.verdict);
    if (heard.copy)
        note += QStringLiteral("; a copy: replies cannot be paired with lines, the attempt fails");
    else if (heard.verdict == Verdict::Answer && fromPort != sentTo)
        note += QStringLiteral(" from port %1, not %2: the device's port for this attempt")
                    .arg(fromPort)
                    .arg(sentTo);
    return note;
}

void Trace::timers(Millis at, const QString &host, const QString &names)
{
    const qint64 ms = at.count();
    write(
        QStringLiteral("%1  %2  timer  %3")
            .arg(QStringLiteral("%1.%2").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0')), 8)
            .arg(host, names));
}

void Trace::write(const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    if (console_ && !consoleFailed_) {
        consoleFailed_ = std::fwrite(text.constData(), 1, size_t(text.size()), console_) !=
                             size_t(text.size()) ||
                         std::fflush(console_) != 0;
    }
    // A trace that cannot be written is said once and given up; the
    // transfer goes on, as it does when progress cannot be written.
    if (file_.isOpen() && file_.write(text) != text.size()) {
        const QString message =
            QStringLiteral("%1: cannot append to the trace \"%2\": %3; the trace stops here\n")
                .arg(program_, QDir::toNativeSeparators(file_.fileName()), file_.errorString());
        file_.close();
        const QByteArray bytesOut = message.toLocal8Bit();
        std::fwrite(bytesOut.constData(), 1, size_t(bytesOut.size()), errors_);
        std::fflush(errors_);
    }
}

QString Trace::line(Millis at, const QString &host, Direction direction, QByteArrayView bytes,
                    const QString &note)
{
    const qint64 ms = at.count();
    const QString time =
        QStringLiteral("%1.%2").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
    return QStringLiteral("%1  %2  %3  %4  %5")
        .arg(time, 8)
        .arg(host, direction == Direction::In ? QStringLiteral("in ") : QStringLiteral("out"),
             quotedReply(bytes), note);
}

QString Trace::header(const QString &program, const QString &version, const QString &utcTime,
                      const QStringList &arguments)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:=,+@%-]+$"));
    QStringList words;
    for (const QString &argument : arguments) {
        words << (plain.match(argument).hasMatch()
                      ? argument
                      : QLatin1Char('\'') +
                            QString(argument).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
                            QLatin1Char('\''));
    }
    return QStringLiteral("# %1 %2 %3: %4").arg(program, version, utcTime, words.join(u' '));
}

} // namespace corvanel
