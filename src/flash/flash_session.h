#pragma once

#include "engine/line_table.h"
#include "flash/flash_result.h"
#include "flash/host_flasher.h"

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

namespace corvanel::flash {

// Every host of one run, flashed at the same time on the one thread: each has
// its own socket and controller, and a failing host never stops the others.
class FlashSession : public QObject {
    Q_OBJECT
public:
    FlashSession(const QList<HostSettings> &hosts, const LineTable &image,
                 QObject *parent = nullptr);
    ~FlashSession() override;

    // Starts every host. "finished" follows from the event loop, also when
    // every host fails at once.
    void start();
    // Stops every transfer under way; the hosts that were done keep their result.
    void interrupt(int signalNumber);

    int hostCount() const { return int(hosts_.size()); }
    const HostFlasher &host(int index) const { return *hosts_[size_t(index)]; }
    bool isFinished() const { return finishedCount_ == hostCount(); }
    bool wasInterrupted() const { return signal_ != 0; }
    QList<HostReport> reports() const;
    // The run's exit code; 128 + the signal number after an interrupt.
    int exitCode() const;

signals:
    void hostProgressed(int index);
    // One attempt on a host is over (more may follow): its own report.
    void attemptEnded(int index, const corvanel::flash::HostReport &report);
    void hostFinished(int index);
    void finished(int exitCode);

private:
    std::vector<std::unique_ptr<HostFlasher>> hosts_;
    int finishedCount_ = 0;
    int signal_ = 0;
};

} // namespace corvanel::flash
