#pragma once

// A flasher's Board against the in-process bootloader model over a simulated
// UDP network, all on one fake clock: each datagram is an event at the time
// it arrives, each deadline is handled at board.nextDeadline(). The network
// loses, delays, reorders and copies datagrams as a hostile one does, either
// scripted (the Nth datagram each way, counted from 1) or drawn from a seed,
// so every run can be played again exactly. A new link hears nothing sent to
// the last one, as a new port would not.

#include "engine/board.h"
#include "tools/devsim/bootloader_model.h"

#include <QMap>
#include <QRandomGenerator>
#include <QSet>

#include <map>

namespace corvanel::testing {

struct WireFaults {
    // Drawn for every datagram, from `seed`.
    double loss = 0;   // lost, each way
    double copies = 0; // arrives a second time, up to `copyLate` ms later, each way
    int copyLate = 200;
    int delay = 1;  // ms each way
    int jitter = 0; // up to this many ms more: datagrams overtake each other
    quint32 seed = 1;
    // Scripted: datagrams to the device (out) and replies (in), by number.
    QSet<int> loseOut, loseIn;
    QMap<int, int> lateIn; // reply -> ms later than it would come
    QMap<int, int> copyIn; // reply -> a copy this many ms after it
};

struct SimWire {
    Board board;
    devsim::BootloaderModel model;
    WireFaults faults;
    QRandomGenerator random;
    Millis now{0};
    int link = 0; // the open link's number; 0: none open
    std::optional<HostReport> summary;
    std::optional<devsim::ImageSummary> installed; // the model's image at "BOOTg"
    QHash<QByteArray, int> numbers;                // line -> its number, for the log
    // What happened, worded only when a failure shows it.
    struct Entry {
        Millis at;
        const char *what;
        QByteArray bytes; // shown as a line's token ("d5", "v5", "i", "g") or trimmed
        QString text{};
        bool token = false;
    };
    std::vector<Entry> log;

    SimWire(SharedLines image, const HostSettings &host, devsim::ModelOptions options,
            WireFaults wire)
        : board(Policy::strict(host.limits), host, {}, image), model(std::move(options)),
          faults(std::move(wire)), random(faults.seed)
    {
        for (qint64 n = image->count(); n >= 1; --n)
            numbers.insert(image->line(n), int(n));
    }

    // Plays the whole run; false when it stuck, or did not end within `limit`.
    bool run(Millis limit = Millis{600000})
    {
        board.start(now);
        drive();
        while (!board.isFinished()) {
            const auto deadline = board.nextDeadline();
            const bool datagram =
                !queue_.empty() && (!deadline || queue_.begin()->first.first <= *deadline);
            if (!datagram && !deadline)
                return false;
            now = datagram ? queue_.begin()->first.first : *deadline;
            if (now > limit)
                return false;
            if (datagram) {
                const Datagram d = queue_.begin()->second;
                queue_.erase(queue_.begin());
                d.toDevice ? arriveAtDevice(d) : arriveAtBoard(d);
            } else {
                board.handleTimeout(now);
            }
            drive();
        }
        return true;
    }

    // The exact image: every record downloaded, then verified, and no other bytes.
    bool holds(const devsim::ImageSummary &s, quint32 crc, qint64 bytes) const
    {
        return s.verified && s.downloadComplete && s.crc32 == crc && s.bytes == bytes &&
               s.records == board.lineCount();
    }

    void note(const QString &text) { log.push_back({now, "", {}, text}); }
    QString token(const QByteArray &m) const
    {
        if (m == protocol::kInquiry || m == protocol::kInstall)
            return QString::fromLatin1(m.mid(4, 1));
        const QByteArray line = m.mid(4).chopped(2).replace('#', ':');
        return QLatin1Char(m.at(4) == '#' ? 'v' : 'd') + QString::number(numbers.value(line));
    }
    // The last `lines` of the log, for a failure's message.
    QString logText(int lines = 150) const
    {
        QString text = QStringLiteral("event log, the last %1 of %2:")
                           .arg(std::min(size_t(lines), log.size()))
                           .arg(log.size());
        for (size_t i = log.size() > size_t(lines) ? log.size() - lines : 0; i < log.size(); ++i) {
            const Entry &e = log[i];
            text +=
                QStringLiteral("\n%1 %2 %3 %4")
                    .arg(e.at.count(), 7)
                    .arg(QLatin1String(e.what),
                         e.token ? token(e.bytes) : QString::fromLatin1(e.bytes.trimmed()), e.text);
        }
        return text;
    }

private:
    struct Datagram {
        int link;
        QByteArray bytes;
        bool toDevice;
    };
    std::map<std::pair<Millis, int>, Datagram> queue_; // by arrival, then by sending order
    int sequence_ = 0;

