#pragma once

#include "engine/policy.h"
#include "engine/reply_rules.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace corvanel {

// Where a board's transfer stands, as reports and the live view name it.
enum class Phase {
    NotConnected,
    Polling,    // connected, inquiring; no pass has begun
    Ready,      // connected, an image loaded after polling stopped; the next "OK" starts it
    Download,   // the download pass
    Verify,     // the verify pass (unattended: also while its end is confirmed)
    Ended,      // "END": downloaded and verified
    Failed,     // the device answered "ERROR", or (unattended) the transfer could not go on
    Installing, // "BOOTg" sent; the link closes once it has left
};

// Why a transfer stopped, as typed values; front ends word it.
struct TransferFailure {
    enum class Kind {
        None,
        DeviceError, // the device answered "ERROR"
        // A reply that no datagram sent explains: the network copies replies
        // (or the device answers out of turn), so no reply proves which line
        // it answers and the image cannot be proven.
        Unpaired,
        NoVersion,  // no "VER=" within the inquiry time-out
        NoAnswer,   // no answer to a line within the reply time-out, after retries
        SendFailed, // a datagram could not be handed to the network
    };
    Kind kind = Kind::None;
    Phase phase = Phase::NotConnected; // where it stood: Polling, Download, Verify, Installing
    int line = 0;                      // the line in flight (0 while polling)
    int sends = 0;                     // how often that line went out
    QByteArray reply; // the reply that stopped it, or the last one left out instead
    Verdict instead = Verdict::Answer; // why that reply was left out
    // A refusal after the end: how long after the verify pass's "DOWNLOAD"
    // (phase Verify) or after "BOOTg" (phase Installing) it came.
    std::optional<Millis> afterEnd;
};

// How one board's run (or one attempt of it) ended.
enum class Outcome {
    Ok,           // "END" (and "BOOTg" sent when asked for); a dry run: "VER=" came
    DeviceError,  // the device answered "ERROR", broke the protocol, or replies could not be paired
    TimedOut,     // no "VER=" within the inquiry time-out, or no reply to a line
    FileError,    // the image could not be read or was refused
    NetworkError, // the socket could not be opened, or a datagram could not be sent
    Interrupted,  // stopped by a signal
    Skipped,      // the board already holds the image (a record says so); nothing sent
};

// The process exit codes; scripts rely on them, so they never change.
namespace exitcode {
inline constexpr int kOk = 0;
inline constexpr int kDeviceError = 1;
inline constexpr int kUsage = 2;
inline constexpr int kTimeout = 3;
inline constexpr int kFileError = 4;
inline constexpr int kNetworkError = 5;
inline constexpr int kMixedFailures = 6; // hosts failed in different ways
inline constexpr int kSignalBase = 128;  // + the signal's number, as shells report it
inline constexpr int kInterrupted = 130; // Ctrl-C
} // namespace exitcode

// An outcome's exit code; an interrupt is 128 + the signal's number.
int exitCodeFor(Outcome outcome, int signal = 0);

// One board's run, as its report gives it: an attempt's own, or the board's
// summary row over all its attempts.
struct HostReport {
    QString host;          // as given, without the port
    quint16 port = 0;      // remote port
    quint16 localPort = 0; // the port the link was bound to (0: never bound)
    quint16 replyPort = 0; // the port the device answered from (0: it never answered)
    Outcome outcome = Outcome::Ok;
    int exitCode = 0;                  // the outcome's, a signal's for an interrupt
    Phase phase = Phase::NotConnected; // where it stood when it ended
    int line = 0;                      // the line sent last in that phase
    int lineCount = 0;                 // lines of the image
    bool installed = false;
    int resends = 0;        // datagrams sent again after a reply time-out
    int ignoredReplies = 0; // datagrams left out: strangers, copies, late replies
    QString reason;         // empty when Ok
    // The text after "VER=" in the reply that started the transfer; empty
    // when no board answered the inquiry.
    std::optional<QString> deviceVersion{};
    // Monotonic times. An attempt: its own start and end. A summary row: the
    // first attempt's start and the last one's end.
    Millis startedAt{0};
    Millis endedAt{0};
    int attempt = 1;     // the attempt reported (a summary row: the last one made)
    int maxAttempts = 1; // the attempts allowed
    bool dryRun = false; // only waited for "VER="
    // Continuous production: the board's number in its lane, from 1 (0: not
    // continuous), and its hardware address where the neighbour table knows it.
    int board = 0;
    std::optional<QString> mac{};
    // Skipped: the record relied on, as the report holds it (a JSON object).
    QByteArray reliedOn{};

    double seconds() const { return double((endedAt - startedAt).count()) / 1000.0; }
    QString address() const { return host + QLatin1Char(':') + QString::number(port); }
};

// A failure as a record's reason says it: what, where, and what came instead.
QString failureReason(const TransferFailure &failure, int lineCount, const StrictLimits &limits,
                      const QString &sendError);
// The outcome a failure gives a board.
Outcome outcomeOf(TransferFailure::Kind kind);

// The words of the reports: "END", "ERROR", "TIMEOUT", ...; "READY" for a
// board that answered a dry run.
QString outcomeWord(Outcome outcome);
QString resultWord(const HostReport &report);
// "connect", "inquiry", "download", "verify", "install", "done".
QString phaseWord(Phase phase);

// The device's version as a report quotes it: the text after the first
// "VER=", CR, LF and spaces trimmed from both ends; empty when there is none.
std::optional<QString> versionText(QByteArrayView reply);
// "0.3 s", "30 s": a duration as the options take it.
QString secondsText(Millis duration);
// A reply quoted on one line of a report: printable ASCII, the rest as \xNN.
QString quotedReply(QByteArrayView reply);

} // namespace corvanel
