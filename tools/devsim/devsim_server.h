#pragma once

#include "common/command_line.h"
#include "tools/devsim/bootloader_model.h"

#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>

#include <optional>
#include <variant>

class QUdpSocket;
class QTimer;

namespace corvanel::devsim {

struct ServerOptions {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 111;
    ModelOptions model;
    int dropEvery = 0;     // drop every Nth reply (0: none)
    int dropReply = 0;     // drop only reply number N (0: none)
    double dropRate = 0.0; // drop this share of replies, drawn from `seed`
    quint32 seed = 1;
    int delayMs = 0;        // hold each reply this long
    bool duplicate = false; // send each reply twice
    // A hostile network: the faults below come on top of the ones above.
    std::optional<int> lateCopyMs; // send each reply again this much later
    QByteArray lateCopyToken;      // copy only replies that contain this (empty: all)
    int reorderMs = 0;             // hold each datagram a further 0..reorderMs, from `seed`
    int fakeDownloadLine = 0;      // an extra "DOWNLOAD" before the answer to this record (0: none)
    int lateAnswerLine = 0;        // answer this download record late (0: none)...
    int lateAnswerMs = 0;          // ...by this much
    int idleTimeoutSeconds = 0;    // quit after this long without a datagram (0: never)
    QString summaryJson;           // where to write the install summary as JSON
    bool verbose = false;          // log every message and reply on stderr
};

// The simulator's command line: its options, --help, man page and completion.
const cli::Definition &commandLine();

// The command line: options, or the text to print (help, version, or an error).
struct ParsedCommandLine {
    std::optional<ServerOptions> options;
    QString message;
    bool isError = false;
};
ParsedCommandLine parseCommandLine(const QStringList &arguments);

// Binding is only allowed on 127.0.0.0/8: the simulator must never answer on
// a real network.
bool isAllowedBindAddress(const QHostAddress &address);

// The summary printed on "BOOTg": one line of key=value pairs.
QString summaryLine(const ImageSummary &summary);
QByteArray summaryJson(const ImageSummary &summary);

// The bootloader on a loopback UDP socket, with the wire's faults.
class DevsimServer : public QObject {
    Q_OBJECT
public:
    explicit DevsimServer(ServerOptions options, QObject *parent = nullptr);
    ~DevsimServer() override;

    // Binds; the error text when it cannot.
    std::optional<QString> start();
    quint16 port() const;
    QHostAddress address() const;

    const BootloaderModel &model() const { return model_; }
    int datagramsReceived() const { return received_; }
    int repliesSent() const { return sent_; }
    int repliesDropped() const { return dropped_; }

signals:
    // "BOOTg" arrived; exit code 0 when a complete, verified image was installed.
    void installed(int exitCode);
    void idleTimedOut();

private:
    void readPending();
    void answer(const BootloaderModel::Outcome &outcome, const QHostAddress &to, quint16 port);
    bool dropNext();
    // Sends one datagram `holdMs` from now, plus the reordering hold.
    void sendLater(const QByteArray &datagram, const QHostAddress &to, quint16 port, int holdMs,
                   QLatin1StringView what);

    ServerOptions options_;
    BootloaderModel model_;
    QUdpSocket *socket_;
    QTimer *idleTimer_;
    QRandomGenerator random_;
    QRandomGenerator holdRandom_; // its own, so --reorder leaves the drops as they were
    QByteArray buffer_;
    int received_ = 0;
    int replies_ = 0;
    int sent_ = 0;
    int dropped_ = 0;
};

} // namespace corvanel::devsim
