#pragma once

// A flasher's board on a fake clock, the test playing its driver: no socket,
// no timer. Links open at once (or fail as told), what goes out is written
// down as tokens, deadlines are handled the moment they come, and neighbour
// reads are answered with the MAC address the test sets.

#include "engine/board.h"

#include <QList>
#include <QStringList>

#include <utility>

namespace corvanel::testing {

struct BoardRig {
    QList<QByteArray> image;
    Board board;
    Millis now{0};
    // "i" an inquiry, "g" "BOOTg", "d<n>"/"v<n>" line n of the download/verify
    // pass ("!" after one that could not be sent), "open" (with details: the
    // port to avoid, ":5600", and the time, "@1000"), "close", "flush".
    QStringList out;
    bool openDetails = false;
    QList<HostReport> attempts, boards; // boards: done, and back (reason "back")
    std::optional<HostReport> summary;
    bool finished = false;
    int badOpens = 0;
    bool failSend = false;
    quint16 nextPort = 5600;
    std::optional<QString> mac; // what the neighbour table holds
    QByteArray done;            // the record that shows the board done (skipDone)

    static SharedLines share(const QList<QByteArray> &lines)
    {
        TextLines table;
        for (const QByteArray &line : lines)
            table.append(line);
        return TextLines::share(std::move(table));
    }

    BoardRig(const QList<QByteArray> &lines, const HostSettings &host,
             const Production &production = {})
        : image(lines), board(Policy::strict(host.limits), host, production, share(lines))
    {
    }

    QString token(const QByteArray &datagram) const
    {
        if (datagram == protocol::kInquiry || datagram == protocol::kInstall)
            return QString::fromLatin1(datagram.mid(4, 1));
        QByteArray line = datagram.mid(4).chopped(2);
        const bool verify = line.startsWith('#');
        line.replace('#', ':');
        return QLatin1Char(verify ? 'v' : 'd') + QString::number(image.indexOf(line) + 1);
    }

    void drive()
    {
        while (const BoardOutput *output = board.poll()) {
            if (const auto *event = std::get_if<BoardEvent>(output)) {
                if (event->kind == BoardEvent::Kind::AttemptEnded)
                    attempts << *event->report;
                else if (event->kind == BoardEvent::Kind::BoardDone)
                    boards << *event->report, summary = *event->report;
                else if (event->kind == BoardEvent::Kind::BoardBack)
                    boards << *event->report, boards.last().reason = QStringLiteral("back");
                else if (event->kind == BoardEvent::Kind::Finished)
                    finished = true;
                continue;
            }
            const LinkEffect &e = std::get<LinkEffect>(*output);
            switch (e.kind) {
            case LinkEffect::Kind::Send:
                out << token(e.bytes) + QLatin1String(failSend ? "!" : "");
                if (std::exchange(failSend, false))
                    board.handleSendFailure(now, QStringLiteral("Network unreachable"));
                break;
            case LinkEffect::Kind::OpenLink: {
                QString open = QStringLiteral("open");
                if (openDetails && e.avoidPort)
                    open += QStringLiteral(":%1").arg(e.avoidPort);
                if (openDetails && now.count())
                    open += QStringLiteral("@%1").arg(now.count());
                out << open;
                const quint16 fixed = e.localPort.value_or(0);
                if (badOpens-- > 0)
                    board.linkFailed(now, QStringLiteral("port 6000 is in use"));
                else
                    board.linkOpened(now, fixed ? fixed : nextPort++);
                break;
            }
            case LinkEffect::Kind::CloseLink:
                out << QStringLiteral("close");
                break;
            case LinkEffect::Kind::FlushNeighbour:
            case LinkEffect::Kind::FlushArpCache:
                out << QStringLiteral("flush");
                break;
            case LinkEffect::Kind::ReadNeighbour:
                board.neighbourRead(now, mac, done);
                break;
            }
        }
    }

    // The clock moves on to `time`, every deadline on the way handled when it comes.
    void advanceTo(Millis time)
    {
        int handled = 0;
        for (auto due = board.nextDeadline(); due && *due <= time; due = board.nextDeadline()) {
            if (++handled > 10000) { // a deadline that never passes would spin the driver
                out << QStringLiteral("stuck");
                break;
            }
            now = std::max(now, *due);
            board.handleTimeout(now);
            drive();
        }
        now = std::max(now, time);
    }

    // A reply ("OK@5000": from port 5000, else 111), "+ms", "stranger",
    // "sig<n>", "!send" (the next send fails), "mac=A" ("mac=": unknown), or
    // "done=R" (the board's record says it is done; "done=": it does not).
    void step(const QString &step)
    {
        if (step.startsWith(QLatin1Char('+'))) {
            advanceTo(now + Millis(step.mid(1).toInt()));
        } else if (step == QLatin1String("stranger")) {
            board.handleStranger();
        } else if (step.startsWith(QLatin1String("sig"))) {
            board.interrupt(now, step.mid(3).toInt());
        } else if (step == QLatin1String("!send")) {
            failSend = true;
        } else if (step.startsWith(QLatin1String("done="))) {
            done = step.mid(5).toLatin1();
        } else if (step.startsWith(QLatin1String("mac="))) {
            mac = step.size() > 4 ? std::optional(step.mid(4)) : std::nullopt;
        } else {
            const quint16 port =
                quint16(step.contains(u'@') ? step.section(u'@', 1).toUInt() : 111);
            board.handleDatagram(now, step.section(u'@', 0, 0).toLatin1(), port);
        }
        drive();
        advanceTo(now);
    }

    void play(const QStringList &steps)
    {
        board.start(now);
        drive();
        for (const QString &s : steps)
            step(s);
    }
    void play(const QString &steps) { play(steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)); }
};

} // namespace corvanel::testing
