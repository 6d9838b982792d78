#pragma once

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace corvanel::flash {

// How one host's transfer ended.
enum class Outcome {
    Ok,           // "END" (and "BOOTg" sent when asked for)
    DeviceError,  // the device answered "ERROR", or broke the protocol
    TimedOut,     // no "VER=" within the inquiry time-out, or no reply to a line
    FileError,    // the image could not be read or was refused by --check
    NetworkError, // the socket could not be opened, or a datagram could not be sent
    Interrupted,  // stopped by Ctrl-C (or a termination request)
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
inline constexpr int kInterrupted = 130; // 128 + SIGINT, as shells report it
} // namespace exitcode

int exitCodeFor(Outcome outcome);

// 0 when every host ended Ok; when all failing hosts failed the same way, that
// way's code; when they failed in different ways, kMixedFailures. An interrupt
// outranks everything: the run did not finish.
int combinedExitCode(const QList<Outcome> &outcomes);

// The word in the summary's RESULT column and in JSON.
QString outcomeWord(Outcome outcome);

// Where the transfer stood when it ended.
enum class Phase { Connecting, Inquiry, Download, Verify, Install, Done };
QString phaseWord(Phase phase);

// One host's line of the summary.
struct HostReport {
    QString host;          // as given on the command line, without the port
    quint16 port = 0;      // remote port
    quint16 localPort = 0; // the port the link was bound to (0: never bound)
    Outcome outcome = Outcome::Ok;
    Phase phase = Phase::Connecting;
    int line = 0;      // the line sent last in that phase
    int lineCount = 0; // lines of the image
    bool installed = false;
    double seconds = 0;     // from connect to the end
    int resends = 0;        // datagrams sent again after a reply time-out
    int ignoredReplies = 0; // duplicates and stale inquiry answers left out
    QString reason;         // empty when Ok
    // The text after "VER=" in the reply that started the transfer; empty
    // when no board answered the inquiry.
    std::optional<QString> deviceVersion{};
    // UTC. An attempt's own report: that attempt's start and end, and
    // `seconds` its length. A host's summary row: its first attempt's start,
    // its last attempt's end, and `seconds` all of it.
    QDateTime start{};
    QDateTime end{};
    int attempt = 1;     // the attempt reported (a summary row: the last one made)
    int maxAttempts = 1; // the attempts allowed
    bool dryRun = false; // only waited for "VER="
    int stopSignal = 0;  // Interrupted: the signal that stopped it (SIGINT, SIGTERM, SIGHUP)

    QString address() const { return host + QLatin1Char(':') + QString::number(port); }
};

// A host's or an attempt's exit code: its outcome's, and 128 + the signal
// number when a signal stopped it, as the process itself then exits.
int exitCodeFor(const HostReport &report);

// The word in the summary's RESULT column and in JSON: the outcome's, but
// "READY" for a board that answered a dry run.
QString resultWord(const HostReport &report);

// The device's version as a report quotes it: the text after the first
// "VER=", CR, LF and spaces trimmed from both ends; empty when there is no
// "VER=".
std::optional<QString> versionText(QByteArrayView reply);

} // namespace corvanel::flash
