#include "records/shift_summary.h"

#include "records/record_line.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvanel::records {

namespace {

constexpr int kNamedBadLines = 10;
constexpr int kMaxCauses = 200;     // rows of a Pareto table; the rest are "other"
constexpr int kMaxResults = 32;     // distinct result words
constexpr int kMaxImages = 64;      // distinct images listed
constexpr int kMaxBackNamed = 1000; // boards back listed by name
constexpr int kMaxBackResults = 8;
constexpr size_t kMaxOpenBoards = 100000; // boards with attempts still to come
constexpr size_t kMaxFailuresKept = 16;   // failed attempts kept per board
constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kMaxBoardMs = 24 * kHourMs; // a longer board marks a day as running at most
constexpr int kMaxHourBars = 72;             // beyond, the chart has a bar a day
constexpr int kMaxDayBars = 400;

const QString kOtherCauses = QStringLiteral("(other causes)");

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

QString fromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QDateTime timeOf(EpochMs ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
}

// How long boards took: 10 ms steps below 100 s, 1 s steps up to 10,000 s,
// anything longer in the last step. Exact enough for a median, and bounded.
class DurationHistogram {
public:
    void add(double seconds)
    {
        if (bins_.empty())
            bins_.assign(size_t(kFine + kCoarse), 0);
        const int bin = seconds < 99.995 ? int(std::lround(seconds * 100.0))
                                         : kFine + std::min(kCoarse - 1, int(seconds - 100.0));
        ++bins_[size_t(bin)];
        ++count_;
    }

    std::optional<double> median() const
    {
        if (count_ == 0)
            return std::nullopt;
        const qint64 low = (count_ - 1) / 2;
        const qint64 high = count_ / 2;
        std::optional<double> lowValue;
        qint64 seen = 0;
        for (size_t bin = 0; bin < bins_.size(); ++bin) {
            seen += bins_[bin];
            if (!lowValue && seen > low)
                lowValue = valueOf(int(bin));
            if (seen > high)
                return (*lowValue + valueOf(int(bin))) / 2.0;
        }
        return lowValue;
    }

private:
    static constexpr int kFine = 10000;
    static constexpr int kCoarse = 9900;

    static double valueOf(int bin) { return bin < kFine ? bin / 100.0 : 100.5 + (bin - kFine); }

    std::vector<quint32> bins_;
    qint64 count_ = 0;
};

// The minutes in which a board was being flashed, a bit each.
class MinuteSet {
public:
    void add(EpochMs from, EpochMs to)
    {
        to = std::min(to, from + kMaxBoardMs);
        for (qint64 minute = floorDiv(from, kMinuteMs); minute <= floorDiv(to, kMinuteMs);
             ++minute) {
            const qint64 day = floorDiv(minute, kDay);
            const auto in = minute - day * kDay;
            if (!lastDay_ || lastDayKey_ != day) {
                lastDay_ = &days_[day];
                lastDayKey_ = day;
            }
            (*lastDay_)[size_t(in / 64)] |= quint64(1) << (in % 64);
        }
    }

    // The minutes marked, and the pauses between them of at most `idle` minutes.
    qint64 runningMinutes(int idle) const
    {
        qint64 total = 0;
        qint64 last = LLONG_MIN;
        for (const auto &[day, words] : days_) {
            for (size_t w = 0; w < words.size(); ++w) {
                for (quint64 bits = words[w]; bits != 0; bits &= bits - 1) {
                    const qint64 minute = day * kDay + qint64(w) * 64 + __builtin_ctzll(bits);
                    if (last != LLONG_MIN && minute - last - 1 <= idle)
                        total += minute - last - 1;
                    ++total;
                    last = minute;
                }
            }
        }
        return total;
    }

private:
    static constexpr qint64 kDay = 1440;
    std::map<qint64, std::array<quint64, 23>> days_;
    std::array<quint64, 23> *lastDay_ = nullptr;
    qint64 lastDayKey_ = 0;
};

struct ParetoTally {
    QHash<QString, ParetoRow> rows;
    ParetoRow other{kOtherCauses, 0, 0, {}};

