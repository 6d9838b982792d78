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
    // Successive boards on one port (0: the one board of old, whose "BOOTg"
    // ends the run). With boards: `failBoard` refuses every download record
    // (0: none); no board is in place for `swapTimeMs` between two, and a
    // failed one stays that long before it is taken away.
    int boards = 0;
    int failBoard = 0;
    int swapTimeMs = 2000;
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

// With --boards: how a board left, or that it is still in place.
enum class BoardResult {
    Installed,  // "BOOTg" with a complete, verified image
    Unverified, // "BOOTg" without one
    Failed,     // the --fail-board board, taken away after refusing the download
    Present,    // still in place
};
struct BoardRecord {
    int board = 0; // from 1
    BoardResult result = BoardResult::Present;
    ImageSummary image;
};
// "board 2 failed records=... verify-errors=0": a board as it left.
QString boardLine(const BoardRecord &record);
// "summary boards=3 installed=2 failed=1 unverified=0 present=0": the last line.
QString boardsSummaryLine(const QList<BoardRecord> &records);
QByteArray boardsJson(const QList<BoardRecord> &records);
// 0 when every board was installed with a verified image, the --fail-board one
// excepted (it fails as asked); 1 otherwise.
int boardsExitCode(const QList<BoardRecord> &records);

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

    // The board in place; with --boards, the one whose model this is (or the
    // last one while none is in place).
    const BootloaderModel &model() const { return model_; }
    int board() const { return board_; }
    // With --boards: the boards that came so far, the one in place last.
    QList<BoardRecord> boardRecords() const;
    int datagramsReceived() const { return received_; }
    int repliesSent() const { return sent_; }
    int repliesDropped() const { return dropped_; }

signals:
    // "BOOTg" arrived; exit code 0 when a complete, verified image was installed.
    void installed(int exitCode);
    void idleTimedOut();
    // With --boards: board `board` left (its record is in boardRecords()),
    // and, after the last one's swap time, the run is over.
    void boardLeft(int board);
    void boardsFinished(int exitCode);

private:
    void readPending();
    // With --boards: what "BOOTg" or the board's failure does, and the swap timer.
    void leave(BoardResult result);
    void swapTimedOut();
    BootloaderModel makeModel() const;
    void answer(const BootloaderModel::Outcome &outcome, const QHostAddress &to, quint16 port);
    bool dropNext();
    // Sends one datagram `holdMs` from now, plus the reordering hold.
    void sendLater(const QByteArray &datagram, const QHostAddress &to, quint16 port, int holdMs,
                   QLatin1StringView what);

    ServerOptions options_;
    BootloaderModel model_;
    QUdpSocket *socket_;
    QTimer *idleTimer_;
    // With --boards: the board in place, or none during the swap time.
    enum class Place { Present, Staying, Away };
    Place place_ = Place::Present;
    int board_ = 1;
    QTimer *swapTimer_;
    QList<BoardRecord> left_;
    QRandomGenerator random_;
    QRandomGenerator holdRandom_; // its own, so --reorder leaves the drops as they were
    QByteArray buffer_;
    int received_ = 0;
    int replies_ = 0;
    int sent_ = 0;
    int dropped_ = 0;
};

} // namespace corvanel::devsim
