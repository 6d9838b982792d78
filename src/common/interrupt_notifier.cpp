#include "common/interrupt_notifier.h"

#include <QSocketNotifier>

#include <csignal>
#include <iterator>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QPointer>
#include <qt_windows.h>
#endif

namespace corvanel {

#ifdef Q_OS_UNIX

namespace {

// A signal handler can reach nothing but static data; this descriptor is all
// it touches, and it only writes one byte to it (write() is
// async-signal-safe). -1 while no notifier is installed.
volatile std::sig_atomic_t signalWriteFd = -1;

void onSignal(int signalNumber)
{
    const int fd = signalWriteFd;
    if (fd >= 0) {
        const char byte = char(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
}

// SIGHUP: the terminal or SSH session that started the run went away; the
// run stops as on SIGTERM, with a record for every board.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Signals this notifier handles: SIGHUP not when it was ignored as the
// process started, for that is what nohup asks.
bool handled[std::size(kSignals)] = {};

} // namespace

InterruptNotifier::InterruptNotifier(QObject *parent) : QObject(parent)
{
    int fds[2];
    if (signalWriteFd >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return; // no orderly stop, but the default Ctrl-C still ends the process
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    readFd_ = fds[0];
    signalWriteFd = fds[1];
    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(readFd_, &byte, 1) == 1)
            deliver(static_cast<unsigned char>(byte));
    });

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        struct sigaction before {};
        ::sigaction(kSignals[i], nullptr, &before);
        handled[i] = kSignals[i] != SIGHUP || before.sa_handler != SIG_IGN;
        if (handled[i])
            ::sigaction(kSignals[i], &action, nullptr);
    }
    active_ = true;
}

InterruptNotifier::~InterruptNotifier()
{
    if (!active_)
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        if (std::exchange(handled[i], false))
            std::signal(kSignals[i], SIG_DFL);
    }
    const int writeFd = signalWriteFd;
    signalWriteFd = -1;
    ::close(writeFd);
    delete notifier_;
    ::close(readFd_);
}

void InterruptNotifier::deliver(int signalNumber)
{
    // From now on a second Ctrl-C takes the default way out.
    std::signal(signalNumber, SIG_DFL);
    emit interrupted(signalNumber);
}

#elif defined(Q_OS_WIN)

namespace {

// The console control handler runs on a thread of its own; it only posts the
// event to the notifier, which lives on the event loop's thread.
QPointer<InterruptNotifier> *activeNotifier = nullptr;

BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (activeNotifier && *activeNotifier) {
        QMetaObject::invokeMethod(activeNotifier->data(), "interrupted", Qt::QueuedConnection,
                                  Q_ARG(int, SIGINT));
        return TRUE;
    }
    return FALSE;
}

} // namespace

InterruptNotifier::InterruptNotifier(QObject *parent) : QObject(parent)
{
    if (activeNotifier)
        return;
    activeNotifier = new QPointer<InterruptNotifier>(this);
    active_ = SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

InterruptNotifier::~InterruptNotifier()
{
    if (!activeNotifier || activeNotifier->data() != this)
        return;
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    delete activeNotifier;
    activeNotifier = nullptr;
}

void InterruptNotifier::deliver(int signalNumber)
{
    emit interrupted(signalNumber);
}

#else

InterruptNotifier::InterruptNotifier(QObject *parent) : QObject(parent) {}
InterruptNotifier::~InterruptNotifier() = default;
void InterruptNotifier::deliver(int signalNumber)
{
    emit interrupted(signalNumber);
}

#endif

} // namespace corvanel