    ParetoRow &row(const QString &cause, QStringView example)
    {
        auto it = rows.find(cause);
        if (it == rows.end()) {
            if (rows.size() >= kMaxCauses)
                return other;
            it = rows.insert(cause, ParetoRow{cause, 0, 0, example.left(300).toString()});
        }
        return *it;
    }

    QList<ParetoRow> sorted() const
    {
        QList<ParetoRow> list = rows.values();
        if (other.attempts || other.boards)
            list.append(other);
        std::sort(list.begin(), list.end(), [](const ParetoRow &a, const ParetoRow &b) {
            if (a.attempts != b.attempts)
                return a.attempts > b.attempts;
            if (a.boards != b.boards)
                return a.boards > b.boards;
            return a.cause < b.cause;
        });
        // An example only where the cause is not the reason itself.
        for (ParetoRow &r : list) {
            if (normalisedReason(r.example) == r.example)
                r.example.clear();
        }
        return list;
    }
};

struct StationTally {
    QString name;
    qint64 boards = 0, firstPass = 0, passed = 0, failedAttempts = 0;
    qint64 flashedBefore = 0, unidentified = 0, dryRuns = 0, dryRunsReady = 0, skipped = 0;
    std::vector<std::pair<std::string, qint64>> results; // few: a linear look is fastest
    ParetoTally reasons, phases;
    DurationHistogram durations;
    MinuteSet minutes;
    EpochMs first = LLONG_MAX, last = LLONG_MIN;
};

struct FailedAttempt {
    QString cause;
    QString reason;
    QString phase;
};

// One board: its attempts so far.
struct Board {
    StationTally *station = nullptr;
    std::string host, result, image, sha256, mac;
    int port = 0, board = 0, firstAttempt = 1, lastAttempt = 1, maxAttempts = 1;
    bool firstEnded = false, hasMac = false, hasSha256 = false;
    double seconds = 0;
    EpochMs start = 0, end = 0;
    std::vector<FailedAttempt> failures;
    qint64 moreFailures = 0;
    FailedAttempt lastFailure;
};

void countResult(std::vector<std::pair<std::string, qint64>> &results, std::string_view result)
{
    for (auto &[word, count] : results) {
        if (word == result) {
            ++count;
            return;
        }
    }
    if (results.size() + 1 < kMaxResults || result == "(other)")
        results.emplace_back(result, 1);
    else
        countResult(results, "(other)");
}

bool ended(std::string_view result)
{
    return result == "END";
}

// No further attempt follows one that ended so.
bool lastOfBoard(const AttemptLine &a)
{
    return ended(a.result) || a.result == "STOPPED" || a.result == "FILE" ||
           a.attempt >= a.maxAttempts;
}

// The words a result is kept as in the set of identities (4 bits).
constexpr std::string_view kResultCodes[] = {"",        "END",  "ERROR",  "TIMEOUT",
                                             "NETWORK", "FILE", "STOPPED"};

int resultCode(std::string_view result)
{
    for (int i = 1; i < int(std::size(kResultCodes)); ++i) {
        if (kResultCodes[i] == result)
            return i;
    }
    return 7;
}

QString resultOfCode(int code)
{
    return code > 0 && code < int(std::size(kResultCodes))
               ? QString::fromLatin1(kResultCodes[code].data(),
                                     qsizetype(kResultCodes[code].size()))
               : QStringLiteral("other");
}

// Every board identity seen, for the boards that come back: 8 bytes a MAC
// address in an open-addressing table, with how often it was flashed (up to
// 3) and its first result packed beside it.
class IdentitySet {
public:
    struct Seen {
        int times = 0; // before this board
        int firstResult = 0;
    };

    Seen note(quint64 mac, int result)
    {
        if ((used_ + 1) * 10 > slots_.size() * 7)
            grow();
        quint64 &slot = find(slots_, mac);
        if (slot == 0) {
            slot = kUsed | mac | quint64(result) << 48 | quint64(1) << 52;
            ++used_;
            return {};
        }
        const Seen seen{int((slot >> 52) & 3), int((slot >> 48) & 15)};
        if (seen.times < 3)
            slot += quint64(1) << 52;
        return seen;
    }

private:
    static constexpr quint64 kUsed = quint64(1) << 63;
    static constexpr quint64 kMacMask = (quint64(1) << 48) - 1;

