// Summarises a report of a million records (made here, in a temporary file,
// as corvanel-flash --continuous writes them: 8 stations of 2 lanes, every
// board with its own MAC address, 5 % of attempts failed, some dry runs)
// and prints the time and the peak memory (getrusage's ru_maxrss), then the
// same for the --skip-done index over the same file.
// Usage: bench_records [records [summary|index|write]]; write: only the report,
// summary or index: only that part.

#include "records/done_index.h"
#include "records/shift_summary.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

using namespace corvanel::records;

namespace {

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// User and system time: on a shared machine the wall clock also counts the
// others' work.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

const char *const kReasons[] = {
    "no reply to line %d of 9000 (verify pass) within 0.5 s",
    "the device answered \\\"ERROR\\\" to line %d of 9000 (download pass)",
    "no \\\"VER=\\\" reply to the inquiry within 10 s",
};

// "2025-03-01T07:00:00.125Z" for seconds since 1970 in March 2025.
void utcText(char *out, qint64 t, int ms)
{
    const qint64 s = t % 86400;
    std::snprintf(out, 64, "2025-03-%02lldT%02lld:%02lld:%02lld.%03dZ", t / 86400 - 20147, s / 3600,
                  s % 3600 / 60, s % 60, ms);
}

// Writes `count` records line by line: memory stays small however many.
bool writeReport(const QString &path, qint64 count, qint64 &bytes)
{
    std::FILE *out = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!out)
        return false;
    quint32 random = 12345;
    const auto next = [&random] { return random = random * 1103515245u + 12345u; };
    const qint64 start = 1740812400; // 2025-03-01T07:00:00Z
    qint64 board[16] = {};
    int attempt[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    char line[2048];
    char reason[256];
    for (qint64 i = 0; i < count; ++i) {
        const int lane = int(i % 16);
        const qint64 t = start + (i / 16) * 30 + lane; // an attempt every 30 s a lane
        const bool dry = next() % 100 == 0;
        const bool failed = !dry && attempt[lane] == 1 && (next() >> 8) % 100 < 5;
        if (attempt[lane] == 1)
            ++board[lane];
        const qint64 id = qint64(lane) << 24 | board[lane]; // the board's MAC address
        char begin[64], end[64];
        utcText(begin, t, 125);
        utcText(end, t + 28, 250);
        reason[0] = '\0';
        if (failed)
            std::snprintf(reason, sizeof reason, kReasons[(next() >> 4) % 3], int(next() % 9000));
        const int n = std::snprintf(
            line, sizeof line,
            "{\"host\":\"127.0.%d.25\",\"port\":111,\"localPort\":%d,\"result\":\"%s\","
            "\"ok\":%s,\"exitCode\":%d,\"phase\":\"%s\",\"line\":9000,\"lineCount\":9000,"
            "\"installed\":%s,\"seconds\":%.3f,\"resends\":0,\"ignoredReplies\":0,"
            "\"reason\":\"%s\",\"deviceVersion\":\"BL 1.4\","
            "\"start\":\"%s\",\"end\":\"%s\",\"maxAttempts\":2,"
            "\"board\":%lld,\"mac\":\"02:4c:%02x:%02x:%02x:%02x\",\"attempt\":%d,"
            "\"schemaVersion\":1,\"toolVersion\":\"4.0\",\"station\":\"line-%d\","
            "\"image\":\"/srv/fw/firmware-2.3.1.hex\",\"imageSha256\":"
            "\"9e4b7d1f3a5c8e0b2d4f6a8c0e1b3d5f7092a4c6e8b0d2f4a6c8e0b1d3f5a7c9\","
            "\"imageCrc32\":\"0x7C02D5E1\",\"dryRun\":%s}\n",
            lane, 5500 + lane,
            dry      ? "READY"
            : failed ? "TIMEOUT"
                     : "END",
            failed ? "false" : "true", failed ? 3 : 0, failed ? "verify" : "done",
            failed || dry ? "false" : "true", 26.0 + (next() % 4000) / 1000.0, reason, begin, end,
            (long long)board[lane], unsigned(id >> 24) & 0xff, unsigned(id >> 16) & 0xff,
            unsigned(id >> 8) & 0xff, unsigned(id) & 0xff, attempt[lane], lane / 2,
            dry ? "true" : "false");
        if (std::fwrite(line, 1, size_t(n), out) != size_t(n)) {
            std::fclose(out);
            return false;
        }
        bytes += n;
        attempt[lane] = failed ? 2 : 1; // a failed first attempt is tried again
    }
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? std::max(1LL, std::atoll(argv[1])) : 1000000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("flash.jsonl"));
    qint64 bytes = 0;
    if (!writeReport(path, count, bytes)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("report: %lld records, %.1f MB (%lld bytes a record)\n", count, bytes / 1e6,
                bytes / count);

    if (argc > 2 && qstrcmp(argv[2], "write") == 0)
        return 0;
    const long before = peakKiB();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer timer;
    const bool summary = argc <= 2 || qstrcmp(argv[2], "index") != 0;
    timer.start();
    const auto result = summarize(summary ? QStringList{path} : QStringList{});
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    if (const QString *error = std::get_if<QString>(&result)) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    const ShiftSummary &s = std::get<ShiftSummary>(result);
    std::printf("summarize: %.3f s (CPU %.3f s: %.2f M records/s, %.0f MB/s); peak memory %ld KiB "
                "before, %ld KiB after (+%ld KiB)\n",
                seconds, cpu, count / cpu / 1e6, bytes / cpu / 1e6, before, peakKiB(),
                peakKiB() - before);
    std::printf("  %lld boards, %lld first pass, %lld passed, %lld bad lines, %lld dry runs\n",
                s.total.boards, s.total.firstPass, s.total.passed, s.badLines, s.total.dryRuns);

    if (argc > 2 && qstrcmp(argv[2], "summary") == 0)
        return 0;
    const long beforeIndex = peakKiB();
    const double cpuIndex = cpuSeconds();
    timer.restart();
    DoneIndex index;
    if (const auto error = index.addReport(path)) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    const double indexSeconds = timer.nsecsElapsed() / 1e9;
    const double indexCpu = cpuSeconds() - cpuIndex;
    timer.restart();
    int found = 0;
    for (int i = 1; i <= 1000; ++i) {
        const DoneQuery query{
            QStringLiteral("9e4b7d1f3a5c8e0b2d4f6a8c0e1b3d5f7092a4c6e8b0d2f4a6c8e0b1d3f5a7c9"),
            QStringLiteral("02:4c:00:00:%1:%2")
                .arg((i * 97 >> 8) & 0xff, 2, 16, QLatin1Char('0'))
                .arg(i * 97 & 0xff, 2, 16, QLatin1Char('0')),
            QStringLiteral("line-0"),
            QStringLiteral("127.0.0.25"),
            111,
            1,
            true};
        found += index.lookup(query).has_value();
    }
    std::printf("skip-done index: %.3f s to read (CPU %.3f s); peak memory +%ld KiB; 1000 lookups "
                "%.3f ms (%d found done)\n",
                indexSeconds, indexCpu, peakKiB() - beforeIndex, timer.nsecsElapsed() / 1e6, found);
    return 0;
}
