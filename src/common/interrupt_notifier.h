#pragma once

#include <QObject>

class QSocketNotifier;

namespace corvanel {

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP into a Qt signal on the event
// loop's thread, where the flasher can close its sockets, write its records
// and print its summary. SIGHUP ignored when the process started (nohup)
// stays ignored. A second signal of the same kind ends the process at once, as
// the user will expect when the orderly stop is not quick enough for them.
class InterruptNotifier : public QObject {
    Q_OBJECT
public:
    explicit InterruptNotifier(QObject *parent = nullptr);
    ~InterruptNotifier() override;

    bool isActive() const { return active_; }

signals:
    void interrupted(int signalNumber);

private:
    void deliver(int signalNumber);

    QSocketNotifier *notifier_ = nullptr;
    int readFd_ = -1;
    bool active_ = false;
};

} // namespace corvanel