    static quint64 &find(std::vector<quint64> &table, quint64 mac)
    {
        // MurmurHash3's finaliser: every bit of the address moves the slot.
        quint64 h = mac ^ (mac >> 33);
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        const size_t mask = table.size() - 1;
        for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
            if (table[i] == 0 || (table[i] & kMacMask) == mac)
                return table[i];
        }
    }

    void grow()
    {
        std::vector<quint64> bigger(std::max<size_t>(1024, slots_.size() * 2), 0);
        for (quint64 slot : slots_) {
            if (slot)
                find(bigger, slot & kMacMask) = slot;
        }
        slots_.swap(bigger);
    }

    std::vector<quint64> slots_;
    size_t used_ = 0;
};

StationSummary summaryOf(const StationTally &t, int idleMinutes)
{
    StationSummary s;
    s.station = t.name;
    s.boards = t.boards;
    s.firstPass = t.firstPass;
    s.passed = t.passed;
    s.failedAttempts = t.failedAttempts;
    for (const auto &[word, count] : t.results)
        s.results.append({fromUtf8(word), count});
    std::sort(s.results.begin(), s.results.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    s.reasons = t.reasons.sorted();
    s.phases = t.phases.sorted();
    const qint64 minutes = t.boards ? t.minutes.runningMinutes(idleMinutes) : 0;
    s.runningHours = double(minutes) / 60.0;
    if (minutes > 0)
        s.boardsPerHour = double(t.boards) / s.runningHours;
    s.medianSeconds = t.durations.median();
    s.flashedBefore = t.flashedBefore;
    s.unidentified = t.unidentified;
    s.dryRuns = t.dryRuns;
    s.dryRunsReady = t.dryRunsReady;
    s.skipped = t.skipped;
    if (t.boards) {
        s.first = timeOf(t.first);
        s.last = timeOf(t.last);
    }
    return s;
}

} // namespace

struct ShiftTally::State {
    SummaryOptions options;
    EpochMs since = LLONG_MIN;
    EpochMs until = LLONG_MAX;
    QStringList inputs;
    qint64 records = 0;
    qint64 badLines = 0;
    QList<BadLine> namedBadLines;
    std::unordered_map<std::string, std::unique_ptr<StationTally>> stations;
    StationTally *lastStation = nullptr;
    StationTally total;
    std::unordered_map<std::string, Board> open; // station, host, port, board
    std::string key;
    Board current;
    IdentitySet macs;
    QHash<QByteArray, IdentitySet::Seen> addresses; // station, host:port (or a MAC not read)
    qint64 boardsBack = 0;
    QHash<QString, BoardBack> back;
    struct ImageTally {
        std::string sha256, file;
        bool hasSha256 = false;
        qint64 boards = 0;
        EpochMs first = LLONG_MAX, last = LLONG_MIN;
    };
    std::vector<ImageTally> images; // a line flashes few images: a linear look
    ImageTally otherImages{{}, "(other images)", false, 0, LLONG_MAX, LLONG_MIN};
    size_t lastImage = 0;
    std::map<qint64, std::pair<qint64, qint64>> hours; // passed, failed

    bool inRange(EpochMs at) const { return at >= since && at < until; }

    StationTally &station(std::string_view name)
    {
        if (lastStation && lastStationName == name)
            return *lastStation;
        auto it = stations.find(std::string(name));
        if (it == stations.end()) {
            auto tally = std::make_unique<StationTally>();
            tally->name = fromUtf8(name);
            it = stations.emplace(std::string(name), std::move(tally)).first;
        }
        lastStation = it->second.get();
        lastStationName = name;
        return *lastStation;
    }
    std::string lastStationName;

    void badLine(const QString &name, qint64 line, const QString &problem)
    {
        if (++badLines <= kNamedBadLines)
            namedBadLines.append(
                {shownInput(name) + QLatin1Char(':') + QString::number(line), problem});
    }

