#pragma once

#include "engine/board.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace corvanel::flash {

class FlashSession;

// Progress while the hosts are flashed. On a terminal, one live bar per host
// redrawn in place (pass, lines of total, rate, time left); otherwise plain
// lines at each pass and each quarter of a pass, so logs stay short. In
// continuous production one live line per lane (the board, its pass, the
// boards done and the rate), or one plain line per event. With colour, the
// lines that tell a result are green when it is good and red when not.
class ProgressView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Quiet, Bars, Lines };

    ProgressView(Mode mode, std::FILE *out, const FlashSession &session, bool colour = false,
                 QObject *parent = nullptr);

    void laneProgressed(int index);
    void attemptEnded(int index, const HostReport &report, bool another);
    void boardDone(int index, const HostReport &report);
    void boardBack(int index, const HostReport &report);
    void laneFinished(int index);
    // Draws the final state; call once the session has finished.
    void finish();

private:
    void hostLines(int index, const QString &label, const HostSnapshot &host);
    void redraw();
    void write(const QString &text);

    Mode mode_;
    std::FILE *out_;
    bool colour_;
    const FlashSession &session_;
    QTimer redrawTimer_;
    QList<int> lastQuarter_; // per host: pass * 4 + quarter printed last
    QList<Phase> lastPhase_;
    QList<LaneSnapshot::State> lastState_; // per lane, continuous
    QList<bool> lastAnswering_;
    QStringList labels_; // per host: "HOST:PORT"
    int labelWidth_ = 0;
    int linesDrawn_ = 0;
    bool dirty_ = false;
    bool writeFailed_ = false; // progress is no longer written
};

} // namespace corvanel::flash
