#include "engine/scan_run.h"

#include "common/ipv4_address.h"
#include "engine/protocol.h"
#include "engine/run_report.h"

#include <algorithm>

namespace corvanel {

namespace {

quint64 boardKey(quint32 address, quint16 port)
{
    return (quint64(address) << 16) | port;
}

} // namespace

ScanRun::ScanRun(ScanSettings settings) : settings_(std::move(settings))
{
    outcome_.destinations = int(settings_.destinations.size());
    for (const ScanDestination &d : std::as_const(settings_.destinations))
        ports_.insert(d.port);
}

void ScanRun::start(Millis now)
{
    if (started_)
        return;
    started_ = true;
    start_ = now;
    beginRound(now);
}

void ScanRun::beginRound(Millis now)
{
    ++outcome_.rounds;
    next_ = 0;
    burstEnd_ = 0;
    releaseBurst(now);
}

void ScanRun::releaseBurst(Millis now)
{
    const qsizetype count = settings_.destinations.size();
    burstEnd_ = std::min(next_ + kBurst, count);
    if (burstEnd_ < count) {
        // As a repeating timer keeps its beat: from the last due time, or
        // from now when the scan fell behind.
        const Millis due = burstAt_ ? *burstAt_ + kPace : now + kPace;
        burstAt_ = due < now ? now + kPace : due;
        return;
    }
    burstAt_.reset();
    roundSent(now);
}

void ScanRun::roundSent(Millis now)
{
    const Millis time = settings_.time;
    const Millis elapsed = now - start_;
    if (outcome_.rounds < kRounds) {
        const Millis due = std::max(elapsed, time * outcome_.rounds / 4);
        // A round that cannot begin by half the time would leave its answers
        // too little of it; a wide range is asked fewer times instead.
        if (due <= time / 2) {
            // Never sooner than the pace allows after the last burst.
            roundAt_ = std::max(start_ + due, now + kPace);
            return;
        }
    }
    endAt_ = now + std::max(time - elapsed, time / 4);
}

std::optional<ScanDestination> ScanRun::pollInquiry()
{
    if (finished_ || next_ >= burstEnd_)
        return std::nullopt;
    ++outcome_.sent;
    return settings_.destinations[next_++];
}

void ScanRun::handleSendFailure(Millis, const QString &error)
{
    if (finished_ || next_ == 0)
        return;
    const ScanDestination &d = settings_.destinations[next_ - 1];
    --outcome_.sent;
    ++outcome_.sendErrors;
    if (outcome_.sendErrorTexts.size() < kErrorTextsKept) {
        outcome_.sendErrorTexts.append(QStringLiteral("cannot send \"BOOTi\" to %1:%2: %3")
                                           .arg(ipv4Text(d.address))
                                           .arg(d.port)
                                           .arg(error));
    }
}

void ScanRun::handleDatagram(Millis now, quint32 fromAddress, quint16 fromPort,
                             QByteArrayView datagram)
{
    if (!started_ || finished_)
        return;
    // Boards on a broadcast answer from their own address, so any address
    // counts; the port must be one the scan asked.
    const auto version = ports_.contains(fromPort)
                             ? versionText(protocol::trimTrailingSpaces(datagram))
                             : std::nullopt;
    if (!version) {
        ++outcome_.ignored;
        return;
    }
    const quint64 key = boardKey(fromAddress, fromPort);
    if (found_.contains(key))
        return;
    found_.insert(key);
    outcome_.boards.append({fromAddress, fromPort, *version, (now - start_).count()});
    news_.push_back(outcome_.boards.back());
}

void ScanRun::handleTimeout(Millis now)
{
    if (!started_ || finished_)
        return;
    if (endAt_ && now >= *endAt_) {
        finish(now);
        return;
    }
    if (roundAt_ && now >= *roundAt_) {
        roundAt_.reset();
        beginRound(now);
    } else if (burstAt_ && now >= *burstAt_) {
        releaseBurst(now);
    }
}

void ScanRun::interrupt(Millis now, int signal)
{
    if (!started_ || finished_)
        return;
    outcome_.interrupted = true;
    outcome_.signal = signal;
    finish(now);
}

std::optional<Millis> ScanRun::pollTimeout() const
{
    std::optional<Millis> next;
    if (finished_)
        return next;
    for (const auto &due : {burstAt_, roundAt_, endAt_}) {
        if (due && (!next || *due < *next))
            next = due;
    }
    return next;
}

std::optional<FoundBoard> ScanRun::pollFound()
{
    if (news_.empty())
        return std::nullopt;
    FoundBoard board = std::move(news_.front());
    news_.pop_front();
    return board;
}

void ScanRun::finish(Millis now)
{
    finished_ = true;
    burstAt_.reset();
    roundAt_.reset();
    endAt_.reset();
    outcome_.ms = (now - start_).count();
    std::sort(outcome_.boards.begin(), outcome_.boards.end(),
              [](const FoundBoard &a, const FoundBoard &b) {
                  return boardKey(a.address, a.port) < boardKey(b.address, b.port);
              });
}

} // namespace corvanel