    void take(const AttemptLine &a)
    {
        ++records;
        StationTally &st = station(a.station);
        if (a.dryRun || a.result == "SKIPPED") {
            if (!inRange(a.start))
                return;
            for (StationTally *t : {&st, &total}) {
                if (a.result == "SKIPPED") {
                    ++t->skipped;
                } else {
                    ++t->dryRuns;
                    t->dryRunsReady += a.result == "READY";
                }
            }
            return;
        }
        if (!open.empty()) {
            makeKey(a);
            const auto it = open.find(key);
            if (it != open.end()) {
                Board &b = it->second;
                if (a.attempt == b.lastAttempt + 1) {
                    addAttempt(b, a);
                    if (lastOfBoard(a)) {
                        finish(b);
                        open.erase(it);
                    }
                    return;
                }
                finish(b);
                open.erase(it);
            }
        }
        Board &b = current;
        b.station = &st;
        b.host.assign(a.host);
        b.port = a.port;
        b.board = a.board;
        b.firstAttempt = a.attempt;
        b.firstEnded = ended(a.result);
        b.seconds = 0;
        b.start = a.start;
        b.end = a.end;
        b.failures.clear();
        b.moreFailures = 0;
        addAttempt(b, a);
        if (lastOfBoard(a)) {
            finish(b);
            return;
        }
        if (open.size() >= kMaxOpenBoards)
            finishOpen();
        makeKey(a);
        open.insert_or_assign(key, b);
    }

    // The board's key among the open ones: station, host, port, board.
    void makeKey(const AttemptLine &a)
    {
        key.assign(a.station).append(1, '\0').append(a.host);
        char numbers[16];
        key.append(1, '\0');
        key.append(numbers, std::to_chars(numbers, numbers + sizeof numbers, a.port).ptr);
        key.append(1, '\0');
        key.append(numbers, std::to_chars(numbers, numbers + sizeof numbers, a.board).ptr);
    }

    void addAttempt(Board &b, const AttemptLine &a)
    {
        b.lastAttempt = a.attempt;
        b.maxAttempts = a.maxAttempts;
        b.result.assign(a.result);
        b.image.assign(a.image);
        b.hasSha256 = a.hasSha256;
        b.sha256.assign(a.sha256);
        if (a.hasMac) {
            b.hasMac = true;
            b.mac.assign(a.mac);
        } else if (a.attempt == b.firstAttempt) {
            b.hasMac = false;
        }
        b.seconds += a.seconds;
        b.end = std::max(b.end, a.end);
        if (ended(a.result))
            return;
        const QString reason = fromUtf8(a.reason.substr(0, 2048));
        b.lastFailure = {reason.isEmpty() ? QStringLiteral("(no reason given)")
                                          : normalisedReason(reason),
                         reason, a.phase.empty() ? QStringLiteral("(unknown)") : fromUtf8(a.phase)};
        if (b.failures.size() < kMaxFailuresKept)
            b.failures.push_back(b.lastFailure);
        else
            ++b.moreFailures;
    }

    void finish(const Board &b)
    {
        if (!inRange(b.start))
            return;
        const bool passed = ended(b.result);
        for (StationTally *t : {b.station, &total}) {
            ++t->boards;
            t->firstPass += b.firstAttempt == 1 && b.firstEnded;
            t->passed += passed;
            t->failedAttempts += qint64(b.failures.size()) + b.moreFailures;
            countResult(t->results, b.result);
            for (const FailedAttempt &f : b.failures) {
                ++t->reasons.row(f.cause, f.reason).attempts;
                ++t->phases.row(f.phase, f.phase).attempts;
            }
            if (b.moreFailures) {
                t->reasons.row(b.lastFailure.cause, b.lastFailure.reason).attempts +=
                    b.moreFailures;
                t->phases.row(b.lastFailure.phase, b.lastFailure.phase).attempts += b.moreFailures;
            }
            if (passed) {
                t->durations.add(b.seconds);
            } else {
                ++t->reasons.row(b.lastFailure.cause, b.lastFailure.reason).boards;
                ++t->phases.row(b.lastFailure.phase, b.lastFailure.phase).boards;
            }
            t->minutes.add(b.start, b.end);
            t->first = std::min(t->first, b.start);
            t->last = std::max(t->last, b.end);
        }
        auto &hour = hours[floorDiv(b.start, kHourMs)];
        (passed ? hour.first : hour.second) += 1;
        noteImage(b);
        noteIdentity(b);
    }