    // One datagram onto the wire, with the drawn faults (always drawn, so a
    // seed gives the same run whatever else a row sets).
    void transmit(const Datagram &d, bool lost, int late, std::optional<int> copyAfter)
    {
        const bool drawnLoss = random.generateDouble() < faults.loss;
        const bool drawnCopy = random.generateDouble() < faults.copies;
        const int jitter = int(random.bounded(faults.jitter + 1));
        const int copyLate = int(random.bounded(faults.copyLate + 1));
        const char *way = d.toDevice ? "to device" : "to board";
        if (lost || drawnLoss)
            return log.push_back({now, way, d.bytes, QStringLiteral("lost"), d.toDevice});
        const Millis at = now + Millis(faults.delay + jitter + late);
        queue_.emplace(std::pair{at, ++sequence_}, d);
        if (drawnCopy && !copyAfter)
            copyAfter = copyLate;
        if (copyAfter)
            queue_.emplace(std::pair{at + Millis(*copyAfter), ++sequence_}, d);
        log.push_back(
            {now, way, d.bytes,
             copyAfter ? QStringLiteral("and a copy %1 ms later").arg(*copyAfter) : QString(),
             d.toDevice});
    }

    void arriveAtDevice(const Datagram &d)
    {
        const devsim::BootloaderModel::Outcome o = model.handle(d.bytes);
        log.push_back({now, "device gets", d.bytes, o.note, true});
        if (o.action == devsim::BootloaderModel::Action::Install) {
            installed = model.summary();
            return;
        }
        ++in_;
        const std::optional<int> copy =
            faults.copyIn.contains(in_) ? std::optional(faults.copyIn[in_]) : std::nullopt;
        transmit({d.link, o.reply, false}, faults.loseIn.contains(in_), faults.lateIn.value(in_),
                 copy);
    }

    void arriveAtBoard(const Datagram &d)
    {
        if (d.link != link)
            return log.push_back({now, "closed link gets", d.bytes});
        const Heard heard = board.handleDatagram(now, d.bytes, protocol::kDefaultRemotePort);
        log.push_back({now, "board gets", d.bytes,
                       verdictText(heard.verdict) + (heard.copy ? ", a copy" : "")});
    }

    void drive()
    {
        while (const BoardOutput *output = board.poll()) {
            if (const auto *event = std::get_if<BoardEvent>(output)) {
                if (event->kind == BoardEvent::Kind::AttemptEnded)
                    note(QStringLiteral("attempt %1 ended: %2 %3")
                             .arg(event->report->attempt)
                             .arg(resultWord(*event->report), event->report->reason));
                else if (event->kind == BoardEvent::Kind::BoardDone)
                    summary = *event->report;
                continue;
            }
            const LinkEffect &e = std::get<LinkEffect>(*output);
            if (e.kind == LinkEffect::Kind::OpenLink) {
                link = ++links_;
                note(QStringLiteral("open link %1").arg(link));
                board.linkOpened(now, quint16(5600 + link));
            } else if (e.kind == LinkEffect::Kind::CloseLink) {
                note(QStringLiteral("close link %1").arg(link));
                link = 0;
            } else if (e.kind == LinkEffect::Kind::Send) {
                ++out_;
                transmit({link, e.bytes, true}, faults.loseOut.contains(out_), 0, std::nullopt);
            }
        }
    }
    int links_ = 0, out_ = 0, in_ = 0; // links opened, datagrams to the device, replies
};

} // namespace corvanel::testing
