// bench_production: a production line's own overhead per board. The
// simulator acts as N boards in turn on one port (in this process, as the
// flasher's session is); one lane flashes and installs them. Per board:
//   start: from the board's first "VER=" (the lane sees it) to its first
//          download line;
//   ready: from its record (END) to the lane waiting for the next board,
//          less the gone time (the silence that tells it has left).
// Goal: each at most 20 ms.
//
// Usage: bench_production [BOARDS [LINES [GONE_MS]]]   (default 10 1000 300)

#include "devsim/devsim_test_support.h"
#include "flash/flash_session.h"
#include "tools/devsim/devsim_server.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace corvanel;

namespace {

SharedLines image(int lines)
{
    TextLines table;
    for (int i = 0; i < lines - 1; ++i)
        table.append(testing::hexRecord(0, quint16(i * 16), QByteArray(16, char(i))));
    table.append(":00000001FF");
    return TextLines::share(std::move(table));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto arg = [&args](int index, int fallback) {
        return args.size() > index ? args[index].toInt() : fallback;
    };
    const int boards = arg(1, 10);
    const int lines = arg(2, 1000);
    const int goneMs = arg(3, 300);
    if (boards < 1 || lines > 4000 || lines < 2 || goneMs < 10) {
        std::fprintf(stderr, "usage: bench_production [BOARDS [LINES (2-4000) [GONE_MS]]]\n");
        return 2;
    }

    devsim::ServerOptions sim;
    sim.port = 0; // loopback, a port the system chooses
    sim.boards = boards;
    sim.swapTimeMs = goneMs * 2;
    devsim::DevsimServer server(sim);
    if (const auto error = server.start()) {
        std::fprintf(stderr, "bench_production: %s\n", qPrintable(*error));
        return 1;
    }
    HostSettings host;
    host.host = QStringLiteral("127.0.0.1");
    host.remotePort = server.port();
    host.localPort = 0;
    host.install = true;
    Production production;
    production.continuous = true;
    production.count = boards;
    production.goneTime = Millis(goneMs);
    flash::FlashSession session({host}, image(lines), production);

    // Times on the session's clock, per board.
    std::vector<double> start, ready;
    double seenAt = -1, doneAt = -1;
    LaneSnapshot::State last = LaneSnapshot::State::Waiting;
    QObject::connect(&session, &flash::FlashSession::laneProgressed, [&](int lane) {
        const LaneSnapshot s = session.snapshot(lane);
        const double now = double(session.clock().nsecsElapsed()) / 1e6;
        if (s.state == LaneSnapshot::State::Flashing && last != LaneSnapshot::State::Flashing)
            seenAt = now;
        if (s.state == LaneSnapshot::State::Flashing && seenAt >= 0 &&
            s.host.phase == Phase::Download && s.host.line >= 1) {
            start.push_back(now - seenAt);
            seenAt = -1;
        }
        if (s.state == LaneSnapshot::State::Waiting && last == LaneSnapshot::State::Leaving &&
            doneAt >= 0) {
            ready.push_back(std::max(0.0, now - doneAt - goneMs));
            doneAt = -1;
        }
        last = s.state;
    });
    QObject::connect(&session, &flash::FlashSession::boardDone, [&](int, const HostReport &) {
        doneAt = double(session.clock().nsecsElapsed()) / 1e6;
    });
    QEventLoop loop;
    QObject::connect(&session, &flash::FlashSession::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(boards * (goneMs * 4 + lines * 5 + 2000), &loop, &QEventLoop::quit);
    session.start();
    loop.exec();

    const QList<HostReport> done = session.boards();
    const auto ended = std::count_if(done.begin(), done.end(),
                                     [](const HostReport &r) { return r.outcome == Outcome::Ok; });
    std::printf("production line: %d boards of %d lines, gone time %d ms; %lld ended with END\n",
                boards, lines, goneMs, static_cast<long long>(ended));
    std::printf(
        "  first VER= to first line:   median %5.1f ms, worst %5.1f ms (goal: at most 20)\n",
        median(start), start.empty() ? 0.0 : *std::max_element(start.begin(), start.end()));
    std::printf(
        "  END to ready, beyond gone:  median %5.1f ms, worst %5.1f ms (goal: at most 20)\n",
        median(ready), ready.empty() ? 0.0 : *std::max_element(ready.begin(), ready.end()));
    return ended == boards ? 0 : 1;
}