    void noteImage(const Board &b)
    {
        const auto same = [&b](const ImageTally &i) {
            return i.hasSha256 == b.hasSha256 && i.sha256 == b.sha256 && i.file == b.image;
        };
        if (lastImage >= images.size() || !same(images[lastImage])) {
            lastImage = size_t(std::find_if(images.begin(), images.end(), same) - images.begin());
            if (lastImage == images.size() && images.size() < kMaxImages)
                images.push_back({b.sha256, b.image, b.hasSha256});
        }
        ImageTally &use = lastImage < images.size() ? images[lastImage] : otherImages;
        ++use.boards;
        use.first = std::min(use.first, b.start);
        use.last = std::max(use.last, b.end);
    }

    void noteIdentity(const Board &b)
    {
        const int code = resultCode(b.result);
        IdentitySet::Seen seen;
        QString identity;
        bool byMac = false;
        const auto mac = b.hasMac ? macAddressBits(b.mac) : std::nullopt;
        if (mac) {
            seen = macs.note(*mac, code);
            byMac = true;
        } else if (b.hasMac || b.board == 0) {
            // Without a MAC address a device is its address on its station;
            // a fixture of a continuous run holds board after board, so
            // there the address tells nothing about the board.
            const QByteArray key = b.hasMac ? "mac\n" + QByteArray::fromStdString(b.mac)
                                            : b.station->name.toUtf8() + '\n' +
                                                  QByteArray::fromStdString(b.host) + ':' +
                                                  QByteArray::number(b.port);
            auto it = addresses.find(key);
            if (it == addresses.end()) {
                addresses.insert(key, IdentitySet::Seen{1, code});
            } else {
                seen = *it;
                it->times = std::min(it->times + 1, 3);
            }
            byMac = b.hasMac;
        } else {
            ++b.station->unidentified;
            ++total.unidentified;
            return;
        }
        if (seen.times == 0)
            return;
        ++b.station->flashedBefore;
        ++total.flashedBefore;
        if (mac)
            identity = macAddressText(*mac);
        else if (b.hasMac)
            identity = fromUtf8(b.mac);
        else
            identity = QStringLiteral("%1 %2:%3")
                           .arg(b.station->name, fromUtf8(b.host), QString::number(b.port));
        if (seen.times == 1) {
            ++boardsBack;
            if (back.size() < kMaxBackNamed)
                back.insert(identity,
                            BoardBack{identity, byMac, 1, {resultOfCode(seen.firstResult)}, {}});
        }
        const auto it = back.find(identity);
        if (it == back.end())
            return;
        ++it->times;
        if (it->results.size() < kMaxBackResults)
            it->results.append(fromUtf8(b.result));
        it->lastStation = b.station->name;
    }

    void finishOpen()
    {
        std::vector<const Board *> boards;
        boards.reserve(open.size());
        for (const auto &[key, board] : open)
            boards.push_back(&board);
        std::sort(boards.begin(), boards.end(),
                  [](const Board *a, const Board *b) { return a->start < b->start; });
        for (const Board *b : boards)
            finish(*b);
        open.clear();
    }

    QList<ChartBar> chart(int &hoursPerBar) const;
    QStringList notes() const;
};

QList<ChartBar> ShiftTally::State::chart(int &hoursPerBar) const
{
    hoursPerBar = 1;
    QList<ChartBar> bars;
    if (hours.empty())
        return bars;
    const qint64 first = hours.begin()->first;
    const qint64 last = hours.rbegin()->first;
    if (last - first < kMaxHourBars) {
        for (qint64 h = first; h <= last; ++h) {
            const auto it = hours.find(h);
            bars.append({timeOf(h * kHourMs), it == hours.end() ? 0 : it->second.first,
                         it == hours.end() ? 0 : it->second.second});
        }
        return bars;
    }
    // A bar a day, days as the zone shown has them.
    hoursPerBar = 24;
    const auto dayOf = [this](qint64 hour) {
        return timeOf(hour * kHourMs).toTimeZone(options.zone).date();
    };
    const QDate firstDay = std::max(dayOf(first), dayOf(last).addDays(1 - kMaxDayBars));
    for (QDate d = firstDay; d <= dayOf(last); d = d.addDays(1))
        bars.append({QDateTime(d, QTime(0, 0), options.zone), 0, 0});
    for (const auto &[hour, counts] : hours) {
        const qint64 index = firstDay.daysTo(dayOf(hour));
        if (index < 0)
            continue;
        bars[index].passed += counts.first;
        bars[index].failed += counts.second;
    }
    return bars;
}

