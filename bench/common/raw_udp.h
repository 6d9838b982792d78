#pragma once

// The raw UDP baseline the transfer benchmarks measure against: the same
// datagrams in lock-step between two plain POSIX sockets on loopback, each
// message waiting for its reply. The device end answers with the simulator's
// bootloader logic, in a child process (the tool and a device are always two
// processes) or on the calling thread (the floor without any process switch).

#include "tools/devsim/bootloader_model.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace corvanel::bench {

struct Run {
    double seconds = 0;
    bool ok = false;
};

inline constexpr QByteArrayView kQuit = "QUIT";

// A UDP socket bound to 127.0.0.1 on a port the system chooses.
inline int bindLoopback(sockaddr_in &address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A device in a child process: a plain socket answering every message with
// the bootloader model until it gets "QUIT". Fork it before Qt starts, so the
// child inherits no Qt state.
struct ChildDevice {
    pid_t pid = -1;
    sockaddr_in address{};

    bool start()
    {
        const int fd = bindLoopback(address);
        if (fd < 0)
            return false;
        pid = ::fork();
        if (pid == 0)
            serve(fd);
        ::close(fd);
        return pid > 0;
    }

    void stop()
    {
        if (pid <= 0)
            return;
        const int quitter = ::socket(AF_INET, SOCK_DGRAM, 0);
        ::sendto(quitter, kQuit.data(), size_t(kQuit.size()), 0,
                 reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::close(quitter);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    quint16 port() const { return ntohs(address.sin_port); }

private:
    [[noreturn]] static void serve(int fd)
    {
        devsim::BootloaderModel model;
        std::vector<char> buffer(65536);
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (got < 0)
                continue;
            const QByteArrayView message(buffer.data(), got);
            if (message == kQuit)
                ::_exit(0);
            const auto outcome = model.handle(message);
            ::sendto(fd, outcome.reply.constData(), size_t(outcome.reply.size()), 0,
                     reinterpret_cast<const sockaddr *>(&from), fromLength);
        }
    }
};

// The baseline: every message from a plain socket to `device`, each waiting
// in a blocking recvfrom for its reply. Ok when the last reply ends the pass.
inline Run runRawAgainst(const std::vector<QByteArray> &messages, const sockaddr_in &device)
{
    sockaddr_in toolAddress{};
    const int tool = bindLoopback(toolAddress);
    if (tool < 0)
        return {};
    std::vector<char> buffer(65536);
    ssize_t got = 0;
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &message : messages) {
        ::sendto(tool, message.constData(), size_t(message.size()), 0,
                 reinterpret_cast<const sockaddr *>(&device), sizeof device);
        got = ::recvfrom(tool, buffer.data(), buffer.size(), 0, nullptr, nullptr);
        if (got < 0)
            break;
    }
    Run run;
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.ok = got > 0 && QByteArrayView(buffer.data(), got) == devsim::kReplyPassEnd;
    ::close(tool);
    return run;
}

// The floor: both sockets on this thread, the device's answer made in
// between, so no process or thread ever waits to be woken.
inline Run runRawInProcess(const std::vector<QByteArray> &messages)
{
    sockaddr_in toolAddress{}, deviceAddress{};
    const int tool = bindLoopback(toolAddress);
    const int device = bindLoopback(deviceAddress);
    Run run;
    if (tool >= 0 && device >= 0) {
        devsim::BootloaderModel model;
        std::vector<char> buffer(65536);
        size_t answered = 0;
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray &message : messages) {
            ::sendto(tool, message.constData(), size_t(message.size()), 0,
                     reinterpret_cast<const sockaddr *>(&deviceAddress), sizeof deviceAddress);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(device, buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (got < 0)
                break;
            const auto outcome = model.handle(QByteArrayView(buffer.data(), got));
            ::sendto(device, outcome.reply.constData(), size_t(outcome.reply.size()), 0,
                     reinterpret_cast<const sockaddr *>(&from), fromLength);
            if (::recvfrom(tool, buffer.data(), buffer.size(), 0, nullptr, nullptr) < 0)
                break;
            ++answered;
        }
        run.seconds = double(clock.nsecsElapsed()) / 1e9;
        run.ok = answered == messages.size() && model.summary().verified;
    }
    if (tool >= 0)
        ::close(tool);
    if (device >= 0)
        ::close(device);
    return run;
}

} // namespace corvanel::bench
