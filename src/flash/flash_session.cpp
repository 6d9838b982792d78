#include "flash/flash_session.h"

namespace corvanel::flash {

FlashSession::FlashSession(const QList<HostSettings> &hosts, const LineTable &image,
                           QObject *parent)
    : QObject(parent)
{
    hosts_.reserve(size_t(hosts.size()));
    for (const HostSettings &settings : hosts) {
        const int index = int(hosts_.size());
        auto host = std::make_unique<HostFlasher>(settings, image);
        connect(host.get(), &HostFlasher::progressed, this,
                [this, index] { emit hostProgressed(index); });
        connect(host.get(), &HostFlasher::attemptEnded, this,
                [this, index](const HostReport &report) { emit attemptEnded(index, report); });
        connect(host.get(), &HostFlasher::finished, this, [this, index] {
            ++finishedCount_;
            emit hostFinished(index);
            if (isFinished())
                emit finished(exitCode());
        });
        hosts_.push_back(std::move(host));
    }
}

FlashSession::~FlashSession() = default;

void FlashSession::start()
{
    for (auto &host : hosts_)
        host->start();
}

void FlashSession::interrupt(int signalNumber)
{
    if (signal_ == 0)
        signal_ = signalNumber;
    for (auto &host : hosts_)
        host->interrupt();
}

QList<HostReport> FlashSession::reports() const
{
    QList<HostReport> list;
    for (const auto &host : hosts_)
        list.append(host->report());
    return list;
}

int FlashSession::exitCode() const
{
    QList<Outcome> outcomes;
    for (const auto &host : hosts_)
        outcomes.append(host->report().outcome);
    const int code = combinedExitCode(outcomes);
    if (signal_ != 0 && code == exitcode::kInterrupted)
        return 128 + signal_;
    return code;
}

} // namespace corvanel::flash
