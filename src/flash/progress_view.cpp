#include "flash/progress_view.h"

#include "common/console.h"
#include "flash/flash_session.h"
#include "records/run_records.h"

namespace corvanel::flash {

using namespace records;

namespace {

constexpr int kRedrawMs = 100;

} // namespace

ProgressView::ProgressView(Mode mode, std::FILE *out, const FlashSession &session, bool colour,
                           QObject *parent)
    : QObject(parent), mode_(mode), out_(out), colour_(colour), session_(session)
{
    for (int i = 0; i < session_.laneCount(); ++i) {
        lastQuarter_.append(0);
        lastPhase_.append(Phase::NotConnected);
        lastState_.append(LaneSnapshot::State::Waiting);
        lastAnswering_.append(false);
        labels_.append(session_.address(i));
        labelWidth_ = qMax(labelWidth_, int(labels_.back().size()));
    }
    // Bars are redrawn by moving the cursor up over them; more bars than the
    // terminal has rows would scroll out of reach and smear the screen.
    if (mode_ == Mode::Bars && session_.laneCount() >= terminalRows(out_))
        mode_ = Mode::Lines;
    if (mode_ == Mode::Bars) {
        redrawTimer_.setInterval(kRedrawMs);
        connect(&redrawTimer_, &QTimer::timeout, this, [this] {
            if (dirty_)
                redraw();
        });
        redrawTimer_.start();
    }
}

void ProgressView::laneProgressed(int index)
{
    if (mode_ == Mode::Bars) {
        dirty_ = true;
        return;
    }
    if (mode_ != Mode::Lines)
        return;
    const LaneSnapshot lane = session_.snapshot(index);
    if (!session_.isContinuous()) {
        hostLines(index, labels_[index], lane.host);
        return;
    }
    const QString board = QStringLiteral("%1 board %2").arg(labels_[index]).arg(lane.board);
    if (lane.state != lastState_[index]) {
        if (lane.state == LaneSnapshot::State::Waiting)
            write(lane.board == 0
                      ? QStringLiteral("%1: waiting for a board\n").arg(labels_[index])
                      : QStringLiteral("%1: has left; waiting for the next board\n").arg(board));
        lastState_[index] = lane.state;
        lastAnswering_[index] = false;
    }
    if (lane.state == LaneSnapshot::State::Leaving && lane.answering && !lane.back &&
        !lastAnswering_[index]) {
        lastAnswering_[index] = true;
        write(QStringLiteral("%1: take the board away\n").arg(board));
    }
    if (lane.state == LaneSnapshot::State::Flashing)
        hostLines(index, board, lane.host);
}

void ProgressView::hostLines(int index, const QString &label, const HostSnapshot &host)
{
    const Phase phase = host.phase;
    if (phase != lastPhase_[index]) {
        lastPhase_[index] = phase;
        lastQuarter_[index] = 0;
        switch (phase) {
        case Phase::Polling:
            write(QStringLiteral("%1: connected, waiting for \"VER=\"\n").arg(label));
            break;
        case Phase::Download:
        case Phase::Verify:
            write(QStringLiteral("%1: %2 pass, %3 lines\n")
                      .arg(label, phaseWord(phase))
                      .arg(host.lineCount));
            break;
        case Phase::Installing:
            write(QStringLiteral("%1: \"END\", sending \"BOOTg\"\n").arg(label));
            break;
        default:
            break;
        }
    }
    if ((phase == Phase::Download || phase == Phase::Verify) && host.lineCount > 0) {
        const int quarter = int(qint64(host.line) * 4 / host.lineCount);
        if (quarter > lastQuarter_[index]) {
            lastQuarter_[index] = quarter;
            write(QStringLiteral("%1: %2\n").arg(label, passText(host)));
        }
    }
}

void ProgressView::attemptEnded(int index, const HostReport &report, bool another)
{
    // The last attempt is told by boardDone; this tells the ones retried.
    if (mode_ != Mode::Lines || !another)
        return;
    write(
        QStringLiteral("%1: %2: %3; attempt %4 of %5 follows\n")
            .arg(labels_[index] +
                     (report.board > 0 ? QStringLiteral(" board %1").arg(report.board) : QString()),
                 resultWord(report), report.reason)
            .arg(report.attempt + 1)
            .arg(report.maxAttempts));
}

void ProgressView::boardBack(int index, const HostReport &report)
{
    if (mode_ == Mode::Bars)
        dirty_ = true;
    else if (mode_ == Mode::Lines)
        write(QStringLiteral("%1: %2\n").arg(labels_[index], backText(report)));
}

void ProgressView::boardDone(int index, const HostReport &report)
{
    if (mode_ == Mode::Bars) {
        dirty_ = true;
        return;
    }
    if (mode_ != Mode::Lines)
        return;
    const QString label =
        labels_[index] +
        (report.board > 0 ? QStringLiteral(" board %1").arg(report.board) : QString());
    QString line;
    if (report.outcome == Outcome::Ok && report.dryRun) {
        line = QStringLiteral("%1: READY, \"VER=%2\"")
                   .arg(label, report.deviceVersion.value_or(QString()));
    } else if (report.outcome == Outcome::Ok) {
        line = QStringLiteral("%1: END after %2%3")
                   .arg(label, timeText(report.seconds()),
                        report.installed ? QStringLiteral(", installed") : QString());
    } else {
        line = QStringLiteral("%1: %2: %3").arg(label, resultWord(report), report.reason);
    }
    write(painted(line, colour_ ? toneOf(report) : Tone::Plain) + QLatin1Char('\n'));
}

void ProgressView::laneFinished(int index)
{
    if (mode_ == Mode::Bars) {
        dirty_ = true;
        return;
    }
    if (mode_ != Mode::Lines || !session_.isContinuous())
        return;
    const LaneSnapshot lane = session_.snapshot(index);
    write(QStringLiteral("%1: stopped after %2 board%3: %4 END, %5 failed\n")
              .arg(labels_[index])
              .arg(lane.boardsDone)
              .arg(lane.boardsDone == 1 ? QString() : QStringLiteral("s"))
              .arg(lane.boardsEnded)
              .arg(lane.boardsDone - lane.boardsEnded));
}

void ProgressView::finish()
{
    if (mode_ == Mode::Bars) {
        redrawTimer_.stop();
        redraw();
    }
}

void ProgressView::redraw()
{
    dirty_ = false;
    const int columns = terminalColumns(out_);
    QString text;
    if (linesDrawn_ > 0)
        text += QStringLiteral("\x1b[%1A").arg(linesDrawn_); // back to the first bar
    for (int i = 0; i < session_.laneCount(); ++i) {
        const LaneSnapshot lane = session_.snapshot(i);
        QString line = session_.isContinuous() ? laneLine(labels_[i], labelWidth_, lane)
                                               : barLine(labels_[i], labelWidth_, lane.host);
        // A wrapped line would throw the redraw off by a row.
        if (line.size() >= columns)
            line = line.left(columns - 1);
        // A result in colour: a host done, a lane's board done and leaving.
        const bool result = session_.isContinuous() ? lane.state == LaneSnapshot::State::Leaving
                                                    : lane.host.finished;
        const Tone tone = colour_ && result ? toneOf(lane.host.report) : Tone::Plain;
        text += QStringLiteral("\r\x1b[2K") + painted(line, tone) + QLatin1Char('\n');
    }
    linesDrawn_ = session_.laneCount();
    write(text);
}

void ProgressView::write(const QString &text)
{
    // Progress that cannot be written (a reader that quit, a closed
    // terminal) is given up, once: the transfer goes on regardless.
    if (writeFailed_)
        return;
    const QByteArray bytes = text.toLocal8Bit();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out_) != size_t(bytes.size()) ||
        std::fflush(out_) != 0) {
        writeFailed_ = true;
        redrawTimer_.stop();
    }
}

} // namespace corvanel::flash