QStringList ShiftTally::State::notes() const
{
    QStringList notes{
        QStringLiteral("A board is one device's run of attempts (same station, host, port and "
                       "board number, attempts 1, 2, ... in a row); its result is its last "
                       "attempt's. First pass: its first attempt ended in END. Final: its last "
                       "attempt did."),
        QStringLiteral("Boards per hour count only the time the line was running: every minute "
                       "in which a board was being flashed, and pauses of up to %1 minutes "
                       "between such minutes; longer pauses are idle and left out.")
            .arg(options.idleMinutes),
        QStringLiteral("Median seconds: boards that passed, all their attempts' seconds added, "
                       "to 0.01 s."),
        QStringLiteral("Failures count every attempt that did not end in END (ATTEMPTS) and the "
                       "boards whose last attempt ended so (BOARDS); numbers in reasons are "
                       "shown as # so that one cause is one row."),
        QStringLiteral("Boards back: boards flashed in more than one run, known by their MAC "
                       "address where the records have it, else (not continuous) by station "
                       "and host:port. Boards of continuous runs without a MAC address cannot "
                       "be told apart from one run to the next and are not looked for (%1).")
            .arg(total.unidentified),
        QStringLiteral("Dry runs (%1) and boards skipped as already done (%2) are not boards "
                       "flashed; they are counted apart.")
            .arg(total.dryRuns)
            .arg(total.skipped),
        QStringLiteral("A board belongs to the time of its first attempt's start; times are "
                       "shown in %1.")
            .arg(QString::fromUtf8(options.zone.id())),
    };
    return notes;
}

ShiftTally::ShiftTally(const SummaryOptions &options) : state_(std::make_unique<State>())
{
    state_->options = options;
    if (options.since.isValid())
        state_->since = options.since.toMSecsSinceEpoch();
    if (options.until.isValid())
        state_->until = options.until.toMSecsSinceEpoch();
}

ShiftTally::~ShiftTally() = default;

