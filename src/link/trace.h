#pragma once

#include "engine/policy.h"
#include "engine/reply_rules.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <cstdio>
#include <optional>

namespace corvanel {

// The datagram trace of -v and --trace: one line per datagram in or out of
// any lane, with the time since the run began, the lane's HOST:PORT, the
// direction, the datagram quoted and what the rules made of it:
//
//     0.012  127.0.0.1:111  in   "VER=DEVSIM 1.0"  answer
//
// The drivers hold a pointer that is null when tracing is off, so an
// untraced run pays nothing for it. Lines go out whole as they come, so a
// trace read while a long run goes on (tail -f) is never behind.
class Trace {
public:
    enum class Direction { In, Out };

    // `console` receives the lines (-v; null: not), `errors` once a failure
    // to write the file, said as `program`'s.
    Trace(std::FILE *console, std::FILE *errors, QString program);
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // --trace FILE: appended to, after the run's header line. The error
    // names the file.
    std::optional<QString> openFile(const QString &path, const QString &header);

    void datagram(Millis at, const QString &host, Direction direction, QByteArrayView bytes,
                  const QString &note);
    // What became of a datagram from the device's address (from `fromPort`;
    // the device answers from `devicePort`, it was sent to `sentTo`).
    static QString note(const Heard &heard, quint16 fromPort, quint16 devicePort, quint16 sentTo);
    // -vv: the deadlines that came for a lane, by name.
    void timers(Millis at, const QString &host, const QString &names);

    static QString line(Millis at, const QString &host, Direction direction, QByteArrayView bytes,
                        const QString &note);
    // "# corvanel-flash 4.0 2025-03-01T08:15:02.125Z: corvanel-flash -v a.hex 10.0.0.7",
    // the arguments quoted as a shell would need them.
    static QString header(const QString &program, const QString &version, const QString &utcTime,
                          const QStringList &arguments);

private:
    void write(const QString &line);

    std::FILE *console_;
    std::FILE *errors_;
    QString program_;
    QFile file_;
    bool consoleFailed_ = false;
};

} // namespace corvanel