std::optional<QString> ShiftTally::add(const QString &name, QIODevice &device)
{
    State &s = *state_;
    s.inputs.append(name);
    LineReader reader(device);
    AttemptDecoder decoder;
    AttemptLine attempt;
    std::string_view line;
    while (reader.next(line)) {
        if (reader.tooLong()) {
            s.badLine(name, reader.lineNumber(),
                      QStringLiteral("longer than %1 bytes").arg(LineReader::kMaxLine));
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue; // a blank line holds no record
        if (const auto problem = decoder.decode(line, attempt)) {
            s.badLine(name, reader.lineNumber(),
                      reader.unfinished() ? *problem + QStringLiteral(" (the last line, "
                                                                      "unfinished)")
                                          : *problem);
            continue;
        }
        s.take(attempt);
    }
    if (!reader.error().isEmpty())
        return QStringLiteral("cannot read the report \"%1\": %2")
            .arg(shownInput(name), reader.error());
    return std::nullopt;
}

std::optional<QString> ShiftTally::addFile(const QString &path)
{
    QFile file;
    bool opened = false;
    if (path == QLatin1String("-")) {
        opened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    if (!opened)
        return QStringLiteral("cannot read the report \"%1\": %2")
            .arg(shownInput(path), file.errorString());
    return add(path, file);
}

ShiftSummary ShiftTally::finish()
{
    State &s = *state_;
    s.finishOpen();
    ShiftSummary out;
    out.inputs = s.inputs;
    out.since = s.options.since;
    out.until = s.options.until;
    out.zone = s.options.zone;
    out.idleMinutes = s.options.idleMinutes;
    out.records = s.records;
    out.badLines = s.badLines;
    out.namedBadLines = s.namedBadLines;
    out.total = summaryOf(s.total, s.options.idleMinutes);
    out.total.total = true;
    for (const auto &[name, tally] : s.stations) {
        if (tally->boards || tally->dryRuns || tally->skipped)
            out.stations.append(summaryOf(*tally, s.options.idleMinutes));
    }
    std::sort(
        out.stations.begin(), out.stations.end(),
        [](const StationSummary &a, const StationSummary &b) { return a.station < b.station; });
    out.boardsBack = s.boardsBack;
    out.back = s.back.values();
    std::sort(out.back.begin(), out.back.end(), [](const BoardBack &a, const BoardBack &b) {
        return a.times != b.times ? a.times > b.times : a.identity < b.identity;
    });
    for (const State::ImageTally &i : s.images)
        out.images.append({i.hasSha256 ? fromUtf8(i.sha256) : QString(), fromUtf8(i.file), i.boards,
                           timeOf(i.first), timeOf(i.last)});
    if (s.otherImages.boards)
        out.images.append({QString(), fromUtf8(s.otherImages.file), s.otherImages.boards,
                           timeOf(s.otherImages.first), timeOf(s.otherImages.last)});
    std::sort(out.images.begin(), out.images.end(), [](const ImageUse &a, const ImageUse &b) {
        return a.boards != b.boards ? a.boards > b.boards : a.first < b.first;
    });
    out.chart = s.chart(out.chartHours);
    out.notes = s.notes();
    return out;
}

std::variant<ShiftSummary, QString> summarize(const QStringList &inputs,
                                              const SummaryOptions &options)
{
    ShiftTally tally(options);
    // A file named twice (by two patterns of the shell) is read once: its
    // boards would count twice, and every one of them as come back.
    QSet<QString> read;
    QStringList twice;
    for (const QString &path : inputs) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (path != QLatin1String("-") && !canonical.isEmpty() && read.contains(canonical)) {
            twice.append(shownInput(path));
            continue;
        }
        read.insert(canonical);
        if (const auto error = tally.addFile(path))
            return *error;
    }
    ShiftSummary summary = tally.finish();
    if (!twice.isEmpty())
        summary.notes.append(QStringLiteral("Named more than once and read once: %1.")
                                 .arg(twice.join(QStringLiteral(", "))));
    return summary;
}

QString normalisedReason(QStringView reason)
{
    // A number with its decimal point, separators and a hexadecimal tail
    // (0x08000000, 192.168.1.25:111, 0.5, 4528) is one '#'.
    static const QRegularExpression number(
        QStringLiteral("(?<![A-Za-z])(0[xX][0-9A-Fa-f]+|\\d+(?:[.:,]\\d+)*[0-9A-Fa-f]*)"));
    QString text = reason.left(512).toString();
    text.replace(number, QStringLiteral("#"));
    return text.simplified();
}

std::variant<QDateTime, QString> parseTimeBound(const QString &text, BoundKind kind,
                                                const QTimeZone &zone)
{
    const QString trimmed = text.trimmed();
    const auto bad = [&] {
        return QStringLiteral("\"%1\" is not a time or date: write 2025-03-01T06:00:00Z, "
                              "2025-03-01T06:00 (local time) or 2025-03-01")
            .arg(text);
    };
    static const QRegularExpression dateOnly(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (dateOnly.match(trimmed).hasMatch()) {
        const QDate date = QDate::fromString(trimmed, Qt::ISODate);
        if (!date.isValid())
            return bad();
        return QDateTime(kind == BoundKind::Until ? date.addDays(1) : date, QTime(0, 0), zone);
    }
    static const QRegularExpression shape(
        QStringLiteral(
            "^\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}(:\\d{2}(\\.\\d+)?)?(Z|[+-]\\d{2}:\\d{2})?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = shape.match(trimmed);
    if (!match.hasMatch())
        return bad();
    QString iso = trimmed;
    iso[10] = QLatin1Char('T');
    const QDateTime parsed = QDateTime::fromString(iso.toUpper(), Qt::ISODateWithMs);
    if (!parsed.isValid())
        return bad();
    if (match.captured(3).isEmpty())
        return QDateTime(parsed.date(), parsed.time(), zone);
    return parsed.toUTC();
}

} // namespace corvanel::records
